#include "params.h"

#include <cassert>
#include <cmath>

namespace meterTracker {

int round(double x) {
    double const below = std::floor(x);
    return static_cast<int>(x - below >= 0.5 ? std::ceil(x) : below);
}

namespace {
constexpr double defaultHalfLifeSeconds = 3.0;
}

Params::Params(unsigned int const& srateHz)
    : accentRate(0.0), frameLen(0), hopLen(0), accentPerHop(2), nBands(36), bandsPerChannel(9), halfTime(0.0),
      nPeriods(0), halfTimeCopy(0.0), decay(0.0), resStep(0.0), beatMyy(0.55), beatSigma(0.28),
      patternMyy(2.1), patternSigma(0.26), tatumMyy(0.18), tatumSigma(0.39),
      ratioSigma(0.3), ratioWeights{0.9020073524848866,  1.0,
                                    0.7302768106235606,  1.1438508100093516,
                                    0.443270652313484,   0.8863431230976493,
                                    0.43706546371614174, 0.796691092092133,
                                    0.6586692681470597},
      nPeriodCands(5), periodTransSigma{0.1, 0.1, 0.1}, nPhaseCands(15), phaseTransSigma(0.1),
      beatObsWeight(1), patternObsWeight(1), tatumObsWeight(3), beatPriorExp(0.31), patternPriorExp(0.29),
      tatumPriorExp(0.16), logFloor(1e-60), srate(0.0) {
    setSrate(srateHz);
}

void Params::setSrate(unsigned int const& srateHz) {
    derive(static_cast<double>(srateHz), defaultHalfLifeSeconds);
    srate = static_cast<double>(srateHz);
}

void Params::changeHalfTime(double halfLifeSeconds) {
    if (!(halfLifeSeconds > 0.0) || !std::isfinite(halfLifeSeconds))
        return;
    derive(srate, halfLifeSeconds);
}

void Params::derive(double srateHz, double halfLifeSeconds) {
    assert(srateHz >= 100.0); // below 1 audio sample per 10 ms hop nothing here is meaningful
    hopLen =
        static_cast<unsigned int>(std::pow(2.0, std::ceil(std::log(0.01 * srateHz) / 0.6931471805599453)));
    accentRate = accentPerHop * srateHz / hopLen;
    frameLen = 2 * hopLen;
    halfTime = halfLifeSeconds * accentRate;

    nPeriods = static_cast<unsigned int>(round(4.0 * accentRate));
    periods.resize(nPeriods);
    feedback.resize(nPeriods);
    noiseGains.resize(nPeriods);
    for (unsigned int k = 0; k < nPeriods; ++k) {
        periods[k] = k + 1;
        double const a = std::pow(0.5, periods[k] / halfTime);
        feedback[k] = a;
        if (std::abs(a - 1.0) >= 2.220446049250313e-16) {
            double const antiResonance = std::abs((1.0 - a) / (1.0 + a));
            noiseGains[k] = {(1.0 - a) * (1.0 - a) / (1.0 - a * a), antiResonance * antiResonance};
        } else {
            noiseGains[k] = {2.0, 0.0};
        }
    }

    halfTimeCopy = halfTime;
    decay = std::pow(0.5, 1.0 / halfTime);
}

} // namespace meterTracker
