#include "meterticker.h"

#include "bar_position.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <system_error>

#include <pthread.h>
#include <sched.h>
#include <time.h>

namespace {

constexpr double kSampleRate = SEQUENCER_SAMPLE_RATE;
constexpr int kBufferLength = SEQUENCER_RING_LENGTH;
/* Analysis steps older than this before the newest tatum tick are dropped from the tracker's
   cache: a few bars at any tempo the tracker follows. */
constexpr double kPulseCacheSeconds = 10.0;
/* Seconds of silence, with nothing held, after which the tracker starts afresh: longer than the
   breaks inside a piece, shorter than most pauses between two. */
constexpr double kRestartAfterSilence = 4.0;
/* Seconds of silence the tracker analyses at most before it starts afresh once more. A live
   input's hiss is analysed whole (its floor and the quiet before the first onset count), but a
   long wait on it filled the tracker's running statistics (the accent channels' two-minute
   means, the input's scale since the restart) with hiss, and the music after it was tracked on
   them for minutes: after 300 s of hiss at -70 dBFS, dev-synth F 0.871 -> 0.818 against 10 s. */
constexpr double kLongestSilenceAnalysed = 8.0;
constexpr double kHissMeanSquare = 1e-9; /* -90 dBFS */
constexpr long kWaitLogPasses = 500;
/* Timer thread: passes at least this far apart (phase callbacks get every one), and at most this
   far, for the requests of other threads, announcements and the outputs' silence: as far as a
   poll of the window, or the lookahead while an output needs passes that often. At most tempos
   the MIDI Clock's crossings come a little over 20 ms apart; a 20 ms limit woke the thread twice
   for each. */
constexpr double kMinTimerStep = 0.001, kMaxTimerStep = 0.045, kMaxPacedTimerStep = 0.020;
/* A pass at exactly the due time must find the crossing within its reach, whatever the rounding
   of now + lookahead does. */
constexpr double kDueRounding = 1e-6;
/* Threaded tickers hand events over this early: a JACK period (2.9 ms) plus the timer's own step
   and the lateness of a busy machine. */
constexpr double kThreadedLookahead = 0.020;
/* A crossing this far in the past when its pass finally runs is no use to anyone downstream. */
constexpr double kStaleSeconds = 0.1;
constexpr double kTestNoteSeconds = 0.05;
/* A pass after a very long stall catches up over several passes rather than at once. */
constexpr int kMaxCrossingsPerPass = 20000;
constexpr double kMaxOutputLatency = 1.0;
/* Confidence from which the predicted beat slews towards the estimates rather than jumping onto
   each, and below which it jumps again. */
constexpr double kSlewStartConfidence = 0.5, kSlewKeepConfidence = 0.3;
/* Once the music is back, or a Start went out, the outputs keep running at least this long: an
   ending that hesitates (a last hit, a breath, a fade) must not send Stop, Start, Stop. */
constexpr double kSilenceMinRunSeconds = 4.0;
/* How long a Start waits for a trusted beat once the clock is switched on or the music is back. */
constexpr double kStartWaitSeconds = 8.0;

const int kNoteNumbers[METERLEVEL_COUNT] = {64, 65, 66};
const int kCtrlNumbers[METERLEVEL_COUNT] = {64, 65, 66};
const double kCallbackRates[METERLEVEL_COUNT] = {64.0, 32.0, 16.0};

/* The ticker whose pass runs on this thread right now (messages from phase callbacks). */
thread_local const MeterTicker_t* passOwner = nullptr;

bool valid_level(int level) {
    return level >= 0 && level < METERLEVEL_COUNT;
}

/* Where a bend lies strictly inside the interval from `from` to `to`: the interval runs in two
   straight pieces through it; elsewhere in one. */
bool bends_inside(const TickBend_t& bend, double from, double to) {
    return bend.fraction > 0.0 && bend.fraction < 1.0 && bend.time > from && bend.time < to;
}

/* Fraction of the interval from `from` (0) to `to` (1) reached at `time`, through the bend. */
double fraction_at(double from, double to, const TickBend_t& bend, double time) {
    if (!bends_inside(bend, from, to))
        return (time - from) / (to - from);
    if (time < bend.time)
        return bend.fraction * (time - from) / (bend.time - from);
    return bend.fraction + (1.0 - bend.fraction) * (time - bend.time) / (to - bend.time);
}

/* The time at which the interval from `from` to `to` reaches `fraction`, through the bend. */
double time_at(double from, double to, const TickBend_t& bend, double fraction) {
    if (!bends_inside(bend, from, to))
        return from + fraction * (to - from);
    if (fraction < bend.fraction)
        return from + fraction / bend.fraction * (bend.time - from);
    return bend.time + (fraction - bend.fraction) / (1.0 - bend.fraction) * (to - bend.time);
}

bool bent(const LevelTicks_t& k) {
    return bends_inside(k.bend, k.prevTick, k.nextTick);
}

/* The level's interval after its tick at `reached`: on to `next`, with the interval just ended (and
   its bend) kept as the one before, for phases read behind the tick. */
LevelTicks_t interval_after(const LevelTicks_t& k, double reached, double next) {
    return LevelTicks_t{k.prevTick, reached, next, k.tickCount + 1, {}, k.bend};
}

/* `tick` put onto the beat tick `nextBeat` where it lies within half the beat interval from
   `prevBeat` of it, else unchanged: a bar tick that near its beat tick is meant to sound with it. */
double onto_beat_nearby(double tick, double prevBeat, double nextBeat) {
    return std::fabs(tick - nextBeat) < 0.5 * (nextBeat - prevBeat) ? nextBeat : tick;
}

/* Model time at which the interval under way reaches `phase` (tickCount + fraction). */
double time_of_phase(const LevelTicks_t& k, double phase) {
    return time_at(k.prevTick, k.nextTick, k.bend, phase - k.tickCount);
}

double phase_of(const LevelTicks_t& k, double time) {
    const double interval = k.nextTick - k.prevTick;
    if (time < k.prevTick && interval > 0.0) {
        const double before = k.prevTick - k.earlierTick;
        const double f = fraction_at(k.earlierTick, k.prevTick, k.earlierBend, time);
        if (before > 0.0 && std::isfinite(f))
            return k.tickCount - 1 + f;
    }
    double fraction = 1.0; /* an empty interval: the tick is due */
    if (interval > 0.0) {
        fraction = std::fmin(1.0, fraction_at(k.prevTick, k.nextTick, k.bend, time));
        if (!std::isfinite(fraction))
            fraction = 1.0;
    }
    return k.tickCount + fraction;
}

bool estimates_present(const MeterTicker_t* t) {
    return t->estimateCount.load(std::memory_order_acquire) > 0;
}

/* The beat advances first at an instant shared with the other levels: its loop decides the map
   through which bar and tatum then take their next ticks. */
void fill_event_table(MeterTicker_t* t) {
    const TickEvent_t rows[METERTICKER_EVENT_ROWS] = {
        {METERLEVEL_BEAT, 1, 0, ROW_TICK_ADVANCE, 0},    {METERLEVEL_BAR, 1, 0, ROW_TICK_ADVANCE, 0},
        {METERLEVEL_TATUM, 1, 0, ROW_TICK_ADVANCE, 0},   {METERLEVEL_BEAT, 1, 0, ROW_CLOCK_START, 0},
        {METERLEVEL_BEAT, 24, 0, ROW_CLOCK_PULSE, 0},    {METERLEVEL_BAR, 1, 0, ROW_NOTE_ON, 0},
        {METERLEVEL_BAR, 1, 0.2, ROW_NOTE_OFF, 0},       {METERLEVEL_BEAT, 1, 0, ROW_NOTE_ON, 0},
        {METERLEVEL_BEAT, 1, 0.2, ROW_NOTE_OFF, 0},      {METERLEVEL_TATUM, 1, 0, ROW_NOTE_ON, 0},
        {METERLEVEL_TATUM, 1, 0.2, ROW_NOTE_OFF, 0},     {METERLEVEL_BAR, 128, 0, ROW_CONTROLLER, 0},
        {METERLEVEL_BEAT, 128, 0, ROW_CONTROLLER, 0},    {METERLEVEL_TATUM, 16, 0, ROW_CONTROLLER, 0},
    };
    for (int i = 0; i < METERTICKER_EVENT_ROWS; ++i)
        t->events[i] = rows[i];
}

/* ---- the event stream (timer pass) ----
   Everything from here to raise_priority runs in the timer pass: on the TIMER THREAD (or the
   thread that drives a thread-less ticker, or the closing thread once the timer thread has gone).
   None of it allocates, takes a lock, does I/O or throws; the outputs' offers and the phase
   callbacks promise the same. */

struct Emission {
    MeterTicker_t* t;
    double now;  /* the pass's present */
    double anti; /* the anti-delay of this pass */
};

/* Hands one event to every attached output. `streamTime` is where the grid puts it; `shifted`:
   each output receives it earlier by its latency (grid events), else as it is (requests). TIMER
   THREAD: an output that refuses the event, or breaks its promise not to throw, loses that event
   and nothing else. */
void emit(MeterTicker_t* t, TimedEvent_t event, double streamTime, bool shifted) {
    for (std::atomic<EventOutput_t*>& slot : t->outputs) {
        EventOutput_t* out = slot.load(std::memory_order_acquire);
        if (!out)
            continue;
        double time = streamTime;
        if (shifted)
            time -= out->latency.load(std::memory_order_relaxed);
        if (time < out->lastTime)
            time = out->lastTime;
        out->lastTime = time;
        event.time = time;
        bool taken = false;
        try {
            taken = out->offer(out, &event);
        } catch (...) {
        }
        if (!taken)
            out->refused.fetch_add(1, std::memory_order_relaxed);
    }
}

void emit_midi(MeterTicker_t* t, double streamTime, bool shifted, unsigned char status, int size, int data1 = 0,
               int data2 = 0) {
    TimedEvent_t event{};
    event.kind = EVENT_MIDI;
    event.size = static_cast<unsigned char>(size);
    event.bytes[0] = status;
    event.bytes[1] = static_cast<unsigned char>(data1 & 0xFF);
    event.bytes[2] = static_cast<unsigned char>(data2 & 0xFF);
    emit(t, event, streamTime, shifted);
}

void emit_meta(MeterTicker_t* t, double now, TimedEventKind kind, int count, double period = 0.0) {
    TimedEvent_t event{};
    event.kind = kind;
    event.count = count;
    event.period = period;
    emit(t, event, now, false);
}

void emit_bytes(MeterTicker_t* t, double streamTime, const unsigned char* bytes, int size) {
    TimedEvent_t event{};
    event.kind = EVENT_MIDI;
    event.size = static_cast<unsigned char>(size);
    for (int i = 0; i < size && i < 3; ++i)
        event.bytes[i] = bytes[i];
    emit(t, event, streamTime, false);
}

void note_offs(MeterTicker_t* t, double now) {
    for (int level = 0; level < METERLEVEL_COUNT; ++level)
        if (t->switches.sounding[level]) {
            t->switches.sounding[level] = 0;
            emit_midi(t, now, false, 0x80, 3, kNoteNumbers[level], 0);
        }
}

void defer(MeterTicker_t* t, double time, const unsigned char bytes[3], int size) {
    for (DeferredEvent_t& slot : t->deferred)
        if (slot.size == 0) {
            slot.time = time;
            std::memcpy(slot.bytes, bytes, 3);
            slot.size = static_cast<unsigned char>(size);
            return;
        }
    /* All taken (a flood of test notes): the note-off goes out at once rather than never. */
    emit_bytes(t, time, bytes, size);
}

/* Deferred events due by `until` (all with an infinite `until`), in time order. */
void emit_deferred(MeterTicker_t* t, double until) {
    for (;;) {
        DeferredEvent_t* first = nullptr;
        for (DeferredEvent_t& slot : t->deferred)
            if (slot.size != 0 && slot.time <= until && (!first || slot.time < first->time))
                first = &slot;
        if (!first)
            return;
        emit_bytes(t, first->time, first->bytes, first->size);
        first->size = 0;
    }
}

/* A Stop, unless the port open now already had one and no Start since: a resync or a change of
   port switches the clock off and on, and a Stop repeated tells a receiver nothing. TIMER PASS (or
   the closing thread once the timer thread has gone). */
void emit_stop(MeterTicker_t* t, double now) {
    MidiSwitches_t& sw = t->switches;
    const unsigned port = t->midi ? midioutput_port_generation(t->midi) : 0;
    sw.running = 0;
    if (sw.stopped && sw.stoppedPort == port)
        return;
    sw.stopped = 1;
    sw.stoppedPort = port;
    emit_midi(t, now, false, 0xFC, 1);
}

/* The switches, test notes and messages other threads asked for, in order. TIMER THREAD. */
void carry_out_requests(MeterTicker_t* t, double now) {
    MidiSwitches_t& sw = t->switches;
    TickerRequest_t r;
    while (t->requests.pop(r)) {
        switch (r.kind) {
        case REQUEST_CLOCK:
            if (r.value) {
                /* On again while on changes nothing: a resync is off, then on. */
                if (!sw.clockEnabled) {
                    sw.clockEnabled = 1;
                    sw.startPending = 1;
                    t->startWaitsUntil = now + kStartWaitSeconds;
                }
            } else {
                sw.clockEnabled = 0;
                sw.startPending = 0;
                emit_stop(t, now);
            }
            break;
        case REQUEST_NOTES:
            for (int& enabled : sw.noteEnabled)
                enabled = r.value;
            if (!r.value)
                note_offs(t, now);
            break;
        case REQUEST_PHASE:
            sw.ctrlEnabled[METERLEVEL_BAR] = r.value;
            sw.ctrlEnabled[METERLEVEL_BEAT] = r.value;
            sw.ctrlEnabled[METERLEVEL_TATUM] = 0;
            break;
        case REQUEST_TEST_NOTE: {
            const unsigned char off[3] = {0x80, static_cast<unsigned char>(kNoteNumbers[r.value]), 0};
            emit_midi(t, now, false, 0x90, 3, kNoteNumbers[r.value], 127);
            defer(t, now + kTestNoteSeconds, off, 3);
            break;
        }
        case REQUEST_MESSAGE:
            emit_bytes(t, now, r.bytes, r.size);
            break;
        }
    }
}

/* Model time at which `row` reaches its next value on the level's current interval; infinite
   while that lies beyond the next tick (it needs the tick advance first). */
double crossing_time(const LevelTicks_t& k, const TickEvent_t& row) {
    const double phase = (row.nextValue + row.offset) / row.rate;
    const double due = static_cast<double>(k.tickCount) + 1.0;
    if (phase > due)
        return INFINITY;
    if (phase == due)
        return k.nextTick;
    return time_of_phase(k, phase);
}

/* Whether the beat tick at model time `time` is the first beat of a bar: the bar phase then lies
   within half a beat of a whole number. */
bool is_downbeat(const MeterTicker_t* t, double time) {
    const LevelTicks_t& bar = t->tracks[METERLEVEL_BAR].own;
    const LevelTicks_t& beat = t->tracks[METERLEVEL_BEAT].own;
    const double beatsPerBar = (bar.nextTick - bar.prevTick) / (beat.nextTick - beat.prevTick);
    const double phase = phase_of(bar, time);
    const double distance = std::fabs(phase - std::nearbyint(phase));
    if (!std::isfinite(beatsPerBar) || !(beatsPerBar > 0.0) || !std::isfinite(distance))
        return true; /* no usable bar: every beat will do */
    return distance * beatsPerBar < 0.5;
}

bool start_may_go(const MeterTicker_t* t, double at) {
    return t->slewing || at >= t->startWaitsUntil || !t->judging.load(std::memory_order_relaxed);
}

void advance_beat(MeterTicker_t* t);
void advance_level(MeterTicker_t* t, int level);

/* One crossing of `row` at model time `time`. */
void fire(const Emission& e, const TickEvent_t& row, double time) {
    MeterTicker_t* t = e.t;
    MidiSwitches_t& sw = t->switches;
    const int level = row.level;
    const double at = time - e.anti;
    const bool stale = at < e.now - kStaleSeconds;
    if (t->outputsSilent && row.kind != ROW_TICK_ADVANCE)
        return;
    switch (row.kind) {
    case ROW_TICK_ADVANCE: {
        LevelTrack_t& track = t->tracks[level];
        if (level == METERLEVEL_BEAT)
            advance_beat(t);
        else
            advance_level(t, level);
        if (!stale && !t->outputsSilent) {
            const double period = track.timerEstimate.period;
            TimedEvent_t tick{};
            tick.kind = EVENT_TICK;
            tick.level = static_cast<unsigned char>(level);
            tick.count = track.own.tickCount;
            tick.period = track.own.nextTick - track.own.prevTick;
            tick.position = lc_position_in_bar(
                track.own.prevTick, t->tracks[METERLEVEL_BAR].own.prevTick, period,
                lc_ticks_per_bar(t->tracks[METERLEVEL_BAR].timerEstimate.period, period));
            emit(t, tick, at, true);
        }
        break;
    }
    case ROW_CLOCK_START:
        if (sw.clockEnabled && sw.startPending && !stale && start_may_go(t, at) &&
            is_downbeat(t, time)) {
            sw.startPending = 0;
            sw.running = 1;
            sw.stopped = 0;
            t->silenceAllowedFrom = std::fmax(t->silenceAllowedFrom, at + kSilenceMinRunSeconds);
            emit_midi(t, at, true, 0xFA, 1);
        }
        break;
    case ROW_CLOCK_PULSE:
        if (sw.running && !stale)
            emit_midi(t, at, true, 0xF8, 1);
        break;
    case ROW_NOTE_ON:
        if (sw.noteEnabled[level] && !stale) {
            sw.sounding[level] = 1;
            emit_midi(t, at, true, 0x90, 3, kNoteNumbers[level], 127);
        }
        break;
    case ROW_NOTE_OFF:
        if (sw.sounding[level]) {
            sw.sounding[level] = 0;
            emit_midi(t, at, true, 0x80, 3, kNoteNumbers[level], 0);
        }
        break;
    case ROW_CONTROLLER:
        if (sw.ctrlEnabled[level] && !stale) {
            const double phase = (row.nextValue + row.offset) / row.rate;
            int value = static_cast<int>((phase - std::floor(phase)) * 128.0);
            value = value < 0 ? 0 : (value > 127 ? 127 : value);
            emit_midi(t, at, true, 0xB0, 3, kCtrlNumbers[level], value);
        }
        break;
    }
}

/* The row that crosses first (-1: none) and its model time. */
int first_crossing(const MeterTicker_t* t, double* when) {
    int best = -1;
    *when = INFINITY;
    for (int i = 0; i < METERTICKER_EVENT_ROWS; ++i) {
        const double time = crossing_time(t->tracks[t->events[i].level].own, t->events[i]);
        if (time < *when) {
            *when = time;
            best = i;
        }
    }
    return best;
}

/* Whether a crossing of `row` would hand anything over with the switches as they are (the tick
   advances always count: they move the grid that the phases are read from). */
bool row_speaks(const MeterTicker_t* t, const TickEvent_t& row) {
    const MidiSwitches_t& sw = t->switches;
    if (row.kind == ROW_TICK_ADVANCE)
        return true;
    if (t->outputsSilent)
        return false;
    switch (row.kind) {
    case ROW_CLOCK_START: return sw.clockEnabled && sw.startPending;
    case ROW_CLOCK_PULSE: return sw.running;
    case ROW_NOTE_ON: return sw.noteEnabled[row.level];
    case ROW_NOTE_OFF: return sw.sounding[row.level];
    default: return sw.ctrlEnabled[row.level];
    }
}

/* Model time of the first crossing that hands something over. The silent rows in between (the
   phase controllers, 128 per beat, are off by default) fire unseen in that pass. */
double next_crossing(const MeterTicker_t* t) {
    double when = INFINITY;
    for (const TickEvent_t& row : t->events)
        if (row_speaks(t, row))
            when = std::fmin(when, crossing_time(t->tracks[row.level].own, row));
    return when;
}

/* Runs the table on the predicted grid up to model time `until`, crossing by crossing in time
   order (rows of one instant in table order). */
void run_table(const Emission& e, double until) {
    MeterTicker_t* t = e.t;
    for (int fired = 0; fired < kMaxCrossingsPerPass; ++fired) {
        double bestTime;
        const int best = first_crossing(t, &bestTime);
        if (best < 0 || !(bestTime <= until))
            return;
        fire(e, t->events[best], bestTime);
        t->events[best].nextValue += 1.0;
    }
}

/* Where every row stands at model time `time`, just after the first alignment: a value reached
   exactly (a tick due now) is still to fire. */
void start_rows(MeterTicker_t* t, double time) {
    for (TickEvent_t& row : t->events) {
        const double x = phase_of(t->tracks[row.level].own, time) * row.rate - row.offset;
        row.nextValue = std::isfinite(x) ? std::ceil(x) : 0.0;
    }
}

/* Each level's timer-side estimate: the estimate as handed over, carried through the map onto
   the slewed beat grid. */
void apply_time_map(MeterTicker_t* t) {
    for (int level = 0; level < METERLEVEL_COUNT; ++level) {
        const LevelEstimate_t raw = t->timerRaw.levels[level];
        t->tracks[level].timerEstimate = LevelEstimate_t{raw.period * t->timerMap.steady, t->timerMap.apply(raw.refTime)};
    }
}

/* The time, on the slewed grid, of the level's estimated grid point nearest `time` moved by
   `periods` periods of the estimate; `time` is read through `previous` (the map it was decided
   on). */
double mapped_grid_point(const MeterTicker_t* t, int level, double time, double periods, const TimeMap& previous) {
    const LevelEstimate_t raw = t->timerRaw.levels[level];
    const double x = previous.invert(time) + periods * raw.period;
    return t->timerMap.apply(x + beat_loop_grid_offset(x, raw.period, raw.refTime));
}

/* Tick advance of bar or tatum: the mapped grid point nearest one period after the tick reached. */
void advance_level(MeterTicker_t* t, int level) {
    LevelTrack_t& track = t->tracks[level];
    LevelTicks_t& k = track.own;
    const double reached = k.nextTick;
    double next = mapped_grid_point(t, level, reached, 1.0, t->timerMap);
    if (!std::isfinite(next) || !(next > reached)) {
        const double period = track.timerEstimate.period;
        next = reached + (period > 0.0 && std::isfinite(period) ? period : 0.5);
    }
    k = interval_after(k, reached, next);
    track.ticks.write(k);
}

/* After the beat's advance at `reached`: the pending ticks of bar and tatum move onto the new map,
   so that they keep falling on beat ticks. Only ticks still ahead move; none goes to or before
   `reached`. */
void reproject_levels(MeterTicker_t* t, double reached, const TimeMap& previous) {
    for (int level : {METERLEVEL_BAR, METERLEVEL_TATUM}) {
        LevelTrack_t& track = t->tracks[level];
        LevelTicks_t& k = track.own;
        if (!(k.nextTick > reached))
            continue;
        const double moved = mapped_grid_point(t, level, k.nextTick, 0.0, previous);
        if (std::isfinite(moved) && moved > reached && moved > k.prevTick && moved != k.nextTick) {
            k.nextTick = moved;
            track.ticks.write(k);
        }
    }
}

/* After the beat's advance at `reached`, with the next beat tick at `nextBeat`: a bar tick under way
   within half a beat of that tick goes onto it. The bar's own grid, a bar period on from its last
   tick, drifts off the beat ticks wherever the beat loop bends or jumps the beat's grid (a tempo
   that moves, a played beat, a grid still searching), and a downbeat note apart from its beat note
   would sound as a beat of its own. TIMER THREAD: no allocation, lock or I/O. */
void keep_bar_on_beat(MeterTicker_t* t, double reached, double nextBeat) {
    LevelTrack_t& bar = t->tracks[METERLEVEL_BAR];
    LevelTicks_t& k = bar.own;
    const double onBeat = onto_beat_nearby(k.nextTick, reached, nextBeat);
    if (k.nextTick > reached && onBeat != k.nextTick && nextBeat > k.prevTick) {
        k.nextTick = onBeat;
        bar.ticks.write(k);
    }
}

/* Moves the level's tick under way to `nextTick` where the interval keeps half a period at least
   and every crossing of the level still to come that hands anything over stays after the horizon
   (nothing handed over moves or repeats), phase controllers aside: their ramp skips the values it
   passed. The note of the tick just sent is the exception: where its end on the shorter interval
   would lie behind the horizon, it ends at the horizon; else the new grid's first point would be
   refused whenever the estimate came later than the note's end on it, and the newly found beat
   would sound a whole beat later. False where it stays. TIMER THREAD: no allocation, lock or
   I/O. */
bool move_pending_tick(MeterTicker_t* t, int level, double nextTick) {
    LevelTrack_t& track = t->tracks[level];
    LevelTicks_t moved = track.own;
    moved.nextTick = nextTick;
    if (!(nextTick > moved.bend.time))
        moved.bend = TickBend_t{};
    const double period = t->timerRaw.levels[level].period, beat = t->timerRaw.levels[METERLEVEL_BEAT].period;
    const double shortest = level == METERLEVEL_BAR ? std::fmin(0.5 * period, 0.75 * beat) : 0.5 * period;
    if (moved.nextTick == track.own.nextTick || !(moved.nextTick > t->horizon) ||
        !(moved.nextTick - moved.prevTick >= shortest))
        return false;
    bool endNoteNow = false;
    for (const TickEvent_t& row : t->events)
        if (row.level == level && row.kind != ROW_CONTROLLER && row_speaks(t, row) &&
            !(crossing_time(moved, row) > t->horizon)) {
            if (row.kind != ROW_NOTE_OFF)
                return false;
            endNoteNow = true;
        }
    if (endNoteNow) {
        t->switches.sounding[level] = 0;
        emit_midi(t, t->horizon - t->antiDelay.load(std::memory_order_relaxed), true, 0x80, 3,
                  kNoteNumbers[level], 0);
    }
    track.own = moved;
    track.ticks.write(moved);
    for (TickEvent_t& row : t->events)
        if (row.level == level && row.kind == ROW_CONTROLLER && !(crossing_time(moved, row) > t->horizon))
            row.nextValue = std::floor(phase_of(moved, t->horizon) * row.rate - row.offset) + 1.0;
    return true;
}

/* While the engine searches, each level's tick under way moves onto the new estimate's grid, so
   that the first beat on a newly found grid goes out at once instead of one more on the grid just
   left: onto the first grid point half a period or more after the tick just sent, or the one
   after it, else onto the point nearest the tick under way. The nearest alone comes a whole beat
   late where a faster beat is found and the old grid's tick lies past the middle of the new beat.
   Not while the Clock runs: a receiver counts its 24 pulses per beat, and the beat under way has
   some. TIMER THREAD: no allocation, lock or I/O. */
void move_pending_ticks(MeterTicker_t* t) {
    if (t->slewing || t->beatLoop.running || t->switches.running || !t->aligned.load(std::memory_order_relaxed))
        return;
    for (int level = 0; level < METERLEVEL_COUNT; ++level) {
        const LevelTicks_t& own = t->tracks[level].own;
        const LevelEstimate_t e = t->timerRaw.levels[level];
        const double nearest = own.nextTick + beat_loop_grid_offset(own.nextTick, e.period, e.refTime);
        const double after = own.prevTick + 0.5 * e.period;
        double earlier = e.refTime + std::ceil((after - e.refTime) / e.period) * e.period;
        bool moved = false;
        for (int tries = 0; tries < 2 && !moved && e.period > 0.0 && earlier < nearest - 0.5 * e.period;
             ++tries) {
            moved = move_pending_tick(t, level, earlier);
            earlier += e.period;
        }
        if (!moved)
            move_pending_tick(t, level, nearest);
    }
}

/* A fresh estimate while a beat of the running loop is under way: that beat's Clocks not yet handed
   over (from the horizon on) are spaced anew so that the beat ends nearer the estimate
   (beat_loop_bend), once per beat; the ticks of bar and tatum due by its end keep their place in
   the beat, later ones move with its end. Everything handed over stays where it went. TIMER
   THREAD: no allocation, lock, I/O or throw. */
void bend_beat_under_way(MeterTicker_t* t) {
    LevelTrack_t& track = t->tracks[METERLEVEL_BEAT];
    const LevelTicks_t before = track.own;
    const LevelEstimate_t e = t->timerRaw.levels[METERLEVEL_BEAT];
    if (bent(before) || !t->aligned.load(std::memory_order_relaxed) || !(t->horizon > before.prevTick) ||
        !(t->horizon < before.nextTick))
        return;
    const double from = t->horizon, done = phase_of(before, from) - before.tickCount;
    if (!(done > 0.0 && done < 1.0))
        return;
    const double end = beat_loop_bend(&t->beatLoop, from, 1.0 - done, before.nextTick - before.prevTick,
                                      before.nextTick, e.period, e.refTime);
    if (end == before.nextTick)
        return;
    LevelTicks_t after = before;
    after.nextTick = end;
    after.bend = TickBend_t{from, done};
    track.own = after;
    track.ticks.write(after);
    for (int level : {METERLEVEL_BAR, METERLEVEL_TATUM}) {
        const double tick = t->tracks[level].own.nextTick;
        if (!(tick > from))
            continue;
        double moved = end;
        if (tick < before.nextTick)
            moved = time_of_phase(after, phase_of(before, tick));
        else if (tick > before.nextTick)
            moved = tick + (end - before.nextTick);
        move_pending_tick(t, level, moved);
    }
}

/* Where the newest estimate's bar has another number of beats than the one before, the bar tick
   under way moves onto its grid (mapped onto the predicted beat grid), and onto the beat tick under
   way where it falls within half a beat of it: also while the beat loop or the Clock runs, which
   count beats, not bars. Else a bar of three taken from the first estimates would go on until its
   next tick although four is known. A bar that only moves its downbeat moves at its next tick, as
   before. TIMER THREAD: no allocation, lock or I/O. */
void follow_new_bar_length(MeterTicker_t* t, int beatsPerBarBefore) {
    const LevelEstimate_t& bar = t->timerRaw.levels[METERLEVEL_BAR];
    const LevelTicks_t& pending = t->tracks[METERLEVEL_BAR].own;
    const LevelTicks_t& beat = t->tracks[METERLEVEL_BEAT].own;
    if (!t->aligned.load(std::memory_order_relaxed) ||
        lc_ticks_per_bar(bar.period, t->timerRaw.levels[METERLEVEL_BEAT].period) == beatsPerBarBefore)
        return;
    double target = mapped_grid_point(t, METERLEVEL_BAR, pending.nextTick, 0.0, t->timerMap);
    target = onto_beat_nearby(target, beat.prevTick, beat.nextTick);
    if (std::isfinite(target))
        move_pending_tick(t, METERLEVEL_BAR, target);
}

/* The estimate as the predicted grid takes it: every level moved and scaled around the beat tick
   so that the beat grid becomes the beat line's (beat_line.h) and bar and tatum keep their
   relation to it. TIMER THREAD: no allocation, lock, I/O or throw. */
void follow_beat_line(MeterTicker_t* t) {
    const LevelEstimate_t beat = t->timerRaw.levels[METERLEVEL_BEAT];
    double period = beat.period, tick = beat.refTime;
    beat_line_take(&t->beatLine, beat.period, beat.refTime, &t->timerRaw.attacks, &period, &tick);
    const double scale = period / beat.period;
    if (!std::isfinite(scale) || !(scale > 0.0) || (period == beat.period && tick == beat.refTime))
        return;
    for (LevelEstimate_t& level : t->timerRaw.levels)
        level = LevelEstimate_t{level.period * scale, tick + (level.refTime - beat.refTime) * scale};
}

/* Takes over the analysis' newest grid, if any: the beat loop's map, and a jump's. TIMER THREAD. */
void read_estimate_for_timer(MeterTicker_t* t) {
    GridEstimate_t grid;
    if (!t->estimateToTimer.read(grid))
        return;
    if (grid.jumps != t->timerJumps) {
        t->timerJumps = grid.jumps;
        t->beatLoop.running = false;
        beat_line_restart(&t->beatLine);
    }
    const int beatsPerBarBefore =
        lc_ticks_per_bar(t->timerRaw.levels[METERLEVEL_BAR].period, t->timerRaw.levels[METERLEVEL_BEAT].period);
    t->timerRaw = grid;
    follow_beat_line(t);
    bend_beat_under_way(t);
    const LevelTicks_t& beat = t->tracks[METERLEVEL_BEAT].own;
    const LevelEstimate_t e = grid.levels[METERLEVEL_BEAT];
    t->timerMap = beat_loop_map(&t->beatLoop, beat.prevTick, beat.nextTick, e.period, e.refTime);
    apply_time_map(t);
    move_pending_ticks(t);
    follow_new_bar_length(t, beatsPerBarBefore);
}

/* The beat's tick advance: the loop decides the next beat tick and the map for all levels. TIMER
   THREAD. */
void advance_beat(MeterTicker_t* t) {
    LevelTrack_t& track = t->tracks[METERLEVEL_BEAT];
    LevelTicks_t& k = track.own;
    const LevelEstimate_t e = t->timerRaw.levels[METERLEVEL_BEAT];
    /* Until the engine is sure of the beat every estimate may be the one that finds it: the grid
       takes each as it comes. Once locked it slews, until the confidence has clearly gone. */
    const double confidence = t->confidence.load(std::memory_order_relaxed);
    t->slewing = confidence >= (t->slewing ? kSlewKeepConfidence : kSlewStartConfidence);
    bool jumped = false;
    const TimeMap previous = t->timerMap;
    const double next =
        beat_loop_advance(&t->beatLoop, k.nextTick, e.period, e.refTime, !t->slewing, &t->timerMap, &jumped);
    apply_time_map(t);
    if (!jumped)
        reproject_levels(t, k.nextTick, previous);
    keep_bar_on_beat(t, k.nextTick, next);
    k = interval_after(k, k.nextTick, next);
    track.ticks.write(k);
}

/* Calls each registered phase callback whose level crossed one of its steps since the last pass;
   skipped while another thread edits the list. TIMER THREAD. */
void run_phase_callbacks(MeterTicker_t* t, double time) {
    double phases[METERLEVEL_COUNT];
    for (int level = 0; level < METERLEVEL_COUNT; ++level)
        phases[level] = phase_of(t->tracks[level].own, time);
    int expected = CALLBACKS_FREE;
    if (!t->callbackListState.compare_exchange_strong(expected, CALLBACKS_HELD_BY_TIMER, std::memory_order_acquire))
        return;
    for (PhaseCallback_t* node = t->phaseCallbacks.load(std::memory_order_acquire); node;
         node = node->next.load(std::memory_order_acquire)) {
        const double phase = phases[node->level];
        const double f = std::fmod(node->rate * phase, 1.0);
        if (node->lastFraction > f)
            node->function(node->udata, phase);
        node->lastFraction = f;
    }
    t->callbackListState.store(CALLBACKS_FREE, std::memory_order_release);
}

/* Asks for real-time scheduling for the calling thread where the system allows it. */
void raise_priority() {
    sched_param param{};
    param.sched_priority = 60;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0)
        lc_logmsg(LC_LOG_PROGRESS, "MeterTicker: timer thread at real-time priority");
    else
        lc_logmsg(LC_LOG_PROGRESS, "MeterTicker: timer thread at normal priority");
}

