/* A meter ticker on a virtual clock, its MIDI captured: the ground for tests of tick prediction,
 * the event table, the phase callbacks and the ticker's threads. */
#ifndef BEATLUME_TESTS_TICKER_SUPPORT_H
#define BEATLUME_TESTS_TICKER_SUPPORT_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>
#include <vector>

#include "lumacore.h"
#include "meterticker.h"

/* Polls `done` until it holds; false after `limitSeconds` of wall clock (a hang, not a timing). */
template <typename Pred> bool eventually(Pred done, int limitSeconds = 20) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::yield();
    }
    return true;
}

struct VirtualClock {
    std::atomic<double> now{0.0};
    static double read(void* self) { return static_cast<VirtualClock*>(self)->now.load(); }
};

/* The bytes of every message in a capture sink from entry `first` on. */
inline std::vector<std::vector<unsigned char>> captured(const MidiOut_t* m, size_t first = 0) {
    std::vector<std::vector<unsigned char>> all;
    MidiCaptureEntry_t e;
    for (size_t i = first; m && i < midioutput_capture_count(m); ++i) {
        EXPECT_EQ(midioutput_capture_get(m, i, &e), 0);
        all.emplace_back(e.bytes, e.bytes + e.size);
    }
    return all;
}

/* Plays audio into a started engine as the capture stream delivers it, in 128-frame blocks, the
   analysis after each and a timer pass every millisecond of virtual time, on from where the last
   call stopped; `at` runs once whenever the audio delivered passes a tenth of a second (given in
   tenths). */
struct EnginePlayer {
    LumaCore_t* lc;
    VirtualClock* time;
    unsigned long long frames = 0;
    long ms = 0;
    void play(const std::vector<float>& audio, const std::function<void(int)>& at = {}) {
        for (size_t start = 0; start + 128 <= audio.size(); start += 128, frames += 128) {
            time->now = (frames + 128) / 44100.0;
            lc_process_audio(audio.data() + start, 128, lc, frames / 44100.0);
            lc_consume_audio(lc);
            if (at && (frames + 128) / 4410 != frames / 4410)
                at(static_cast<int>((frames + 128) / 4410));
            for (const long last = static_cast<long>((frames + 256) / 44.1); ms < last;)
                lc_timer_pass(lc, time->now = ++ms / 1000.0);
        }
    }
};

/* A sequencer on a virtual clock and a ticker on it whose MIDI goes to a capture sink. */
struct TickerRig {
    /* threads: the ticker runs its consumer and timer threads; borrowed: the sink outlives it. */
    void open(int threads, int borrowed) {
        sequencer = init_sequencer();
        ASSERT_NE(sequencer, nullptr);
        sequencer_register_gettime_cb(sequencer, &clock, VirtualClock::read);
        midi = midioutput_init_capture(1 << 16, VirtualClock::read, &clock);
        ASSERT_NE(midi, nullptr);
        const MeterTickerOptions_t options{0, threads, midi, borrowed};
        ASSERT_EQ(meterticker_init_ex(sequencer, &options, &ticker), 0);
    }
    void close() {
        meterticker_close(ticker);
        close_sequencer(sequencer);
        ticker = nullptr;
        sequencer = nullptr;
    }

    VirtualClock clock;
    Sequencer_t* sequencer = nullptr;
    MidiOut_t* midi = nullptr;
    MeterTicker_t* ticker = nullptr;
};

struct Message {
    double time;
    std::vector<unsigned char> bytes;
};

/* Every message in a capture sink with its time. */
inline std::vector<Message> timedMessages(const MidiOut_t* m) {
    std::vector<Message> out;
    MidiCaptureEntry_t e;
    for (size_t i = 0; i < midioutput_capture_count(m); ++i)
        if (midioutput_capture_get(m, i, &e) == 0)
            out.push_back({e.time, std::vector<unsigned char>(e.bytes, e.bytes + e.size)});
    return out;
}

/* Without threads: the tests run the analysis and the timer passes themselves. */
class TickerTest : public ::testing::Test, protected TickerRig {
protected:
    void SetUp() override { open(0, 0); }
    void TearDown() override { close(); }

    /* Offers bar, beat and tatum periods of 2 s, 0.5 s and 0.125 s (120 BPM in 4/4) through
       the given reference times; what meterticker_accept_estimate returns. */
    int acceptGrid120(double barRef, double beatRef, double tatumRef) {
        const double periods[3] = {2.0, 0.5, 0.125};
        const double refs[3] = {barRef, beatRef, tatumRef};
        return meterticker_accept_estimate(ticker, periods, refs);
    }
    /* The 120 BPM grids through t = 0. */
    void setGrid120() { ASSERT_EQ(acceptGrid120(0.0, 0.0, 0.0), 1); }

    /* One timer pass per millisecond from the clock's time up to `until` (inclusive). */
    void runUntil(double until) {
        for (long step = std::lround(clock.now.load() * 1000.0) + 1; step <= std::lround(until * 1000.0);
             ++step) {
            clock.now = step / 1000.0;
            meterticker_timer_pass(ticker, clock.now.load());
        }
    }

    std::vector<Message> messages() const { return timedMessages(midi); }

    double phase(MeterLevelID level) {
        double phases[3];
        meterticker_phases_at(ticker, clock.now.load(), phases);
        return phases[level];
    }
};

#endif
