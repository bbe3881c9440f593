#include "recentBeat.h"

#include <cmath>

namespace meterTracker {

namespace {
// Periods searched: this share either side of the chosen one, in steps of the second share
// (tempo drifts and accelerandos move by about 1 % per beat at most).
constexpr double periodReach = 0.04;
constexpr double periodStep = 0.0025;
// Ticks searched: this share of the period either side of the chosen tick.
constexpr double tickReach = 0.06;
constexpr double tickStepFrames = 0.25;
// Two beats already place the tick better than the resonators' first seconds of memory do.
constexpr int minBeats = 2;
} // namespace

void RecentBeat::reset(unsigned int channels) {
    nChannels = channels;
    ring.assign(capacity * channels, 0.0);
    weighted.assign(capacity, 0.0);
    newestFrame = 0;
    count = 0;
}

void RecentBeat::add(unsigned int frame, double const* values) {
    if (nChannels == 0 || values == nullptr)
        return;
    std::size_t const slot = frame % capacity;
    for (unsigned int c = 0; c < nChannels; ++c)
        ring[slot * nChannels + c] = std::isfinite(values[c]) ? values[c] : 0.0;
    newestFrame = frame;
    if (count < capacity)
        ++count;
}

double RecentBeat::weightedAt(double frame) const {
    double const oldest = static_cast<double>(newestFrame) - static_cast<double>(count) + 1.0;
    if (!(frame >= oldest) || !(frame <= static_cast<double>(newestFrame)))
        return 0.0;
    double const below = std::floor(frame);
    double const share = frame - below;
    auto const f = static_cast<std::size_t>(below);
    double const a = weighted[f % capacity];
    return share > 0.0 ? a + share * (weighted[(f + 1) % capacity] - a) : a;
}

bool RecentBeat::refine(double periodFrames, double tickFrame, unsigned int newest, double const* weights,
                        double halfLifeFrames, double& refinedPeriod, double& refinedTick) {
    refinedPeriod = periodFrames;
    refinedTick = tickFrame;
    if (count == 0 || newest != newestFrame || weights == nullptr || !(periodFrames >= 4.0) ||
        !std::isfinite(periodFrames) || !std::isfinite(tickFrame) || !(halfLifeFrames > 0.0) ||
        static_cast<double>(count) < minBeats * periodFrames)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t const slot = (newestFrame + capacity - i) % capacity;
        double sum = 0.0;
        for (unsigned int c = 0; c < nChannels; ++c)
            sum += weights[c] * ring[slot * nChannels + c];
        weighted[slot] = std::isfinite(sum) ? sum : 0.0;
    }
    double const oldest = static_cast<double>(newestFrame) - static_cast<double>(count) + 1.0;
    double bestScore = -HUGE_VAL, bestPeriod = periodFrames, bestTick = tickFrame;
    // The comb sum of the resonators over the frames kept, each beat back weighing less.
    auto const consider = [&](double period, double fade, double tick) {
        if (tick > static_cast<double>(newestFrame) || tick < oldest)
            return;
        double sum = 0.0, norm = 0.0, gain = 1.0;
        int beats = 0;
        for (double t = tick; t >= oldest; t -= period, gain *= fade, ++beats) {
            sum += gain * weightedAt(t);
            norm += gain;
        }
        if (beats >= minBeats && sum / norm > bestScore) {
            bestScore = sum / norm;
            bestPeriod = period;
            bestTick = tick;
        }
    };
    // Ticks on whole frames first, then between frames around the best.
    auto const steps = static_cast<int>(std::lround(periodReach / periodStep));
    auto const frames = static_cast<int>(std::floor(tickReach * periodFrames));
    double const fade = std::pow(0.5, periodFrames / halfLifeFrames); // nearly alike for all
    for (int s = -steps; s <= steps; ++s)
        for (int d = -frames; d <= frames; ++d)
            consider(periodFrames * (1.0 + s * periodStep), fade, tickFrame + d);
    double const coarsePeriod = bestPeriod, coarseTick = bestTick;
    for (int s = -1; s <= 1; ++s)
        for (int d = -3; d <= 3; ++d)
            if (s != 0 || d != 0)
                consider(coarsePeriod * (1.0 + 0.5 * s * periodStep), fade, coarseTick + d * tickStepFrames);
    if (!(bestScore > -HUGE_VAL))
        return false;
    refinedPeriod = periodFrames + moveShare * (bestPeriod - periodFrames);
    refinedTick = tickFrame + moveShare * (bestTick - tickFrame);
    return true;
}

} // namespace meterTracker
