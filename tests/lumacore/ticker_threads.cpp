// The ticker with its own threads: the analysis on the consumer thread and the timer loop, while
// this (the "GUI") thread feeds audio, tunes the tracker, gives hints, reads phases and
// (un)registers phase callbacks. Time is virtual; the waits below poll for states, never for durations. Meant for the
// ThreadSanitizer build as much as for the assertions.
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "synth_music.h"
#include "ticker_support.h"

namespace {

struct Counter {
    std::atomic<int> calls{0};
    std::atomic<double> lastPhase{0.0};
    static void call(void* self, double phase) {
        Counter* c = static_cast<Counter*>(self);
        c->lastPhase = phase;
        c->calls.fetch_add(1);
    }
};

class TickerThreads : public ::testing::Test, protected TickerRig {
protected:
    void SetUp() override { open(1, 0); }
    void TearDown() override { close(); }
};

} // namespace

TEST_F(TickerThreads, AnalysisTimerAndGuiThreadsWorkTogether) {
    start_sequencer(sequencer);

    synth::MusicSpec spec;
    spec.seconds = 8.0;
    const std::vector<float> music = synth::renderMusicFloat(spec);
    for (size_t start = 0, block = 0; start + 128 <= music.size(); start += 128, ++block) {
        clock.now = (start + 128) / 44100.0;
        sequencer_audio_cb(music.data() + start, 128, sequencer, start / 44100.0);
        if (block % 200 == 0)
            meterticker_change_half_time(ticker, 3.0); // GUI-thread tuning during the analysis
        if (block % 300 == 0)
            meterticker_change_myyValues(ticker, 2.1, 0.55, 0.18);
        if (block % 250 == 0) { // hints and the confidence cross to and from the analysis thread
            meterticker_hint_beat_period(ticker, 0.5);
            meterticker_hint_bar_start(ticker);
            EXPECT_LE(meterticker_get_confidence(ticker), 1.0);
        }
        // Let the analysis keep up, so that nothing is dropped.
        ASSERT_TRUE(
            eventually([&] { return sequencer_read_pos(sequencer, 0) == sequencer_write_pos(sequencer); }, 120));
    }
    ASSERT_TRUE(eventually([&] { return meterticker_get_estimate(ticker, nullptr, nullptr, nullptr) > 0; }, 120));
    EXPECT_EQ(sequencer_dropped_frames(sequencer), 0u);

    meterticker_midiclock_out(ticker, 1);
    meterticker_midinote_out(ticker, 1);
    meterticker_midiphase_out(ticker, 1);
    Counter beat, churn;
    ASSERT_NE(meterticker_register_phase_cb(ticker, METERLEVEL_BEAT, &beat, Counter::call), nullptr);
    // Virtual time runs on, a millisecond per timer pass, while callbacks come and go and phases
    // are read.
    int step = 0;
    ASSERT_TRUE(eventually([&] {
        const unsigned long passes = ticker->passCount.load();
        if (!eventually([&] { return ticker->passCount.load() != passes; }, 120))
            return true; // the timer thread is stuck: fail below
        clock.now = clock.now + 0.001;
        if (++step % 7 == 0)
            meterticker_register_phase_cb(ticker, METERLEVEL_TATUM, &churn, Counter::call);
        if (step % 7 == 3)
            meterticker_unregister_phase_cb(ticker, &churn);
        double phases[3];
        meterticker_get_phases(ticker, phases);
        for (double p : phases)
            EXPECT_TRUE(std::isfinite(p));
        return beat.calls.load() >= 3 * 32;
    }, 120));
    EXPECT_GT(beat.lastPhase.load(), 2.0); // full phases
    meterticker_unregister_phase_cb(ticker, &beat);
    meterticker_unregister_phase_cb(ticker, &churn);
    EXPECT_GT(midioutput_capture_count(midi), 0u);
}

TEST_F(TickerThreads, ClosesPromptlyWhileWaitingForEstimates) {
    std::vector<float> silence(128, 0.0f);
    sequencer_audio_cb(silence.data(), 128, sequencer, 0.0);
    ASSERT_TRUE(eventually([&] { return sequencer_read_pos(sequencer, 0) == 128; }, 120));
    EXPECT_EQ(meterticker_get_level(ticker), -100.0);
    close(); // the timer thread is still waiting for the first estimate
}
