/* Lumacore: the real-time engine's public interface.
 *
 * One opaque handle and a set of free functions. The engine captures audio blocks, analyses them
 * on its own thread, predicts the next tick of bar, beat and tatum, and on a 1 ms timer thread
 * turns the predicted meter into full phases, MIDI (clock, notes, phase controllers) and phase
 * callbacks.
 *
 * All functions are for the GUI thread except lc_process_audio (audio thread). Results of type
 * int are 0 for success unless stated otherwise.
 *
 * Virtual time: lc_init_virtual creates an engine without threads whose MIDI goes into a
 * capture sink. Its owner installs a time source, feeds blocks with lc_process_audio, runs the
 * analysis with lc_consume_audio and the timer with lc_timer_pass at the times it chooses.
 *
 * C-compatible.
 */
#ifndef LUMACORE_H
#define LUMACORE_H

#include <stddef.h>

#include "common.h"
#include "link_output.h"
#include "midioutput.h"
#include "osc_output.h"
#include "sequencer.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef LC_PHASE_CB_FN_DEFINED
#define LC_PHASE_CB_FN_DEFINED
/* Phase callback: user data and the full phase (tick count plus fraction) of its level. Called on
   the timer thread: must return quickly, must not (un)register callbacks. */
typedef void (*lc_phase_cb_fn)(void* udata, double phase);
#endif

typedef struct LumaCore_t LumaCore_t;
typedef struct PhaseCallback_t PhaseCallback_t;

/* ---- Lifecycle ---- */

/* Creates the engine: sequencer, Beatlume's own MIDI port, then the ticker with the tracker, MIDI
   port `midiPort` (negative: 0, the own port), the analysis thread and the timer thread. Without
   any MIDI service the engine runs without MIDI. Null on failure, with LUMACORE_ERROR_STATUS set
   (1 general or the thread library's code). `reserved` is not used. */
LumaCore_t* lc_init(int reserved, int midiPort);

/* Creates an engine without threads whose MIDI goes into a capture sink of
   `midiCaptureCapacity` messages (see midioutput.h for the read-out). Null on failure. */
LumaCore_t* lc_init_virtual(size_t midiCaptureCapacity);

int lc_start_sequencer(LumaCore_t* lc);
/* Installs the engine's time source: seconds since the capture stream started. */
void lc_register_gettime_cb(LumaCore_t* lc, void* udata, lc_gettime_fn fn);
/* AUDIO THREAD: hands one mono block to the sequencer (no allocation, lock, I/O or waiting). Does
   nothing while the handle has no sequencer (between lc_stop and lc_run). Safe at any time
   against lc_stop, lc_run and lc_reinit on another thread: those wait for a block being handed
   over to leave the old sequencer before freeing it. Not against lc_close, which frees the
   handle itself: the capture stream must be closed first. */
void lc_process_audio(const float* samples, unsigned long frames, LumaCore_t* lc, double streamTime);
/* Closes ticker and sequencer; afterwards only lc_run, lc_process_audio and lc_close are valid. */
int lc_stop(LumaCore_t* lc);
/* New sequencer and ticker (on the MIDI port open before lc_stop, else port 0); starts the
   sequencer. Returns 0; when the ticker cannot be created the handle has none and every query
   answers as if there were no MIDI output. */
int lc_run(LumaCore_t* lc);
/* New ticker on the same sequencer, MIDI port 0, clock switched on again; returns 1. */
int lc_reinit(LumaCore_t* lc);
/* Closes everything and frees the handle (also a stopped one). Null is ignored. */
void lc_close(LumaCore_t* lc);

/* ---- Virtual time (engines from lc_init_virtual) ---- */

/* Runs the analysis on every block delivered so far; the number of samples analysed, or -1. */
long lc_consume_audio(LumaCore_t* lc);
/* One pass of the timer at time `now` (the installed time source should read `now` too, since
   MIDI capture takes its stamps from it). 1 when the pass ran, 0 while waiting for estimates. */
int lc_timer_pass(LumaCore_t* lc, double now);
/* The engine's MIDI output (the capture sink of a virtual engine); null without one. */
MidiOut_t* lc_get_midi_output(LumaCore_t* lc);
/* Latest accepted estimate: periods and tick (phase) times of bar, beat, tatum in seconds on the
   stream's time line, and the stream time of the audio analysed when it was accepted. Returns the
   number of estimates accepted so far. Any argument may be null. */
unsigned long lc_get_meter_estimate(LumaCore_t* lc, double periods[3], double refTimes[3],
                                    double* analysedTime);

/* ---- Queries and settings ---- */

