#include "JackCapture.h"

#if BEATLUME_AUDIO_HAVE_JACK

#include <jack/jack.h>
#include <pthread.h>

#include <vector>

struct JackCapture::Client {
    jack_client_t* handle = nullptr;
    std::vector<jack_port_t*> ports;
    // Filled in the process callback: one buffer pointer per port.
    std::vector<float*> buffers;
    Deliver deliver = nullptr; // capture, or
    Render render = nullptr;   // playback
    void* owner = nullptr;
};

std::unique_ptr<JackCapture> JackCapture::open(const std::string& device, int channels, Deliver deliver, void* owner,
                                               std::string& error) {
    return join(device, channels, deliver, nullptr, owner, error);
}

std::unique_ptr<JackCapture> JackCapture::openPlayback(int channels, Render render, void* owner, std::string& error) {
    return join(std::string(), channels, nullptr, render, owner, error);
}

std::unique_ptr<JackCapture> JackCapture::join(const std::string& device, int channels, Deliver deliver,
                                               Render render, void* owner, std::string& error) {
    if (channels < 1 || !(deliver || render)) {
        error = "no channels to capture or play";
        return nullptr;
    }
    jack_status_t status{};
    jack_client_t* handle = jack_client_open("PortAudio", JackNoStartServer, &status);
    if (!handle) {
        error = "no JACK server answers";
        return nullptr;
    }
    std::unique_ptr<JackCapture> capture(new JackCapture);
    capture->client_ = new Client;
    Client& c = *capture->client_;
    c.handle = handle;
    c.deliver = deliver;
    c.render = render;
    c.owner = owner;
    c.buffers.assign(static_cast<size_t>(channels), nullptr);
    const bool playback = render != nullptr;
    for (int i = 0; i < channels; ++i) {
        const std::string name = (playback ? "out_" : "in_") + std::to_string(i);
        jack_port_t* port = jack_port_register(handle, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                               playback ? JackPortIsOutput : JackPortIsInput, 0);
        if (!port) {
            error = "cannot register the JACK port " + name;
            return nullptr;
        }
        c.ports.push_back(port);
    }
    capture->rate_ = static_cast<double>(jack_get_sample_rate(handle));
    jack_on_shutdown(handle, &JackCapture::shutdown, capture.get());
    // JACK's process thread of this client, named once before its first cycle.
    jack_set_thread_init_callback(handle, [](void*) { pthread_setname_np(pthread_self(), "jack-capture"); }, nullptr);
    if (jack_set_process_callback(handle, &JackCapture::process, capture.get()) != 0 || jack_activate(handle) != 0) {
        error = "cannot activate the JACK client";
        return nullptr;
    }
    // Capture: the device is a client of the server, its audio outputs in order feed our inputs.
    // Playback: our outputs feed the speakers, the server's physical playback ports.
    const char** peers = playback ? jack_get_ports(handle, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                                   JackPortIsInput | JackPortIsPhysical)
                                  : jack_get_ports(handle, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    size_t next = 0;
    for (const char** peer = peers; peer && *peer && next < c.ports.size(); ++peer) {
        const char* own = jack_port_name(c.ports[next]);
        if (playback)
            next += jack_connect(handle, own, *peer) == 0;
        else if (std::string(*peer).rfind(device + ":", 0) == 0)
            next += jack_connect(handle, *peer, own) == 0;
    }
    if (peers)
        jack_free(peers);
    return capture;
}

JackCapture::~JackCapture() {
    if (!client_)
        return;
    if (client_->handle) {
        jack_deactivate(client_->handle);
        jack_client_close(client_->handle);
    }
    delete client_;
}

int JackCapture::process(unsigned int frames, void* self) {
    auto* capture = static_cast<JackCapture*>(self);
    Client& c = *capture->client_;
    for (size_t i = 0; i < c.ports.size(); ++i)
        c.buffers[i] = static_cast<float*>(jack_port_get_buffer(c.ports[i], frames));
    if (c.render)
        c.render(c.owner, c.buffers.data(), static_cast<int>(c.buffers.size()), frames);
    else
        c.deliver(c.owner, c.buffers.data(), static_cast<int>(c.buffers.size()), frames);
    return 0;
}

void JackCapture::shutdown(void* self) {
    static_cast<JackCapture*>(self)->gone_.store(true, std::memory_order_release);
}

#else

struct JackCapture::Client {};

std::unique_ptr<JackCapture> JackCapture::open(const std::string&, int, Deliver, void*, std::string& error) {
    error = "built without JACK";
    return nullptr;
}
std::unique_ptr<JackCapture> JackCapture::openPlayback(int, Render, void*, std::string& error) {
    error = "built without JACK";
    return nullptr;
}
JackCapture::~JackCapture() = default;
int JackCapture::process(unsigned int, void*) {
    return 0;
}
void JackCapture::shutdown(void*) {}

#endif
