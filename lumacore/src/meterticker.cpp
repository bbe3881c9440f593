#include "meterticker.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <system_error>

namespace {

constexpr double kSampleRate = SEQUENCER_SAMPLE_RATE;
constexpr int kBufferLength = SEQUENCER_RING_LENGTH;
/* Analysis steps older than this before the newest tatum tick are dropped from the tracker's
   cache: a few bars at any tempo the tracker follows. */
constexpr double kPulseCacheSeconds = 10.0;
/* A seqlock reader gives up retrying after this many attempts and keeps the last read. */
constexpr int kSeqRetries = 64;
constexpr int kWaitLogMs = 500;

const int kNoteNumbers[METERLEVEL_COUNT] = {64, 65, 66};
const int kCtrlNumbers[METERLEVEL_COUNT] = {64, 65, 66};
const double kCallbackRates[METERLEVEL_COUNT] = {64.0, 32.0, 16.0};

bool valid_level(int level) {
    return level >= 0 && level < METERLEVEL_COUNT;
}

/* ---- sequence-counter publication (single writer, readers retry) ---- */

/* No fences (ThreadSanitizer does not model them): the writer stores the data with release
   ordering after making the counter odd, the reader loads the data with acquire ordering between
   its two reads of the counter. */
void seq_begin(std::atomic<unsigned>& seq) {
    seq.store(seq.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void seq_end(std::atomic<unsigned>& seq) {
    seq.store(seq.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

struct Estimate {
    double period;
    double refTime;
};

struct Ticks {
    double prevTick;
    double nextTick;
    int tickCount;
};

Estimate read_estimate(const LevelTrack_t& track) {
    Estimate e{};
    for (int attempt = 0; attempt < kSeqRetries; ++attempt) {
        const unsigned before = track.estimateSeq.load(std::memory_order_acquire);
        e.period = track.period.load(std::memory_order_acquire);
        e.refTime = track.refTime.load(std::memory_order_acquire);
        if ((before & 1u) == 0 && track.estimateSeq.load(std::memory_order_relaxed) == before)
            break;
    }
    return e;
}

Ticks read_ticks(const LevelTrack_t& track) {
    Ticks k{};
    for (int attempt = 0; attempt < kSeqRetries; ++attempt) {
        const unsigned before = track.tickSeq.load(std::memory_order_acquire);
        k.prevTick = track.prevTick.load(std::memory_order_acquire);
        k.nextTick = track.nextTick.load(std::memory_order_acquire);
        k.tickCount = track.tickCount.load(std::memory_order_acquire);
        if ((before & 1u) == 0 && track.tickSeq.load(std::memory_order_relaxed) == before)
            break;
    }
    return k;
}

double phase_of(const Ticks& k, double time) {
    const double interval = k.nextTick - k.prevTick;
    double fraction = 1.0; /* an empty interval: the tick is due */
    if (interval > 0.0) {
        fraction = std::fmin(1.0, (time - k.prevTick) / interval);
        if (!std::isfinite(fraction))
            fraction = 1.0;
    }
    return k.tickCount + fraction;
}

bool estimates_present(const MeterTicker_t* t) {
    for (const LevelTrack_t& track : t->tracks)
        if (!(track.period.load(std::memory_order_relaxed) > 0.0))
            return false;
    return true;
}

/* ---- event table actions (timer thread: no allocation, lock, I/O or throw) ---- */

void tick_advance_action(const double phases[METERLEVEL_COUNT], void* argument, int flag, double now) {
    update_next_tick(phases, static_cast<LevelTrack_t*>(argument), flag, now);
}

void midi_clock_at_beat(const double*, void* argument, int, double) {
    ClockOut_t* clock = static_cast<ClockOut_t*>(argument);
    if (clock->enabled.load(std::memory_order_acquire) &&
        clock->startPending.load(std::memory_order_acquire)) {
        clock->startPending.store(0, std::memory_order_release);
        clock->running.store(1, std::memory_order_relaxed);
        midioutput_send_start(clock->midi);
    }
}

void midi_clock_update(const double*, void* argument, int, double) {
    ClockOut_t* clock = static_cast<ClockOut_t*>(argument);
    if (clock->enabled.load(std::memory_order_acquire) &&
        !clock->startPending.load(std::memory_order_acquire))
        midioutput_send_clock(clock->midi);
}

void midi_notes_update(const double*, void* argument, int flag, double) {
    NoteOut_t* note = static_cast<NoteOut_t*>(argument);
    if (!note->enabled.load(std::memory_order_acquire))
        return;
    if (flag) {
        note->sounding.store(1, std::memory_order_relaxed);
        midioutput_send_note_on(note->midi, note->channel, note->note, note->velocity);
    } else {
        note->sounding.store(0, std::memory_order_relaxed);
        midioutput_send_note_off(note->midi, note->channel, note->note, 0);
    }
}

void midi_ctrls_update(const double* phases, void* argument, int, double) {
    CtrlOut_t* ctrl = static_cast<CtrlOut_t*>(argument);
    if (!ctrl->enabled.load(std::memory_order_acquire))
        return;
    const double phase = phases[ctrl->level];
    double fraction = phase - std::floor(phase);
    if (!(fraction >= 0.0))
        fraction = 0.0;
    /* 128 steps per period: 0 at the tick, 127 just before the next. */
    int value = static_cast<int>(fraction * 128.0);
    value = value < 0 ? 0 : (value > 127 ? 127 : value);
    midioutput_send_ctrl(ctrl->midi, ctrl->channel, ctrl->controller, value);
}

void fill_event_table(MeterTicker_t* t) {
    struct Row {
        MeterLevelID level;
        double rate;
        double offset;
        TickEventAction_fn action;
        void* argument;
        int flag;
    };
    const Row rows[METERTICKER_EVENT_ROWS] = {
        {METERLEVEL_BAR, 1, 0, tick_advance_action, &t->tracks[METERLEVEL_BAR], 0},
        {METERLEVEL_BEAT, 1, 0, tick_advance_action, &t->tracks[METERLEVEL_BEAT], 0},
        {METERLEVEL_TATUM, 1, 0, tick_advance_action, &t->tracks[METERLEVEL_TATUM], 0},
        {METERLEVEL_BEAT, 1, 0, midi_clock_at_beat, &t->clock, 0},
        {METERLEVEL_BEAT, 24, 0, midi_clock_update, &t->clock, 0},
        {METERLEVEL_BAR, 1, 0, midi_notes_update, &t->notes[METERLEVEL_BAR], 1},
        {METERLEVEL_BAR, 1, 0.2, midi_notes_update, &t->notes[METERLEVEL_BAR], 0},
        {METERLEVEL_BEAT, 1, 0, midi_notes_update, &t->notes[METERLEVEL_BEAT], 1},
        {METERLEVEL_BEAT, 1, 0.2, midi_notes_update, &t->notes[METERLEVEL_BEAT], 0},
        {METERLEVEL_TATUM, 1, 0, midi_notes_update, &t->notes[METERLEVEL_TATUM], 1},
        {METERLEVEL_TATUM, 1, 0.2, midi_notes_update, &t->notes[METERLEVEL_TATUM], 0},
        {METERLEVEL_BAR, 128, 0, midi_ctrls_update, &t->ctrls[METERLEVEL_BAR], 0},
        {METERLEVEL_BEAT, 128, 0, midi_ctrls_update, &t->ctrls[METERLEVEL_BEAT], 0},
        {METERLEVEL_TATUM, 16, 0, midi_ctrls_update, &t->ctrls[METERLEVEL_TATUM], 0},
    };
    for (int i = 0; i < METERTICKER_EVENT_ROWS; ++i)
        t->events[i] = TickEvent_t{
            rows[i].level, rows[i].rate, rows[i].offset, rows[i].action, rows[i].argument, rows[i].flag,
            0.0,           0.0};
    t->events[METERTICKER_EVENT_ROWS] = TickEvent_t{METERLEVEL_BAR, 0, 0, nullptr, nullptr, 0, 0.0, 0.0};
}

void fill_midi_records(MeterTicker_t* t) {
    t->clock.midi = t->midi;
    for (int level = 0; level < METERLEVEL_COUNT; ++level) {
        NoteOut_t& note = t->notes[level];
        note.midi = t->midi;
        note.channel = 0;
        note.note = kNoteNumbers[level];
        note.velocity = 127;
        CtrlOut_t& ctrl = t->ctrls[level];
        ctrl.midi = t->midi;
        ctrl.level = static_cast<MeterLevelID>(level);
        ctrl.channel = 0;
        ctrl.controller = kCtrlNumbers[level];
    }
}

/* The tracker's remarks join the engine's log. Consumer thread. */
void log_tracker_message(void*, const char* message) {
    lc_logmsg(LC_LOG_WARNING, "%s", message);
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
    }
    t->samplesFed += static_cast<unsigned long long>(count);
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
        t->judge.hint_beat_period(beatHint);
        t->freeze.hint_beat_period(beatHint);
    }
    const double barHint = t->barStartHint.exchange(-1.0, std::memory_order_acq_rel);
    if (barHint >= 0.0)
        t->judge.hint_bar_start(barHint - origin);
    t->judge.set_hold_bars(t->holdBars.load(std::memory_order_relaxed));

    const StepVerdict verdict = t->judge.judge(step);
    t->confidence.store(t->judge.confidence(), std::memory_order_relaxed);
    t->trackingState.store(t->judge.state(), std::memory_order_relaxed);
    if (verdict.accept) {
        double periods[METERLEVEL_COUNT] = {verdict.periods[0], verdict.periods[1], verdict.periods[2]};
        double refTimes[METERLEVEL_COUNT] = {verdict.refTimes[0], verdict.refTimes[1], verdict.refTimes[2]};
        t->freeze.apply(periods, refTimes);
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

/* The timer pass's view for the network outputs. TIMER THREAD: no allocation, lock or I/O. */
void feed_network(MeterTicker_t* t, double now) {
    OscOutput_t* osc = t->osc.load(std::memory_order_acquire);
    LinkOutput_t* link = t->link.load(std::memory_order_acquire);
    if (!osc && !link)
        return;
    MeterSnapshot_t s{};
    s.now = now;
    s.antiDelay = t->antiDelay.load(std::memory_order_relaxed);
    for (int level = 0; level < METERLEVEL_COUNT; ++level) {
        const Ticks k = read_ticks(t->tracks[level]);
        s.prevTick[level] = k.prevTick;
        s.nextTick[level] = k.nextTick;
        s.tickCount[level] = k.tickCount;
        s.periods[level] = read_estimate(t->tracks[level]).period;
    }
    s.estimateCount = t->estimateCount.load(std::memory_order_acquire);
    s.state = t->trackingState.load(std::memory_order_relaxed);
    s.clockRunning = t->clock.enabled.load(std::memory_order_relaxed);
    s.outputsSilent = t->outputsSilent ? 1 : 0;
    osc_output_feed(osc, &s);
    link_output_feed(link, &s);
}

void timer_thread_main(MeterTicker_t* t) {
    lc_logmsg(LC_LOG_PROGRESS, "MeterTicker: timer thread started");
    int waitedMs = 0;
    while (!t->stop.load(std::memory_order_acquire)) {
        if (!t->aligned.load(std::memory_order_relaxed) && !estimates_present(t)) {
            /* Short sleeps so that closing does not wait for a long one. */
            LCSleep(10);
            waitedMs += 10;
            if (waitedMs >= kWaitLogMs) {
                waitedMs = 0;
                lc_logmsg(LC_LOG_PROGRESS, "Meterticker: waiting for period estimates ...");
            }
            continue;
        }
        meterticker_timer_pass(t, LCSeq_get_current_time(t->sequencer));
        LCSleep(1);
    }
}

void send_note_off_if_sounding(NoteOut_t& note) {
    if (note.sounding.exchange(0))
        midioutput_send_note_off(note.midi, note.channel, note.note, 0);
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
    if (t->predictorFile)
        std::fclose(t->predictorFile);
    delete[] t->buffer;
    delete t;
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
        std::fputs("LCMeterTicker: initialization failed\n", stderr);
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

    if (!t->midi) {
        t->midi = midioutput_init();
        if (!t->midi) {
            lc_logmsg(LC_LOG_ERROR, "No MIDI output available");
            return fail(t, LC_STATUS_NO_MIDI);
        }
        if (midioutput_open(t->midi, options->midiPort) != 0) {
            lc_logmsg(LC_LOG_ERROR, "No MIDI ports available");
            return fail(t, LC_STATUS_NO_MIDI);
        }
    } else if (midioutput_open_port(t->midi) < 0 && midioutput_open(t->midi, options->midiPort) != 0) {
        lc_logmsg(LC_LOG_ERROR, "No MIDI ports available");
        return fail(t, LC_STATUS_NO_MIDI);
    }

    fill_midi_records(t);
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
        t->predictorFile = std::fopen("beatpredictor.txt", "w");
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
    if (t->midi) {
        /* Nothing may keep sounding, nor a receiver keep running, once the engine is gone. */
        for (NoteOut_t& note : t->notes)
            send_note_off_if_sounding(note);
        if (t->clock.running.exchange(0))
            midioutput_send_stop(t->midi);
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
    for (int level = 0; level < METERLEVEL_COUNT; ++level) {
        LevelTrack_t& track = t->tracks[level];
        seq_begin(track.estimateSeq);
        track.period.store(periods[level], std::memory_order_release);
        track.refTime.store(refTimes[level] + origin, std::memory_order_release);
        seq_end(track.estimateSeq);
    }
    t->estimateTime.store(origin + static_cast<double>(t->samplesFed) / kSampleRate,
                          std::memory_order_relaxed);
    t->estimateCount.fetch_add(1, std::memory_order_release);
    return 1;
}

double meterticker_get_confidence(MeterTicker_t* t) {
    return t->confidence.load(std::memory_order_relaxed);
}

LcTrackingState meterticker_get_tracking_state(MeterTicker_t* t) {
    return static_cast<LcTrackingState>(t->trackingState.load(std::memory_order_relaxed));
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
    const Estimate beat = read_estimate(t->tracks[METERLEVEL_BEAT]);
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

void update_next_tick(const double*, LevelTrack_t* track, int, double) {
    const Estimate e = read_estimate(*track);
    const double reached = track->nextTick.load(std::memory_order_relaxed);
    double next = reached + e.period;
    if (e.period > 0.0) {
        /* The grid point nearest one period after the tick just reached (halves away from 0). */
        const double k = std::round((reached + e.period - e.refTime) / e.period);
        if (std::isfinite(k))
            next = k * e.period + e.refTime;
    }
    if (!std::isfinite(next) || !(next > reached))
        next = reached + (e.period > 0.0 ? e.period : 0.5);
    seq_begin(track->tickSeq);
    track->prevTick.store(reached, std::memory_order_release);
    track->nextTick.store(next, std::memory_order_release);
    track->tickCount.store(track->tickCount.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    seq_end(track->tickSeq);
}

int meterticker_align(MeterTicker_t* t, double now) {
    if (!estimates_present(t))
        return 0;
    for (LevelTrack_t& track : t->tracks) {
        const Estimate e = read_estimate(track);
        const double k = std::ceil((now - e.refTime) / e.period);
        double next = k * e.period + e.refTime;
        if (!std::isfinite(next))
            next = now;
        seq_begin(track.tickSeq);
        track.nextTick.store(next, std::memory_order_release);
        seq_end(track.tickSeq);
    }
    t->aligned.store(1, std::memory_order_relaxed);
    return 1;
}

double meterticker_track_phase(const LevelTrack_t* track, double time) {
    return phase_of(read_ticks(*track), time);
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
    const double period = read_estimate(t->tracks[METERLEVEL_BEAT]).period;
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
    for (int level = 0; level < METERLEVEL_COUNT; ++level) {
        const Estimate e = read_estimate(t->tracks[level]);
        if (periods)
            periods[level] = e.period;
        if (refTimes)
            refTimes[level] = e.refTime;
    }
    if (analysedTime)
        *analysedTime = t->estimateTime.load(std::memory_order_relaxed);
    return count;
}

/* ---------------- timer ---------------- */

int meterticker_timer_pass(MeterTicker_t* t, double now) {
    if (!std::isfinite(now)) /* a broken time source must not poison the predicted ticks */
        return 0;
    if (!t->aligned.load(std::memory_order_relaxed) && !meterticker_align(t, now))
        return 0;

    double phases[METERLEVEL_COUNT];
    meterticker_phases_at(t, now + t->antiDelay.load(std::memory_order_relaxed), phases);

    /* Once holding has run out the music has gone: receivers get a Stop and no more notes, and a
       Start at the first beat after the music is back. The grid and the phases carry on. */
    const bool silent = t->evidenceGone.load(std::memory_order_relaxed) != 0;
    if (silent != t->outputsSilent) {
        t->outputsSilent = silent;
        if (silent) {
            for (NoteOut_t& note : t->notes)
                send_note_off_if_sounding(note);
            if (t->clock.running.exchange(0))
                midioutput_send_stop(t->midi);
            t->clock.startPending.store(1, std::memory_order_release);
        }
    }

    for (TickEvent_t* row = t->events; row->action; ++row) {
        const double x = phases[row->level] * row->rate - row->offset;
        const double f = std::fmod(x, 1.0);
        if (silent && row->action != tick_advance_action) {
            row->lastFraction = f;
            row->lastValue = x;
            continue;
        }
        /* A falling fraction is the usual crossing. A phase waiting at its next integer reads
           exactly that integer, fraction 0; when the pass that finds it there follows a pass
           that read the previous integer (an overdue tick after a stall or a jump of the
           anti-delay) or is the very first (a tick already due at the first alignment), the
           fraction has not fallen, yet the value rose by a whole unit and so crossed an integer.
           Without that test the tick would never advance again. */
        if (row->lastFraction > f || x - row->lastValue >= 1.0)
            row->action(phases, row->argument, row->flag, now);
        row->lastFraction = f;
        row->lastValue = x;
    }

    int expected = CALLBACKS_FREE;
    if (t->callbackListState.compare_exchange_strong(expected, CALLBACKS_HELD_BY_TIMER,
                                                     std::memory_order_acquire)) {
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
    feed_network(t, now);
    t->passCount.fetch_add(1, std::memory_order_release);
    return 1;
}

void meterticker_attach_network(MeterTicker_t* t, OscOutput_t* osc, LinkOutput_t* link) {
    t->osc.store(osc, std::memory_order_release);
    t->link.store(link, std::memory_order_release);
}

/* ---------------- MIDI switches ---------------- */

void meterticker_midiclock_out(MeterTicker_t* t, int on) {
    if (on) {
        lc_logmsg(LC_LOG_PROGRESS, "Enabling MIDI Clock");
        /* Pending first, so that no pulse precedes the Start. */
        t->clock.startPending.store(1, std::memory_order_release);
        t->clock.enabled.store(1, std::memory_order_release);
    } else {
        lc_logmsg(LC_LOG_PROGRESS, "Disabling MIDI Clock");
        t->clock.enabled.store(0, std::memory_order_release);
        t->clock.running.store(0, std::memory_order_relaxed);
        midioutput_send_stop(t->midi);
    }
}

void meterticker_midinote_out(MeterTicker_t* t, int on) {
    for (NoteOut_t& note : t->notes) {
        note.enabled.store(on ? 1 : 0, std::memory_order_release);
        if (!on)
            send_note_off_if_sounding(note);
    }
}

void meterticker_midiphase_out(MeterTicker_t* t, int on) {
    if (on) {
        lc_logmsg(LC_LOG_PROGRESS, "Enabling MIDI Phase");
        t->ctrls[METERLEVEL_BAR].enabled.store(1, std::memory_order_release);
        t->ctrls[METERLEVEL_BEAT].enabled.store(1, std::memory_order_release);
        t->ctrls[METERLEVEL_TATUM].enabled.store(0, std::memory_order_release);
    } else {
        lc_logmsg(LC_LOG_PROGRESS, "Disabling MIDI Phase");
        for (CtrlOut_t& ctrl : t->ctrls)
            ctrl.enabled.store(0, std::memory_order_release);
        midioutput_send_stop(t->midi);
    }
}

void meterticker_send_test_midinote(MeterTicker_t* t, MeterLevelID level) {
    if (!valid_level(level))
        return;
    const NoteOut_t& note = t->notes[level];
    lc_logmsg(LC_LOG_PROGRESS, "Sending a TEST MIDI note: %d", note.note);
    midioutput_send_note_on(t->midi, note.channel, note.note, 127);
    LCSleep(50);
    midioutput_send_note_off(t->midi, note.channel, note.note, 0);
}

void meterticker_send_midi_message(MeterTicker_t* t, int kind, int channel, int data1, int data2) {
    if (kind == 0)
        midioutput_send_note_on(t->midi, channel, data1, data2);
    else
        midioutput_send_ctrl(t->midi, channel, data1, data2);
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
