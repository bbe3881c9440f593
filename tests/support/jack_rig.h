// The test's own JACK client beside the program under test: loops music on its audio output
// "music" and stamps every MIDI message that reaches its input "midi_in" with the JACK frame
// time, the audio clock that music and MIDI share. Needs the JACK client library (the tests
// that use it are built only with it).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef struct _jack_client jack_client_t;
typedef struct _jack_port jack_port_t;

namespace beatlume::test {

struct MidiMessage {
    std::uint32_t frame;
    unsigned char bytes[3];
};

class JackRig {
public:
    // Called on JACK's process thread at the start of every cycle with the cycle's first frame.
    using CycleHook = void (*)(std::uint32_t firstFrame, void* data);
    // Silent until play() when `playAtOnce` is false.
    explicit JackRig(const std::string& name, std::vector<float> loop = {}, bool playAtOnce = true,
                     CycleHook hook = nullptr, void* hookData = nullptr);
    ~JackRig();
    JackRig(const JackRig&) = delete;
    JackRig& operator=(const JackRig&) = delete;

    bool ready() const { return active; }
    void play() { playing.store(true); }
    // Connects the music to the program's audio input (its JACK client "PortAudio"), once that
    // exists; true also when they are connected already.
    bool connectMusic() const;
    // Connects `port` to the MIDI input; true also when they are connected already.
    bool connectMidiFrom(const char* port) const;
    std::uint32_t now() const;
    std::vector<MidiMessage> messages() const;

private:
    // JACK's process thread: neither allocates nor locks.
    static int process(std::uint32_t frames, void* self);

    std::string name;
    CycleHook hook;
    void* hookData;
    jack_client_t* client = nullptr;
    jack_port_t* out = nullptr;
    jack_port_t* midiIn = nullptr;
    bool active = false;
    std::vector<float> music;
    std::size_t position = 0;
    std::atomic<bool> playing{true};
    std::vector<MidiMessage> received;
    std::atomic<std::size_t> count{0};
};

} // namespace beatlume::test
