/* Smooths a pulse's per-step (period, tick time) estimates into a steady grid.
 *
 * Every analysis step measures the period and the latest tick finer than an accent frame,
 * with a few milliseconds of scatter (more where a player's timing moves). Music that holds
 * its tempo deserves a grid that neither jumps nor wobbles: the follower numbers the
 * observed ticks along the grid and fits a straight line (tick time over tick number)
 * through the recent ones, so that the period holds steady and the phase does not jitter.
 * A new period (another tempo or metrical level) or a phase that lies persistently off the
 * grid starts a new line; gradual tempo drift is followed by letting only the recent ticks
 * count.
 */
#ifndef BEATLUME_GRIDFOLLOWER_H
#define BEATLUME_GRIDFOLLOWER_H

#include <array>
#include <cstddef>

namespace meterTracker {

class GridFollower {
public:
    // Forgets the grid.
    void reset();
    // Takes one step's observation and returns the smoothed grid: `period` and a tick time
    // `tick` on the grid close to the observed one. Observations that are not finite
    // positive periods or finite times leave the grid unchanged (and are returned as the
    // grid when there is one).
    void update(double observedPeriod, double observedTick, double& period, double& tick);
    bool valid() const { return count > 0; }
    // Observations the line rests on (few just after it started or was cut back to the newest).
    std::size_t observations() const { return count; }
    double period() const { return gridPeriod; }
    // A tick time on the current grid (meaningful when valid()).
    double anchor() const { return gridTick; }

private:
    void restart(double period, double tick);
    void fit();

    static constexpr std::size_t capacity = 24; // observations kept (about 12 s at two per second)
    std::array<double, capacity> index{};       // tick numbers, relative to the first one kept
    std::array<double, capacity> time{};
    std::size_t count = 0;
    std::size_t first = 0;
    double gridPeriod = 0.0;
    double gridTick = 0.0;
    double gridIndex = 0.0; // tick number of gridTick
    int offGrid = 0;        // successive observations far from the grid
    int drift = 0;          // successive observations on one side of the line
};

} // namespace meterTracker

#endif
