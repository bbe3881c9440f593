/* Freezing the tempo: while frozen, the grid keeps the periods it had when the freeze began and
 * runs on by itself. A beat of the music close to a frozen one (within 8 % of a beat) pulls the
 * phase a quarter of the way towards it at each analysis step, which keeps a drifting band in
 * step; music at another tempo lies mostly farther off and leaves the grid alone. The bar and
 * its first beat still come from the estimates (a bar hint keeps working), put onto the frozen
 * beats. A tempo hint given while frozen moves the frozen tempo to the hinted beat.
 *
 * Pure computation on the analysis thread: no threads, clocks, locks or allocation. Level order
 * bar, beat, tatum; times in seconds on the tracker's time line.
 */
#ifndef LUMACORE_TEMPO_FREEZE_H
#define LUMACORE_TEMPO_FREEZE_H

#include "common.h"

class TempoFreeze {
public:
    static constexpr double kPullRange = 0.08; /* of a beat */
    static constexpr double kPull = 0.25;

    /* ANALYSIS THREAD, once per analysis step before apply(): `frozen` as last asked for; the grid
       in use now (zero periods before the first estimate: a freeze then waits for one). */
    void update(bool frozen, const double periods[METERLEVEL_COUNT], const double refTimes[METERLEVEL_COUNT]);
    /* ANALYSIS THREAD: scales the frozen periods to this beat period (seconds), when frozen. */
    void hint_beat_period(double period);
    /* ANALYSIS THREAD: turns an estimate into the frozen grid, when frozen. */
    void apply(double periods[METERLEVEL_COUNT], double refTimes[METERLEVEL_COUNT]);
    bool active() const { return active_; }

private:
    bool active_ = false;
    double periods_[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    double beatRef_ = 0.0;
};

#endif
