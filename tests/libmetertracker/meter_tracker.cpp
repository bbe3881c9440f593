// The meter tracker's bookkeeping and its function interface: when steps happen, what the
// read-out functions return, the pulse cache and the dump file.
#include "mTracker.h"
#include "meterTrackerC.h"
#include "synth_music.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using meterTracker::mTracker;
using ::testing::ElementsAre;

namespace {

// At 44.1 kHz the front end yields two accent frames per 512-sample hop once a whole
// 1024-sample frame is there; a step needs its 86 frames plus the 11-frame look-ahead.
unsigned int expectedSteps(std::size_t samples) {
    if (samples < 1024)
        return 0;
    std::size_t const frames = 2 * ((samples - 1024) / 512 + 1);
    return frames < 97 ? 0 : static_cast<unsigned int>((frames - 97) / 86 + 1);
}

std::string readFile(std::string const& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TrackerHandle {
    mTrackerHandle* h = mTracker_init(44100);
    ~TrackerHandle() { mTracker_close(h); }
};

// Feeds the whole signal in blocks of 128 samples, processing after each.
void feed(mTrackerHandle* h, std::vector<double>& x) {
    for (std::size_t i = 0; i < x.size(); i += 128) {
        auto const n = static_cast<unsigned int>(std::min<std::size_t>(128, x.size() - i));
        mTracker_add_data(h, x.data() + i, n);
        mTracker_process(h);
    }
}

} // namespace

TEST(MeterTrackerInterface, FreshTrackerHasNoEstimatesAndSingleZeroTicks) {
    TrackerHandle t;
    ASSERT_NE(t.h, nullptr);
    double v[6] = {0, 0, 0, 0, 0, 0};
    mTracker_get_period_est(t.h, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    EXPECT_THAT(v, ElementsAre(-1.0, -1.0, -1.0, -1.0, -1.0, -1.0));
    EXPECT_EQ(mTracker_get_beatyness(t.h), 0.0);

    double ta[3] = {9, 9, 9}, be[3] = {9, 9, 9}, pa[3] = {9, 9, 9};
    int nt = 3, nb = 3, np = 3;
    mTracker_get_ticks(t.h, ta, &nt, be, &nb, pa, &np);
    EXPECT_EQ(nt, 1);
    EXPECT_EQ(nb, 1);
    EXPECT_EQ(np, 1);
    EXPECT_THAT(ta, ElementsAre(0.0, 0.0, 0.0));

    std::string const path = ::testing::TempDir() + "fresh_" + std::to_string(getpid()) + ".met";
    mTracker_dump_metfile(t.h, path.c_str());
    EXPECT_EQ(readFile(path), "3\n1\n0.000000000\n1\n0.000000000\n1\n0.000000000\n");
    std::remove(path.c_str());

    mTracker_dump_metfile(t.h, nullptr); // nothing happens
    ::testing::internal::CaptureStderr();
    mTracker_dump_metfile(t.h, "/nonexistent-directory/x.met");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "metertracker: failed to save meter data\n");

    mTracker_close(nullptr);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(mTracker_init(48000), nullptr); // no front-end filters for 48 kHz
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Supported sampling rates: 44.1,32,22.05,16,8 kHz.\n");
    EXPECT_EQ(mTracker_process(t.h), 0);
}

TEST(MeterTrackerInterface, DecodesEveryJointState) {
    for (unsigned int tatum = 0; tatum < 5; ++tatum)
        for (unsigned int pattern = 0; pattern < 5; ++pattern)
            for (unsigned int beat = 0; beat < 5; ++beat) {
                unsigned int t = 9, p = 9, b = 9;
                mTracker::decodeState((tatum * 5 + pattern) * 5 + beat, 5, t, p, b);
                EXPECT_EQ(t, tatum);
                EXPECT_EQ(p, pattern);
                EXPECT_EQ(b, beat);
            }
}

TEST(MeterTrackerSteps, FirstStepNeedsHopPlusLookAheadFrames) {
    synth::MusicSpec spec;
    spec.seconds = 1.2;
    std::vector<double> x = synth::renderMusic(spec);
    mTracker tracker(44100);
    // 25600 samples give 49 frames = 98 accent frames ≥ 86 + 11.
    tracker.addData(x.data(), 25599);
    EXPECT_FALSE(tracker.process());
    EXPECT_EQ(tracker.getStepsDone(), 0u);
    tracker.addData(x.data() + 25599, 1);
    EXPECT_TRUE(tracker.process());
    EXPECT_EQ(tracker.getStepsDone(), 1u);
    EXPECT_EQ(tracker.getFramesConsumed(), 86u);
    EXPECT_FALSE(tracker.process()); // nothing new

    double tp, bp, pp, tph, bph, pph;
    tracker.getLatestPeriodEsts(tp, bp, pp, tph, bph, pph);
    EXPECT_GT(tp, 0.0);
    EXPECT_GT(bp, 0.0);
    EXPECT_GT(pp, 0.0);
    EXPECT_EQ(tph, bph); // the tatum ticks with the beat
    // Phases are times inside the analysed span on the accent time line (n + 1.5) / rate.
    double const rate = tracker.parameters().accentRate;
    EXPECT_GE(bph, 1.5 / rate);
    EXPECT_LE(bph, 86.5 / rate);

    // The second step needs 86 frames more: 47616 samples in all.
    tracker.addData(x.data() + 25600, 47615 - 25600);
    EXPECT_FALSE(tracker.process());
    tracker.addData(x.data() + 47615, 1);
    EXPECT_TRUE(tracker.process());
    EXPECT_EQ(tracker.getStepsDone(), 2u);
    EXPECT_EQ(tracker.getFramesConsumed(), 172u);
}

TEST(MeterTrackerSteps, SameStepsWhateverTheBlockSizes) {
    synth::MusicSpec spec;
    spec.seconds = 4.0;
    std::vector<double> x = synth::renderMusic(spec);
    unsigned int const blockCycle[] = {1, 7, 300, 4096, 513, 128, 20000};
    mTracker steady(44100), ragged(44100);

    for (std::size_t i = 0; i < x.size(); i += 128) {
        auto const n = static_cast<unsigned int>(std::min<std::size_t>(128, x.size() - i));
        steady.addData(x.data() + i, n);
        steady.process();
        ASSERT_EQ(steady.getStepsDone(), expectedSteps(i + n)) << "after " << i + n;
    }
    std::size_t pos = 0;
    for (unsigned int b = 0; pos < x.size(); ++b) {
        auto const n = static_cast<unsigned int>(std::min<std::size_t>(blockCycle[b % 7], x.size() - pos));
        ragged.addData(x.data() + pos, n);
        ragged.process();
        pos += n;
        ASSERT_EQ(ragged.getStepsDone(), expectedSteps(pos)) << "after " << pos;
    }
    ASSERT_EQ(steady.getStepsDone(), 7u);
    EXPECT_EQ(ragged.getFramesConsumed(), steady.getFramesConsumed());
    // Only the running channel means depend on how the frames arrived.
    double a[6], b[6];
    steady.getLatestPeriodEsts(a[0], a[1], a[2], a[3], a[4], a[5]);
    ragged.getLatestPeriodEsts(b[0], b[1], b[2], b[3], b[4], b[5]);
    for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(a[i], b[i], 1e-9) << i;
}

TEST(MeterTrackerTicks, GetTicksCopiesTheNewestWithinCapacity) {
    synth::MusicSpec spec;
    spec.seconds = 7.0;
    std::vector<double> x = synth::renderMusic(spec);
    TrackerHandle t;
    feed(t.h, x);
    auto const* tracker = static_cast<mTracker const*>(t.h);
    std::vector<double> const beats = tracker->getBeatTicks();
    ASSERT_GE(beats.size(), 10u);
    for (std::size_t i = 1; i < beats.size(); ++i)
        EXPECT_GT(beats[i], beats[i - 1]);

    double ta[4], be[4], pa[4];
    int nt = 4, nb = 4, np = 0;
    mTracker_get_ticks(t.h, ta, &nt, be, &nb, pa, &np);
    EXPECT_EQ(nb, 4);
    EXPECT_THAT(be, ElementsAre(beats[beats.size() - 4], beats[beats.size() - 3], beats[beats.size() - 2],
                                beats.back()));
    EXPECT_EQ(np, 0);

    std::vector<double> all(beats.size() + 3, 5.0);
    int n = static_cast<int>(all.size());
    mTracker_get_ticks(t.h, nullptr, nullptr, all.data(), &n, nullptr, nullptr);
    EXPECT_EQ(n, static_cast<int>(beats.size()));
    EXPECT_TRUE(std::equal(beats.begin(), beats.end(), all.begin()));
    EXPECT_THAT(std::vector<double>(all.end() - 3, all.end()), ElementsAre(0.0, 0.0, 0.0));

    // A shorter list than the capacity: all copied, the rest zeroed.
    TrackerHandle fresh;
    double four[4] = {7, 7, 7, 7};
    int nFour = 4;
    mTracker_get_ticks(fresh.h, nullptr, nullptr, four, &nFour, nullptr, nullptr);
    EXPECT_EQ(nFour, 1);
    EXPECT_THAT(four, ElementsAre(0.0, 0.0, 0.0, 0.0));
}

TEST(MeterTrackerTicks, FlushKeepsTheNewestRowAndTheStepsGoOn) {
    synth::MusicSpec spec;
    spec.seconds = 6.0;
    std::vector<double> x = synth::renderMusic(spec);
    mTracker tracker(44100);
    std::size_t const half = (x.size() / 2 / 128) * 128;
    for (std::size_t i = 0; i < half; i += 128) {
        tracker.addData(x.data() + i, 128);
        tracker.process();
    }
    unsigned int const rows = tracker.getPulseCacheRows();
    ASSERT_GE(rows, 3u);
    EXPECT_FALSE(tracker.flushPulseCache(-1.0));
    EXPECT_EQ(tracker.getRowsFlushed(), 0u);
    EXPECT_TRUE(tracker.flushPulseCache(1e9));
    EXPECT_EQ(tracker.getRowsFlushed(), rows - 1);
    EXPECT_EQ(tracker.getPulseCacheRows(), 1u);
    EXPECT_FALSE(tracker.flushPulseCache(1e9)); // the newest row always stays

    double before[6];
    tracker.getLatestPeriodEsts(before[0], before[1], before[2], before[3], before[4], before[5]);
    EXPECT_GT(before[1], 0.0);

    for (std::size_t i = half; i + 128 <= x.size(); i += 128) {
        tracker.addData(x.data() + i, 128);
        tracker.process();
    }
    EXPECT_EQ(tracker.getPulseCacheRows(), tracker.getStepsDone() - tracker.getRowsFlushed());
    // The tick lists now start at the kept row's phase.
    EXPECT_GE(tracker.getBeatTicks().front(), before[4] - 1e-12);

    auto* h = mTracker_init(44100);
    EXPECT_EQ(mTracker_flush_pulse_cache(h, 100.0), 0); // nothing to remove yet
    mTracker_close(h);
}

TEST(MeterTrackerInput, NonFiniteSamplesAreTakenAsZero) {
    // A click track at 120 BPM with a second of NaN and infinities in the middle.
    std::vector<double> x(static_cast<std::size_t>(14 * 44100), 0.0);
    for (std::size_t beat = 0; beat * 22050 < x.size(); ++beat)
        for (std::size_t i = 0; i < 200 && beat * 22050 + i < x.size(); ++i)
            x[beat * 22050 + i] = (beat % 4 == 0 ? 0.9 : 0.5) * std::exp(-static_cast<double>(i) / 40.0);
    for (std::size_t i = 5 * 44100; i < 6 * 44100; ++i)
        x[i] =
            (i % 3 == 0) ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
    TrackerHandle t;
    feed(t.h, x);
    double v[6];
    mTracker_get_period_est(t.h, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    for (double e : v)
        EXPECT_TRUE(std::isfinite(e));
    EXPECT_NEAR(v[1], 0.5, 0.01);
    EXPECT_TRUE(std::isfinite(mTracker_get_beatyness(t.h)));
}

TEST(MeterTrackerInput, DigitalSilenceGivesFiniteEstimatesOrNone) {
    std::vector<double> x(static_cast<std::size_t>(3 * 44100), 0.0);
    TrackerHandle t;
    feed(t.h, x);
    mTracker const& tracker = *t.h;
    for (double s : tracker.getSalience()) {
        EXPECT_TRUE(std::isfinite(s));
        EXPECT_GE(s, 0.0);
    }
    double v[6];
    tracker.getLatestPeriodEsts(v[0], v[1], v[2], v[3], v[4], v[5]);
    for (double e : v)
        EXPECT_TRUE(std::isfinite(e));
}

TEST(MeterTrackerInput, ResetForgetsEverything) {
    synth::MusicSpec spec;
    spec.seconds = 2.0;
    std::vector<double> x = synth::renderMusic(spec);
    TrackerHandle t;
    feed(t.h, x);
    auto const* tracker = static_cast<mTracker const*>(t.h);
    ASSERT_GT(tracker->getStepsDone(), 0u);
    double const beatyness = mTracker_get_beatyness(t.h);
    mTracker_reset(t.h);
    EXPECT_EQ(tracker->getStepsDone(), 0u);
    EXPECT_THAT(tracker->getBeatTicks(), ElementsAre(0.0));
    double v[6];
    mTracker_get_period_est(t.h, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    EXPECT_EQ(v[1], -1.0);
    EXPECT_EQ(mTracker_get_beatyness(t.h), beatyness);
    // And it starts over exactly like a new tracker.
    feed(t.h, x);
    TrackerHandle fresh;
    feed(fresh.h, x);
    double w[6];
    mTracker_get_period_est(t.h, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    mTracker_get_period_est(fresh.h, &w[0], &w[1], &w[2], &w[3], &w[4], &w[5]);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(v[i], w[i]);
}
