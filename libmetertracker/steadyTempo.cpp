#include "steadyTempo.h"

#include <cmath>

namespace meterTracker {

namespace {
// Stretches tried, in ticks (steps), longest first; the shortest is longer than the short line.
constexpr std::size_t stretches[] = {128, 96, 72, 56, 40, 32};
// The newest ticks, averaged, must lie within this share of a beat of a stretch's line for
// one tempo to explain them: a tempo off by 0.5 % leaves it within about four beats.
constexpr std::size_t newestTicks = 6;
constexpr double newestTolerance = 0.02;
// A stretch whose tempo differs from the short line's by more than this share is music that
// moved within it (rubato, a drift): its mean tempo would lag.
constexpr double shortAgreement = 0.005;
// A tick farther than this share of a beat from the numbered grid is another phase; a period
// farther than this share from the kept one another tempo or metrical level.
constexpr double offGridShare = 0.2;
constexpr double newPeriodShare = 0.04;
} // namespace

void SteadyTempo::reset() {
    count = used = 0;
    lastPeriod = 0.0;
}

double SteadyTempo::update(double tick, double shortPeriod) {
    if (!std::isfinite(tick) || !std::isfinite(shortPeriod) || !(shortPeriod > 0.0))
        return shortPeriod;
    bool fresh = count == 0 || std::fabs(shortPeriod / lastPeriod - 1.0) > newPeriodShare;
    double k = 0.0;
    if (!fresh) {
        double const beats = (tick - time[count - 1]) / shortPeriod;
        k = std::round(beats);
        fresh = std::fabs(beats - k) > offGridShare || k < 0.0;
    }
    lastPeriod = shortPeriod;
    if (fresh) {
        count = 1;
        index[0] = 0.0;
        time[0] = tick;
        used = 0;
        return shortPeriod;
    }
    if (count == capacity) {
        for (std::size_t i = 1; i < capacity; ++i) {
            index[i - 1] = index[i];
            time[i - 1] = time[i];
        }
        --count;
    }
    index[count] = index[count - 1] + k;
    time[count] = tick;
    ++count;

    for (std::size_t const n : stretches) {
        if (n > count)
            continue;
        std::size_t const from = count - n;
        double mi = 0.0, mt = 0.0;
        for (std::size_t i = from; i < count; ++i) {
            mi += index[i];
            mt += time[i];
        }
        mi /= static_cast<double>(n);
        mt /= static_cast<double>(n);
        double sxx = 0.0, sxt = 0.0;
        for (std::size_t i = from; i < count; ++i) {
            sxx += (index[i] - mi) * (index[i] - mi);
            sxt += (index[i] - mi) * (time[i] - mt);
        }
        if (!(sxx > 0.0))
            continue;
        double const slope = sxt / sxx;
        if (!(std::fabs(slope / shortPeriod - 1.0) < newPeriodShare))
            continue;
        if (std::fabs(slope / shortPeriod - 1.0) > shortAgreement)
            continue;
        double newest = 0.0;
        for (std::size_t i = count - newestTicks; i < count; ++i)
            newest += time[i] - (mt + slope * (index[i] - mi));
        if (std::fabs(newest / static_cast<double>(newestTicks)) <= newestTolerance * slope) {
            used = n;
            return slope;
        }
    }
    used = 0;
    return shortPeriod;
}

} // namespace meterTracker
