/* Where a tick lies in its bar, for outputs that count beats and tatums from the downbeat.
 *
 * C-compatible; any thread. */
#ifndef LUMACORE_BAR_POSITION_H
#define LUMACORE_BAR_POSITION_H

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Beats per bar (at least 1) and the position of a tick at `tickTime` of a level with period
   `period` in the bar whose downbeat is `barTime` (any downbeat of that grid), 0-based. */
int lc_ticks_per_bar(double barPeriod, double period);
int lc_position_in_bar(double tickTime, double barTime, double period, int perBar);

#ifdef __cplusplus
}
#endif

#endif
