#include "QLumacore.h"

#include "AudioInterface.h"

#include "meterticker.h"

#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace {

double fractionalPart(double fullPhase) {
    return std::fmod(fullPhase, 1.0);
}

// A level far outside any audio range (or not a number) must not reach an int conversion.
int truncatedLevel(double db) {
    if (!std::isfinite(db))
        return -100;
    return static_cast<int>(std::clamp(db, -1000.0, 1000.0));
}

bool tickPassed(double previous, double now) {
    return std::trunc(previous) != std::trunc(now);
}

// Whole beats in a bar, 0 when the periods make no sense.
int beatsPerBar(double bar, double beat) {
    if (!std::isfinite(bar) || !std::isfinite(beat) || beat <= 0.0)
        return 0;
    const double n = std::round(bar / beat);
    return n >= 1.0 && n <= 16.0 ? static_cast<int>(n) : 0;
}

// While the engine follows the music steadily (locked, or holding through a break) the polls fall
// just after the ticks, where the lamps flash, and divide each tatum evenly in between for the
// lamps' fade: about 12 polls a second instead of 25, and a flash shows a few ms after its tick
// instead of up to a whole interval later. While it searches or has nothing to follow, phases may
// jump and the level may be all there is to see: a poll every 40 ms.
constexpr int kSteadyPollMs = 40;
constexpr double kLongestFadeStep = 0.090; // s; the level meter moves at about this pace too
constexpr double kAfterTick = 0.002;       // s; so that the poll reads the tick as passed

double untilNextTick(double fullPhase, double period, int steps) {
    const double into = fullPhase - std::floor(fullPhase);
    return (std::floor(into * steps) + 1.0 - into * steps) / steps * period;
}

bool plausiblePeriod(double seconds) {
    return std::isfinite(seconds) && seconds >= 0.05 && seconds <= 10.0;
}

int nextPollMs(const QLumacore::Readings& r, const double periods[3]) {
    const bool steady = r.state == QLumacore::TrackState::Locked || r.state == QLumacore::TrackState::Holding;
    const double tatum = periods[METERLEVEL_TATUM];
    if (!steady || !plausiblePeriod(tatum) || !std::isfinite(r.tatum))
        return kSteadyPollMs;
    const int steps = static_cast<int>(std::ceil(tatum / kLongestFadeStep));
    double wait = untilNextTick(r.tatum, tatum, steps);
    // Bar and beat ticks lie on tatum ticks, but the levels' phases are kept apart.
    if (plausiblePeriod(periods[METERLEVEL_BEAT]) && std::isfinite(r.beat))
        wait = std::min(wait, untilNextTick(r.beat, periods[METERLEVEL_BEAT], 1));
    if (plausiblePeriod(periods[METERLEVEL_BAR]) && std::isfinite(r.bar))
        wait = std::min(wait, untilNextTick(r.bar, periods[METERLEVEL_BAR], 1));
    return std::clamp(static_cast<int>(std::ceil((wait + kAfterTick) * 1000.0)), 2,
                      static_cast<int>(kLongestFadeStep * 1000.0) + 10);
}

LumaCore_t* systemEngine(int* status) {
    LumaCore_t* engine = lc_init(-1, -1);
    *status = engine ? 0 : LUMACORE_ERROR_STATUS;
    return engine;
}

} // namespace

QLumacore::QLumacore(QObject* parent) : QObject(parent), pollTimer(new QTimer(this)), makeEngine(systemEngine) {}

QLumacore::~QLumacore() {
    pollTimer->stop();
    // The engine's timer thread reads the time source inside the audio interface: it stops
    // first. Blocks that still arrive meanwhile are ignored by a stopped engine.
    if (engine)
        lc_stop(engine);
    delete audio;
    audio = nullptr;
    if (engine)
        lc_close(engine);
    engine = nullptr;
    delete pollTimer;
}

