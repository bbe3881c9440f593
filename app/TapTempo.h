#pragma once

#include <cstddef>

// Turns the times of taps on a key into a tempo. Free of Qt and of clocks: the caller passes
// the time of every tap (seconds on any steady time line), so it is tested with invented times.
//
// The tempo is the mean of the last few intervals. A pause longer than maxInterval starts a
// new series, and so does an interval far off the running mean: a player who changes their
// mind should not have to wait for the old taps to age out.
class TapTempo {
public:
    static constexpr double maxInterval = 2.0;       // slower than 30 BPM: a pause, not a beat
    static constexpr double minInterval = 0.2;       // faster than 300 BPM: a bounce of the key
    static constexpr std::size_t maxIntervals = 8;   // about two bars of taps
    static constexpr double maxDeviation = 0.4;      // relative to the running mean

    // Records a tap at `seconds`; returns the tempo in BPM, 0 while one tap is not enough.
    // A time that is not finite or that goes backwards starts a new series.
    double tap(double seconds);
    // BPM of the present series, 0 with fewer than two taps.
    double bpm() const;
    // Taps in the present series.
    std::size_t taps() const { return intervalCount + (hasLast ? 1 : 0); }
    void reset();

private:
    double intervals[maxIntervals] = {};
    std::size_t intervalCount = 0;
    std::size_t next = 0; // ring position of the next interval
    double last = 0.0;
    bool hasLast = false;
};
