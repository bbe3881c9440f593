#include "beatGivenTatum.h"

#include <cassert>
#include <cmath>

namespace meterTracker {

namespace {
constexpr double sqrtTwoPi = 2.5066282746310002;
constexpr unsigned int nRatios = 9;
constexpr double myys[nRatios] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
} // namespace

void beatGivenTatum(std::vector<double> const& x, double const& t, double const& sigma,
                    std::vector<double> const& weights, std::vector<double>& out) {
    assert(weights.size() >= nRatios && "weights.size() >= 9");
    double weightSum = 0.0;
    for (unsigned int r = 0; r < nRatios; ++r)
        weightSum += weights[r];

    out.assign(x.size(), 0.0);
    double const width = sigma * t;
    for (std::size_t i = 0; i < x.size(); ++i)
        for (unsigned int r = 0; r < nRatios; ++r) {
            double const w = weights[r] / weightSum;
            double const z = (x[i] - t * myys[r]) / width;
            out[i] += w / (sigma * sqrtTwoPi) * std::exp(-0.5 * z * z);
        }
}

} // namespace meterTracker