bool QLumacore::init() {
    engine = makeEngine(&failure);
    createAudioInterface();
    if (engine)
        return true;
    if (failure != 3)
        qWarning("Fatal: Failed to initialize lumacore.\n");
    else
        qWarning("Error\nNo active MIDI devices found.\n");
    return false;
}

bool QLumacore::retryInit() {
    // A bridge that never tried (the windows' tests build those) stays without an engine.
    if (engine || failure == 0)
        return engine != nullptr;
    int status = 0;
    LumaCore_t* fresh = makeEngine(&status);
    if (!fresh) {
        failure = status;
        return false;
    }
    failure = 0;
    // The audio interface holds the engine it feeds from its construction on, so it is built
    // anew; the window selects the input again afterwards.
    delete audio;
    audio = nullptr;
    engine = fresh;
    createAudioInterface();
    handOverSettings();
    return true;
}

void QLumacore::handOverSwitches() {
    lc_enable_midiclock(engine, midiClockEnabled ? 1 : 0);
    lc_enable_midinote(engine, midiNoteEnabled ? 1 : 0);
    lc_enable_midiphase(engine, sendPhase);
    lc_set_stop_on_silence(engine, stopOnSilence ? 1 : 0);
    lc_set_hold_bars(engine, holdBars);
    lc_set_silence_threshold(engine, silenceThreshold);
}

void QLumacore::handOverSettings() {
    handOverSwitches();
    handOverTuning();
    for (const WaitingCallback& waiting : waitingCallbacks)
        lc_register_phase_cb(engine, waiting.level, waiting.udata, waiting.fn);
    waitingCallbacks.clear();
}

void QLumacore::createAudioInterface() {
    if (audio)
        return;
    AudioEngineHooks hooks;
    hooks.stopEngine = [this] { StopLumacore(); };
    hooks.restartEngine = [this] { RunLumacore(); };
    hooks.engineStarted = [this] {
        if (engine)
            handOverSwitches();
    };
    audio = new AudioInterface(engine, std::move(hooks));
}

QList<QString> QLumacore::getAudioDevList() const {
    QList<QString> names;
    if (audio)
        for (const std::string& name : audio->getAudioDevList())
            names.append(QString::fromLocal8Bit(name.c_str()));
    return names;
}

void QLumacore::startProcessing() {
    connect(pollTimer, &QTimer::timeout, this, &QLumacore::updateOutputs, Qt::UniqueConnection);
    pollTimer->setTimerType(Qt::PreciseTimer); // polls aimed at ticks must not drift by 5 %
    pollTimer->start(kSteadyPollMs);
}

void QLumacore::stopProcessing() {
    pollTimer->stop();
    pollTimer->disconnect();
}

bool QLumacore::isProcessing() const {
    return pollTimer->isActive();
}

void QLumacore::updateOutputs() {
    if (!engine)
        return;
    Readings r;
    lc_get_meter_phases(engine, &r.bar, &r.beat, &r.tatum);
    r.level = lc_get_input_level(engine);
    r.nonBeatyness = lc_get_nonbeatyness(engine);
    r.bpm = lc_get_bpm(engine);
    double periods[3] = {0.0, 0.0, 0.0};
    if (lc_get_meter_estimate(engine, periods, nullptr, nullptr) > 0)
        r.beatsPerBar = beatsPerBar(periods[METERLEVEL_BAR], periods[METERLEVEL_BEAT]);
    r.confidence = lc_get_confidence(engine);
    switch (lc_get_tracking_state(engine)) {
    case LC_TRACKING_LOCKED:
        r.state = TrackState::Locked;
        break;
    case LC_TRACKING_SEARCHING:
        r.state = TrackState::Searching;
        break;
    case LC_TRACKING_HOLDING:
        r.state = TrackState::Holding;
        break;
    default:
        r.state = TrackState::NoEvidence;
        break;
    }
    publish(r);
    // A receiver may have stopped the polls (a device change).
    if (pollTimer->isActive())
        pollTimer->start(nextPollMs(r, periods));
}

