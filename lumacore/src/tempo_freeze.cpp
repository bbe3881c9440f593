#include "tempo_freeze.h"

#include <cmath>

namespace {

/* The tick of the grid ref + k * period nearest to t. */
double nearest_tick(double ref, double period, double t) {
    return ref + std::round((t - ref) / period) * period;
}

} // namespace

void TempoFreeze::update(bool frozen, const double periods[METERLEVEL_COUNT],
                         const double refTimes[METERLEVEL_COUNT]) {
    if (!frozen) {
        active_ = false;
        return;
    }
    if (active_)
        return;
    for (int level = 0; level < METERLEVEL_COUNT; ++level)
        if (!(std::isfinite(periods[level]) && periods[level] > 0.0 && std::isfinite(refTimes[level])))
            return;
    for (int level = 0; level < METERLEVEL_COUNT; ++level)
        periods_[level] = periods[level];
    beatRef_ = refTimes[METERLEVEL_BEAT];
    active_ = true;
}

void TempoFreeze::hint_beat_period(double period) {
    if (!active_ || !(std::isfinite(period) && period > 0.0))
        return;
    const double scale = period / periods_[METERLEVEL_BEAT];
    for (double& p : periods_)
        p *= scale;
}

void TempoFreeze::apply(double periods[METERLEVEL_COUNT], double refTimes[METERLEVEL_COUNT]) {
    if (!active_)
        return;
    const double beat = periods_[METERLEVEL_BEAT];
    if (std::isfinite(refTimes[METERLEVEL_BEAT])) {
        const double music = refTimes[METERLEVEL_BEAT];
        const double ours = nearest_tick(beatRef_, beat, music);
        const double off = music - ours;
        beatRef_ = std::fabs(off) <= kPullRange * beat ? ours + kPull * off : ours;
    }
    const double bar = refTimes[METERLEVEL_BAR];
    for (int level = 0; level < METERLEVEL_COUNT; ++level)
        periods[level] = periods_[level];
    refTimes[METERLEVEL_BEAT] = beatRef_;
    refTimes[METERLEVEL_TATUM] = beatRef_;
    refTimes[METERLEVEL_BAR] = std::isfinite(bar) ? nearest_tick(beatRef_, beat, bar) : beatRef_;
}
