/* The predicted beat as a phase-locked loop on the tracker's estimates.
 *
 * Each estimate places the beat a little differently: its ticks fall on the tracker's accent
 * frames (5.8 ms apart) and its period moves by a few parts in ten thousand from one analysis
 * step to the next. Taken over as they come, those wobbles make every beat interval differ from
 * the one before by milliseconds, and a MIDI Clock that divides each interval into 24 shows the
 * kinks to every receiver. The loop instead decides each beat interval once, at the beat tick
 * that starts it: the estimate's period, eased, plus a phase correction that removes only a share
 * of the distance to the estimate's nearest beat per beat and changes by no more than about one
 * per cent of the period from one beat to the next; a slow integral takes up a steady
 * period bias (a second-order loop of low bandwidth). The grid jumps, as before, only where the
 * music or the user asks for it: the first beat, another metrical level or tempo (the period
 * differs by more than a few per cent), a phase error too large to slew away within a few beats,
 * or a request (a hint, music back after "no evidence").
 *
 * An estimate that comes while a beat is under way need not wait for the next tick: the Clocks of
 * that beat not yet handed over are spaced anew so that the beat ends nearer the estimate
 * (beat_loop_bend). Decided a beat ahead, a drifting tempo's beat would otherwise trail the
 * estimates by a beat's worth of drift.
 *
 * The bar and tatum grids follow the same correction: each estimate goes through a map of time
 * (TimeMap) that sends the estimate's beat grid onto the loop's, so that all levels keep the
 * relation the tracker found between them and their ticks fall on the beat's.
 *
 * Pure computation, TIMER THREAD: no allocation, lock, I/O or throw. Times in stream seconds.
 */
#ifndef LUMACORE_BEAT_LOOP_H
#define LUMACORE_BEAT_LOOP_H

struct BeatLoop {
    bool running = false;      /* false: the next advance jumps onto the estimate */
    double basePeriod = 0.0;   /* the estimate's beat period, eased */
    double integral = 0.0;     /* period correction learned from a lasting phase error */
    double correction = 0.0;   /* phase correction inside the interval under way */
    double interval = 0.0;     /* the interval under way */
    int beatsSinceJump = 0;    /* advances slewed since the grid last jumped */
};

/* A map of time in two straight pieces: from `from` on, a stretch of `span` seconds is scaled by
   `scale` (the beat under way, with its phase correction), the rest of the time line by `steady`
   (the loop's period without the correction), so that the correction of one beat is not carried
   on over a whole bar. Continuous and increasing for positive scales. */
struct TimeMap {
    double from = 0.0, to = 0.0, span = 0.0, scale = 1.0, steady = 1.0;
    double apply(double time) const {
        const double d = time - from;
        if (d >= 0.0 && d <= span)
            return to + d * scale;
        return d < 0.0 ? to + d * steady : to + span * scale + (d - span) * steady;
    }
    double invert(double time) const {
        const double d = time - to;
        if (d >= 0.0 && d <= span * scale)
            return from + d / scale;
        return d < 0.0 ? from + d / steady : from + span + (d - span * scale) / steady;
    }
};

/* Distance from `time` to the nearest point of the grid ref + k * period (positive: that point
   lies later). 0 for a period that is not positive or a result that is not finite. */
double beat_loop_grid_offset(double time, double period, double ref);

/* At the beat tick `reached`: the time of the next beat tick, after the estimate's beat grid
   (estPeriod, estRef). Writes into *map the map that carries the estimate onto the grid just
   decided (identity after a jump) and sets *jumped when the grid jumped. `jump`: the caller asks
   for a jump. The result is finite and later than `reached` for finite `reached`. */
double beat_loop_advance(BeatLoop* loop, double reached, double estPeriod, double estRef, bool jump, TimeMap* map,
                         bool* jumped);

/* The map for a new estimate between beat ticks: it sends the estimate's beat nearest `prevTick`
   onto `prevTick` and its period onto the interval under way (prevTick to nextTick), unless the
   estimate's period lies on another level or tempo: then the identity, and the loop jumps at the
   next advance. */
TimeMap beat_loop_map(BeatLoop* loop, double prevTick, double nextTick, double estPeriod, double estRef);

/* A fresh estimate while a beat of the running loop is under way: the end of that beat re-aimed
   at the estimate's beat nearest `nextTick`, unless the estimate lies on another level, tempo or
   phase (the loop then jumps at the next advance) or within a wobble of it. The Clocks up to
   `from` are handed over and stay; the rest of the beat (the share `left` of it, 0 < left <= 1),
   paced so far at `pace` seconds per beat, is spaced anew at a pace that differs by a bounded
   share only, so that a receiver following the Clock hears it bend rather than step. Returns the
   new end of the beat (nextTick where it stays), finite and later than `from`. */
double beat_loop_bend(const BeatLoop* loop, double from, double left, double pace, double nextTick,
                      double estPeriod, double estRef);

#endif
