// The accent front end's fixed design: band layout and rates.
#include "onsets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace {

TEST(OnsetsDesign, BandsAt44100AreErbSpacedTrianglesFrom50HzTo90PercentOfNyquist) {
    Onsets onsets(44100);
    std::vector<double> const& edges = onsets.bandEdges();
    ASSERT_TRUE(edges.size() == 38u && onsets.numBands() == 36u);
    EXPECT_TRUE(std::fabs(edges[0] - 50.0) < 1e-9 && std::fabs(edges[37] - 19845.0) < 1e-9);
    double const step = Onsets::hz2erb(edges[1]) - Onsets::hz2erb(edges[0]);
    // Every band's triangle rises from, peaks at and falls to the bins of three neighbouring
    // edges, so a sine lights up the band around its frequency.
    for (unsigned int b = 0; b < 36; ++b) {
        EXPECT_NEAR(Onsets::hz2erb(edges[b + 1]) - Onsets::hz2erb(edges[b]), step, 1e-9) << b;
        Onsets::BandBins const x = onsets.bandBins(b);
        std::array const bins{x.first, x.peak, x.last};
        EXPECT_TRUE(bins[0] < bins[1] && bins[1] < bins[2] && bins[2] < 512u) << b;
        for (unsigned int k = 0; k < 3; ++k)
            EXPECT_NEAR(bins[k], edges[b + k] * 1024 / 44100, 0.5) << b << " " << k;
    }
}

TEST(OnsetsDesign, SetSrateRebuildsForEightKilohertzAndRefusesUnsupportedRates) {
    Onsets rebuilt(44100), fresh(8000);
    rebuilt.setSrate(8000);
    std::vector<double> noise(4096);
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = std::sin(0.37 * static_cast<double>(i * i));
    ARGMathLibrary::Matrix<double> a, b;
    for (Onsets* o : {&rebuilt, &fresh}) {
        o->addData(noise);
        ASSERT_TRUE(o->process());
    }
    ASSERT_TRUE(rebuilt.getBandEnvs(a, 0) && fresh.getBandEnvs(b, 0));
    EXPECT_EQ(rebuilt.numBands(), 9u);
    EXPECT_TRUE(a.equalSized(b) && std::equal(a.begin(), a.end(), b.begin()));
    EXPECT_THROW(Onsets(48000), std::invalid_argument);
    EXPECT_THROW(rebuilt.setSrate(11025), std::invalid_argument);
}

} // namespace
