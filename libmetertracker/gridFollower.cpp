#include "gridFollower.h"

#include <cmath>

namespace meterTracker {

namespace {
// A period this far from the grid's is another tempo or metrical level, not drift.
constexpr double newPeriodRatio = 0.04;
// Observations farther than this (in periods) from the grid are off it.
constexpr double offGridFraction = 0.15;
// Successive off-grid observations that move the grid onto them.
constexpr int offGridSteps = 2;
// Residuals beyond this fraction of a period, on one side several times running, mean the
// tempo is moving: only the newest observations then count.
constexpr double driftFraction = 0.02;
constexpr int driftSteps = 3;
constexpr std::size_t keptOnDrift = 4;
// Spread of the observed tick times and of the observed period (seconds), which set how
// much the fitted slope counts against the observed period.
constexpr double tickSpread = 0.008;
constexpr double periodSpread = 0.02;
} // namespace

void GridFollower::reset() {
    count = 0;
    first = 0;
    gridPeriod = gridTick = gridIndex = 0.0;
    offGrid = drift = 0;
}

void GridFollower::restart(double period, double tick) {
    count = 1;
    index[0] = 0.0;
    time[0] = tick;
    gridPeriod = period;
    gridTick = tick;
    gridIndex = 0.0;
    offGrid = drift = 0;
}

void GridFollower::fit() {
    double const observedPeriod = gridPeriod;
    double mi = 0.0, mt = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        mi += index[i];
        mt += time[i];
    }
    mi /= static_cast<double>(count);
    mt /= static_cast<double>(count);
    double sxx = 0.0, sxt = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        sxx += (index[i] - mi) * (index[i] - mi);
        sxt += (index[i] - mi) * (time[i] - mt);
    }
    double slope = observedPeriod;
    if (sxx > 0.0) {
        double const fitted = sxt / sxx;
        double const wFit = sxx / (tickSpread * tickSpread);
        double const wObs = 1.0 / (periodSpread * periodSpread);
        if (std::fabs(fitted / observedPeriod - 1.0) < newPeriodRatio)
            slope = (fitted * wFit + observedPeriod * wObs) / (wFit + wObs);
    }
    gridPeriod = slope;
    gridIndex = index[count - 1];
    gridTick = mt + slope * (gridIndex - mi);
}

void GridFollower::update(double observedPeriod, double observedTick, double& period, double& tick) {
    bool const usable = std::isfinite(observedPeriod) && observedPeriod > 0.0 && std::isfinite(observedTick);
    if (!usable) {
        period = count > 0 ? gridPeriod : observedPeriod;
        tick = count > 0 ? gridTick : observedTick;
        return;
    }
    if (count == 0 || std::fabs(observedPeriod / gridPeriod - 1.0) > newPeriodRatio) {
        restart(observedPeriod, observedTick);
    } else {
        double const k = std::round((observedTick - gridTick) / gridPeriod);
        double const residual = observedTick - (gridTick + k * gridPeriod);
        if (std::fabs(residual) > offGridFraction * gridPeriod) {
            if (++offGrid >= offGridSteps) {
                restart(observedPeriod, observedTick);
            } else {
                period = gridPeriod;
                tick = gridTick + k * gridPeriod;
                return;
            }
        } else {
            offGrid = 0;
            bool const sameSide = (residual > 0.0) == (drift > 0);
            if (std::fabs(residual) > driftFraction * gridPeriod)
                drift = sameSide ? drift + (residual > 0.0 ? 1 : -1) : (residual > 0.0 ? 1 : -1);
            else
                drift = 0;
            if (std::abs(drift) >= driftSteps && count > keptOnDrift) {
                for (std::size_t i = 0; i < keptOnDrift; ++i) {
                    index[i] = index[count - keptOnDrift + i];
                    time[i] = time[count - keptOnDrift + i];
                }
                count = keptOnDrift;
            }
            if (count == capacity) {
                for (std::size_t i = 1; i < capacity; ++i) {
                    index[i - 1] = index[i];
                    time[i - 1] = time[i];
                }
                --count;
            }
            index[count] = gridIndex + k;
            time[count] = observedTick;
            ++count;
            // The fit weighs the newly observed period against the line's slope.
            gridPeriod = observedPeriod;
            fit();
        }
    }
    period = gridPeriod;
    tick = gridTick;
}

} // namespace meterTracker
