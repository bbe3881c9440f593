/* OSC over UDP: the meter as messages for visuals and lighting desks.
 *
 * Address space (type tags in brackets):
 *   /beatlume/bar    [i]   bar number, counted from 0, at each downbeat
 *   /beatlume/beat   [i]   position of the beat in the bar (0 = downbeat), at each beat
 *   /beatlume/tatum  [i]   position of the tatum in the bar, at each tatum
 *   /beatlume/tempo  [fi]  BPM and beats per bar, on each accepted estimate
 *   /beatlume/phase  [fff] tatum, beat and bar phase (0 at the tick, towards 1), at a set rate
 *   /beatlume/state  [s]   "locked", "searching", "holding" or "no evidence", on each change
 * Each message goes in a bundle of its own whose time tag is the moment it describes (the tick
 * itself, not the moment of sending), so that a receiver can act on it exactly; without bundles
 * (for receivers that cannot read them) the bare message goes out as soon as it is due.
 *
 * Threads: the timer thread (or the owner of a virtual engine) feeds snapshots; a sender thread of
 * the output's own (or the owner, through osc_output_flush) turns them into packets. Between them
 * runs a single-producer, single-consumer queue. Settings come from any other thread.
 */
#ifndef LUMACORE_OSC_OUTPUT_H
#define LUMACORE_OSC_OUTPUT_H

#include "common.h"
#include "meter_snapshot.h"
#include "sequencer.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OscOutput_t OscOutput_t;

/* Off, no destination. `streamNow` reads the stream time (null: the owner sets the time base with
   osc_output_set_time_base). Null when out of memory. Thread-safe: yes. */
OscOutput_t* osc_output_create(lc_gettime_fn streamNow, void* udata);
/* Stops the sender thread and frees everything. Nobody may feed it any more. Null is ignored. */
void osc_output_free(OscOutput_t* out);

/* ---- settings: any thread but the timer thread (may wait for a send in progress) ---- */

/* Destination host (name or address) and UDP port. 0, or 1 when the address is unusable (the
   previous destination is kept). */
int osc_output_set_destination(OscOutput_t* out, const char* host, int port);
/* 1: messages in time-tagged bundles (the default); 0: bare messages. */
void osc_output_set_bundles(OscOutput_t* out, int on);
/* Phase messages per second, 0.5 .. 1000 (other values are clamped; not finite: ignored).
   Default 30. */
void osc_output_set_phase_rate(OscOutput_t* out, double perSecond);
/* Seconds the messages run ahead of the engine's other outputs, for receivers that act late;
   within +-1 s (not finite: ignored). */
void osc_output_set_latency_offset(OscOutput_t* out, double seconds);
double osc_output_get_latency_offset(const OscOutput_t* out);
/* Seconds since 1900 (the OSC time tag's epoch) minus stream seconds. While `streamNow` exists
   the sender measures it itself and this call has no lasting effect. */
void osc_output_set_time_base(OscOutput_t* out, double tagMinusStream);
/* Off by default. Switching on announces state and tempo at the next pass and starts the sender thread when `thread` is 1 (else the owner calls
   osc_output_flush); switching off keeps the destination. 0, or 1 when the thread cannot start. */
int osc_output_enable(OscOutput_t* out, int on, int thread);
int osc_output_enabled(const OscOutput_t* out);

/* ---- timer thread ---- */

/* TIMER THREAD: queues the messages due at this pass: a changed state, a new estimate, the ticks
   up to now plus the anti-delay and latency offset, and the phase when its time has come (neither
   ticks nor phase once the music has gone). No allocation, lock, I/O or throw; when the queue is
   full the newest messages are dropped and counted. */
void osc_output_feed(OscOutput_t* out, const MeterSnapshot_t* snapshot);

/* ---- sender side ---- */

/* Sends everything queued (SENDER THREAD, or the owner when no thread runs). Returns the number of
   messages sent; without a destination or while off they are discarded. */
int osc_output_flush(OscOutput_t* out);
/* Messages dropped because the queue was full, and send failures. Thread-safe. */
unsigned long osc_output_dropped(const OscOutput_t* out);

#ifdef __cplusplus
}
#endif

#endif
