#pragma once

#include <atomic>
#include <memory>
#include <portaudio.h>
#include <string>
#include <thread>
#include <vector>

#include "JackCapture.h"
#include "SampleClock.h"
#include "SampleSource.h"
#include "lumacore.h"

// Plays a sound file or the demo into the engine in real time, heard on the default output
// device when one opens at 44.1 kHz (a JACK server's through a JACK client of our own, which can
// be closed after the server has gone); without one a thread of its own keeps the pace on the
// steady clock, and so it does while a JACK server it played to is gone. Every block that plays reaches the engine at its stream time, and this object
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
    bool audible() const { return stream_ != nullptr || jack_ != nullptr; }
    // Watches the output, a few times a second (GUI thread): once its JACK server has gone, the
    // client is closed and the pace kept on the steady clock until rejoinOutput. Any client of a
    // gone server must be closed before a client of this program joins another.
    void checkOutput();
    // A JACK server went away (the engine's own MIDI port saw it): a PortAudio holding a client of
    // it is neither closed nor terminated from then on (that would wait for ever or abort).
    void jackServerGone();
    // A JACK server answers again and no client of this program is left on the gone one: plays
    // there again if the output was lost with the old server. GUI thread.
    void rejoinOutput();
    // PortAudio is initialised with a client of a JACK server: no other client of this program
    // may join a new server while it lives.
    bool holdsJackClient() const { return paOnJack_; }
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
    // JACK PROCESS THREAD (same rules as play).
    static void render(void* self, float* const* channels, int channelCount, unsigned long frames);

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
    std::atomic<bool> pacing_{true};
    // Its JACK output's server went away; a new client plays once a server is back.
    bool jackLost_ = false;

    PaStream* stream_ = nullptr;
    std::unique_ptr<JackCapture> jack_;
    bool paReady_ = false;
    bool paOnJack_ = false;
    bool paAbandoned_ = false;
    int outputChannels_ = 0;
    float mono_[blockFrames] = {};
    std::thread reader_;
    std::thread pacer_;
};
