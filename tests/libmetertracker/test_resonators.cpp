#include "params.h"
#include "resoC.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

using ARGMathLibrary::Matrix;
using meterTracker::Params;
using meterTracker::Resonators;

namespace {

std::vector<double> randomAccent(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> dist(0.0, 1.0);
    std::vector<double> v(n);
    for (auto& s : v)
        s = dist(rng);
    return v;
}

// y(t) = (1 − a)·x(t) + a·y(t − d), straight from the definition, over the whole signal.
std::vector<double> referenceComb(std::vector<double> const& x, unsigned d, double a) {
    std::vector<double> y(x.size());
    for (std::size_t t = 0; t < x.size(); ++t)
        y[t] = (1 - a) * x[t] + (t >= d ? a * y[t - d] : 0.0);
    return y;
}

// Sum of squares of the first `length` entries of line k in an ordered state.
double lineEnergy(double const* state, unsigned maxDelay, unsigned k, unsigned length) {
    double sum = 0.0;
    for (unsigned j = 0; j < length; ++j)
        sum += state[k * maxDelay + j] * state[k * maxDelay + j];
    return sum;
}

// A few of the tracker's own delays and gains, including the extremes.
struct SmallBank {
    std::vector<unsigned> delays{1, 2, 3, 7, 43, 86, 129, 300};
    std::vector<double> feedback;
    double decay;
    SmallBank() {
        Params const p(44100);
        for (unsigned d : delays)
            feedback.push_back(p.feedback[d - 1]);
        decay = p.decay;
    }
};

// Runs raw (un-integrated) filtering block by block; returns per filter all outputs.
std::vector<std::vector<double>> rawOutputsInBlocks(Resonators& bank, std::vector<double> const& x,
                                                    std::size_t blockSize) {
    std::vector<std::vector<double>> outputs(bank.nResonators);
    std::vector<double> delays(bank.delays.begin(), bank.delays.end());
    for (std::size_t start = 0; start < x.size(); start += blockSize) {
        std::vector<double> block(x.begin() + long(start),
                                  x.begin() + long(std::min(x.size(), start + blockSize)));
        int const n = int(block.size());
        std::vector<double> out(bank.nResonators * block.size());
        bank.realResonators(out.data(), bank.getState(), nullptr, delays.data(), bank.feedback.data(),
                            int(bank.nResonators), int(bank.maxDelay), block.data(), n, 0.0, 0, 1, 0);
        for (unsigned k = 0; k < bank.nResonators; ++k)
            outputs[k].insert(outputs[k].end(), out.begin() + long(k * block.size()),
                              out.begin() + long((k + 1) * block.size()));
    }
    return outputs;
}

} // namespace

TEST(Resonators, AnyBlockSplitGivesTheSameOutputsAndDelayLines) {
    SmallBank const s;
    std::vector<double> const x = randomAccent(602, 5);

    Resonators whole(s.delays, s.feedback, 0.0, 0);
    auto const reference = rawOutputsInBlocks(whole, x, x.size());
    for (unsigned k = 0; k < whole.nResonators; ++k) {
        std::vector<double> const direct = referenceComb(x, s.delays[k], s.feedback[k]);
        for (std::size_t t = 0; t < x.size(); ++t)
            ASSERT_NEAR(reference[k][t], direct[t], 1e-12) << "delay " << s.delays[k] << " t " << t;
    }

    for (std::size_t blockSize : {1u, 7u, 86u}) {
        Resonators split(s.delays, s.feedback, 0.0, 0);
        auto const outputs = rawOutputsInBlocks(split, x, blockSize);
        for (unsigned k = 0; k < split.nResonators; ++k)
            for (std::size_t t = 0; t < x.size(); ++t)
                ASSERT_NEAR(outputs[k][t], reference[k][t], 1e-12) << "block " << blockSize;
        for (std::size_t i = 0; i < std::size_t(split.nResonators) * split.maxDelay; ++i)
            ASSERT_NEAR(split.getState()[i], whole.getState()[i], 1e-12)
                << "block " << blockSize << " entry " << i;
    }
}

