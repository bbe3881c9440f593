// A MIDI input of the test on the private JACK server (through RtMidi) that collects what
// reaches it.
#ifndef BEATLUME_TESTS_LUMACORE_MIDI_INBOX_H
#define BEATLUME_TESTS_LUMACORE_MIDI_INBOX_H

#include <RtMidi.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "midioutput.h"

using Bytes = std::vector<unsigned char>;

struct MidiInbox {
    static constexpr unsigned char kActiveSensing = 0xFE;


    // Opens `in`'s virtual port "midi_in", timing messages (clock, start, stop) included.
    void listen(RtMidiIn& in) {
        in.ignoreTypes(false, false, false);
        in.setCallback(&MidiInbox::callback, this);
        in.openVirtualPort("midi_in");
    }

    // A new JACK connection carries data only from a later process cycle on: send Active Sensing
    // until one comes through, so that nothing the test checks is sent into the void. Only
    // sensing sent by this call counts: one that came through an earlier connection proves
    // nothing about the present one.
    bool wait_until_connected(MidiOut_t* m) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::unique_lock<std::mutex> guard(lock_);
        sensed_ = false;
        while (!sensed_ && std::chrono::steady_clock::now() < deadline) {
            guard.unlock();
            const unsigned char sensing = kActiveSensing;
            midioutput_send_msg(m, &sensing, 1);
            guard.lock();
            arrived_.wait_for(guard, std::chrono::milliseconds(50), [&] { return sensed_; });
        }
        return sensed_;
    }

    // What has arrived once `count` messages have; the timeout only guards against a hang.
    std::vector<Bytes> wait_for(size_t count) {
        std::unique_lock<std::mutex> guard(lock_);
        arrived_.wait_for(guard, std::chrono::seconds(20), [&] { return messages_.size() >= count; });
        return messages_;
    }

private:
    static void callback(double, std::vector<unsigned char>* message, void* udata) {
        auto* self = static_cast<MidiInbox*>(udata);
        std::lock_guard<std::mutex> guard(self->lock_);
        if (message->size() == 1 && (*message)[0] == kActiveSensing)
            self->sensed_ = true;
        else
            self->messages_.push_back(*message);
        self->arrived_.notify_all();
    }

    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<Bytes> messages_;
    bool sensed_ = false;
};

// Index of the first name containing `part` in a list ended by null, or -1.
inline int find_port(char** names, const std::string& part) {
    for (int i = 0; names && names[i]; ++i)
        if (std::string(names[i]).find(part) != std::string::npos)
            return i;
    return -1;
}

#endif
