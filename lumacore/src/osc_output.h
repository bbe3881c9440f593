/* OSC over UDP: the meter as messages for visuals and lighting desks.
 *
 * Address space (type tags in brackets):
 *   /beatlume/bar    [i]   bar number, counted from 0 since the engine found the music, at each
 *                          downbeat
 *   /beatlume/beat   [i]   position of the beat in the bar (0 = downbeat), at each beat
 *   /beatlume/tatum  [i]   position of the tatum in the bar, at each tatum
 *   /beatlume/tempo  [fi]  BPM and beats per bar, on each accepted estimate
 *   /beatlume/phase  [fff] tatum, beat and bar phase (0 at the tick, towards 1), at a set rate
 *   /beatlume/state  [s]   "locked", "searching", "holding" or "no evidence", on each change
 * Each message goes in a bundle of its own whose time tag is the moment it describes (the tick
 * itself, not the moment of sending), so that a receiver can act on it exactly; without bundles
 * (for receivers that cannot read them) the bare message goes out as soon as it is due. Neither
 * ticks nor phases go out while the engine holds its outputs back for silence.
 *
 * The output is a consumer of the ticker's event stream (event_stream.h): the timer pass offers
 * it every event with its exact stream time, and it turns them into messages on the timer thread
 * without waiting; a sender thread of its own (or the owner, through osc_output_flush) turns those
 * into packets. Between them runs a single-producer, single-consumer queue. Settings come from
 * any other thread.
 */
#ifndef LUMACORE_OSC_OUTPUT_H
#define LUMACORE_OSC_OUTPUT_H

#include <stdio.h>

#include "common.h"
#include "event_stream.h"
#include "sequencer.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OscOutput_t OscOutput_t;

/* Off, no destination. `streamNow` reads the stream time (null: the owner sets the time base with
   osc_output_set_time_base). Null when out of memory. Thread-safe: yes. */
OscOutput_t* osc_output_create(lc_gettime_fn streamNow, void* udata);
/* Stops the sender thread and frees everything. It must be detached from every ticker first.
   Null is ignored. */
void osc_output_free(OscOutput_t* out);
/* The output's end of the event stream, to attach to a ticker (meterticker_attach_output). */
EventOutput_t* osc_output_event_output(OscOutput_t* out);

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
/* Off by default. Switching on announces state and tempo at the next pass and starts the sender
   thread when `thread` is 1 (else the owner calls osc_output_flush); switching off keeps the
   destination. 0, or 1 when the thread cannot start. */
int osc_output_enable(OscOutput_t* out, int on, int thread);
int osc_output_enabled(const OscOutput_t* out);
/* Writes every message, sent or not, as a text line into `file` (null: stops): its stream time in
   seconds, address, type tags and values, separated by tabs. The output makes messages while it
   records even when it is off; nothing goes on the network unless it is on. The file is written
   by whoever flushes: set it before the sender thread starts, or drive the output yourself. */
void osc_output_record(OscOutput_t* out, FILE* file);

/* ---- sender side ---- */

/* Sends everything queued and due (SENDER THREAD, or the owner when no thread runs). Returns the
   number of messages taken off the queue; without a destination or while off they are not sent. */
int osc_output_flush(OscOutput_t* out);
/* Messages dropped because the queue was full, and send failures. Thread-safe. */
unsigned long osc_output_dropped(const OscOutput_t* out);

#ifdef __cplusplus
}
#endif

#endif
