#include "fft_and_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace {

std::vector<double> directDft(std::vector<double> const& interleaved, int sign) {
    std::size_t const nn = interleaved.size() / 2;
    std::vector<double> out(interleaved.size(), 0.0);
    for (std::size_t k = 0; k < nn; ++k) {
        std::complex<double> sum = 0.0;
        for (std::size_t j = 0; j < nn; ++j) {
            // Reduce j·k modulo nn so the angle stays small and exact for long transforms.
            double const angle = sign * 2.0 * std::numbers::pi * double((j * k) % nn) / double(nn);
            sum += std::complex<double>(interleaved[2 * j], interleaved[2 * j + 1]) * std::polar(1.0, angle);
        }
        out[2 * k] = sum.real();
        out[2 * k + 1] = sum.imag();
    }
    return out;
}

std::vector<double> randomSignal(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> v(n);
    for (auto& s : v)
        s = dist(rng);
    return v;
}

} // namespace

TEST(Fft, MatchesDirectDftForBothSignsWithoutScaling) {
    for (std::size_t nn = 1; nn <= 2048; nn *= 2) {
        for (short sign : {short(1), short(-1)}) {
            std::vector<double> data = randomSignal(2 * nn, unsigned(nn + sign));
            std::vector<double> const expected = directDft(data, sign);
            fft(data, sign);
            double const tolerance = 1e-11 * double(nn);
            for (std::size_t i = 0; i < data.size(); ++i)
                ASSERT_NEAR(data[i], expected[i], tolerance) << "nn=" << nn << " sign=" << sign << " i=" << i;
        }
    }
}

TEST(Filter, FirstOrderRecursionAndFirWithUnequalLengths) {
    std::vector<double> y{5.0, 5.0, 5.0}; // filter clears y first
    filter({1.0}, {1.0, -0.5}, {1.0, 0.0, 0.0}, y);
    EXPECT_EQ(y, (std::vector<double>{1.0, 0.5, 0.25}));

    // Pure FIR (|a| = 1): a moving difference.
    std::vector<double> fir(4);
    filter({1.0, -1.0, 2.0}, {1.0}, {1.0, 2.0, 4.0, 8.0}, fir);
    EXPECT_EQ(fir, (std::vector<double>{1.0, 1.0, 4.0, 8.0}));

    // filter_imp adds to whatever y holds; |a| > |b|.
    std::vector<double> acc{10.0, 0.0, 0.0, 0.0};
    filter_imp({2.0}, {1.0, 0.0, 0.25}, {1.0, 0.0, 0.0, 0.0}, acc);
    // y0 = 10 + 2; y1 = 0; y2 = -0.25·12 = -3; y3 = -0.25·0 = 0
    EXPECT_EQ(acc, (std::vector<double>{12.0, 0.0, -3.0, 0.0}));
}

// Run over a random signal in blocks of every size (including blocks shorter than the
// state), a filter must reproduce one pass exactly.
TEST(Filter, CarriedStateMakesAnyBlockSplitEqualOnePass) {
    // A sixth-order band-pass-like filter with stable poles at 0.9, 0.8, 0.7, -0.5, -0.6, 0.2,
    // and a second-order one with fewer zeros than poles.
    std::vector<double> a6{1.0};
    for (double pole : {0.9, 0.8, 0.7, -0.5, -0.6, 0.2}) {
        a6.push_back(0.0);
        for (std::size_t k = a6.size() - 1; k > 0; --k)
            a6[k] -= pole * a6[k - 1];
    }
    struct Design {
        std::vector<double> b, a;
        double tolerance;
    };
    std::vector<double> const x = randomSignal(97, 11);
    for (Design const& d : {Design{{0.02, 0.0, -0.06, 0.0, 0.06, 0.0, -0.02}, a6, 1e-12},
                            Design{{0.5, 0.25}, {1.0, -0.3, 0.1}, 1e-14}}) {
        std::size_t const order = std::max(d.a.size(), d.b.size()) - 1;
        std::vector<double> whole(x.size()), wholeState(order, 0.0), zeroState(x.size());
        filter(d.b, d.a, x, whole, wholeState);
        filter(d.b, d.a, x, zeroState);
        for (std::size_t i = 0; i < x.size(); ++i)
            ASSERT_NEAR(whole[i], zeroState[i], d.tolerance);

        for (std::size_t blockSize : {1u, 2u, 3u, 5u, 6u, 7u, 10u, 50u}) {
            std::vector<double> state(order, 0.0), joined;
            for (std::size_t start = 0; start < x.size(); start += blockSize) {
                std::size_t const end = std::min(x.size(), start + blockSize);
                std::vector<double> const block(x.begin() + long(start), x.begin() + long(end));
                std::vector<double> out(block.size());
                filter(d.b, d.a, block, out, state);
                joined.insert(joined.end(), out.begin(), out.end());
            }
            ASSERT_EQ(joined.size(), whole.size());
            for (std::size_t i = 0; i < whole.size(); ++i)
                ASSERT_NEAR(joined[i], whole[i], d.tolerance) << "order " << order << " block " << blockSize;
            for (std::size_t i = 0; i < order; ++i)
                ASSERT_NEAR(state[i], wholeState[i], d.tolerance) << "order " << order << " state " << i;
        }
    }
}
