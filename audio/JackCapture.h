#pragma once

#include <atomic>
#include <memory>
#include <string>

// Capture from a JACK server with a client of our own, named as PortAudio names its JACK streams
// ("PortAudio", ports in_0 … in_N-1) so that saved connections (patchbays, scripts) still find
// it; each port is connected to the matching output port of the chosen device, a JACK client such
// as "system".
// PortAudio cannot be used for this once the server may go away: closing its stream on a server
// that has gone waits for ever, and terminating it aborts. This client can be closed at any time,
// and the program notices the server's departure through serverGone().
//
// Without the JACK client library at build time open() always fails.
class JackCapture {
public:
    // Called for every JACK period with the captured channels (non-interleaved, `channelCount`
    // buffers of `frames` samples). JACK PROCESS THREAD: no allocation, lock, I/O or throw.
    using Deliver = void (*)(void* owner, const float* const* channels, int channelCount, unsigned long frames);

    // Joins the running server (never starts one); null with `error` set when no server answers
    // or the client cannot be set up. The device's ports are connected when they exist.
    static std::unique_ptr<JackCapture> open(const std::string& device, int channels, Deliver deliver, void* owner,
                                             std::string& error);
    // Fills `channelCount` buffers of `frames` samples for the outputs. JACK PROCESS THREAD (same
    // rules as Deliver).
    using Render = void (*)(void* owner, float* const* channels, int channelCount, unsigned long frames);
    // The other way round, for playing to a JACK server that may go away (PortAudio's stream
    // there cannot be closed once it has): output ports out_0 … connected to the server's
    // physical playback ports.
    static std::unique_ptr<JackCapture> openPlayback(int channels, Render render, void* owner, std::string& error);
    // Deactivates and leaves the server, also one that has gone away.
    ~JackCapture();
    JackCapture(const JackCapture&) = delete;
    JackCapture& operator=(const JackCapture&) = delete;

    // The server's frame rate.
    double rate() const { return rate_; }
    // Set (on JACK's thread) once the server has shut the client down. Any thread.
    bool serverGone() const { return gone_.load(std::memory_order_acquire); }

private:
    JackCapture() = default;
    static std::unique_ptr<JackCapture> join(const std::string& device, int channels, Deliver deliver, Render render,
                                             void* owner, std::string& error);
    static int process(unsigned int frames, void* self);
    static void shutdown(void* self);

    struct Client;
    Client* client_ = nullptr;
    double rate_ = 0.0;
    std::atomic<bool> gone_{false};
};
