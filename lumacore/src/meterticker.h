/* The meter ticker: the engine's centre.
 *
 * Analysis side: the sequencer's consumer callback measures the input level, feeds the meter
 * tracker and takes over its latest period and phase-time estimates, one grid per level
 * (refTime + k * period). Prediction side: the timer pass reads, for every level, the full phase
 * tickCount + fraction of the way from the previous to the next predicted tick, advances a tick
 * to the grid point nearest one period ahead when the phase reaches it, and runs the event table
 * (MIDI clock, notes, phase controllers) and the phase callbacks.
 *
 * Time: every time comes from the sequencer's time source (LCSeq_get_current_time). The timer
 * thread is a thin loop around meterticker_timer_pass; a ticker created without threads
 * (meterticker_init_ex) is driven entirely by its owner: meterticker_consume runs the analysis
 * on the audio delivered so far, meterticker_timer_pass runs one pass at a given time.
 *
 * Events: the timer pass runs the event table ahead of the present by the lookahead and hands
 * every crossing to the attached outputs as a timed event (event_stream.h), at the exact stream
 * time the predicted grid gives it. Ticks are therefore decided a few milliseconds ahead; events
 * not yet handed over follow any later estimate. MIDI switches, test notes and messages from
 * other threads are requests that the next pass turns into events, so that each port has one
 * writer.
 *
 * Threads: consumer (analysis) thread, timer thread, GUI thread. Values shared between them are
 * atomics or hand-over pieces (handover.h): the estimate reaches the timer through a triple
 * buffer, the predicted ticks reach other threads under a sequence counter written by the timer.
 */
#ifndef LUMACORE_METERTICKER_H
#define LUMACORE_METERTICKER_H

#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>

#include "beat_line.h"
#include "beat_loop.h"
#include "common.h"
#include "event_stream.h"
#include "evidence.h"
#include "handover.h"
#include "tempo_freeze.h"
#include "mTracker.h"
#include "midioutput.h"
#include "sequencer.h"

/* Input level (10 log10 of the RMS, as meterticker_get_level) at or below which audio is silence:
   -60 dBFS, a silent room. */
constexpr double kDefaultSilenceLevel = -30.0;

