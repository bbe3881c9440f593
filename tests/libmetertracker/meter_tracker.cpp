// The meter tracker's bookkeeping and its function interface: when steps happen, what the
// read-out functions return, the pulse cache and the dump file.
#include "mTracker.h"
#include "meterTrackerC.h"
#include "synth_music.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

using meterTracker::mTracker;
using ::testing::ElementsAre;
using Estimates = std::array<double, 6>; // tatum, beat, bar periods, then their phases

namespace {

// At 44.1 kHz the front end yields two accent frames per 512-sample hop once a whole
// 1024-sample frame is there; a step needs its 86 frames plus the 11-frame look-ahead.
unsigned int expectedSteps(std::size_t samples) {
    if (samples < 1024)
        return 0;
    std::size_t const frames = 2 * ((samples - 1024) / 512 + 1);
    return frames < 97 ? 0 : static_cast<unsigned int>((frames - 97) / 86 + 1);
}

std::vector<double> music(double seconds) {
    synth::MusicSpec spec;
    spec.seconds = seconds;
    return synth::renderMusic(spec);
}

struct TrackerHandle {
    mTrackerHandle* h = mTracker_init(44100);
    ~TrackerHandle() { mTracker_close(h); }
};

Estimates periodEst(mTrackerHandle* h) {
    Estimates v;
    mTracker_get_period_est(h, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    return v;
}

Estimates latest(mTracker const& t) {
    Estimates v;
    t.getLatestPeriodEsts(v[0], v[1], v[2], v[3], v[4], v[5]);
    return v;
}

// Feeds samples [from, to) in blocks of 128, processing after each.
void feed(mTrackerHandle* h, std::vector<double>& x, std::size_t from = 0, std::size_t to = SIZE_MAX) {
    to = std::min(to, x.size());
    for (std::size_t i = from; i < to; i += 128) {
        auto const n = static_cast<unsigned int>(std::min<std::size_t>(128, to - i));
        mTracker_add_data(h, x.data() + i, n);
        mTracker_process(h);
    }
}

} // namespace

TEST(MeterTrackerInterface, FreshTrackerHasNoEstimatesAndSingleZeroTicks) {
    TrackerHandle t;
    ASSERT_NE(t.h, nullptr);
    EXPECT_THAT(periodEst(t.h), ElementsAre(-1.0, -1.0, -1.0, -1.0, -1.0, -1.0));

    double ta[3] = {9, 9, 9}, be[3] = {9, 9, 9}, pa[3] = {9, 9, 9};
    int nt = 3, nb = 3, np = 3;
    mTracker_get_ticks(t.h, ta, &nt, be, &nb, pa, &np);
    EXPECT_TRUE(nt == 1 && nb == 1 && np == 1);

    // The tracker reports and never prints: the tool and the engine decide where words go.
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(mTracker_dump_metfile(t.h, nullptr), 0); // nothing to do
    EXPECT_TRUE(mTracker_dump_metfile(t.h, "/nonexistent-directory/x.met") == -1 &&
                mTracker_dump_metfile(t.h, "/dev/full") == -1);
    mTracker_close(nullptr);
    EXPECT_EQ(mTracker_init(48000), nullptr); // no front-end filters for 48 kHz
    EXPECT_EQ(mTracker_add_data(nullptr, nullptr, 0), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(mTracker_process(t.h) == 0 && mTracker_flush_pulse_cache(t.h, 100.0) == 0); // nothing yet
}

TEST(MeterTrackerSteps, FirstStepNeedsHopPlusLookAheadFrames) {
    // 49 frames = 98 accent frames ≥ 86 + 11; one sample short, nothing happens.
    std::vector<double> x = music(0.6);
    mTracker tracker(44100);
    tracker.addData(x.data(), 25599);
    EXPECT_FALSE(tracker.process());
    tracker.addData(x.data() + 25599, 1);
    EXPECT_TRUE(tracker.process());
    EXPECT_FALSE(tracker.process()); // nothing new
    EXPECT_EQ(tracker.getFramesConsumed(), 86u);
    Estimates const e = latest(tracker);
    EXPECT_GT(std::min({e[0], e[1], e[2]}), 0.0);
    EXPECT_EQ(e[3], e[4]); // the tatum ticks with the beat
    // Phases are times inside the analysed span on the accent time line (n + 1.5) / rate, moved
    // by the accents' lead before the heard onset (9 ms).
    double const rate = tracker.parameters().accentRate;
    EXPECT_TRUE(e[4] >= 1.5 / rate && e[4] <= 86.5 / rate + 0.009) << e[4];
}

TEST(MeterTrackerSteps, SameStepsWhateverTheBlockSizes) {
    std::vector<double> x = music(4.0);
    mTracker steady(44100), ragged(44100);
    auto const run = [&](mTracker& tracker, auto blockSize) {
        std::size_t pos = 0;
        for (unsigned int b = 0; pos < x.size(); ++b) {
            auto const n = static_cast<unsigned int>(std::min<std::size_t>(blockSize(b), x.size() - pos));
            tracker.addData(x.data() + pos, n);
            tracker.process();
            pos += n;
            ASSERT_EQ(tracker.getStepsDone(), expectedSteps(pos)) << "after " << pos;
        }
    };
    // Blocks of 128 end exactly where each later step becomes due (47616 = 372 · 128).
    run(steady, [](unsigned int) { return 128u; });
    run(ragged, [](unsigned int b) { return std::array{1u, 7u, 300u, 4096u, 513u, 128u, 20000u}[b % 7]; });
    ASSERT_EQ(steady.getStepsDone(), 7u);
    EXPECT_EQ(ragged.getFramesConsumed(), steady.getFramesConsumed());
    // Only the running channel means depend on how the frames arrived; they move the periods and
    // ticks read between frames by far less than a frame (5.8 ms), which a step out of line would.
    Estimates const a = latest(steady), b = latest(ragged);
    for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(a[i], b[i], 0.001) << i;
}

TEST(MeterTrackerTicks, AttackNearATickIsWhereTheHitStarts) {
    // Noise hits from silence at 0.5003 and 1.0117 s, off the 128-sample hop: wherever the tick lies
    // in the window, the attack is within 3 ms of the hit's first sample. None on silence, before
    // the audio around the tick has come, or for a tick that is no number.
    std::vector<double> x(2 * 44100, 0.0);
    std::mt19937 rng(7);
    for (long i = 0; i < 6000; ++i)
        x[22063 + i] = x[44616 + i] = std::normal_distribution<double>(0.0, 0.3)(rng) * std::exp(-i / 1500.0);
    TrackerHandle t;
    feed(t.h, x);
    for (double tick : {0.4703, 0.5003, 0.5303, 0.9817, 1.0117, 1.0417, 0.25, 1.98})
        EXPECT_NEAR(mTracker_get_attack_near(t.h, tick, 0.05), tick < 0.3 || tick > 1.9 ? -1.0 : tick < 0.7 ? 0.5003 : 1.0117, 0.003) << tick;
    EXPECT_EQ(mTracker_get_attack_near(t.h, std::nan(""), 0.05), -1.0);
}

TEST(MeterTrackerTicks, FlushKeepsTheNewestRowAndTheStepsGoOn) {
    std::vector<double> x = music(6.0);
    TrackerHandle t;
    mTracker& tracker = *t.h;
    std::size_t const half = (x.size() / 2 / 128) * 128;
    feed(t.h, x, 0, half);
    unsigned int const rows = tracker.getPulseCacheRows();
    ASSERT_GE(rows, 3u);
    EXPECT_FALSE(tracker.flushPulseCache(-1.0));
    EXPECT_EQ(tracker.getRowsFlushed(), 0u);
    EXPECT_EQ(mTracker_flush_pulse_cache(t.h, 1e9), 1);
    EXPECT_TRUE(tracker.getRowsFlushed() == rows - 1 && tracker.getPulseCacheRows() == 1u);
    EXPECT_FALSE(tracker.flushPulseCache(1e9)); // the newest row always stays

    Estimates const before = latest(tracker);
    EXPECT_GT(before[1], 0.0);
    feed(t.h, x, half);
    EXPECT_EQ(tracker.getPulseCacheRows(), tracker.getStepsDone() - tracker.getRowsFlushed());
    // The tick lists now start at the kept row's phase and rise; the newest that fit are copied.
    std::vector<double> const beats = tracker.getBeatTicks();
    ASSERT_TRUE(beats.size() >= 4u && beats.front() >= before[4] - 1e-12);
    EXPECT_EQ(std::adjacent_find(beats.begin(), beats.end(), std::greater_equal<>()), beats.end());
    double ta[4], be[4], pa[4];
    int nt = 4, nb = 4, np = 0;
    mTracker_get_ticks(t.h, ta, &nt, be, &nb, pa, &np);
    EXPECT_TRUE(nb == 4 && np == 0 && std::equal(be, be + 4, beats.end() - 4));
}

TEST(MeterTrackerInput, SilenceAndGarbageLeaveItSound) {
    // Digital silence gives finite estimates. One block at a million times full scale (a driver's
    // garbage) must not scale every later accent to a whisper, and so lose the beat for good.
    std::vector<double> silence(static_cast<std::size_t>(3 * 44100), 0.0), x = music(7.0), spoilt = x;
    std::fill_n(spoilt.begin() + 44100, 128, 1e6);
    TrackerHandle quiet, clean, garbage;
    for (auto [t, input] : {std::pair{&quiet, &silence}, {&clean, &x}, {&garbage, &spoilt}})
        feed(t->h, *input);
    for (double s : quiet.h->getSalience())
        EXPECT_TRUE(std::isfinite(s) && s >= 0.0);
    for (double e : latest(*quiet.h))
        EXPECT_TRUE(std::isfinite(e));
    EXPECT_NEAR(periodEst(garbage.h)[4], periodEst(clean.h)[4], 0.02); // the latest beat
}

TEST(MeterTrackerInput, ResetForgetsEverything) {
    std::vector<double> x = music(2.0);
    TrackerHandle t, fresh;
    feed(t.h, x);
    ASSERT_GT(t.h->getStepsDone(), 0u);
    mTracker_reset(t.h);
    EXPECT_TRUE(t.h->getStepsDone() == 0u && periodEst(t.h) == periodEst(fresh.h));
    EXPECT_THAT(t.h->getBeatTicks(), ElementsAre(0.0));
    // And it starts over exactly like a new tracker.
    feed(t.h, x);
    feed(fresh.h, x);
    EXPECT_EQ(periodEst(t.h), periodEst(fresh.h));
}