void QLumacore::publish(const Readings& r) {
    // Receivers of a blink signal rely on having seen the matching phase of the same poll.
    emit barPhase(fractionalPart(r.bar));
    emit beatPhase(fractionalPart(r.beat));
    emit tatumPhase(fractionalPart(r.tatum));
    emit audioLevelChange(truncatedLevel(r.level));
    emit barFullPhase(r.bar);
    emit beatFullPhase(r.beat);
    emit tatumFullPhase(r.tatum);

    nonBeatyness = r.nonBeatyness;
    if (nonBeatyness != lastNonBeatyness) {
        lastNonBeatyness = nonBeatyness;
        emit nonBeatynessChange(nonBeatyness);
    }
    emit nonBeatynessUpdate(nonBeatyness);

    // Several ticks within one poll give one blink.
    if (tickPassed(lastBar, r.bar))
        emit bar(true);
    if (tickPassed(lastBeat, r.beat))
        emit beat(true);
    if (tickPassed(lastTatum, r.tatum))
        emit tatum(true);
    lastBar = r.bar;
    lastBeat = r.beat;
    lastTatum = r.tatum;
    emit polled(r);
}

void QLumacore::hintTempo(double bpm) {
    if (!std::isfinite(bpm) || bpm < 30.0 || bpm > 300.0)
        return;
    if (engine && lc_hint_tempo(engine, bpm) != 0)
        return;
    hints.tempo = bpm;
    ++hints.tempoHints;
}

void QLumacore::hintTempoFactor(double factor) {
    const double now = engine ? lc_get_bpm(engine) : hints.tempo;
    if (now > 0.0 && std::isfinite(factor))
        hintTempo(now * factor);
}

void QLumacore::hintBarStart() {
    if (!engine || lc_hint_bar_start(engine) == 0)
        ++hints.barStarts;
}

void QLumacore::setTempoFrozen(bool frozen) {
    hints.frozen = frozen;
    if (engine)
        lc_freeze_tempo(engine, frozen ? 1 : 0);
}

void QLumacore::nudgePhase(double seconds) {
    // The engine reads the meter ahead by the anti-delay; reading further ahead sends every
    // event earlier, and the tracker's next estimate does not undo it. The user's own
    // anti-delay stays what the settings show.
    if (!std::isfinite(seconds) || std::fabs(hints.nudge + seconds) > maxNudge)
        return;
    if (engine && !tuning.antiDelaySet) {
        tuning.antiDelay = lc_get_anti_delay(engine) + hints.nudge;
        tuning.antiDelaySet = true;
    }
    hints.nudge += seconds;
    if (engine)
        lc_set_anti_delay(engine, tuning.antiDelay - hints.nudge);
}

void QLumacore::enableMidiClockOutput(int enabled) {
    midiClockEnabled = enabled != 0;
    if (engine)
        lc_enable_midiclock(engine, midiClockEnabled ? 1 : 0);
}

void QLumacore::enableMidiNoteOutput(int enabled) {
    midiNoteEnabled = enabled != 0;
    if (engine)
        lc_enable_midinote(engine, midiNoteEnabled ? 1 : 0);
}

void QLumacore::setSendPhase(int on) {
    sendPhase = on;
    if (engine)
        lc_enable_midiphase(engine, on);
}

void QLumacore::setStopOnSilence(bool on) {
    stopOnSilence = on;
    if (engine)
        lc_set_stop_on_silence(engine, on ? 1 : 0);
}

void QLumacore::setSilenceThreshold(double level) {
    silenceThreshold = level;
    if (engine)
        lc_set_silence_threshold(engine, level);
}

void QLumacore::setHoldBars(int bars) {
    holdBars = bars < 0 ? 0 : bars;
    if (engine)
        lc_set_hold_bars(engine, holdBars);
}

