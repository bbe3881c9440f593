/* What the timer pass hands to the network outputs (OSC, Link) on every pass: the predicted
 * ticks, the latest estimate and the engine's state, all on the stream's time line.
 *
 * C-compatible. */
#ifndef LUMACORE_METER_SNAPSHOT_H
#define LUMACORE_METER_SNAPSHOT_H

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MeterSnapshot_t {
    double now;       /* stream time of the pass */
    double antiDelay; /* the engine runs this far ahead of the stream */
    /* Per level (bar, beat, tatum): the tick last reached and the one predicted next, and how many
       ticks were reached so far. */
    double prevTick[METERLEVEL_COUNT];
    double nextTick[METERLEVEL_COUNT];
    int tickCount[METERLEVEL_COUNT];
    /* Periods of the latest accepted estimate (0 before the first) and how many were accepted. */
    double periods[METERLEVEL_COUNT];
    unsigned long estimateCount;
    int state;         /* LcTrackingState */
    int clockRunning;  /* the MIDI clock switch is on: followers play */
    int outputsSilent; /* the music has gone: no ticks go out, followers stop */
} MeterSnapshot_t;

/* Beats per bar (at least 1) and the position of a tick at `tickTime` of a level with period
   `period` in the bar whose downbeat is `barTime` (any downbeat of that grid), 0-based. */
int lc_ticks_per_bar(double barPeriod, double period);
int lc_position_in_bar(double tickTime, double barTime, double period, int perBar);

#ifdef __cplusplus
}
#endif

#endif
