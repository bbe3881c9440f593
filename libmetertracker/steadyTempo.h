/* The tempo of music that holds it, measured over as long as it has held.
 *
 * The beat grid's line runs through the last dozen seconds of beat ticks. Each tick scatters by
 * milliseconds (more where a drummer pushes and drags around the bar), so the slope of a line
 * that short still wanders by about a tenth of a per cent from step to step, and a drummer's
 * bars ahead of or behind the click move it by several tenths. Music that keeps one tempo is
 * better measured the longer the line: this keeps the beat ticks of up to a minute and takes
 * the tempo from the longest trailing stretch of them whose newest ticks still lie on its
 * line and whose tempo agrees with that of the last 12 s, or, from 20 s on, whose misses only
 * wave around its line: a drummer pushes and drags around a click by tens of milliseconds in
 * waves of a few bars, which move the last 12 s by a per cent or two, and come back. Where the
 * music moves (a drift, an accelerando, rubato, a new tempo) the newest ticks leave every long
 * line at once, or bend it one way, or the last seconds disagree with it, and the short line's
 * tempo is taken, without lag; the long stretch regrows as the music holds its new tempo. A
 * few ticks far off an otherwise steady line (a fill, the last hit ringing out) are left out of
 * its slope. Only the period: the tick, and with it the phase, stays the short line's.
 */
#ifndef BEATLUME_STEADYTEMPO_H
#define BEATLUME_STEADYTEMPO_H

#include <array>
#include <cstddef>

namespace meterTracker {

class SteadyTempo {
public:
    void reset();
    // Takes one step's beat tick (seconds) with the short line's period, and returns the
    // period to publish: the slope of the longest trailing stretch of ticks that one tempo
    // explains, or `shortPeriod` when none longer than the short line does. A tick off the
    // numbered grid (another phase) or a period far from the kept one starts afresh.
    // Non-finite or non-positive input is passed through unchanged.
    double update(double tick, double shortPeriod);
    // Ticks the published period rests on (0 while the short line's period is published).
    std::size_t span() const { return used; }

private:
    // Least-squares line through the ticks from `from` on (only those whose miss, counted from
    // `from`, is at most farMiss, when `miss` is given). Slope 0 when the ticks do not span a line.
    struct Line {
        double meanIndex = 0.0, meanTime = 0.0, slope = 0.0, ticks = 0.0;
    };
    Line lineFrom(std::size_t from, const double* miss, double farMiss) const;
    // Line through the newest n ticks: its slope and the mean residual of the newest few.
    bool fitNewest(std::size_t n, double& slope, double* newestResidual) const;
    // Slope of the line through the newest n ticks, of least-squares slope `slope`, refitted
    // without the ticks far off it.
    double trimmedSlope(std::size_t n, double slope) const;
    // Whether the newest n ticks, off the line of least-squares slope `slope` by however much,
    // only wave around it: no bend or curve explains their misses, nor do the newest leave it.
    bool onlyWaves(std::size_t n, double slope) const;

    static constexpr std::size_t capacity = 128; // about a minute at two steps a second
    std::array<double, capacity> index{};        // tick numbers along the grid, oldest first
    std::array<double, capacity> time{};
    std::size_t count = 0;
    std::size_t used = 0;
    double lastPeriod = 0.0;
    bool waved = false; // the misses of all the ticks kept only waved at the last step
};

// The period to publish from the trailing ticks' line (resting on `lineTicks` ticks, the slope
// the steady tempo or the short line gives) and the period where the beat's resonance peaks in
// the resonators' salience (their mean over the last steps): two measures of one beat, each
// with errors of its own. The ticks wander by milliseconds with the accents (a change in the
// balance of the bands, a peak read on one filter or the other), so a line of a few seconds
// misses by a tenth of a per cent and more, the variance of its slope falling with the cube of
// its length. The resonance peak is read over the resonators' whole memory, to a share of an
// accent frame (at `frameRate` frames a second): as a share of the period, the more frames a
// period has, the finer; but it lags when the tempo moves. Where the two agree they are
// weighed by those errors; the farther apart, the more the music is moving and the more the
// line, which follows without lag, is taken alone. A resonance period that is not a finite
// positive number leaves the line's.
double withResonancePeriod(double linePeriod, std::size_t lineTicks, double resonancePeriod,
                           double frameRate);

// The resonance peak's period jitters from step to step by about as much as it misses; its mean
// over the last 2 s (4 steps) measures better. Another period (a new tempo or metrical level)
// starts the mean afresh; a step without a peak (0) gives 0 and keeps the mean.
class ResonanceMean {
public:
    double mean(double resonancePeriod);

private:
    static constexpr std::size_t capacity = 4;
    std::array<double, capacity> periods{}; // newest first
    std::size_t count = 0;
};

} // namespace meterTracker

#endif