void QLumacore::sendMidiTestNote(QLumacore::MeterLevel lvl) {
    if (!engine)
        return;
    switch (lvl) {
    case Bar:
        lc_send_test_midinote(engine, METERLEVEL_BAR);
        break;
    case Beat:
        lc_send_test_midinote(engine, METERLEVEL_BEAT);
        break;
    case Tatum:
        lc_send_test_midinote(engine, METERLEVEL_TATUM);
        break;
    }
}

bool QLumacore::selectMidiDev(int port) {
    return engine && lc_set_mididev(engine, port) == 0;
}

int QLumacore::getMidiDevIndex() const {
    return engine ? lc_get_current_mididev(engine) : -1;
}

QList<QString> QLumacore::getMidiDevList() const {
    QList<QString> names;
    if (!engine)
        return names;
    char** list = lc_get_mididev_list(engine);
    for (char** name = list; name && *name; ++name)
        names.append(QString::fromLatin1(*name));
    return names;
}

void QLumacore::SendMidiMsg(int kind, int channel, int data1, int data2) {
    if (virtualTicker)
        meterticker_send_midi_message(virtualTicker, kind, channel, data1, data2);
    else if (engine)
        lc_send_midi_message(engine, kind, channel, data1, data2);
}

double QLumacore::GetAntiDelay() const {
    return engine ? lc_get_anti_delay(engine) + hints.nudge : tuning.antiDelay;
}

void QLumacore::SetAntiDelay(double seconds) {
    tuning.antiDelaySet = true;
    tuning.antiDelay = seconds;
    if (engine)
        lc_set_anti_delay(engine, seconds - hints.nudge);
}

void QLumacore::changeHalfTime(double seconds) {
    tuning.halfTimeSet = true;
    tuning.halfTime = seconds;
    if (engine)
        lc_change_half_time(engine, seconds);
}

void QLumacore::changeMyyValues(double barMedian, double beatMedian, double tatumMedian) {
    tuning.myySet = true;
    tuning.myyBar = barMedian;
    tuning.myyBeat = beatMedian;
    tuning.myyTatum = tatumMedian;
    if (engine)
        lc_change_myyValues(engine, barMedian, beatMedian, tatumMedian);
}

PhaseCallback_t* QLumacore::RegisterPhaseCallback(MeterLevelID level, void* udata,
                                                  void (*fn)(void*, double)) {
    if (virtualTicker)
        return meterticker_register_phase_cb(virtualTicker, level, udata, fn);
    if (engine)
        return lc_register_phase_cb(engine, level, udata, fn);
    waitingCallbacks.append({level, udata, fn});
    return nullptr;
}

void QLumacore::UnregisterPhaseCallback(void* udata) {
    if (virtualTicker) {
        meterticker_unregister_phase_cb(virtualTicker, udata);
    } else if (engine) {
        lc_unregister_phase_cb(engine, udata);
    } else {
        for (qsizetype i = 0; i < waitingCallbacks.size(); ++i)
            if (waitingCallbacks[i].udata == udata) {
                waitingCallbacks.removeAt(i);
                break;
            }
    }
}

int QLumacore::RunLumacore() {
    if (!engine)
        return 1;
    const int result = lc_run(engine);
    // The restart builds a new tracker with default tuning; the window still shows the
    // user's choice, so hand it on again.
    handOverTuning();
    return result;
}

void QLumacore::handOverTuning() {
    if (tuning.halfTimeSet)
        lc_change_half_time(engine, tuning.halfTime);
    if (tuning.myySet)
        lc_change_myyValues(engine, tuning.myyBar, tuning.myyBeat, tuning.myyTatum);
    if (tuning.antiDelaySet || hints.nudge != 0.0)
        lc_set_anti_delay(engine, tuning.antiDelay - hints.nudge);
    if (hints.frozen)
        lc_freeze_tempo(engine, 1);
}

int QLumacore::StopLumacore() {
    return engine ? lc_stop(engine) : 1;
}