/* Full phases (tick count + fraction) at the present time plus the anti-delay; never NaN. */
void lc_get_meter_phases(LumaCore_t* lc, double* bar, double* beat, double* tatum);
/* dB of the last analysed block; -100 before the first and on digital silence. */
double lc_get_input_level(LumaCore_t* lc);
double lc_get_nonbeatyness(LumaCore_t* lc);
/* 60 / beat period; 0 before the first estimate. */
double lc_get_bpm(LumaCore_t* lc);
double lc_get_beat_phase(LumaCore_t* lc);
double lc_get_anti_delay(LumaCore_t* lc);
void lc_set_anti_delay(LumaCore_t* lc, double seconds);
void lc_change_half_time(LumaCore_t* lc, double seconds);
void lc_change_myyValues(LumaCore_t* lc, double bar, double beat, double tatum);

/* ---- Tracking state, confidence and hints ---- */

/* How sure the engine is, 0-1, of the latest analysis step: evidence of a pulse (level, onsets,
   how clearly the resonators single out a period) times the agreement of the recent estimates.
   Locked means >= 0.7; it falls to 0 within about a second of silence or a steady tone. Any
   thread, lock-free, real-time safe; 0 without an engine. */
double lc_get_confidence(LumaCore_t* lc);
/* The tracking state (see LcTrackingState); LC_TRACKING_NO_EVIDENCE without an engine. Any thread,
   lock-free, real-time safe. */
LcTrackingState lc_get_tracking_state(LumaCore_t* lc);
/* "searching", "locked", "holding" or "no evidence"; "unknown" for other values. Any thread. */
const char* lc_tracking_state_name(LcTrackingState state);
/* Bars the clock carries on at the last good tempo and phase when the music goes away, before
   the state becomes "no evidence" (default 8; negative counts as 0). GUI thread, lock-free, from
   the next analysis step on. The getter: any thread; 0 without an engine. */
void lc_set_hold_bars(LumaCore_t* lc, int bars);
int lc_get_hold_bars(LumaCore_t* lc);
/* The input level (the scale of lc_get_input_level) at or below which audio counts as silence, so
   that hum or a quiet room does not keep the beat going: -100 to 0 (clamped; non-finite ignored),
   default -30 (-60 dBFS). Any thread, lock-free, from the next analysis step on; kept across
   restarts of the engine. The getter: any thread. */
void lc_set_silence_threshold(LumaCore_t* lc, double level);
double lc_get_silence_threshold(LumaCore_t* lc);
/* Stop on silence (on by default): once holding ran out ("no evidence") the MIDI clock stops
   (Stop), notes, controllers and OSC ticks pause and Link stops playing; once the music is back
   Start goes out on the first beat of a bar. While "holding" everything carries on. The outputs
   never fall silent within 4 s of coming back or of a Start, so an ending that hesitates cannot
   chatter. Off: everything carries on through silence on the last grid. Kept across restarts of
   the engine. Any thread. */
void lc_set_stop_on_silence(LumaCore_t* lc, int on);
int lc_get_stop_on_silence(LumaCore_t* lc);
/* Tempo hints (tap, half, double): from the next analysis step on, the beat follows this tempo
   level - the tracker's tempo folded onto it (the tracker's beat times 1/4 to 4) - for the next
   30 s of music, unless the tracker's beat fits no simple multiple of it for 4 s of clear music.
   lc_hint_half and lc_hint_double take the present tempo as the base. GUI thread, lock-free, no
   allocation. 0 when taken; 1 for a tempo outside 30-300 BPM, a non-finite one, no engine, or
   (half, double) before the first estimate. */
int lc_hint_tempo(LumaCore_t* lc, double bpm);
int lc_hint_half(LumaCore_t* lc);
int lc_hint_double(LumaCore_t* lc);
/* Phase hint: the next beat of the present grid (after now plus the anti-delay) is a bar's first;
   the bars are counted from it for the next 30 s of music. GUI thread, lock-free, no allocation.
   0 when taken; 1 before the first estimate or without an engine. */
int lc_hint_bar_start(LumaCore_t* lc);
/* Freezes the tempo (on non-zero) or lets it follow the music again: while frozen, the grid keeps
   the periods it had and follows the music's phase only; a tempo hint moves the frozen tempo.
   Takes effect from the next analysis step (once there is a first estimate) and lasts until
   switched off or the engine restarts. GUI thread, lock-free, no allocation. 0 when taken; 1
   without an engine. The getter: any thread; 0 without an engine. */
int lc_freeze_tempo(LumaCore_t* lc, int on);
int lc_get_tempo_frozen(LumaCore_t* lc);

/* ---- MIDI ---- (each returns 1 and logs at level 3 without a MIDI output) */

int lc_enable_midiclock(LumaCore_t* lc, int on);
int lc_enable_midinote(LumaCore_t* lc, int on);
int lc_enable_midiphase(LumaCore_t* lc, int on);
/* Clock off, close, open `port`, clock on (whatever it was before); the open result. */
int lc_set_mididev(LumaCore_t* lc, int port);
/* Index of the open port; -1 without a MIDI output or while no port is open. */
int lc_get_current_mididev(LumaCore_t* lc);
/* Port names after a fresh enumeration, null-terminated, owned by the engine; null without MIDI. */
char** lc_get_mididev_list(LumaCore_t* lc);
/* Note-on of the level's note with the next timer pass, its note-off 50 ms later; returns at once. */
int lc_send_test_midinote(LumaCore_t* lc, MeterLevelID level);
/* kind 0: note-on (data1 note, data2 velocity); otherwise control change. */
void lc_send_midi_message(LumaCore_t* lc, int kind, int channel, int data1, int data2);

