#pragma once

#include <atomic>
#include <memory>
#include <portaudio.h>
#include <string>
#include <thread>
#include <vector>

#include "SampleClock.h"
#include "SampleSource.h"
#include "lumacore.h"

// Plays a sound file or the demo into the engine in real time, heard on the default output
// device when one opens at 44.1 kHz; without one a thread of its own keeps the pace on the
// steady clock. Every block that plays reaches the engine at its stream time, and this object
// is then the engine's time source.
//
// A reader thread fills a ring of about 1.5 s from the source, so the audio thread never
// touches the file.
class FilePlayback {
public:
    static constexpr unsigned long blockFrames = 512;

    explicit FilePlayback(LumaCore_t* engine);
    ~FilePlayback();
    FilePlayback(const FilePlayback&) = delete;
    FilePlayback& operator=(const FilePlayback&) = delete;

    // Starts playing; call once.
    void start(std::unique_ptr<SampleSource> source);
    // Stops the output, the pacing and the reader; the time source stays at its last value.
    void stop();

    // The source has ended and everything it gave has played.
    bool finished() const { return finished_.load(); }
    // Whether an output device plays it (otherwise only the engine hears it).
    bool audible() const { return stream_ != nullptr; }
    const std::string& name() const { return name_; }

    // The engine's time source: seconds played, interpolated between blocks on the steady
    // clock. Timer and GUI threads: no allocation, no lock, no I/O.
    static double streamTime(void* self);

private:
    static int outputCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                              PaStreamCallbackFlags, void* self);
    // Takes `frames` samples from the ring (silence where it ran dry), hands them to the engine
    // and leaves them in `mono`. AUDIO THREAD (or the pacing thread): no allocation, lock or I/O.
    void play(float* mono, unsigned long frames);
    void readLoop();
    void paceLoop();

    LumaCore_t* engine_;
    std::unique_ptr<SampleSource> source_;
    std::string name_;
    SampleClock clock_;

    std::vector<float> ring_;
    std::atomic<std::size_t> written_{0};
    std::atomic<std::size_t> taken_{0};
    std::atomic<bool> sourceEnded_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> stopping_{false};

    PaStream* stream_ = nullptr;
    bool paReady_ = false;
    int outputChannels_ = 0;
    float mono_[blockFrames] = {};
    std::thread reader_;
    std::thread pacer_;
};