void timer_thread_main(MeterTicker_t* t) {
    pthread_setname_np(pthread_self(), "lc-timer"); // per-thread figures in /proc and top
    lc_logmsg(LC_LOG_PROGRESS, "MeterTicker: timer thread started");
    raise_priority();
    long waiting = 0;
    while (!t->stop.load(std::memory_order_acquire)) {
        timespec next{};
        clock_gettime(CLOCK_MONOTONIC, &next);
        const double now = LCSeq_get_current_time(t->sequencer);
        if (meterticker_timer_pass(t, now) == 0 && ++waiting >= kWaitLogPasses) {
            waiting = 0;
            lc_logmsg(LC_LOG_PROGRESS, "Meterticker: waiting for period estimates ...");
        }
        /* Asleep until the next crossing is due for handing over: most milliseconds have nothing
           to do, and a wake-up on a loaded machine costs more than the pass. The stream runs at
           the pace of the monotonic clock. */
        const double wait = meterticker_next_pass_due(t) - now;
        const double longest = t->outputsPaced ? kMaxPacedTimerStep : kMaxTimerStep;
        const double step = wait > kMinTimerStep ? std::fmin(wait, longest) : kMinTimerStep;
        next.tv_nsec += static_cast<long>(step * 1e9);
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
}

bool push_request(MeterTicker_t* t, const TickerRequest_t& request) {
    std::lock_guard<std::mutex> guard(t->requestLock);
    if (t->requests.push(request))
        return true;
    t->requestsRefused.fetch_add(1, std::memory_order_relaxed);
    return false;
}

void request(MeterTicker_t* t, TickerRequestKind kind, int value) {
    TickerRequest_t r{};
    r.kind = kind;
    r.value = value;
    push_request(t, r);
}

double sequencer_time(void* sequencer) {
    return LCSeq_get_current_time(static_cast<Sequencer_t*>(sequencer));
}

void release_ticker(MeterTicker_t* t) {
    if (t->midi && !t->midiBorrowed)
        midioutput_free(t->midi);
    mTracker_close(t->tracker);
    PhaseCallback_t* node = t->phaseCallbacks.load();
    while (node) {
        PhaseCallback_t* next = node->next.load();
        delete node;
        node = next;
    }
    delete[] t->buffer;
    delete t;
}

/* The tracker's remarks join the engine's log. Consumer thread. */
void log_tracker_message(void*, const char* message) {
    lc_logmsg(LC_LOG_WARNING, "%s", message);
}

/* How far from a beat tick its attack is looked for: a drummer's hits wander by some tens of
   milliseconds around the tick; a sixteenth at a fast tempo comes about 80 ms from it. */
constexpr double kAttackSearch = 0.05;

/* After a step: looks for the attacks of the beat ticks whose audio has all come in and that were
   not looked at yet, to go with the next estimate taken over. Consumer thread, tracker locked. */
void find_beat_attacks(MeterTicker_t* t, double beatPeriod) {
    double ticks[BeatAttacks::kMax];
    int count = BeatAttacks::kMax;
    mTracker_get_ticks(t->tracker, nullptr, nullptr, ticks, &count, nullptr, nullptr);
    /* The search reads a 23 ms frame around each point of the window. */
    const double heard = static_cast<double>(t->samplesFed) / kSampleRate - kAttackSearch - 0.02;
    for (int i = 0; i < count; ++i) {
        if (!(ticks[i] > t->lastAttackTick + 0.5 * beatPeriod) || !(ticks[i] < heard))
            continue;
        t->lastAttackTick = ticks[i];
        const double attack = mTracker_get_attack_near(t->tracker, ticks[i], kAttackSearch);
        BeatAttacks& found = t->attacksFound;
        if (attack >= 0.0 && found.count < BeatAttacks::kMax) {
            found.tick[found.count] = ticks[i];
            found.attack[found.count] = attack;
            ++found.count;
        }
    }
}

/* Feeds `count` samples of `t->buffer` (or of silence) to the tracker and takes over a new
   estimate. Consumer thread. */
void analyse(MeterTicker_t* t, const double* samples, int count) {
    double tatumPeriod = 0, beatPeriod = 0, barPeriod = 0, tatumPhase = 0, beatPhase = 0, barPhase = 0;
    double saliencePeak = 0, salienceMean = 0, salienceAtBeat = 0, salienceAtThreeHalves = 0;
    bool stepped = false;
    t->onsetMeter.add(samples, count);
    {
        std::lock_guard<std::mutex> guard(t->trackerLock);
        mTracker_add_data(t->tracker, const_cast<double*>(samples), static_cast<unsigned>(count));
        if (mTracker_process(t->tracker) == 1) {
            stepped = true;
            mTracker_get_period_est(t->tracker, &tatumPeriod, &beatPeriod, &barPeriod, &tatumPhase,
                                    &beatPhase, &barPhase);
            mTracker_get_salience_summary(t->tracker, EvidenceJudge::kMinBeatPeriod, EvidenceJudge::kMaxBeatPeriod,
                                          beatPeriod, &saliencePeak, &salienceMean, &salienceAtBeat);
            mTracker_get_salience_summary(t->tracker, 0.0, 0.0, 1.5 * beatPeriod, nullptr, nullptr,
                                          &salienceAtThreeHalves);
        }
        t->samplesFed += static_cast<unsigned long long>(count);
        if (stepped && beatPeriod > 0.0)
            find_beat_attacks(t, beatPeriod);
    }
    if (!stepped)
        return;
    StepObservation step{{barPeriod, beatPeriod, tatumPeriod}, {barPhase, beatPhase, tatumPhase}, 0.0, 0.0, 0.0,
                         saliencePeak, salienceMean, salienceAtBeat, salienceAtThreeHalves};
    step.seconds = static_cast<double>(t->samplesFed - t->samplesAtLastStep) / kSampleRate;
    t->samplesAtLastStep = t->samplesFed;
    t->onsetMeter.takeStep(step.onsetActivity, step.meanSquare);

    const double origin = t->originTime > 0.0 ? t->originTime : 0.0;
    t->freeze.update(t->tempoFrozen.load(std::memory_order_relaxed) != 0, t->judge.periods(),
                     t->judge.ref_times());
    const double beatHint = t->beatPeriodHint.exchange(0.0, std::memory_order_acq_rel);
    if (beatHint > 0.0) {
        t->jumpPending = true;
        t->judge.hint_beat_period(beatHint);
        t->freeze.hint_beat_period(beatHint);
    }
    const double barHint = t->barStartHint.exchange(-1.0, std::memory_order_acq_rel);
    if (barHint >= 0.0) {
        t->jumpPending = true;
        t->judge.hint_bar_start(barHint - origin);
    }
    t->judge.set_hold_bars(t->holdBars.load(std::memory_order_relaxed));
    /* The level is 10 log10 of the RMS, a fifth of the mean square's exponent. */
    const double silentMeanSquare = std::pow(10.0, t->silenceLevel.load(std::memory_order_relaxed) / 5.0);
    t->judge.set_silent_mean_square(silentMeanSquare);

    const StepVerdict verdict = t->judge.judge(step);
    /* Silence with nothing held (holding ran out, or there was no trusted grid to hold): the
       music is gone, and what comes next, a DJ's next track, is tracked as from a stream's start,
       not on what the tracker learnt of the last piece. A shorter pause keeps it. */
    const bool silent = !(step.meanSquare > silentMeanSquare);
    t->silentSeconds = silent ? t->silentSeconds + step.seconds : 0.0;
    /* Only steady hiss counts: digital silence, which the tracker skips itself after its first
       seconds, and the engine's dither on it (about -96 dBFS) stay out, and so does a quiet step
       louder than the quietest of the silence, which may hold the music's first onset, lost to
       a restart (drummers' takes after a pause lost a tenth of their beats). */
    t->quietestSilence = silent ? std::fmin(t->quietestSilence, step.meanSquare) : INFINITY;
    const bool hiss = silent && step.meanSquare > kHissMeanSquare && step.meanSquare <= 4.0 * t->quietestSilence;
    t->silenceSinceRestart = hiss ? t->silenceSinceRestart + step.seconds : (silent ? t->silenceSinceRestart : 0.0);
    t->trackerHeardSound = t->trackerHeardSound || !silent;
    if ((t->trackerHeardSound || (hiss && t->silenceSinceRestart >= kLongestSilenceAnalysed)) &&
        t->silentSeconds >= kRestartAfterSilence && t->judge.state() == LC_TRACKING_NO_EVIDENCE) {
        t->trackerHeardSound = false;
        t->silenceSinceRestart = 0.0;
        std::lock_guard<std::mutex> guard(t->trackerLock);
        mTracker_restart(t->tracker);
    }
    t->confidence.store(t->judge.confidence(), std::memory_order_relaxed);
    t->judging.store(1, std::memory_order_relaxed);
    t->trackingState.store(t->judge.state(), std::memory_order_relaxed);
    if (verdict.accept) {
        double periods[METERLEVEL_COUNT] = {verdict.periods[0], verdict.periods[1], verdict.periods[2]};
        double refTimes[METERLEVEL_COUNT] = {verdict.refTimes[0], verdict.refTimes[1], verdict.refTimes[2]};
        t->freeze.apply(periods, refTimes);
        /* Music back after "no evidence" may be another piece: the grid starts afresh. */
        if (t->evidenceGone.load(std::memory_order_relaxed))
            t->jumpPending = true;
        if (t->jumpPending) {
            t->jumpPending = false;
            ++t->gridJumps; /* goes out with the next estimate taken over */
        }
        meterticker_accept_estimate(t, periods, refTimes);
        t->evidenceGone.store(0, std::memory_order_relaxed);
    } else if (t->judge.state() == LC_TRACKING_NO_EVIDENCE) {
        t->evidenceGone.store(1, std::memory_order_relaxed);
    }
    /* Keep the tracker's tick lists and pulse cache to the last few bars, taken over or not. */
    if (std::isfinite(tatumPhase)) {
        std::lock_guard<std::mutex> guard(t->trackerLock);
        mTracker_flush_pulse_cache(t->tracker, tatumPhase - kPulseCacheSeconds);
    }
}

/* Tells the outputs about the tracking state, a new estimate and the transport when they changed
   since the last pass. TIMER THREAD: no allocation, lock or I/O. */
void announce(MeterTicker_t* t, double now) {
    const int state = t->trackingState.load(std::memory_order_relaxed);
    if (state != t->announcedState) {
        t->announcedState = state;
        emit_meta(t, now, EVENT_STATE, state);
    }
    const unsigned long estimates = t->estimateCount.load(std::memory_order_acquire);
    const LevelEstimate_t& beat = t->tracks[METERLEVEL_BEAT].timerEstimate;
    if (estimates != t->announcedEstimates && beat.period > 0.0) {
        t->announcedEstimates = estimates;
        emit_meta(t, now, EVENT_TEMPO,
                  lc_ticks_per_bar(t->tracks[METERLEVEL_BAR].timerEstimate.period, beat.period), beat.period);
    }
    const int transport =
        (t->switches.clockEnabled ? TRANSPORT_CLOCK_ON : 0) | (t->outputsSilent ? 0 : TRANSPORT_MUSIC);
    if (transport != t->announcedTransport) {
        t->announcedTransport = transport;
        emit_meta(t, now, EVENT_TRANSPORT, transport);
    }
}

/* Tells the outputs that want to know how far the stream is complete: up to model time `until`.
   TIMER THREAD: no allocation, lock or I/O. */
void advance_outputs(MeterTicker_t* t, double until, double anti) {
    t->outputsPaced = false;
    for (std::atomic<EventOutput_t*>& slot : t->outputs) {
        EventOutput_t* out = slot.load(std::memory_order_acquire);
        if (!out || !out->advance)
            continue;
        const double time = std::fmax(out->lastTime, until - anti - out->latency.load(std::memory_order_relaxed));
        out->lastTime = time;
        out->advance(out, time);
        t->outputsPaced = t->outputsPaced || out->paced;
    }
}

} // namespace