/* ---- Network outputs (off until switched on; they keep their settings across lc_stop/lc_run) ----
   A virtual engine runs no network threads: each lc_timer_pass sends what the pass produced. */

/* Joins (1) or leaves (0) the Ableton Link session; 0, or 1 when Link cannot start. */
int lc_enable_link(LumaCore_t* lc, int on);
/* Other peers in the Link session; 0 while Link is off. */
int lc_get_link_peers(LumaCore_t* lc);
/* OSC destination (host name or address, UDP port): 0, or 1 when unusable. */
int lc_set_osc_destination(LumaCore_t* lc, const char* host, int port);
int lc_enable_osc(LumaCore_t* lc, int on);
/* 1: time-tagged bundles (default); 0: bare messages for receivers that cannot read bundles. */
void lc_set_osc_bundles(LumaCore_t* lc, int on);
/* Phase messages per second (default 30). */
void lc_set_osc_phase_rate(LumaCore_t* lc, double perSecond);
/* Seconds that Link or OSC run ahead of the other outputs (beside the anti-delay, which moves
   them all), for gear downstream that responds late; within +-1 s. */
void lc_set_link_latency_offset(LumaCore_t* lc, double seconds);
void lc_set_osc_latency_offset(LumaCore_t* lc, double seconds);
/* The outputs themselves, for their finer settings (see osc_output.h, link_output.h). */
OscOutput_t* lc_get_osc_output(LumaCore_t* lc);
LinkOutput_t* lc_get_link_output(LumaCore_t* lc);

/* ---- Beatlume's own MIDI port and output latencies ---- */

/* Name of Beatlume's own MIDI port, always index 0 of the port list: the JACK MIDI port
   "Beatlume:Beatlume" (opened with every live engine while a JACK server runs), else a virtual
   port "Beatlume" of the MIDI service where it has them; null without. GUI thread. */
const char* lc_own_midi_port_name(LumaCore_t* lc);
/* Sends on the own port (as lc_set_mididev(lc, 0)); 1 when there is none. GUI thread. */
int lc_open_own_midi_port(LumaCore_t* lc);
/* Watches the own JACK MIDI port, a few times a second (GUI thread): once its JACK server has
   gone the port's client is closed and the loss logged as an error; a server that answers again
   is joined under the same port name, at most once a second and only while no other JACK client
   of the engine is open (a stopped engine, or one whose system MIDI ports are not JACK's), since
   the JACK library does not survive a new client beside one of a gone server. 0 while the port
   is joined (or there is none); 1 while it is lost; 2 while it is lost and the running engine's
   system MIDI client of the gone server keeps it from joining: stopping the engine (lc_stop)
   closes that client, and the next checks may then join. */
int lc_check_midi_ports(LumaCore_t* lc);
/* Seconds by which MIDI leaves ahead of the grid (positive) or after it, beside the anti-delay:
   for gear whose own delay differs from the rest. Limited to -1 ... 1 s, kept across restarts;
   non-finite values are ignored. GUI thread. */
void lc_set_midi_latency(LumaCore_t* lc, double seconds);
double lc_get_midi_latency(LumaCore_t* lc);

#ifdef __cplusplus
}
struct EventOutput_t;
extern "C" {
#endif
/* Attaches an output to the engine's event stream (see event_stream.h), now and on every new
   ticker, until lc_detach_output. 0, or 1 when no slot is free. GUI thread. */
int lc_attach_output(LumaCore_t* lc, struct EventOutput_t* output);
void lc_detach_output(LumaCore_t* lc, struct EventOutput_t* output);

/* ---- Phase callbacks ---- */

/* Appends a callback for `level`: called 64 times per bar, 32 per beat or 16 per tatum on the
   timer thread with the level's full phase. The handle keeps the registration until
   lc_unregister_phase_cb and installs it on every new ticker (lc_run, lc_reinit), so a callback
   survives device changes. Returns the present ticker's node; null for an invalid level or
   function (nothing kept) and while the handle has no ticker (kept for the next lc_run). */
PhaseCallback_t* lc_register_phase_cb(LumaCore_t* lc, MeterLevelID level, void* udata, lc_phase_cb_fn fn);
/* Removes the first callback registered with `udata`, also from the registrations kept for
   later tickers; an unknown `udata` changes nothing. */
void lc_unregister_phase_cb(LumaCore_t* lc, void* udata);

#ifdef __cplusplus
}
#endif

#endif
