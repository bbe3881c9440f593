// The tracker's comb filter bank against the filter recursion run on plain double arrays.
#include "combBank.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

using meterTracker::CombBank;

namespace {

// y(t) = (1 − a)·x(t) + a·y(t − d) from rest; returns a·y over the last d samples, oldest first.
std::vector<double> plainLine(std::vector<double> const& x, unsigned int d, double a) {
    std::vector<double> y(x.size());
    for (std::size_t t = 0; t < x.size(); ++t)
        y[t] = (1 - a) * x[t] + (t >= d ? a * y[t - d] : 0.0);
    std::vector<double> line(d, 0.0);
    for (unsigned int j = 0; j < d && j < x.size(); ++j)
        line[d - 1 - j] = a * y[x.size() - 1 - j];
    return line;
}

TEST(CombBank, LinesAndEnergiesFollowTheRecursionInAnyBlocks) {
    std::vector<unsigned int> const delays = {1, 7, 86, 87, 300};
    std::vector<double> feedback;
    for (unsigned int d : delays)
        feedback.push_back(std::pow(0.5, d / 517.0));
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> accent(-1.0, 1.0);
    std::vector<double> x(20000);
    for (double& v : x)
        v = accent(rng);
    // A loud stretch, then near silence: the kept energies must not be left with the
    // loud part's rounding.
    for (std::size_t i = 12000; i < x.size(); ++i)
        x[i] *= 1e-4;

    CombBank bank(delays, feedback);
    std::size_t const blocks[] = {86, 1, 300, 13};
    std::vector<double> line;
    for (std::size_t i = 0, b = 0; i < x.size(); ++b) {
        std::size_t const n = std::min(blocks[b % 4], x.size() - i);
        bank.process(x.data() + i, n);
        i += n;
    }
    for (std::size_t k = 0; k < delays.size(); ++k) {
        std::vector<double> const expected = plainLine(x, delays[k], feedback[k]);
        bank.copyLine(k, line);
        ASSERT_EQ(line.size(), delays[k]);
        double energy = 0.0;
        for (unsigned int j = 0; j < delays[k]; ++j) {
            EXPECT_NEAR(line[j], expected[j], 1e-6 * 1e-4 + 1e-6 * std::fabs(expected[j])) << k << "," << j;
            energy += expected[j] * expected[j];
        }
        EXPECT_NEAR(bank.lineEnergy(k), energy, 1e-3 * energy) << "delay " << delays[k];
    }
}

TEST(CombBank, NewFeedbackChangesTheFiltersButKeepsTheirLines) {
    CombBank bank({4}, {0.5});
    std::vector<double> const pulse = {1, 0, 0, 0};
    bank.process(pulse.data(), 4);
    bank.setFeedback({0.9});
    std::vector<double> const silence(4, 0.0);
    bank.process(silence.data(), 4);
    std::vector<double> line;
    bank.copyLine(0, line);
    EXPECT_NEAR(line[0], 0.9 * 0.5 * 0.5, 1e-7); // a₂·(a₁·(1 − a₁)·1)
    EXPECT_EQ(line[1], 0.0);
    bank.reset();
    bank.copyLine(0, line);
    EXPECT_TRUE(line[0] == 0.0 && bank.lineEnergy(0) == 0.0);
}

} // namespace
