// The free numeric functions of the meter tracker, checked against hand-computed values.
#include "Matrix.h"
#include "beatGivenTatum.h"
#include "kron.h"
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
    std::vector<unsigned int> idx;
    EXPECT_TRUE(peakPickHeight({1, 3, 2, 5, 4}, 2, idx));
    EXPECT_THAT(idx, ElementsAre(3u, 1u));

    // The first element counts as a peak when it is above its only neighbour.
    EXPECT_TRUE(peakPickHeight({5, 4, 3}, 3, idx));
    EXPECT_THAT(idx, ElementsAre(0u, 3u, 3u));

    // The last element likewise; equal neighbours make no peak.
    EXPECT_TRUE(peakPickHeight({1, 2, 2, 1, 3}, 2, idx));
    EXPECT_THAT(idx, ElementsAre(4u, 5u));

    EXPECT_TRUE(peakPickHeight({7}, 2, idx));
    EXPECT_THAT(idx, ElementsAre(0u, 1u));
}

TEST(PeakPickHeight, NoPeakOrNoRequestReturnsFalse) {
    std::vector<unsigned int> idx;
    EXPECT_FALSE(peakPickHeight({2, 2, 2, 2}, 3, idx));
    EXPECT_THAT(idx, ElementsAre(4u, 4u, 4u));

    idx = {42};
    EXPECT_FALSE(peakPickHeight({1, 3, 2}, 0, idx));
    EXPECT_THAT(idx, ElementsAre(42u));

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

TEST(Kron, BlocksAreScaledCopies) {
    Matrix<double> A(2, 2), B(1, 3), out(7, 7, 9.0);
    std::ranges::copy(std::initializer_list<double>{1, 2, 3, 4}, A.begin()); // row by row
    std::ranges::copy(std::initializer_list<double>{1, 10, 100}, B.begin());
    kron(A, B, out);
    ASSERT_EQ(out.nRows(), 2u);
    ASSERT_EQ(out.nCols(), 6u);
    double const expected[2][6] = {{1, 10, 100, 2, 20, 200}, {3, 30, 300, 4, 40, 400}};
    for (unsigned int i = 0; i < 2; ++i)
        for (unsigned int j = 0; j < 6; ++j)
            EXPECT_EQ(out[i][j], expected[i][j]) << i << "," << j;

    // The period tracker's layout: kron(Mt, ones 25×25) repeats each tatum entry in a 25×25 block.
    Matrix<double> Mt(5, 5), ones(25, 25, 1.0), big;
    Mt[2][3] = -7.0;
    kron(Mt, ones, big);
    ASSERT_EQ(big.nRows(), 125u);
    EXPECT_EQ(big[2 * 25 + 24][3 * 25], -7.0);
    EXPECT_EQ(big[2 * 25][4 * 25], 0.0);
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
    EXPECT_NEAR(out[0][0], 3.989422804014327, 1e-12);
    EXPECT_NEAR(out[0][1], peak, 1e-9);
    EXPECT_NEAR(out[0][2], std::exp(-12.5) * peak, 1e-15);
    EXPECT_NEAR(out[0][2], 1.4867195147342977e-05, 1e-15);
    EXPECT_NEAR(out[0][3], std::exp(-0.5 * 2.5 * 2.5) * peak, 1e-12);
}

TEST(MeterPerPha2Pulse, FillsGapsAndSkipsPhasesThatDidNotMoveOn) {
    std::vector<double> pulses;
    meterPerPha2Pulse({0.5, 0.5}, {10.0, 11.0}, pulses);
    EXPECT_THAT(pulses, ElementsAre(10.0, 10.5, 11.0));

    meterPerPha2Pulse({0.5, 0.5, 0.5}, {10.0, 10.2, 11.0}, pulses);
    EXPECT_THAT(pulses, ElementsAre(10.0, 11.0));

    // A gap of several periods: the fill stops half a period before the next phase.
    meterPerPha2Pulse({0.5, 0.4}, {1.0, 2.3}, pulses);
    EXPECT_THAT(pulses, ElementsAre(1.0, 1.5, 2.0, 2.3));

    pulses = {0.0, 1.0, 2.0};
    meterPerPha2Pulse({}, {}, pulses);
    EXPECT_THAT(pulses, ElementsAre(0.0));
    pulses.clear();
    meterPerPha2Pulse({}, {}, pulses);
    EXPECT_THAT(pulses, ElementsAre(0.0));
}
