// The free numeric functions of the meter tracker against hand-computed values: the music tests
// do not notice a likelihood that is merely wrong (a phase wrap at the wrong point still tracks).
#include "Matrix.h"
#include "barChooser.h"
#include "beatGivenTatum.h"
#include "lognPdf.h"
#include "meterLogTransLikes.h"
#include "meterPerPha2Pulse.h"
#include "peakPickHeight.h"
#include "phaLogTransLikes.h"
#include "solvePattPhase.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using ARGMathLibrary::Matrix;
using namespace meterTracker;

namespace {
constexpr double sqrtTwoPi = 2.5066282746310002;

void expectNear(std::vector<double> const& got, std::vector<double> const& want, double tolerance) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_NEAR(got[i], want[i], tolerance) << i;
}
} // namespace

TEST(LikelihoodFunctions, MatchHandComputedValues) {
    std::vector<double> out;
    lognPdf(std::vector<double>{0.55, 1.1}, 0.55, 0.28, out);
    expectNear(out, {1.0 / (0.55 * 0.28 * sqrtTwoPi), 0.06048277614062221}, 1e-14);

    // Four beats to the bar is the most likely pattern of a 0.5 s tatum.
    double const t = 0.5;
    std::vector<double> const ratioWeights = {0.9020073524848866, 1.0, 0.7302768106235606, 1.1438508100093516,
                                              0.443270652313484, 0.8863431230976493, 0.43706546371614174,
                                              0.796691092092133, 0.6586692681470597};
    beatGivenTatum({1 * t, 2 * t, 3 * t, 4 * t, 5 * t, 6 * t}, t, 0.3, ratioWeights, out);
    expectNear(out, {0.17213591223320757, 0.19122116009250853, 0.1403436040346298, 0.21821899583015172,
                     0.08572260693145005, 0.16907145672753499}, 1e-12);

    // A low hit at the bar start scores both templates.
    Matrix<double> S(8, 4);
    S[0][0] = 1.0;
    EXPECT_EQ(solvePattPhase(S, out), 0u);
    expectNear(out, {24.4965, 0, 12.0498, 0, 3.0314, 0, 2.1, 0}, 1e-9);

    // Doubling and halving cost the same.
    Matrix<double> m;
    meterLogTransLikes({0.5, 1.0}, {0.5, 1.0, 0.25}, 0.1, m);
    ASSERT_TRUE(m.nRows() == 2u && m.nCols() == 3u);
    expectNear({m[0][0], m[1][1], m[0][1], m[1][0], m[0][2]}, {0, 0, -4.5309529144728256, -4.5309529144728256,
                                                              -4.5309529144728256}, 1e-12);

    // Phase differences wrap into one period: same time, one period later, half a period later, a
    // quarter period earlier, and 0.6 periods later, which is 0.4 periods early.
    phaLogTransLikes({10.0}, 0.5, {10.0, 10.5, 10.25, 9.875, 10.3}, 0.1, m);
    ASSERT_TRUE(m.nRows() == 1u && m.nCols() == 5u);
    double const peak = 1.0 / (0.1 * sqrtTwoPi);
    expectNear({m[0][0], m[0][1], m[0][2], m[0][3], m[0][4]},
               {peak, peak, std::exp(-12.5) * peak, std::exp(-0.5 * 2.5 * 2.5) * peak, std::exp(-8.0) * peak}, 1e-9);
}

TEST(PeakPickHeight, HighestPeaksFirstAndMarkersForMissingOnes) {
    // The ends count as peaks when above their only neighbour; equal neighbours make no peak;
    // missing peaks are marked with the length. No peak or no request returns false.
    struct Case {
        std::vector<double> x;
        unsigned int n;
        bool found;
        std::vector<unsigned int> idx;
    };
    for (Case const& c : {Case{{1, 3, 2, 5, 4}, 2, true, {3, 1}}, Case{{5, 4, 3}, 3, true, {0, 3, 3}},
                          Case{{1, 2, 2, 1, 3}, 2, true, {4, 5}}, Case{{7}, 2, true, {0, 1}},
                          Case{{2, 2, 2, 2}, 3, false, {4, 4, 4}}, Case{{1, 3, 2}, 0, false, {42}}}) {
        std::vector<unsigned int> idx{42};
        EXPECT_EQ(peakPickHeight(c.x, c.n, idx), c.found) << ::testing::PrintToString(c.x);
        EXPECT_EQ(idx, c.idx) << ::testing::PrintToString(c.x);
    }
    std::vector<unsigned int> idx;
    EXPECT_FALSE(peakPickHeight({}, 2, idx));
}

TEST(MeterPerPha2Pulse, FillsGapsAndSkipsPhasesThatDidNotMoveOn) {
    // Over a gap of several periods the fill stops half a period before the next phase; no
    // phases at all leave the single zero, whatever the list held.
    struct Case {
        std::vector<double> periods, phases, before, pulses;
    };
    for (Case const& c : {Case{{0.5, 0.5}, {10.0, 11.0}, {0, 1, 2}, {10.0, 10.5, 11.0}},
                          Case{{0.5, 0.5, 0.5}, {10.0, 10.2, 11.0}, {0, 1, 2}, {10.0, 11.0}},
                          Case{{0.5, 0.4}, {1.0, 2.3}, {}, {1.0, 1.5, 2.0, 2.3}},
                          Case{{}, {}, {0, 1, 2}, {0.0}}, Case{{}, {}, {}, {0.0}}}) {
        std::vector<double> pulses = c.before;
        meterPerPha2Pulse(c.periods, c.phases, pulses);
        EXPECT_EQ(pulses, c.pulses) << ::testing::PrintToString(c.phases);
    }
}

TEST(BarChooser, BeatsOfNearSilenceLeaveTheBarLengthFreeForTheMusicAfter) {
    // 12 s of beats whose accents decayed to 1e-160 (their squared norms underflow), then 28 s of
    // a waltz at 120 BPM, its bar judged every 86 accent frames (172.27 a second).
    BarChooser bars;
    bars.configure(172.265625, 36, 44100.0);
    Matrix<double> frame(36, 1);
    unsigned int beats = 0;
    double downbeat = 0.0;
    for (unsigned int n = 0; n < 6891; ++n) {
        double const t = (n + 1.5) / 172.265625, beat = std::round(2.0 * t);
        double const level = std::fabs(t - beat / 2.0) < 0.0029 ? (t < 12.0 ? 1e-160 : 1.0) : 0.0;
        for (unsigned int b = 0; b < 36; ++b)
            frame[b][0] = level * ((b < 9) == (std::fmod(beat, 3.0) == 0.0) ? 1.0 : 0.1);
        bars.addFrames(frame, 0, n, 1);
        if (n % 86 == 85)
            bars.choose(0.5, std::floor(2.0 * t) / 2.0, beats, downbeat);
    }
    EXPECT_EQ(beats, 3u);
}
