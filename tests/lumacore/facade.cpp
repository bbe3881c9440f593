// The engine facade: creation failures, MIDI port switching, the stop/run cycle, and calls that
// must be harmless on a handle without a running engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "lumacore.h"
#include "synth_music.h"
#include "ticker_support.h"

namespace {

// An engine on the capture sink instead of a system MIDI port.
class Facade : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(lc = lc_init_virtual(1 << 14), nullptr); }
    void TearDown() override { lc_close(lc); }

    /* Ten seconds of 120 BPM music from stream time 0 on a freshly started sequencer, the
       analysis after every block and the timer every millisecond. */
    void playMusic() {
        static const std::vector<float> music = [] {
            synth::MusicSpec spec;
            spec.seconds = 10.0;
            return synth::renderMusicFloat(spec);
        }();
        time.now = 0.0;
        lc_register_gettime_cb(lc, &time, VirtualClock::read);
        lc_start_sequencer(lc);
        EnginePlayer{lc, &time}.play(music);
    }

    LumaCore_t* lc = nullptr;
    VirtualClock time;
};

void countCall(void* calls, double) {
    ++*static_cast<int*>(calls);
}

} // namespace

TEST_F(Facade, SetMididevToAPortThatCannotBeOpenedLeavesNoPortOpen) {
    ASSERT_NE(lc_get_mididev_list(lc), nullptr);

    EXPECT_EQ(lc_set_mididev(lc, 7), 1);
    EXPECT_EQ(lc_get_current_mididev(lc), -1);
    // Sends while no port is open are dropped, not crashes.
    lc_send_midi_message(lc, 0, 0, 60, 100);
    lc_timer_pass(lc, 0.0);

    midioutput_capture_clear(lc_get_midi_output(lc));
    EXPECT_EQ(lc_set_mididev(lc, 0), 0);
    EXPECT_EQ(lc_get_current_mididev(lc), 0);
    lc_send_midi_message(lc, 0, 17, 60, 100); // channel 17 is channel 2
    lc_send_midi_message(lc, 1, 0, 7, 99);
    lc_timer_pass(lc, 0.0); // requests of other threads go out with the next pass
    const std::vector<std::vector<unsigned char>> expected = {{0xFC}, {0x91, 60, 100}, {0xB0, 7, 99}};
    EXPECT_EQ(captured(lc_get_midi_output(lc)), expected);
}

// The audio thread keeps delivering while the GUI thread swaps the engine underneath it; the
// sanitizers catch a block written into a freed sequencer or an unordered pointer read.
TEST_F(Facade, AudioDuringStopRunCyclesNeverMeetsAFreedSequencer) {
    std::atomic<bool> done{false};
    std::thread audio([&] {
        const std::vector<float> block(128, 0.1f);
        while (!done.load())
            lc_process_audio(block.data(), block.size(), lc, 0.0);
    });
    for (int cycle = 0; cycle < 10; ++cycle) {
        lc_stop(lc);
        lc_run(lc);
        lc_consume_audio(lc);
    }
    done = true;
    audio.join();
}

TEST_F(Facade, AStoppedHandleAnswersAsAnEngineWithoutMidi) {
    lc_stop(lc);
    lc_stop(lc); // twice is harmless
    EXPECT_EQ(lc_enable_midiclock(lc, 1), 1);
    EXPECT_EQ(lc_send_test_midinote(lc, METERLEVEL_BEAT), 1);
    EXPECT_EQ(lc_set_mididev(lc, 0), 1);
    EXPECT_EQ(lc_get_current_mididev(lc), -1);
    EXPECT_EQ(lc_get_mididev_list(lc), nullptr);
    EXPECT_EQ(lc_register_phase_cb(lc, METERLEVEL_BEAT, nullptr, [](void*, double) {}), nullptr);
    lc_unregister_phase_cb(lc, nullptr);
    double bar = -1, beat = -1, tatum = -1;
    lc_get_meter_phases(lc, &bar, &beat, &tatum);
    EXPECT_EQ(bar, 0.0);
    EXPECT_EQ(lc_get_bpm(lc), 0.0);
    EXPECT_EQ(lc_get_input_level(lc), -100.0);
    lc_close(nullptr); // the fixture frees the stopped handle as well
}

// The owners of phase callbacks (the efektors) register once; a device change restarts the
// engine under them, and they must keep being called.
TEST_F(Facade, StopRunCyclesKeepTheEnginePortAndPhaseCallbacks) {
    int kept = 0, dropped = 0;
    EXPECT_NE(lc_register_phase_cb(lc, METERLEVEL_BEAT, &kept, countCall), nullptr);
    EXPECT_NE(lc_register_phase_cb(lc, METERLEVEL_BAR, &dropped, countCall), nullptr);
    std::vector<float> block(128, 0.1f);
    std::filesystem::remove("beatpredictor.txt"); // older engines left one in the working folder
    testing::internal::CaptureStdout();
    for (int cycle = 0; cycle < 3; ++cycle) {
        lc_register_gettime_cb(lc, &time, VirtualClock::read);
        lc_process_audio(block.data(), block.size(), lc, 0.0);
        EXPECT_EQ(lc_consume_audio(lc), 128) << cycle; // not the block sent while stopped
        EXPECT_EQ(lc_enable_midinote(lc, 1), 0);
        EXPECT_EQ(lc_stop(lc), 0);
        lc_process_audio(block.data(), block.size(), lc, 0.0); // stopped: ignored
        EXPECT_EQ(lc_consume_audio(lc), -1);
        if (cycle == 1)
            lc_unregister_phase_cb(lc, &dropped); // while stopped: stays gone
        EXPECT_EQ(lc_run(lc), 0);
        EXPECT_EQ(lc_get_current_mididev(lc), 0);
    }
    EXPECT_EQ(lc_reinit(lc), 1);
    EXPECT_EQ(lc_get_current_mididev(lc), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "engine chatter belongs in the engine log";
    EXPECT_FALSE(std::filesystem::exists("beatpredictor.txt"));
    playMusic();
    EXPECT_GT(kept, 32 * 4); // 32 calls per beat, more than four beats
    EXPECT_EQ(dropped, 0);
    // the sanitizer's leak check covers the cycles above
}

TEST_F(Facade, SetMididevSwitchesTheClockOnEvenWhenItWasOff) {
    EXPECT_EQ(lc_reinit(lc), 1);         // switches the clock off and on: its Stop is not repeated
    EXPECT_EQ(lc_set_mididev(lc, 0), 0); // the clock was never switched on
    playMusic();
    EXPECT_GT(lc_get_bpm(lc), 100.0);
    const std::vector<std::vector<unsigned char>> sent = captured(lc_get_midi_output(lc));
    const std::vector<unsigned char> stop{0xFC}, start{0xFA}, pulse{0xF8};
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[0], stop); // switching off on the way
    EXPECT_EQ(sent[1], start);
    EXPECT_EQ(sent[2], pulse);
    EXPECT_GT(std::count(sent.begin(), sent.end(), pulse), 24 * 4);
}
