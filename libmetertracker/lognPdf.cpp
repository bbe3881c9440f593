#include "lognPdf.h"

#include <cmath>

namespace meterTracker {

namespace {
constexpr double sqrtTwoPi = 2.5066282746310002;
}

void lognPdf(double const& x, double const& myy, double const& sigma, double& out) {
    double const l = std::log(x / myy);
    out = std::exp(-(l * l) / (2.0 * sigma * sigma)) / (x * sigma * sqrtTwoPi);
}

void lognPdf(std::vector<double> const& x, double const& myy, double const& sigma, std::vector<double>& out) {
    out.resize(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        lognPdf(x[i], myy, sigma, out[i]);
}

} // namespace meterTracker
