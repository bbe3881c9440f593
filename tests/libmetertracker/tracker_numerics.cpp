// The free numeric functions of the meter tracker, checked against hand-computed values.
#include "Matrix.h"
#include "beatGivenTatum.h"
#include "lognPdf.h"
#include "meterLogTransLikes.h"
#include "meterPerPha2Pulse.h"
#include "peakPickHeight.h"
#include "phaLogTransLikes.h"
#include "solvePattPhase.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using ARGMathLibrary::Matrix;
using namespace meterTracker;
using ::testing::ElementsAre;

namespace {
constexpr double sqrtTwoPi = 2.5066282746310002;
std::vector<double> const ratioWeights = {0.9020073524848866,  1.0,
                                          0.7302768106235606,  1.1438508100093516,
                                          0.443270652313484,   0.8863431230976493,
                                          0.43706546371614174, 0.796691092092133,
                                          0.6586692681470597};
} // namespace

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

TEST(LognPdf, DensityAtMedianAndAwayFromIt) {
    double v = 0;
    lognPdf(0.55, 0.55, 0.28, v);
    EXPECT_DOUBLE_EQ(v, 1.0 / (0.55 * 0.28 * sqrtTwoPi));

    std::vector<double> out;
    lognPdf(std::vector<double>{0.55, 1.1}, 0.55, 0.28, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_DOUBLE_EQ(out[0], v);
    EXPECT_NEAR(out[1], 0.06048277614062221, 1e-15);
}

TEST(MeterLogTransLikes, DoublingAndHalvingCostTheSame) {
    Matrix<double> out;
    meterLogTransLikes({0.5, 1.0}, {0.5, 1.0, 0.25}, 0.1, out);
    ASSERT_EQ(out.nRows(), 2u);
    ASSERT_EQ(out.nCols(), 3u);
    EXPECT_DOUBLE_EQ(out[0][0], 0.0);
    EXPECT_DOUBLE_EQ(out[1][1], 0.0);
    EXPECT_NEAR(out[0][1], -4.5309529144728256, 1e-12);
    EXPECT_NEAR(out[1][0], out[0][1], 1e-12);
    EXPECT_NEAR(out[0][2], out[0][1], 1e-12);
}

TEST(BeatGivenTatum, FourBeatsToTheBarIsMostLikely) {
    double const t = 0.5;
    std::vector<double> out;
    beatGivenTatum({1 * t, 2 * t, 3 * t, 4 * t, 5 * t, 6 * t}, t, 0.3, ratioWeights, out);
    std::vector<double> const expected = {0.17213591223320757, 0.19122116009250853, 0.1403436040346298,
                                          0.21821899583015172, 0.08572260693145005, 0.16907145672753499};
    ASSERT_EQ(out.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(out[i], expected[i], 1e-12) << i;
    EXPECT_GT(out[3], out[2]);
    EXPECT_GT(out[3], out[4]);
}

TEST(SolvePattPhase, LowHitAtBarStartScoresBothTemplates) {
    Matrix<double> S(8, 4);
    S[0][0] = 1.0;
    std::vector<double> ph;
    unsigned int const best = solvePattPhase(S, ph);
    std::vector<double> const expected = {24.4965, 0, 12.0498, 0, 3.0314, 0, 2.1, 0};
    ASSERT_EQ(ph.size(), expected.size());
    for (std::size_t j = 0; j < ph.size(); ++j)
        EXPECT_NEAR(ph[j], expected[j], 1e-9) << j;
    EXPECT_EQ(best, 0u);
}

TEST(PhaLogTransLikes, WrapsDifferencesIntoOnePeriod) {
    Matrix<double> out;
    double const T = 0.5;
    // Same time, one period later, half a period later, a quarter period earlier.
    phaLogTransLikes({10.0}, T, {10.0, 10.5, 10.25, 9.875}, 0.1, out);
    ASSERT_EQ(out.nRows(), 1u);
    ASSERT_EQ(out.nCols(), 4u);
    double const peak = 1.0 / (0.1 * sqrtTwoPi);
    EXPECT_NEAR(out[0][0], peak, 1e-12);
    EXPECT_NEAR(out[0][1], peak, 1e-9);
    EXPECT_NEAR(out[0][2], std::exp(-12.5) * peak, 1e-15);
    EXPECT_NEAR(out[0][3], std::exp(-0.5 * 2.5 * 2.5) * peak, 1e-12);
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
