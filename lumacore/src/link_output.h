/* Ableton Link: Beatlume as a peer of a Link session.
 *
 * While the engine is locked, the session's tempo is the music's and its beat and bar phase
 * follow the engine's beat grid, with the quantum set to the bar length in beats; the session
 * plays while the MIDI clock switch is on. Link is off until switched on, and the Link library is
 * not even started before that, so that nothing goes out on the network unasked.
 *
 * The output is a consumer of the ticker's event stream (event_stream.h): on the timer thread it
 * turns each beat tick, while the engine is locked, into a timeline commit (the tick's exact
 * stream time, the tempo, the beat number and the quantum) and each change of the transport into
 * a start or stop, and queues them (single producer, single consumer); a thread of the output's
 * own (or the owner, through link_output_commit) commits them to the Link session, converting
 * stream time to Link's clock. The timer thread never waits for Link.
 *
 * C-compatible.
 */
#ifndef LUMACORE_LINK_OUTPUT_H
#define LUMACORE_LINK_OUTPUT_H

#include <stdio.h>

#include "common.h"
#include "event_stream.h"
#include "sequencer.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct LinkOutput_t LinkOutput_t;

/* Off. `streamNow` reads the stream time, to relate it to Link's clock (null: the owner sets the
   relation with link_output_set_clock_offset). Null when out of memory. */
LinkOutput_t* link_output_create(lc_gettime_fn streamNow, void* udata);
/* Leaves the session, stops the threads, frees everything. It must be detached from every ticker
   first. */
void link_output_free(LinkOutput_t* out);
/* The output's end of the event stream, to attach to a ticker (meterticker_attach_output). */
EventOutput_t* link_output_event_output(LinkOutput_t* out);

/* ---- settings: any thread but the timer thread (not thread-safe among themselves) ---- */

/* Joins (1) or leaves (0) the session. With `thread` 1 a thread of its own commits the grid,
   else the owner calls link_output_commit. 0, or 1 when Link cannot start. */
int link_output_enable(LinkOutput_t* out, int on, int thread);
int link_output_enabled(const LinkOutput_t* out);
/* Other peers in the session; 0 while off. Thread-safe. */
int link_output_peers(const LinkOutput_t* out);
/* Seconds the session runs ahead of the engine's other outputs; within +-1 s (not finite:
   ignored). Thread-safe. */
void link_output_set_latency_offset(LinkOutput_t* out, double seconds);
double link_output_get_latency_offset(const LinkOutput_t* out);
/* Link clock microseconds minus stream microseconds; while `streamNow` exists the output measures
   it itself. Thread-safe. */
void link_output_set_clock_offset(LinkOutput_t* out, double linkMinusStreamMicros);
/* Link's clock now, in microseconds (0 while Link never started). Thread-safe. */
double link_output_clock_micros(const LinkOutput_t* out);
/* Writes every timeline commit as a text line into `file` (null: stops): stream time in seconds,
   tempo in BPM, beat, phase (the beat's place in the bar), quantum and whether the session plays,
   separated by tabs. The output makes commits while it records even when Link is off (nothing
   then reaches the network). The file is written by whoever commits: the owner, without the
   thread. */
void link_output_record(LinkOutput_t* out, FILE* file);

/* ---- committing side ---- */

/* Commits everything queued to the session and the record (its own thread, or the owner when it
   runs none). Returns the number of commits taken off the queue. */
int link_output_commit(LinkOutput_t* out);

#ifdef __cplusplus
}
#endif

#endif
