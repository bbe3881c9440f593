#include "TapTempo.h"

#include <cmath>

double TapTempo::tap(double seconds) {
    if (!std::isfinite(seconds)) {
        reset();
        return 0.0;
    }
    if (!hasLast) {
        last = seconds;
        hasLast = true;
        return 0.0;
    }
    const double interval = seconds - last;
    if (interval < 0.0) {
        reset();
        last = seconds;
        hasLast = true;
        return 0.0;
    }
    // A bounce of the key is part of the tap before it.
    if (interval < minInterval)
        return bpm();
    last = seconds;
    if (interval > maxInterval) {
        intervalCount = 0;
        next = 0;
        return 0.0;
    }
    if (intervalCount > 0) {
        const double mean = 60.0 / bpm();
        if (std::fabs(interval - mean) > maxDeviation * mean) {
            intervalCount = 0;
            next = 0;
        }
    }
    intervals[next] = interval;
    next = (next + 1) % maxIntervals;
    if (intervalCount < maxIntervals)
        ++intervalCount;
    return bpm();
}

double TapTempo::bpm() const {
    if (intervalCount == 0)
        return 0.0;
    double sum = 0.0;
    for (std::size_t i = 0; i < intervalCount; ++i)
        sum += intervals[i];
    return 60.0 * static_cast<double>(intervalCount) / sum;
}

void TapTempo::reset() {
    intervalCount = 0;
    next = 0;
    hasLast = false;
    last = 0.0;
}