TEST(Resonators, BlockEnergyIsTheDecayWeightedSumOfSquares) {
    SmallBank const s;
    std::vector<double> const x = randomAccent(3 * 86, 21);
    Resonators bank(s.delays, s.feedback, s.decay, 0);
    std::vector<std::vector<double>> direct;
    for (std::size_t k = 0; k < s.delays.size(); ++k)
        direct.push_back(referenceComb(x, s.delays[k], s.feedback[k]));
    // The decay-weighted energy of the 86 values of y from `from` on, the newest unweighted.
    auto const decayed = [&](std::vector<double> const& y, std::size_t from) {
        double e = 0.0;
        for (std::size_t i = 0; i < 86; ++i)
            e += std::pow(s.decay, double(85 - i)) * y[from + i] * y[from + i];
        return e;
    };

    for (std::size_t block = 0; block < 3; ++block) {
        std::vector<double> const chunk(x.begin() + long(block * 86), x.begin() + long((block + 1) * 86));
        std::vector<double> inputEnergy;
        Matrix<double> outputEnergy;
        bank.process(chunk, inputEnergy, outputEnergy);
        ASSERT_EQ(inputEnergy.size(), 1u);
        ASSERT_EQ(outputEnergy.nRows(), 1u);
        ASSERT_EQ(outputEnergy.nCols(), bank.nResonators);

        double const expectedInput = decayed(x, block * 86);
        EXPECT_NEAR(inputEnergy[0], expectedInput, 1e-12 * expectedInput);
        for (unsigned k = 0; k < bank.nResonators; ++k) {
            double const expected = decayed(direct[k], block * 86);
            EXPECT_NEAR(outputEnergy[0][k], expected, 1e-11 * expected)
                << "block " << block << " delay " << s.delays[k];
        }
    }
}

// The tracker's banks keep their lines circular between blocks; what they hand out must be
// exactly what the plain kernel, which puts every line in order after each block, leaves,
// and their line energies the sums over those lines (up to rounding).
TEST(Resonators, TrackerBankMatchesTheKernelExactly) {
    Params const p(44100);
    Resonators bank(p.periods, p.feedback, p.decay, 0);
    Resonators plain(p.periods, p.feedback, p.decay, 0);
    std::vector<double> delays(p.periods.begin(), p.periods.end());
    std::vector<double> const x = randomAccent(2000, 33);
    std::vector<double> inputEnergy;
    Matrix<double> outputEnergy;
    std::vector<double> out(bank.nResonators);
    double plainInput = 0.0;

    std::size_t start = 0;
    // Blocks shorter and longer than many delays, so lines end up turned anywhere.
    for (std::size_t blockSize : {86u, 86u, 1u, 13u, 700u, 86u, 250u, 86u}) {
        std::vector<double> block(x.begin() + long(start), x.begin() + long(start + blockSize));
        start += blockSize;
        bank.process(block, inputEnergy, outputEnergy);
        plain.realResonators(out.data(), plain.getState(), &plainInput, delays.data(), plain.feedback.data(),
                             int(plain.nResonators), int(plain.maxDelay), block.data(), int(block.size()),
                             plain.decay, 0, 1, 0);
        ASSERT_EQ(inputEnergy.size(), 1u);
        EXPECT_EQ(inputEnergy[0], plainInput);
        double const* ordered = plain.getState();
        for (unsigned k = 0; k < bank.nResonators; ++k) {
            ASSERT_EQ(outputEnergy[0][k], out[k]) << "block " << blockSize << " delay " << k + 1;
            double const sum = lineEnergy(ordered, plain.maxDelay, k, p.periods[k]);
            ASSERT_NEAR(bank.lineEnergies()[k], sum, 1e-14 * sum)
                << "block " << blockSize << " delay " << k + 1;
        }
        // Single lines, the state copy and the whole state, in that order: each reader must
        // cope with lines another one has already put in order.
        for (unsigned k : {0u, 85u, 86u, 87u, 300u, 688u}) {
            double const* line = bank.delayLine(k);
            for (unsigned j = 0; j < p.periods[k]; ++j)
                ASSERT_EQ(line[j], ordered[k * plain.maxDelay + j]) << "delay " << k + 1 << " entry " << j;
        }
        if (blockSize == 700u) {
            Matrix<double> copy;
            bank.getState(copy);
            for (unsigned k = 0; k < bank.nResonators; ++k)
                for (unsigned j = 0; j < bank.maxDelay; ++j)
                    ASSERT_EQ(copy[k][j], ordered[k * plain.maxDelay + j]) << "delay " << k + 1;
            double const* state = bank.getState();
            for (std::size_t i = 0; i < std::size_t(bank.nResonators) * bank.maxDelay; ++i)
                ASSERT_EQ(state[i], ordered[i]);
        }
    }
    // Writing through getState() (the kernel does) must not leave stale line energies behind.
    std::vector<double> more = randomAccent(86, 34);
    bank.realResonators(out.data(), bank.getState(), nullptr, delays.data(), bank.feedback.data(),
                        int(bank.nResonators), int(bank.maxDelay), more.data(), 86, bank.decay, 0, 1, 0);
    bank.process(more, inputEnergy, outputEnergy);
    std::vector<double> const energies = bank.lineEnergies();
    double const* ordered = bank.getState();
    for (unsigned k = 0; k < bank.nResonators; ++k) {
        double const sum = lineEnergy(ordered, bank.maxDelay, k, p.periods[k]);
        ASSERT_NEAR(energies[k], sum, 1e-14 * sum) << "delay " << k + 1;
    }
    bank.reset();
    EXPECT_EQ(bank.lineEnergies()[5], 0.0);
    EXPECT_EQ(bank.delayLine(5)[0], 0.0);
}