extern "C" {

/* ---------------- creation and close ---------------- */

int meterticker_init(Sequencer_t* sequencer, int midiPort, MeterTicker_t** out) {
    const MeterTickerOptions_t options{midiPort, 1, nullptr, 0};
    return meterticker_init_ex(sequencer, &options, out);
}

int meterticker_init_ex(Sequencer_t* sequencer, const MeterTickerOptions_t* options, MeterTicker_t** out) {
    MidiOut_t* givenMidi = options ? options->midi : nullptr;
    const bool borrowed = givenMidi && options->midiBorrowed;
    auto fail = [&](MeterTicker_t* t, int status) {
        lc_logmsg(LC_LOG_ERROR, "Ticker: initialization failed (status %d)", status);
        if (t)
            release_ticker(t);
        else if (givenMidi && !borrowed)
            midioutput_free(givenMidi);
        return status;
    };
    if (!sequencer || !options || !out)
        return fail(nullptr, LC_STATUS_GENERAL);

    MeterTicker_t* t = new (std::nothrow) MeterTicker_t;
    if (!t)
        return fail(nullptr, LC_STATUS_GENERAL);
    t->sequencer = sequencer;
    t->midiPort = options->midiPort;
    t->threaded = options->threads != 0;
    t->lookahead.store(t->threaded ? kThreadedLookahead : 0.0);
    t->midi = givenMidi;
    t->midiBorrowed = borrowed;
    t->buffer = new (std::nothrow) double[kBufferLength]();
    t->bufferLength = kBufferLength;
    if (!t->buffer)
        return fail(t, LC_STATUS_GENERAL);

    t->tracker = mTracker_init(static_cast<unsigned>(kSampleRate));
    if (!t->tracker)
        return fail(t, LC_STATUS_GENERAL);
    mTracker_set_message_handler(t->tracker, log_tracker_message, nullptr);

    if (!t->midi)
        t->midi = midioutput_init();
    if (!t->midi)
        lc_logmsg(LC_LOG_WARNING, "No MIDI output available: running without MIDI");
    else if (midioutput_open_port(t->midi) < 0 && midioutput_open(t->midi, options->midiPort) != 0)
        lc_logmsg(LC_LOG_WARNING, "MIDI port %d not available: no port open", options->midiPort);
    if (t->midi && !midioutput_is_capture(t->midi))
        midioutput_set_clock(t->midi, sequencer_time, sequencer);
    if (t->midi)
        meterticker_attach_output(t, midioutput_event_output(t->midi));

    fill_event_table(t);

    if (t->threaded) {
        if (sequencer_audio_cons_add(sequencer, meterticker_cbfun, t) != 0)
            return fail(t, LC_STATUS_GENERAL);
        t->consumerSlot = sequencer_audio_cons_find(sequencer, meterticker_cbfun, t);
        try {
            t->timerThread = std::thread(timer_thread_main, t);
        } catch (const std::system_error& e) {
            errno = e.code().value();
            std::perror("LCMeterTicker: creation of timer thread failed\n");
            sequencer_audio_cons_rem(sequencer, meterticker_cbfun, t);
            const int status = e.code().value() != 0 ? e.code().value() : LC_STATUS_GENERAL;
            return fail(t, status);
        }
    } else {
        t->consumerSlot = sequencer_audio_cons_add_manual(sequencer, meterticker_cbfun, t);
        if (t->consumerSlot < 0)
            return fail(t, LC_STATUS_GENERAL);
    }
    *out = t;
    return 0;
}

void meterticker_close(MeterTicker_t* t) {
    if (!t)
        return;
    t->stop.store(1, std::memory_order_release);
    lc_logmsg(LC_LOG_PROGRESS, "LCMeterTicker: stopping timer thread\n");
    if (t->timerThread.joinable()) {
        lc_logmsg(LC_LOG_PROGRESS, "LCMeterTicker: joining timer thread");
        t->timerThread.join();
    }
    /* The timer thread is gone: this thread is the event stream's only writer now. Requests still
       queued are carried out; nothing may keep sounding, nor a receiver keep running. */
    double now = LCSeq_get_current_time(t->sequencer);
    if (!std::isfinite(now))
        now = 0.0;
    carry_out_requests(t, now);
    emit_deferred(t, INFINITY);
    note_offs(t, now);
    if (t->switches.running)
        emit_stop(t, now);
    if (t->midi) {
        midioutput_flush(t->midi, 0.5);
        lc_logmsg(LC_LOG_PROGRESS, "LCMeterTicker: closing midi output\n");
        midioutput_close(t->midi);
    }
    lc_logmsg(LC_LOG_PROGRESS, "LCMeterTicker: removing audio callback\n");
    sequencer_audio_cons_rem(t->sequencer, meterticker_cbfun, t);
    release_ticker(t);
    lc_logmsg(LC_LOG_PROGRESS, "LCMeterTicker: closed");
}

/* ---------------- analysis ---------------- */

int meterticker_cbfun(const float* samples, int count, void* udata, double time) {
    MeterTicker_t* t = static_cast<MeterTicker_t*>(udata);
    if (count <= 0 || !samples)
        return 0;
    if (count > t->bufferLength)
        count = t->bufferLength;

    if (t->originTime < 0.0)
        t->originTime = std::isfinite(time) && time >= 0.0 ? time : 0.0;
    /* Blocks discarded by the sequencer: the tracker hears silence in their place. */
    if (std::isfinite(time)) {
        const double expected = static_cast<double>(t->samplesFed);
        const double given = std::round((time - t->originTime) * kSampleRate);
        if (given > expected) {
            const unsigned long long gap = static_cast<unsigned long long>(given - expected);
            std::memset(t->buffer, 0, sizeof(double) * static_cast<size_t>(t->bufferLength));
            unsigned long long left = gap;
            while (left > 0) {
                const int chunk = static_cast<int>(left < static_cast<unsigned long long>(t->bufferLength)
                                                       ? left
                                                       : static_cast<unsigned long long>(t->bufferLength));
                analyse(t, t->buffer, chunk);
                left -= static_cast<unsigned long long>(chunk);
            }
            t->gapSamples.fetch_add(gap, std::memory_order_relaxed);
        }
    }

    float sumSquares = 0.0f;
    for (int i = 0; i < count; ++i) {
        const float s = std::isfinite(samples[i]) ? samples[i] : 0.0f;
        t->buffer[i] = s;
        sumSquares += s * s;
    }
    const float meanSquare = sumSquares / static_cast<float>(count);
    double level = -100.0;
    if (meanSquare > 0.0f && std::isfinite(meanSquare))
        level = static_cast<float>(10.0 * std::log10(std::sqrt(static_cast<double>(meanSquare))));
    t->level.store(level, std::memory_order_relaxed);
    t->nonBeatyness.store(level, std::memory_order_relaxed);

    analyse(t, t->buffer, count);
    return 0;
}

long meterticker_consume(MeterTicker_t* t) {
    if (!t || t->threaded || t->consumerSlot < 0)
        return -1;
    return sequencer_consume(t->sequencer, t->consumerSlot);
}

int meterticker_accept_estimate(MeterTicker_t* t, const double offeredPeriods[METERLEVEL_COUNT],
                                const double offeredRefTimes[METERLEVEL_COUNT]) {
    double periods[METERLEVEL_COUNT], refTimes[METERLEVEL_COUNT];
    for (int level = 0; level < METERLEVEL_COUNT; ++level) {
        periods[level] = offeredPeriods[level];
        refTimes[level] = offeredRefTimes[level];
    }
    if (!EvidenceJudge::make_plausible(periods, refTimes))
        return 0;
    /* The tracker counts seconds of audio it was given; the stream's time line began earlier when
       the ticker joined a running sequencer. */
    const double origin = t->originTime > 0.0 ? t->originTime : 0.0;
    GridEstimate_t grid;
    for (int level = 0; level < METERLEVEL_COUNT; ++level)
        grid.levels[level] = LevelEstimate_t{periods[level], refTimes[level] + origin};
    grid.jumps = t->gridJumps;
    grid.attacks = t->attacksFound;
    for (int i = 0; i < grid.attacks.count; ++i) {
        grid.attacks.tick[i] += origin;
        grid.attacks.attack[i] += origin;
    }
    t->attacksFound = BeatAttacks{};
    t->estimateToTimer.write(grid);
    t->estimate.write(grid);
    t->estimateTime.store(origin + static_cast<double>(t->samplesFed) / kSampleRate, std::memory_order_relaxed);
    t->estimateCount.fetch_add(1, std::memory_order_release);
    return 1;
}

double meterticker_get_confidence(MeterTicker_t* t) {
    return t->confidence.load(std::memory_order_relaxed);
}

LcTrackingState meterticker_get_tracking_state(MeterTicker_t* t) {
    return static_cast<LcTrackingState>(t->trackingState.load(std::memory_order_relaxed));
}

void meterticker_set_silence_level(MeterTicker_t* t, double level) {
    if (t && std::isfinite(level))
        t->silenceLevel.store(std::clamp(level, -100.0, 0.0), std::memory_order_relaxed);
}

double meterticker_get_silence_level(MeterTicker_t* t) {
    return t->silenceLevel.load(std::memory_order_relaxed);
}

void meterticker_set_hold_bars(MeterTicker_t* t, int bars) {
    t->holdBars.store(bars < 0 ? 0 : bars, std::memory_order_relaxed);
}

int meterticker_get_hold_bars(MeterTicker_t* t) {
    return t->holdBars.load(std::memory_order_relaxed);
}

int meterticker_hint_beat_period(MeterTicker_t* t, double seconds) {
    if (!(seconds >= EvidenceJudge::kMinBeatPeriod && seconds <= EvidenceJudge::kMaxBeatPeriod))
        return 1;
    t->beatPeriodHint.store(seconds, std::memory_order_release);
    return 0;
}

void meterticker_freeze_tempo(MeterTicker_t* t, int on) {
    t->tempoFrozen.store(on ? 1 : 0, std::memory_order_relaxed);
}

int meterticker_tempo_frozen(MeterTicker_t* t) {
    return t->tempoFrozen.load(std::memory_order_relaxed);
}

int meterticker_hint_bar_start(MeterTicker_t* t) {
    const LevelEstimate_t beat = t->estimate.read().levels[METERLEVEL_BEAT];
    if (!(beat.period > 0.0))
        return 1;
    const double now = LCSeq_get_current_time(t->sequencer) + t->antiDelay.load(std::memory_order_relaxed);
    const double next = beat.refTime + std::ceil((now - beat.refTime) / beat.period) * beat.period;
    if (!std::isfinite(next) || next < 0.0)
        return 1;
    t->barStartHint.store(next, std::memory_order_release);
    return 0;
}

/* ---------------- prediction ---------------- */

int meterticker_align(MeterTicker_t* t, double time) {
    if (!estimates_present(t))
        return 0;
    read_estimate_for_timer(t);
    t->beatLoop = BeatLoop{};
    t->timerMap = TimeMap{};
    apply_time_map(t);
    for (LevelTrack_t& track : t->tracks) {
        const LevelEstimate_t e = track.timerEstimate;
        double next = std::ceil((time - e.refTime) / e.period) * e.period + e.refTime;
        if (!std::isfinite(next))
            next = time;
        track.own = LevelTicks_t{next - 2.0 * e.period, next - e.period, next, 0};
        track.ticks.write(track.own);
    }
    start_rows(t, time);
    t->horizon = -INFINITY;
    t->aligned.store(1, std::memory_order_relaxed);
    return 1;
}

double meterticker_track_phase(const LevelTrack_t* track, double time) {
    return phase_of(track->ticks.read(), time);
}

void meterticker_phases_at(const MeterTicker_t* t, double time, double phases[METERLEVEL_COUNT]) {
    for (int level = 0; level < METERLEVEL_COUNT; ++level)
        phases[level] = meterticker_track_phase(&t->tracks[level], time);
}

void meterticker_get_phases(MeterTicker_t* t, double phases[METERLEVEL_COUNT]) {
    meterticker_phases_at(
        t, LCSeq_get_current_time(t->sequencer) + t->antiDelay.load(std::memory_order_relaxed), phases);
}

double meterticker_get_phase(MeterTicker_t* t, MeterLevelID level) {
    if (!(level > 0 && level < METERLEVEL_COUNT))
        return 0.0;
    return meterticker_track_phase(&t->tracks[level], LCSeq_get_current_time(t->sequencer) +
                                                          t->antiDelay.load(std::memory_order_relaxed));
}

double meterticker_get_level(MeterTicker_t* t) {
    return t->level.load(std::memory_order_relaxed);
}

double meterticker_get_nonbeatyness(MeterTicker_t* t) {
    return t->nonBeatyness.load(std::memory_order_relaxed);
}

double meterticker_get_bpm(MeterTicker_t* t) {
    const double period = t->estimate.read().levels[METERLEVEL_BEAT].period;
    return period > 0.0 ? 60.0 / period : 0.0;
}

double meterticker_get_anti_delay(MeterTicker_t* t) {
    return t->antiDelay.load(std::memory_order_relaxed);
}

void meterticker_set_anti_delay(MeterTicker_t* t, double seconds) {
    if (std::isfinite(seconds))
        t->antiDelay.store(seconds, std::memory_order_relaxed);
}

void meterticker_change_half_time(MeterTicker_t* t, double seconds) {
    std::lock_guard<std::mutex> guard(t->trackerLock);
    mTracker_change_half_time(t->tracker, seconds);
}

void meterticker_change_myyValues(MeterTicker_t* t, double bar, double beat, double tatum) {
    std::lock_guard<std::mutex> guard(t->trackerLock);
    mTracker_change_myyValues(t->tracker, bar, beat, tatum);
}

unsigned long meterticker_get_estimate(MeterTicker_t* t, double periods[METERLEVEL_COUNT],
                                       double refTimes[METERLEVEL_COUNT], double* analysedTime) {
    const unsigned long count = t->estimateCount.load(std::memory_order_acquire);
    const GridEstimate_t grid = t->estimate.read();
    for (int level = 0; level < METERLEVEL_COUNT; ++level) {
        if (periods)
            periods[level] = grid.levels[level].period;
        if (refTimes)
            refTimes[level] = grid.levels[level].refTime;
    }
    if (analysedTime)
        *analysedTime = t->estimateTime.load(std::memory_order_relaxed);
    return count;
}

/* ---------------- timer and event stream ---------------- */

int meterticker_timer_pass(MeterTicker_t* t, double now) {
    if (!std::isfinite(now)) /* a broken time source must not poison the predicted ticks */
        return 0;
    t->passRunning.store(1);
    passOwner = t;
    t->passNow = now;
    read_estimate_for_timer(t);
    carry_out_requests(t, now);
    const double lookahead = t->lookahead.load(std::memory_order_relaxed);
    const Emission e{t, now, t->antiDelay.load(std::memory_order_relaxed)};
    /* Once holding has run out the music has gone: receivers get a Stop and no more notes, and a
       Start on the first downbeat after the music is back. The grid and the phases carry on. */
    const bool silent = t->stopOnSilence.load(std::memory_order_relaxed) != 0 &&
                        t->evidenceGone.load(std::memory_order_relaxed) != 0;
    if (silent != t->outputsSilent && (!silent || now >= t->silenceAllowedFrom)) {
        t->outputsSilent = silent;
        if (!silent) {
            t->silenceAllowedFrom = now + kSilenceMinRunSeconds;
            t->startWaitsUntil = now + kStartWaitSeconds;
        }
        if (silent) {
            note_offs(t, now);
            if (t->switches.running)
                emit_stop(t, now);
            t->switches.startPending = 1;
        }
    }
    int ran = 0;
    double due = INFINITY;
    if (t->aligned.load(std::memory_order_relaxed) || meterticker_align(t, now + e.anti)) {
        double earliest = 0.0;
        for (std::atomic<EventOutput_t*>& slot : t->outputs)
            if (EventOutput_t* out = slot.load(std::memory_order_acquire))
                earliest = std::fmax(earliest, out->latency.load(std::memory_order_relaxed));
        const double ahead = lookahead + e.anti + earliest;
        if (now + ahead > t->horizon) {
            run_table(e, now + ahead);
            t->horizon = now + ahead;
        }
        due = next_crossing(t) - ahead + kDueRounding;
        run_phase_callbacks(t, now + e.anti);
        if (t->phaseCallbacks.load(std::memory_order_acquire))
            due = now; /* they follow the phases pass by pass */
        t->passCount.fetch_add(1, std::memory_order_release);
        ran = 1;
    }
    emit_deferred(t, now + lookahead);
    for (const DeferredEvent_t& slot : t->deferred)
        if (slot.size != 0)
            due = std::fmin(due, slot.time - lookahead);
    t->nextPassDue = std::isnan(due) ? now : due;
    /* After the table: at the present, these must not hold back events the table put earlier. */
    announce(t, now);
    /* Before the first alignment only requests went out, at the present. */
    advance_outputs(t, ran ? t->horizon : now + e.anti, e.anti);
    passOwner = nullptr;
    t->passRunning.store(0);
    return ran;
}

double meterticker_next_pass_due(const MeterTicker_t* t) {
    return t->nextPassDue;
}

void meterticker_set_lookahead(MeterTicker_t* t, double seconds) {
    if (std::isfinite(seconds) && seconds >= 0.0)
        t->lookahead.store(seconds, std::memory_order_relaxed);
}

int meterticker_attach_output(MeterTicker_t* t, EventOutput_t* output) {
    if (!output)
        return 1;
    output->lastTime = -INFINITY; /* a new ticker may start a new time line */
    for (std::atomic<EventOutput_t*>& slot : t->outputs) {
        EventOutput_t* expected = nullptr;
        if (slot.compare_exchange_strong(expected, output))
            return 0;
    }
    return 1;
}

void meterticker_detach_output(MeterTicker_t* t, EventOutput_t* output) {
    for (std::atomic<EventOutput_t*>& slot : t->outputs) {
        EventOutput_t* expected = output;
        slot.compare_exchange_strong(expected, nullptr);
    }
    while (t->passRunning.load())
        std::this_thread::yield();
}

void meterticker_set_output_latency(EventOutput_t* output, double seconds) {
    if (output && std::isfinite(seconds))
        output->latency.store(std::fmax(-kMaxOutputLatency, std::fmin(kMaxOutputLatency, seconds)));
}

void meterticker_set_stop_on_silence(MeterTicker_t* t, int on) {
    t->stopOnSilence.store(on ? 1 : 0, std::memory_order_relaxed);
}

int meterticker_get_stop_on_silence(MeterTicker_t* t) {
    return t->stopOnSilence.load(std::memory_order_relaxed);
}

/* ---------------- MIDI switches ---------------- */

void meterticker_midiclock_out(MeterTicker_t* t, int on) {
    lc_logmsg(LC_LOG_PROGRESS, on ? "Enabling MIDI Clock" : "Disabling MIDI Clock");
    request(t, REQUEST_CLOCK, on ? 1 : 0);
}

void meterticker_midinote_out(MeterTicker_t* t, int on) {
    request(t, REQUEST_NOTES, on ? 1 : 0);
}

void meterticker_midiphase_out(MeterTicker_t* t, int on) {
    lc_logmsg(LC_LOG_PROGRESS, on ? "Enabling MIDI Phase" : "Disabling MIDI Phase");
    request(t, REQUEST_PHASE, on ? 1 : 0);
}

void meterticker_send_test_midinote(MeterTicker_t* t, MeterLevelID level) {
    if (!valid_level(level))
        return;
    lc_logmsg(LC_LOG_PROGRESS, "Sending a TEST MIDI note: %d", kNoteNumbers[level]);
    request(t, REQUEST_TEST_NOTE, level);
}

void meterticker_send_midi_message(MeterTicker_t* t, int kind, int channel, int data1, int data2) {
    const unsigned char bytes[3] = {static_cast<unsigned char>((kind == 0 ? 0x90 : 0xB0) | (channel & 0x0F)),
                                    static_cast<unsigned char>(data1 & 0xFF), static_cast<unsigned char>(data2 & 0xFF)};
    if (passOwner == t) { /* a phase callback of the pass under way */
        emit_bytes(t, t->passNow, bytes, 3);
        return;
    }
    TickerRequest_t r{};
    r.kind = REQUEST_MESSAGE;
    std::memcpy(r.bytes, bytes, 3);
    r.size = 3;
    push_request(t, r);
}

/* ---------------- phase callbacks ---------------- */

PhaseCallback_t* meterticker_register_phase_cb(MeterTicker_t* t, MeterLevelID level, void* udata,
                                               lc_phase_cb_fn fn) {
    if (!valid_level(level) || !fn)
        return nullptr;
    PhaseCallback_t* node = new (std::nothrow) PhaseCallback_t;
    if (!node)
        return nullptr;
    node->level = level;
    node->rate = kCallbackRates[level];
    node->function = fn;
    node->udata = udata;
    /* The node is complete before it is linked: the timer pass sees the old or the new list. */
    std::lock_guard<std::mutex> guard(t->registrationLock);
    std::atomic<PhaseCallback_t*>* link = &t->phaseCallbacks;
    while (PhaseCallback_t* next = link->load(std::memory_order_acquire))
        link = &next->next;
    link->store(node, std::memory_order_release);
    return node;
}

void meterticker_unregister_phase_cb(MeterTicker_t* t, void* udata) {
    std::lock_guard<std::mutex> guard(t->registrationLock);
    int expected = CALLBACKS_FREE;
    while (!t->callbackListState.compare_exchange_weak(expected, CALLBACKS_HELD_BY_REMOVAL,
                                                       std::memory_order_acquire)) {
        expected = CALLBACKS_FREE;
        std::this_thread::yield();
    }
    std::atomic<PhaseCallback_t*>* link = &t->phaseCallbacks;
    while (PhaseCallback_t* node = link->load(std::memory_order_relaxed)) {
        if (node->udata == udata) {
            link->store(node->next.load(std::memory_order_relaxed), std::memory_order_release);
            delete node;
            break;
        }
        link = &node->next;
    }
    t->callbackListState.store(CALLBACKS_FREE, std::memory_order_release);
}

} // extern "C"