extern "C" {

#ifndef LC_PHASE_CB_FN_DEFINED
#define LC_PHASE_CB_FN_DEFINED
/* Phase callback: user data and the full phase (tick count plus fraction) of its level. Called on
   the timer thread: must return quickly, must not (un)register callbacks. */
typedef void (*lc_phase_cb_fn)(void* udata, double phase);
#endif

/* A level's latest accepted estimate: the grid refTime + k * period on the stream's time line. */
struct LevelEstimate_t {
    double period;
    double refTime;
};

/* A level's predicted ticks: the phase runs from tickCount at prevTick to tickCount + 1 at
   nextTick. earlierTick is the tick before prevTick, so that a phase can be read for a time
   before prevTick (the timer pass predicts a little ahead of the present). A tick re-aimed while
   its interval was under way runs in two straight pieces: to the bend's fraction at its time,
   then on to the tick (fraction 0: one piece); `earlierBend` is the bend of the interval before. */
struct TickBend_t {
    double time = 0.0;
    double fraction = 0.0;
};

struct LevelTicks_t {
    double earlierTick;
    double prevTick;
    double nextTick;
    int tickCount;
    TickBend_t bend = {};
    TickBend_t earlierBend = {};
};

/* The three levels' estimates, handed over together. `jumps` counts the estimates the predicted
   grid must jump to rather than slew towards (hints, music back after "no evidence"). */
struct GridEstimate_t {
    LevelEstimate_t levels[METERLEVEL_COUNT];
    unsigned long jumps;
    BeatAttacks attacks; /* played attacks of recent beat ticks, stream times */
};

/* One metrical level's predicted ticks. */
struct LevelTrack_t {
    /* Timer pass -> any reader. */
    lumacore::SeqValue<LevelTicks_t> ticks;
    /* Timer pass only: the level's estimate as the timer last read it, and its working ticks. */
    LevelEstimate_t timerEstimate{0.0, 0.0};
    LevelTicks_t own{0.0, 0.0, 0.0, 0};
};

/* What a row of the event table does when its value crosses an integer. */
enum TickRowKind {
    ROW_TICK_ADVANCE,
    ROW_CLOCK_START,
    ROW_CLOCK_PULSE,
    ROW_NOTE_ON,
    ROW_NOTE_OFF,
    ROW_CONTROLLER
};

/* A row of the event table: fires where phase(level) * rate - offset reaches nextValue. */
struct TickEvent_t {
    MeterLevelID level;
    double rate;
    double offset;
    TickRowKind kind;
    double nextValue; /* timer pass only: the integer the row fires at next */
};

struct PhaseCallback_t {
    MeterLevelID level;
    double rate; /* bar 64, beat 32, tatum 16 calls per tick */
    lc_phase_cb_fn function;
    void* udata;
    std::atomic<PhaseCallback_t*> next{nullptr};
    double lastFraction = 0.0; /* timer pass only */
};

enum { METERTICKER_EVENT_ROWS = 14, METERTICKER_MAX_OUTPUTS = 6, METERTICKER_DEFERRED = 16 };

/* State of the phase-callback list. */
enum { CALLBACKS_FREE = 0, CALLBACKS_HELD_BY_REMOVAL = 1, CALLBACKS_HELD_BY_TIMER = 2 };

/* A request of another thread, carried out by the next timer pass (one writer per port). */
enum TickerRequestKind {
    REQUEST_CLOCK,   /* value: on (1) or off (0) */
    REQUEST_NOTES,   /* value: on or off */
    REQUEST_PHASE,   /* value: on or off */
    REQUEST_TEST_NOTE, /* value: level */
    REQUEST_MESSAGE  /* bytes */
};

struct TickerRequest_t {
    TickerRequestKind kind;
    int value;
    unsigned char bytes[3];
    unsigned char size;
};

/* An event the timer pass sends at a later time (the end of a test note). */
struct DeferredEvent_t {
    double time; /* stream seconds */
    unsigned char bytes[3];
    unsigned char size; /* 0: free slot */
};

/* The MIDI switches, kept by the timer pass (requests change them). */
struct MidiSwitches_t {
    int clockEnabled;
    int startPending; /* Start goes out on the next downbeat */
    int running;      /* a Start went out and no Stop since */
    int stopped;      /* a Stop went out and no Start since, to the port of generation `stoppedPort` */
    unsigned stoppedPort;
    int noteEnabled[METERLEVEL_COUNT];
    int sounding[METERLEVEL_COUNT];
    int ctrlEnabled[METERLEVEL_COUNT];
};

struct MeterTicker_t {
    Sequencer_t* sequencer; /* not owned */
    std::thread timerThread;
    std::atomic<int> stop{0};
    mTrackerHandle* tracker = nullptr;
    LevelTrack_t tracks[METERLEVEL_COUNT];
    /* Analysis -> timer pass (the timer never waits for a writer preempted mid-update). */
    lumacore::TripleBuffer<GridEstimate_t> estimateToTimer;
    /* Analysis -> any other reader. */
    lumacore::SeqValue<GridEstimate_t> estimate;
    std::atomic<double> level{-100.0};
    std::atomic<double> nonBeatyness{-100.0};
    MidiOut_t* midi = nullptr; /* owned unless midiBorrowed */
    bool midiBorrowed = false;
    TickEvent_t events[METERTICKER_EVENT_ROWS];
    std::atomic<PhaseCallback_t*> phaseCallbacks{nullptr};
    int midiPort = 0;
    std::atomic<double> antiDelay{0.0};
    std::atomic<int> callbackListState{CALLBACKS_FREE};
    std::mutex trackerLock;

    /* Serialises registrations and removals among non-timer threads; never taken by the timer. */
    std::mutex registrationLock;
    /* Consumer slot in the sequencer; -1 when none. */
    int consumerSlot = -1;
    bool threaded = false;
    /* Timer pass only: the grids have been aligned once. */
    std::atomic<int> aligned{0};
    /* Timer pass only: the estimate as handed over and moved onto the line through the recent
       beat ticks, the loop that slews the beat towards it and the map that carries it onto the
       slewed grid (each level's timerEstimate). */
    GridEstimate_t timerRaw = {};
    BeatLine beatLine;
    BeatLoop beatLoop;
    TimeMap timerMap;
    unsigned long timerJumps = 0;
    bool slewing = false;
    /* Timer pass only: an output asked for a pass at least every lookahead (EventOutput_t::paced). */
    bool outputsPaced = false;
    /* Analysis only: jumps asked for (a hint, music back) and not yet handed over with an
       estimate, and those handed over. */
    bool jumpPending = false;
    unsigned long gridJumps = 0;
    /* Analysis only: samples handed to the tracker (audio plus zeros for dropped blocks) and the
       stream time of the first of them; -1 before the first delivery. */
    unsigned long long samplesFed = 0;
    double originTime = -1.0;
    /* Analysis only: seconds of silence up to the last step, those analysed since the tracker
       (re)started, and whether it has heard sound since. */
    double silentSeconds = 0.0;
    double silenceSinceRestart = 0.0;
    double quietestSilence = INFINITY; /* the lowest mean square of a step in this silence */
    bool trackerHeardSound = false;
    /* Double-precision copy of a delivered stretch; allocated once. */
    double* buffer = nullptr;
    int bufferLength = 0;
    /* Accepted estimates so far and the stream time of the audio analysed at the last one. */
    std::atomic<unsigned long> estimateCount{0};
    std::atomic<double> estimateTime{0.0};
    /* Timer passes run (after the first alignment). */
    std::atomic<unsigned long> passCount{0};
    /* Samples of silence fed for dropped blocks. */
    std::atomic<unsigned long long> gapSamples{0};

    /* ---- event stream ---- */
    /* Seconds the timer pass predicts ahead of the present: events are handed over this early. */
    std::atomic<double> lookahead{0.0};
    /* Timer pass only: model time (stream time plus anti-delay) up to which the table has run. */
    double horizon = -INFINITY;
    std::atomic<EventOutput_t*> outputs[METERTICKER_MAX_OUTPUTS] = {};
    /* Non-zero while a timer pass runs (detaching waits for it). */
    std::atomic<int> passRunning{0};
    /* Requests of other threads; producers take requestLock among themselves, the timer never. */
    lumacore::SpscQueue<TickerRequest_t, 256> requests;
    std::mutex requestLock;
    std::atomic<unsigned long> requestsRefused{0};
    DeferredEvent_t deferred[METERTICKER_DEFERRED] = {};
    MidiSwitches_t switches = {};
    /* Timer pass only: the time of the pass under way (for messages sent from callbacks), and
       the time from which the next pass has anything to hand over. */
    double passNow = 0.0;
    double nextPassDue = INFINITY;

    /* Analysis only: what decides whether a step's estimate becomes the grid. */
    OnsetMeter onsetMeter;
    EvidenceJudge judge;
    unsigned long long samplesAtLastStep = 0;
    /* Analysis only: the attacks of the beat ticks found since the last estimate taken over, and
       the newest tick whose attack was looked for (tracker times). */
    BeatAttacks attacksFound;
    double lastAttackTick = -1.0;
    /* Published by the analysis for any thread. */
    std::atomic<double> confidence{0.0};
    /* Whether the confidence comes from this ticker's own analysis: estimates handed straight to
       meterticker_accept_estimate come with the caller's word for them. */
    std::atomic<int> judging{0};
    std::atomic<int> trackingState{LC_TRACKING_NO_EVIDENCE};
    /* Settings and hints from the GUI thread, taken over at the next analysis step. A hint slot
       holds 0 (beat period) or a negative time (bar start) while empty. */
    std::atomic<int> holdBars{8};
    std::atomic<double> silenceLevel{kDefaultSilenceLevel};
    std::atomic<double> beatPeriodHint{0.0};
    std::atomic<double> barStartHint{-1.0};
    /* Asked for by the GUI thread; the analysis keeps the periods (freeze, its own). */
    std::atomic<int> tempoFrozen{0};
    TempoFreeze freeze;
    /* Set by the analysis when the music has gone and holding ran out, cleared when an estimate
       is taken over again. With stopOnSilence the timer pass then holds the outputs back
       (outputsSilent, its own copy). */
    std::atomic<int> evidenceGone{0};
    std::atomic<int> stopOnSilence{1};
    bool outputsSilent = false;
    /* Timer pass only: stream time before which the outputs do not fall silent again (the music
       came back, or a Start went out, shortly before), and what the stream last announced. */
    double silenceAllowedFrom = -INFINITY;
    /* Timer pass only: until this stream time a pending Start waits for the grid to slew (its own
       analysis trusts the beat), so that a slaved sequencer does not start on a guess and then
       jump; after it a Start goes out on the searching grid too, for music that never convinces
       the tracker. */
    double startWaitsUntil = -INFINITY;
    int announcedState = -1;
    unsigned long announcedEstimates = 0;
    int announcedTransport = -1;
};

/* ---- Creation ---- */

struct MeterTickerOptions_t {
    int midiPort;     /* port to open (negative: 0) when `midi` is null */
    int threads;      /* 1: consumer thread and timer thread; 0: driven by the owner */
    MidiOut_t* midi;  /* MIDI output to use (the ticker takes it over, also on failure); null: the
                         system's ports through midioutput_init */
    int midiBorrowed; /* 1: `midi` stays the caller's; close only closes its port */
};

/* Creates a live ticker (consumer and timer threads) on `sequencer` with MIDI port `midiPort`.
   0 and *out set, or a status: 1 general or the thread library's error code. Without a MIDI
   output, or when the port cannot be opened, the ticker runs with what there is (a warning). */
int meterticker_init(Sequencer_t* sequencer, int midiPort, MeterTicker_t** out);
int meterticker_init_ex(Sequencer_t* sequencer, const MeterTickerOptions_t* options, MeterTicker_t** out);

/* Stops the timer thread, switches off sounding notes and a running clock, closes the MIDI
   output, removes the consumer and frees everything. Phase callbacks still registered are freed
   too. Null is ignored. */
void meterticker_close(MeterTicker_t* t);

/* ---- Analysis ---- */

/* The consumer callback (udata is the ticker). CONSUMER THREAD: takes trackerLock around the
   tracker calls; no allocation on the engine side. `time` is the stream time of the first
   sample; a jump beyond the samples fed so far (blocks discarded by the sequencer) is filled with
   silence, so that the tracker's time line stays on the stream's. Returns 0. */
int meterticker_cbfun(const float* samples, int count, void* udata, double time);

/* Owner-driven tickers: runs the analysis on everything delivered so far, synchronously. Returns
   the number of samples analysed, or -1 when the ticker has no manual consumer. */
long meterticker_consume(MeterTicker_t* t);

/* Takes over one estimate (tracker time line, level order bar, beat, tatum): only when all values
   are finite and the beat lies within 30-300 BPM; a tatum under 60 ms or above the beat and a bar
   shorter than the beat are mended first (EvidenceJudge::make_plausible). Returns 1 when accepted.
   The analysis itself also asks the evidence judge first. */
int meterticker_accept_estimate(MeterTicker_t* t, const double periods[METERLEVEL_COUNT],
                                const double refTimes[METERLEVEL_COUNT]);

/* Confidence 0-1 and tracking state of the latest analysis step. Any thread, lock-free. */
double meterticker_get_confidence(MeterTicker_t* t);
LcTrackingState meterticker_get_tracking_state(MeterTicker_t* t);
/* On (the default): once the music has gone and holding ran out ("no evidence"), a Stop goes out,
   notes and ticks pause, and Start returns on the first beat of a bar after the music is back;
   the outputs never fall silent within kSilenceMinRunSeconds (4 s) of coming back or of a Start,
   so that a hesitant ending cannot chatter. Off: the grid's outputs carry on through silence.
   Any thread. */
void meterticker_set_stop_on_silence(MeterTicker_t* t, int on);
int meterticker_get_stop_on_silence(MeterTicker_t* t);
/* Input level (the scale of meterticker_get_level) at or below which audio counts as silence;
   clamped to -100..0, non-finite ignored. Any thread, lock-free; from the next analysis step on. */
void meterticker_set_silence_level(MeterTicker_t* t, double level);
double meterticker_get_silence_level(MeterTicker_t* t);
/* Bars the clock carries on through silence before "no evidence" (negative: 0). Any thread. */
void meterticker_set_hold_bars(MeterTicker_t* t, int bars);
int meterticker_get_hold_bars(MeterTicker_t* t);
/* Hints for the next analysis step on (see lc_hint_tempo, lc_hint_bar_start). GUI thread, lock-free.
   A beat period outside 0.2-2 s and a non-finite time are ignored; 0 when taken, else 1. */
int meterticker_hint_beat_period(MeterTicker_t* t, double seconds);
/* The next beat of the present grid after now + anti-delay starts a bar; 1 without a grid. */
int meterticker_hint_bar_start(MeterTicker_t* t);
/* Freezes the tempo from the next analysis step on (see lc_freeze_tempo). GUI thread, lock-free. */
void meterticker_freeze_tempo(MeterTicker_t* t, int on);
int meterticker_tempo_frozen(MeterTicker_t* t);

/* ---- Prediction ---- */

/* First alignment at model time `time` (stream time plus anti-delay): every level's next tick
   becomes the first grid time at or after it, its previous tick the grid time one period before.
   TIMER THREAD. Returns 0 (nothing done) while no estimate exists, else 1. */
int meterticker_align(MeterTicker_t* t, double time);

/* Full phase of one track at time `time`: tickCount + min(1, (time - prevTick) / (nextTick -
   prevTick)), read on the interval before when `time` lies before prevTick. Never NaN: while the
   interval is empty (before the first alignment) the tick counts as due and the phase is
   tickCount + 1. Any thread. */
double meterticker_track_phase(const LevelTrack_t* track, double time);

/* Full phases of bar, beat, tatum at `time` (no anti-delay added). Any thread. */
void meterticker_phases_at(const MeterTicker_t* t, double time, double phases[METERLEVEL_COUNT]);

/* Full phases at the time source's present time plus the anti-delay. Any thread. */
void meterticker_get_phases(MeterTicker_t* t, double phases[METERLEVEL_COUNT]);
/* Beat or tatum only (bar and other values give 0). */
double meterticker_get_phase(MeterTicker_t* t, MeterLevelID level);

double meterticker_get_level(MeterTicker_t* t);
double meterticker_get_nonbeatyness(MeterTicker_t* t);
/* 60 / beat period; 0 while there is no estimate. */
double meterticker_get_bpm(MeterTicker_t* t);
double meterticker_get_anti_delay(MeterTicker_t* t);
/* Ignores values that are not finite. */
void meterticker_set_anti_delay(MeterTicker_t* t, double seconds);
/* Tuning, GUI thread: take trackerLock (waits for a running analysis step). */
void meterticker_change_half_time(MeterTicker_t* t, double seconds);
void meterticker_change_myyValues(MeterTicker_t* t, double bar, double beat, double tatum);

/* Latest accepted estimate on the stream's time line; returns the number accepted so far and
   writes the stream time of the audio analysed at that moment. Any thread except the timer
   thread (may wait for the analysis thread between its two counter steps). */
unsigned long meterticker_get_estimate(MeterTicker_t* t, double periods[METERLEVEL_COUNT],
                                       double refTimes[METERLEVEL_COUNT], double* analysedTime);

/* ---- Timer and event stream ---- */

/* One pass of the timer at time `now`: the requests of other threads; the first alignment while
   none was done; the event table run on the predicted grid up to now + lookahead + anti-delay +
   the largest output latency, each crossing handed to the outputs with its exact time; the phase
   callbacks at now + anti-delay. A pass that comes late sends each crossing it missed once, with
   its own time (crossings more than 0.1 s in the past are dropped, except note-offs). TIMER
   THREAD (or the owner of a thread-less ticker): no allocation, lock, I/O or throw. Returns 1 when
   the pass ran the table, 0 while waiting for estimates (requests are still carried out). */
int meterticker_timer_pass(MeterTicker_t* t, double now);

/* Stream time from which the next pass hands something over: a crossing of the table within
   now + lookahead + anti-delay + latency, or a deferred event within the lookahead; the last
   pass's time while phase callbacks are registered (each pass calls them); infinite before the
   first alignment. Requests of other threads and the announcements wait for the next pass
   whenever it comes. TIMER THREAD (or the owner of a thread-less ticker). */
double meterticker_next_pass_due(const MeterTicker_t* t);

/* Seconds the table runs ahead of the present (threaded tickers: 20 ms; others: 0). Negative
   and non-finite values are ignored. Any thread. */
void meterticker_set_lookahead(MeterTicker_t* t, double seconds);

/* Attaches an output to the event stream (the ticker's MIDI output is attached at creation).
   0, or 1 when all METERTICKER_MAX_OUTPUTS slots are taken. Not from the timer thread. */
int meterticker_attach_output(MeterTicker_t* t, EventOutput_t* output);
/* Detaches it, waiting for a pass that may be using it. Not from the timer thread. */
void meterticker_detach_output(MeterTicker_t* t, EventOutput_t* output);
/* Latency offset of one output: its events are handed over `seconds` early (negative: late).
   Limited to -1 ... 1 s; non-finite values are ignored. Any thread. */
void meterticker_set_output_latency(EventOutput_t* output, double seconds);

/* ---- MIDI switches and sends (any thread but the timer's: carried out by the next pass) ---- */

/* On: Start and the first Clock go out on the next downbeat (the beat tick nearest a bar tick),
   then 24 Clocks per beat. Off: Stop at once (when a Start went out), no Clock after it. */
void meterticker_midiclock_out(MeterTicker_t* t, int on);
/* On: note-on at each tick of bar, beat, tatum, note-off 0.2 of the period later. Off: the
   note-offs of sounding notes at once. */
void meterticker_midinote_out(MeterTicker_t* t, int on);
/* On: bar and beat phase controllers; off: none. */
void meterticker_midiphase_out(MeterTicker_t* t, int on);
/* Note-on of the level's note now and its note-off 50 ms later; returns at once. */
void meterticker_send_test_midinote(MeterTicker_t* t, MeterLevelID level);
/* kind 0: note-on (data1 note, data2 velocity); otherwise control change. From a phase callback
   (timer thread) the message goes out in the same pass, from other threads in the next. */
void meterticker_send_midi_message(MeterTicker_t* t, int kind, int channel, int data1, int data2);

/* ---- Phase callbacks ---- */

/* Appends a callback for `level` (null for an invalid level or function). Not from a callback. */
PhaseCallback_t* meterticker_register_phase_cb(MeterTicker_t* t, MeterLevelID level, void* udata,
                                               lc_phase_cb_fn fn);
/* Removes the first callback registered with `udata`; waits while a timer pass runs the list.
   Not from a callback. */
void meterticker_unregister_phase_cb(MeterTicker_t* t, void* udata);

} /* extern "C" */

#endif
