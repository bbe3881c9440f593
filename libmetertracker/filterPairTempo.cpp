#include "filterPairTempo.h"

#include "tickGrid.h"

#include <cmath>

namespace meterTracker {

namespace {
// Lines through fewer ticks than this are too short for a slope finer than the smear's.
constexpr std::size_t minTicks = 6;
// The mean age cannot grow by a beat per beat; near that the solution means nothing.
constexpr double maxAgeGrowth = 0.5;
} // namespace

void FilterPairTempo::reset() {
    count = 0;
    pairDelay = 0;
    lastPeriod = 0.0;
}

double FilterPairTempo::firstTick() const {
    return count > 0 ? weighed[0] : NAN;
}

double FilterPairTempo::update(double shorterPeak, double longerPeak, double tick, unsigned int shorterDelay,
                               double period, double frameRate) {
    if (!std::isfinite(shorterPeak) || !std::isfinite(longerPeak) || !std::isfinite(tick) ||
        !std::isfinite(period) || !(period > 0.0) || !std::isfinite(frameRate) || !(frameRate > 0.0))
        return 0.0;
    double const k = count == 0 || shorterDelay != pairDelay || tickGrid::newPeriod(period, lastPeriod)
                         ? -1.0
                         : tickGrid::beatsAlong(weighed[count - 1], tick, period);
    bool const fresh = k < 0.0;
    pairDelay = shorterDelay;
    lastPeriod = period;
    if (fresh) {
        count = 0;
    } else if (count == capacity) {
        for (std::size_t i = 1; i < capacity; ++i) {
            index[i - 1] = index[i];
            shorter[i - 1] = shorter[i];
            longer[i - 1] = longer[i];
            weighed[i - 1] = weighed[i];
        }
        --count;
    }
    index[count] = count > 0 ? index[count - 1] + k : 0.0;
    shorter[count] = shorterPeak;
    longer[count] = longerPeak;
    weighed[count] = tick;
    ++count;
    if (count < minTicks)
        return 0.0;

    double const n = static_cast<double>(count);
    double mi = 0.0, ms = 0.0, ml = 0.0, mw = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        mi += index[i];
        ms += shorter[i];
        ml += longer[i];
        mw += weighed[i];
    }
    mi /= n;
    ms /= n;
    ml /= n;
    mw /= n;
    double sxx = 0.0, sxs = 0.0, sxl = 0.0, sxw = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        double const di = index[i] - mi;
        sxx += di * di;
        sxs += di * (shorter[i] - ms);
        sxl += di * (longer[i] - ml);
        sxw += di * (weighed[i] - mw);
    }
    if (!(sxx > 0.0))
        return 0.0;
    // Slopes in frames per beat.
    double const s1 = sxs / sxx * frameRate, s2 = sxl / sxx * frameRate, sw = sxw / sxx * frameRate;
    double const ageGrowth = s2 - s1;
    if (!(std::fabs(ageGrowth) < maxAgeGrowth))
        return 0.0;
    double const smearFree = (s1 - shorterDelay * ageGrowth) / (1.0 - ageGrowth);
    double const share = (sw - smearFree) / frameRate;
    return std::isfinite(share) ? share : 0.0;
}

} // namespace meterTracker
