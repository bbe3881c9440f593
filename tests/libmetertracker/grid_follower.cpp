// The beat grid follower and the steady tempo over long stretches: finer than a frame at steady
// tempo, continuous across updates, and quick to leave a grid the music has left.
#include "gridFollower.h"
#include "steadyTempo.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using meterTracker::GridFollower;

namespace {

constexpr double frame = 1.0 / 172.265625; // one accent frame

// Periods and tick times as the analysis steps report them: two steps a second, each with
// the period and the latest tick rounded to whole frames plus a few ms of scatter.
struct Observer {
    double period, phase;
    std::mt19937 rng{5};
    std::normal_distribution<double> scatter{0.0, 0.003};
    void at(double t, double& p, double& tick) {
        p = std::round(period / frame) * frame;
        tick = phase + std::floor((t - phase) / period) * period;
        tick = std::round(tick / frame) * frame + scatter(rng);
    }
};

TEST(GridFollower, SteadyTempoComesOutFinerThanAFrameWithoutJumpsSeesThroughWavesAndFollowsADrift) {
    Observer music{60.0 / 131.7, 0.21};
    GridFollower grid;
    // Also a drummer's 25 ms waves over 12 s around 120 BPM and a 2 %/10 s drift, on 3 ms of scatter.
    meterTracker::SteadyTempo steady, player, drift;
    double previousTick = NAN, previousPeriod = NAN;
    for (int step = 1; step <= 120; ++step) {
        double p, tick, period, gridTick;
        music.at(0.5 * step, p, tick);
        grid.update(p, tick, period, gridTick);
        // Half a minute of ticks and more, each rounded to a frame, measures the tempo five times
        // finer than the short line must, and two ticks of a fill 25 ms late do not bend it.
        double const steadyPeriod = steady.update(tick + (step == 39 || step == 40 ? 0.025 : 0.0), period);
        EXPECT_NEAR(steadyPeriod, music.period, (step > 60 || step == 40 ? 2e-4 : 1.0) * music.period) << step;
        double const t = 0.5 * step, w = M_PI / 6.0, drifting = 0.5 + 0.0005 * step;
        double const heard = t + 0.025 * std::sin(w * t) + music.scatter(music.rng);
        EXPECT_NEAR(player.update(heard, 0.5 + 0.0065 * std::cos(w * t)), 0.5, (t > 25 ? 1e-3 : 0.02) * 0.5);
        double const drifted = drift.update(t + 0.00025 * step * step + music.scatter(music.rng), drifting);
        EXPECT_NEAR(drifted, drifting, 0.003 * drifting) << step;
        if (step > 16) {
            EXPECT_NEAR(period, music.period, 0.001 * music.period) << "step " << step;
            EXPECT_NEAR(std::remainder(gridTick - music.phase, music.period), 0.0, 0.004) << "step " << step;
            // Consecutive grids agree where they overlap.
            double const n = std::round((gridTick - previousTick) / previousPeriod);
            EXPECT_NEAR(previousTick + n * previousPeriod, gridTick, 0.003) << "step " << step;
        }
        previousTick = gridTick;
        previousPeriod = period;
    }
    // The resonance peak steadies a young line where the two agree, never an old line or a moving tempo.
    for (auto [line, n, want] : {std::tuple{0.5005, 4u, 0.50018}, {0.5005, 64u, 0.5005}, {0.51, 4u, 0.51}})
        EXPECT_NEAR(meterTracker::withResonancePeriod(line, n, 0.5, 172.0), want, 3e-5) << line << ", " << n;
}

TEST(GridFollower, NewTempoOrPhaseIsTakenUpAndBadInputIgnored) {
    GridFollower grid;
    double period, tick;
    for (int step = 0; step < 10; ++step)
        grid.update(0.5, 0.5 * step, period, tick);
    grid.update(NAN, 5.0, period, tick);
    grid.update(0.5, INFINITY, period, tick);
    EXPECT_DOUBLE_EQ(period, 0.5);
    // Another metrical level: taken at once.
    grid.update(0.25, 5.0, period, tick);
    EXPECT_TRUE(period == 0.25 && tick == 5.0);
    // A phase half a period off: held once, taken on the second step.
    grid.update(0.25, 5.125, period, tick);
    EXPECT_NEAR(std::remainder(tick - 5.0, 0.25), 0.0, 1e-9);
    grid.update(0.25, 5.375, period, tick);
    EXPECT_NEAR(std::remainder(tick - 5.125, 0.25), 0.0, 1e-9);
}

} // namespace
