// The whole engine with its threads, end to end in real time: a 120 BPM drum pattern enters
// lc_process_audio block by block at the pace of a capture stream, and the engine's MIDI goes out
// through RtMidi's JACK port (private JACK server, dummy back end) into a MIDI input owned by the
// test. The pacing sleeps stand in for the sound card; the checks are on counts and on a mean
// period over many beats, measured on the engine's own time source.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "jack_server.h"
#include "lumacore.h"
#include "midi_inbox.h"
#include "synth_music.h"

namespace {

using Clock = std::chrono::steady_clock;

struct StreamTime {
    Clock::time_point start = Clock::now();
    static double read(void* self) {
        const auto* s = static_cast<StreamTime*>(self);
        return std::chrono::duration<double>(Clock::now() - s->start).count();
    }
};

} // namespace

TEST(EngineOverJack, A120BpmPatternDrivesClockAndBeatNotesAtAJackMidiInput) {
    beatlume::test::JackServer server;
    if (!server.available())
        GTEST_SKIP() << "no JACK server for this test: " << server.skip_reason();

    StreamTime time;
    MidiInbox inbox;
    inbox.clock = StreamTime::read;
    inbox.clockData = &time;
    RtMidiIn input(RtMidi::UNIX_JACK, "beatlume-engine-test");
    inbox.listen(input);

    LumaCore_t* lc = lc_init(-1, -1);
    ASSERT_NE(lc, nullptr) << "status " << LUMACORE_ERROR_STATUS;
    const int port = find_port(lc_get_mididev_list(lc), "beatlume-engine-test:midi_in");
    ASSERT_GE(port, 0);
    ASSERT_EQ(lc_set_mididev(lc, port), 0);
    lc_enable_midiclock(lc, 0); // set_mididev switched it on; on again once connected
    ASSERT_TRUE(inbox.wait_until_connected(lc_get_midi_output(lc)))
        << "the connection to the test's MIDI input never carried data";

    synth::MusicSpec spec;
    spec.bpm = 120.0;
    spec.seconds = 12.0;
    const std::vector<float> music = synth::renderMusicFloat(spec);
    time.start = Clock::now();
    lc_start_sequencer(lc);
    lc_register_gettime_cb(lc, &time, StreamTime::read);
    lc_enable_midiclock(lc, 1);
    lc_enable_midinote(lc, 1);
    for (size_t start = 0; start + 128 <= music.size(); start += 128) {
        // A capture stream hands a block over once its last frame has arrived.
        std::this_thread::sleep_until(time.start + std::chrono::duration<double>((start + 128) / 44100.0));
        lc_process_audio(music.data() + start, 128, lc, start / 44100.0);
    }
    lc_close(lc);
    // Closing sends a Stop; wait until it has come through JACK.
    const auto all =
        inbox.wait_until([](const auto& m) { return !m.empty() && m.back().bytes == Bytes{0xFC}; });
    const auto isStart = [](const MidiInbox::Received& r) { return r.bytes == Bytes{0xFA}; };
    const size_t startAt = std::find_if(all.begin(), all.end(), isStart) - all.begin();
    ASSERT_LT(startAt, all.size()) << "no MIDI Start";
    for (size_t i = 0; i < startAt; ++i)
        EXPECT_NE(all[i].bytes, Bytes{0xF8}) << "a Clock before the Start";

    std::vector<double> beats;
    std::vector<int> clocksBetween;
    int clocks = 0;
    for (size_t i = startAt; i < all.size(); ++i) {
        const Bytes& b = all[i].bytes;
        if (b == Bytes{0xF8})
            ++clocks;
        if (b.size() == 3 && b[0] == 0x90 && b[1] == 65) {
            EXPECT_EQ(b[2], 127);
            if (!beats.empty())
                clocksBetween.push_back(clocks);
            clocks = 0;
            beats.push_back(all[i].time);
        }
    }
    ASSERT_GE(beats.size(), 10u) << "beat notes 65 on channel 1";
    const size_t last = beats.size() - 1, first = last - 8;
    EXPECT_NEAR((beats[last] - beats[first]) / 8.0, 0.5, 0.01);
    // 24 Clocks per beat. A timer pass that comes more than 1/24 beat late (the test shares two
    // cores with the JACK server, its client and the sanitizers) sends one Clock for the crossings
    // it missed, so a single beat may come out short; the typical beat and the total may not.
    std::vector<int> lastEight(clocksBetween.end() - 8, clocksBetween.end());
    std::string perBeat;
    for (int n : lastEight)
        perBeat += std::to_string(n) + " ";
    const int total = std::accumulate(lastEight.begin(), lastEight.end(), 0);
    std::sort(lastEight.begin(), lastEight.end());
    EXPECT_EQ(lastEight[4], 24) << "24 clocks per beat; per beat: " << perBeat;
    EXPECT_NEAR(total, 24 * 8, 4) << "24 clocks per beat; per beat: " << perBeat;
    EXPECT_EQ(all.back().bytes, Bytes{0xFC}) << "closing stops the clock";
}

TEST(EngineOverJack, StopRunCyclesOfALiveEngine) {
    beatlume::test::JackServer server;
    if (!server.available())
        GTEST_SKIP() << "no JACK server for this test: " << server.skip_reason();
    RtMidiIn input(RtMidi::UNIX_JACK, "beatlume-cycle-test");
    input.openVirtualPort("midi_in");
    StreamTime time;
    LumaCore_t* lc = lc_init(-1, -1);
    ASSERT_NE(lc, nullptr) << "status " << LUMACORE_ERROR_STATUS;
    const int port = find_port(lc_get_mididev_list(lc), "beatlume-cycle-test:midi_in");
    ASSERT_GE(port, 0);
    ASSERT_EQ(lc_set_mididev(lc, port), 0);
    std::vector<float> block(128, 0.2f);
    for (int cycle = 0; cycle < 3; ++cycle) {
        lc_start_sequencer(lc);
        lc_register_gettime_cb(lc, &time, StreamTime::read);
        lc_process_audio(block.data(), block.size(), lc, 0.0);
        EXPECT_EQ(lc_enable_midinote(lc, 1), 0);
        EXPECT_EQ(lc_stop(lc), 0);
        lc_process_audio(block.data(), block.size(), lc, 0.0); // ignored
        EXPECT_EQ(lc_run(lc), 0);
        EXPECT_EQ(lc_get_current_mididev(lc), port) << "the chosen port survives a restart";
    }
    lc_close(lc); // the sanitizer's leak check covers the threads, ports and trackers above
}
