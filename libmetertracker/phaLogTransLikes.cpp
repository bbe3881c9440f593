#include "phaLogTransLikes.h"

#include <cmath>

namespace meterTracker {

namespace {
constexpr double sqrtTwoPi = 2.5066282746310002;
}

void phaLogTransLikes(std::vector<double> const& prev, double const& T, std::vector<double> const& cur,
                      double const& sigma, ARGMathLibrary::Matrix<double>& out) {
    auto const rows = static_cast<unsigned int>(prev.size());
    auto const cols = static_cast<unsigned int>(cur.size());
    out.resize(rows, cols, 0.0);
    double const norm = 1.0 / (sigma * sqrtTwoPi);
    for (unsigned int i = 0; i < rows; ++i)
        for (unsigned int j = 0; j < cols; ++j) {
            double const D = (std::fmod(T / 2 + std::fabs(cur[j] - prev[i]), T) - T / 2) / T;
            double const z = D / sigma;
            out[i][j] = std::exp(-0.5 * z * z) * norm;
        }
}

} // namespace meterTracker
