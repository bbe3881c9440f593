// The accent front end's fixed design: band layout, low-pass designs, delays, statistics.
#include "onsets.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <unistd.h>
#include <vector>

namespace {

TEST(OnsetsDesign, BandEdgesAt44100AreErbSpacedFrom50HzTo90PercentOfNyquist) {
    Onsets onsets(44100);
    std::vector<double> const& edges = onsets.bandEdges();
    ASSERT_EQ(edges.size(), 38u);
    EXPECT_DOUBLE_EQ(edges[0], 50.0);
    EXPECT_NEAR(edges[1], 84.174, 5e-4);
    EXPECT_NEAR(edges[2], 122.536, 5e-4);
    EXPECT_NEAR(edges[3], 165.597, 5e-4);
    EXPECT_NEAR(edges[36], 17654.047, 5e-4);
    EXPECT_NEAR(edges[37], 19845.0, 1e-9);
    // Equal steps on the ERB-rate scale.
    double const step = Onsets::hz2erb(edges[1]) - Onsets::hz2erb(edges[0]);
    for (std::size_t k = 1; k < edges.size(); ++k)
        EXPECT_NEAR(Onsets::hz2erb(edges[k]) - Onsets::hz2erb(edges[k - 1]), step, 1e-9) << k;
}

TEST(OnsetsDesign, BandBinsAt44100) {
    Onsets onsets(44100);
    ASSERT_EQ(onsets.numBands(), 36u);
    auto const bins = [&](unsigned int b) {
        Onsets::BandBins const x = onsets.bandBins(b);
        return std::array{x.first, x.peak, x.last};
    };
    EXPECT_THAT(bins(0), ::testing::ElementsAre(1u, 2u, 3u));
    EXPECT_THAT(bins(35), ::testing::ElementsAre(365u, 410u, 461u));
    // Every band's triangle rises from, peaks at and falls to the bins of three neighbouring
    // edges, so a sine lights up the band around its frequency.
    std::vector<double> const& edges = onsets.bandEdges();
    for (unsigned int b = 0; b < 36; ++b) {
        EXPECT_LT(bins(b)[0], bins(b)[1]) << b;
        EXPECT_LT(bins(b)[1], bins(b)[2]) << b;
        EXPECT_LT(bins(b)[2], 512u) << b;
        for (unsigned int k = 0; k < 3; ++k)
            EXPECT_NEAR(bins(b)[k], edges[b + k] * 1024 / 44100, 0.5) << b << " " << k;
    }
}

TEST(OnsetsDesign, ScaleAndRoundingHelpers) {
    EXPECT_NEAR(Onsets::erb2hz(Onsets::hz2erb(1234.5)), 1234.5, 1e-9);
    EXPECT_DOUBLE_EQ(Onsets::hz2erb(0), 0.0);
    EXPECT_EQ(Onsets::rintAK(2.5), 3.0);
    EXPECT_EQ(Onsets::rintAK(2.4999), 2.0);
    EXPECT_EQ(Onsets::rintAK(-2.5), -2.0); // halves go up, also below zero
    EXPECT_EQ(Onsets::rintAK(-2.6), -3.0);
    std::vector<double> edges; // grown to n + 1 values
    Onsets::freqBands(edges, 100, 1000, 4);
    ASSERT_EQ(edges.size(), 5u);
    EXPECT_DOUBLE_EQ(edges[0], 100.0);
    EXPECT_NEAR(edges[4], 1000.0, 1e-9);
}

TEST(OnsetsDesign, SlopeWeightAndAccentRates) {
    EXPECT_DOUBLE_EQ(Onsets::slopeWeight(172.265625), 7.751953125);
    EXPECT_DOUBLE_EQ(Onsets::slopeWeight(125), 5.625);
    EXPECT_DOUBLE_EQ(Onsets(44100).getAccentSrate(), 172.265625);
    EXPECT_DOUBLE_EQ(Onsets(32000).getAccentSrate(), 125.0);
    EXPECT_DOUBLE_EQ(Onsets(22050).getAccentSrate(), 172.265625);
    EXPECT_DOUBLE_EQ(Onsets(16000).getAccentSrate(), 125.0);
}

TEST(OnsetsDesign, StoredLowpassDesignsInUse) {
    // Unity gain at DC too: a low-pass that passes the envelope's mean unchanged.
    struct Design {
        double cutoff, gain;
        std::array<double, 7> a;
        int groupDelay;
    };
    std::array<double, 7> const binomial = {1, 6, 15, 20, 15, 6, 1};
    for (Design const& d : {Design{20 / 172.265625,
                                   1.934821074187553e-05,
                                   {1, -4.592236133523747, 8.918281529847143, -9.353758411594637,
                                    5.578960297450523, -1.791904459442157, 0.2418954627503554},
                                   12},
                            Design{0.16,
                                   0.0001070688974214216,
                                   {1, -4.061643999213436, 7.099503818750704, -6.785016025397502,
                                    3.723019428891598, -1.108670855343532, 0.1396600417471391},
                                   9}}) {
        std::vector<double> b, a;
        Onsets::butter6stored(b, a, d.cutoff);
        ASSERT_EQ(b.size(), 7u);
        ASSERT_EQ(a.size(), 7u);
        double sumB = 0, sumA = 0;
        for (int i = 0; i < 7; ++i) {
            EXPECT_DOUBLE_EQ(b[i], d.gain * binomial[i]) << d.cutoff << " " << i;
            EXPECT_DOUBLE_EQ(a[i], d.a[i]) << d.cutoff << " " << i;
            sumB += b[i];
            sumA += a[i];
        }
        EXPECT_EQ(Onsets::grpDelayAverage(b, a, 199), d.groupDelay);
        EXPECT_NEAR(sumB / sumA, 1.0, 1e-9);
    }
}

TEST(OnsetsDesign, StoredDesignLookupOrderAndUnknownCutoff) {
    std::vector<double> b, a;
    // 0.08 lies within 0.01 of 0.0871, which is listed first.
    Onsets::butter6stored(b, a, 0.08);
    EXPECT_NEAR(a[1], -4.943398513351704, 1e-12);
    Onsets::butter6stored(b, a, 0.029);
    EXPECT_DOUBLE_EQ(b[0], 7.561594001989635e-09);
    EXPECT_DOUBLE_EQ(a[6], 0.7029536125441948);

    testing::internal::CaptureStdout();
    Onsets::butter6stored(b, a, 0.7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unknown cutoff frequency.\n");
    EXPECT_EQ(b, std::vector<double>({1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(a, std::vector<double>({1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Onsets::grpDelayAverage(b, a, 199), 0);
}

TEST(OnsetsDesign, GroupDelayPeakSearch) {
    // A pure delay of three samples peaks at 3; a negative response never beats 0.
    EXPECT_EQ(Onsets::grpDelayAverage({0, 0, 0, 1}, {1}, 10), 3);
    EXPECT_EQ(Onsets::grpDelayAverage({-1, -2}, {1}, 10), 0);
    // The first of two equal peaks wins.
    EXPECT_EQ(Onsets::grpDelayAverage({0, 1, 1}, {1}, 10), 1);
}

TEST(OnsetsDesign, RunningStatisticsAreTheUnbiasedSampleVariance) {
    Onsets onsets(44100);
    double mean = -1, sd = -1;
    onsets.getMeanAndStd(mean, sd, {});
    EXPECT_EQ(mean, 0.0);
    EXPECT_EQ(sd, 0.0);
    onsets.getMeanAndStd(mean, sd, {1, 2, 3, 4});
    EXPECT_DOUBLE_EQ(mean, 2.5);
    EXPECT_NEAR(sd, std::sqrt(5.0 / 3.0), 1e-12);
    onsets.getMeanAndStd(mean, sd, {5});
    EXPECT_DOUBLE_EQ(mean, 3.0);
    EXPECT_NEAR(sd, std::sqrt(2.5), 1e-12);
    onsets.getMeanAndStd(mean, sd, {}); // nothing new: unchanged
    EXPECT_DOUBLE_EQ(mean, 3.0);
    EXPECT_NEAR(sd, std::sqrt(2.5), 1e-12);
    onsets.reset();
    onsets.getMeanAndStd(mean, sd, {7});
    EXPECT_EQ(mean, 7.0);
    EXPECT_EQ(sd, 0.0);
}

TEST(OnsetsDesign, WindowIsASymmetricHannWithEndsOutsideTheFrame) {
    Onsets onsets(44100);
    std::vector<double> const& w = onsets.window();
    ASSERT_EQ(w.size(), 1024u);
    EXPECT_GT(w[0], 0.0);
    EXPECT_NEAR(w[0], 0.5 - 0.5 * std::cos(2 * M_PI / 1025), 1e-12);
    for (std::size_t i = 0; i < 512; ++i)
        EXPECT_NEAR(w[i], w[1023 - i], 1e-12) << i;
    EXPECT_NEAR(w[511], 1.0, 1e-5);
}

TEST(OnsetsDesign, SetSrateRebuildsForEightKilohertz) {
    Onsets onsets(44100);
    onsets.setSrate(8000);
    EXPECT_EQ(onsets.numBands(), 9u);
    EXPECT_EQ(onsets.frameLength(), 256u);
    EXPECT_EQ(onsets.window().size(), 256u);
    EXPECT_DOUBLE_EQ(onsets.getAccentSrate(), 125.0);
    EXPECT_EQ(onsets.bandEdges().size(), 11u);
    EXPECT_NEAR(onsets.bandEdges().back(), 3600.0, 1e-9);

    std::vector<double> noise(256);
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = std::sin(0.37 * static_cast<double>(i * i));
    onsets.addData(noise);
    ASSERT_TRUE(onsets.process());
    EXPECT_EQ(onsets.getGroupDelay(), 8u);
    EXPECT_EQ(onsets.bandEnvEnd(), 2u);
    EXPECT_EQ(onsets.bufferedSamples().size(), 128u);
}

TEST(OnsetsDesignDeathTest, UnsupportedRateNamesTheSupportedOnes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The message goes to standard output; the death test watches standard error.
    EXPECT_DEATH(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            Onsets onsets(48000);
        },
        "Supported sampling rates: 44\\.1,32,22\\.05,16,8 kHz\\.");
    Onsets onsets(44100);
    EXPECT_DEATH(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            onsets.setSrate(11025);
        },
        "Supported sampling rates");
}

} // namespace
