#pragma once

#include <cstddef>
#include <memory>
#include <string>

// Mono music at the tracker's 44.1 kHz, read piece by piece: a sound file or the demo piece.
// Read by one thread at a time, never the audio thread (files do I/O).
class SampleSource {
public:
    static constexpr unsigned int sampleRate = 44100;

    virtual ~SampleSource() = default;
    // Up to `count` samples into `out`; 0 once the music has ended.
    virtual std::size_t read(float* out, std::size_t count) = 0;
    // What plays, for the status line and the window.
    virtual std::string name() const = 0;
};

// Anything libsndfile reads, every channel mixed down and resampled to 44.1 kHz; null with a
// one-line reason in `error` when it cannot be read. Non-finite samples are played as silence.
std::unique_ptr<SampleSource> openSoundFile(const std::string& path, std::string& error);

// The demo piece: a drum-machine loop (kick, snare, hi-hat, a bass note on every bar's one) in
// 4/4 at demoBpm, repeated for ever.
std::unique_ptr<SampleSource> makeDemoSource();
constexpr double demoBpm = 120.0;
