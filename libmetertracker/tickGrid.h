/* Beat ticks numbered along one grid, for the lines fitted through them (the published tempo,
 * the filter pair's tempo): a tick either continues the grid a whole number of beats on, or
 * it lies at another phase, or its period is another tempo or metrical level, and the line
 * starts afresh. Pure computation.
 */
#ifndef BEATLUME_TICKGRID_H
#define BEATLUME_TICKGRID_H

#include <cmath>

namespace meterTracker::tickGrid {

// A tick farther than this share of a beat from the numbered grid is another phase; a period
// farther than this share from the kept one another tempo or metrical level.
constexpr double offGridShare = 0.2;
constexpr double newPeriodShare = 0.04;

inline bool newPeriod(double period, double keptPeriod) {
    return std::fabs(period / keptPeriod - 1.0) > newPeriodShare;
}

// The beats from `lastTick` to `tick` on beats of `period`, or -1 where `tick` lies off that
// grid or before `lastTick`.
inline double beatsAlong(double lastTick, double tick, double period) {
    double const beats = (tick - lastTick) / period;
    double const k = std::round(beats);
    return std::fabs(beats - k) > offGridShare || k < 0.0 ? -1.0 : k;
}

} // namespace meterTracker::tickGrid

#endif
