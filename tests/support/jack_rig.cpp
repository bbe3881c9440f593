#include "jack_rig.h"

#if BEATLUME_HAVE_JACK
#include <algorithm>
#include <cerrno>
#include <jack/jack.h>
#include <jack/midiport.h>

namespace beatlume::test {

JackRig::JackRig(const std::string& clientName, std::vector<float> loop, bool playAtOnce, CycleHook cycleHook,
                 void* cycleHookData)
    : name(clientName), hook(cycleHook), hookData(cycleHookData), music(std::move(loop)), received(200000) {
    playing.store(playAtOnce);
    client = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
    if (!client)
        return;
    out = jack_port_register(client, "music", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    midiIn = jack_port_register(client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client, &JackRig::process, this);
    active = out && midiIn && jack_activate(client) == 0;
}

JackRig::~JackRig() {
    if (client) {
        jack_deactivate(client);
        jack_client_close(client);
    }
}

bool JackRig::connectMusic() const {
    const char** ports = jack_get_ports(client, "^PortAudio.*:in_", nullptr, JackPortIsInput);
    const int result = ports && ports[0] ? jack_connect(client, (name + ":music").c_str(), ports[0]) : -1;
    const bool ok = result == 0 || result == EEXIST;
    if (ports)
        jack_free(ports);
    return ok;
}

bool JackRig::connectMidiFrom(const char* port) const {
    return jack_port_connected(midiIn) > 0 || jack_connect(client, port, (name + ":midi_in").c_str()) == 0;
}

std::uint32_t JackRig::now() const {
    return jack_frame_time(client);
}

std::vector<MidiMessage> JackRig::messages() const {
    return {received.begin(), received.begin() + static_cast<long>(count.load(std::memory_order_acquire))};
}

int JackRig::process(std::uint32_t frames, void* arg) {
    auto* self = static_cast<JackRig*>(arg);
    const jack_nframes_t start = jack_last_frame_time(self->client);
    if (self->hook)
        self->hook(start, self->hookData);
    auto* audio = static_cast<float*>(jack_port_get_buffer(self->out, frames));
    const bool sounding = self->playing.load(std::memory_order_relaxed) && !self->music.empty();
    for (jack_nframes_t i = 0; i < frames; ++i) {
        audio[i] = sounding ? self->music[self->position] : 0.0f;
        if (sounding)
            self->position = (self->position + 1) % self->music.size();
    }
    void* midi = jack_port_get_buffer(self->midiIn, frames);
    std::size_t n = self->count.load(std::memory_order_relaxed);
    for (uint32_t e = 0; e < jack_midi_get_event_count(midi) && n < self->received.size(); ++e) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, midi, e) != 0 || event.size == 0)
            continue;
        MidiMessage m{start + event.time, {0, 0, 0}};
        std::copy_n(event.buffer, std::min<std::size_t>(event.size, 3), m.bytes);
        self->received[n++] = m;
    }
    self->count.store(n, std::memory_order_release);
    return 0;
}

} // namespace beatlume::test
#endif
