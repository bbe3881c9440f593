#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include "lumacore.h"

class AudioInterface;
class QTimer;
struct MeterTicker_t;

// The one Qt object through which the shell talks to the engine. It owns the engine handle
// and the audio device interface, polls the engine on the GUI thread (every 40 ms; while the
// engine is locked or holding, just after each tick and evenly between, at most 90 ms apart) and
// republishes what it reads as signals.
//
// Every forwarding call is safe without an engine (before init(), or after init() failed):
// it only updates the remembered switches, so windows can be built and tested without one.
class QLumacore : public QObject {
    Q_OBJECT

public:
    enum MeterLevel { Bar = METERLEVEL_BAR, Beat = METERLEVEL_BEAT, Tatum = METERLEVEL_TATUM };
    Q_ENUM(MeterLevel)

    // How sure the engine is of the meter it sends.
    enum class TrackState { NoEvidence, Searching, Holding, Locked };

    // What one poll reads from the engine.
    struct Readings {
        double bar = 0.0; // full phases: ticks since the first alignment plus the fraction
        double beat = 0.0;
        double tatum = 0.0;
        double level = -100.0; // input level in dB
        double nonBeatyness = -100.0;
        double bpm = 0.0;        // 0 while there is no tempo
        int beatsPerBar = 0;     // bar length being tracked; 0 while unknown
        double confidence = 0.0; // 0 … 1
        TrackState state = TrackState::NoEvidence;
    };

    // The user's corrections the engine took (all of them while there is no engine).
    struct Hints {
        double tempo = 0.0;     // BPM of the last tempo hint
        int tempoHints = 0;     // tempo hints given
        int barStarts = 0;      // "the next beat is the bar's first" given
        bool frozen = false;
        double nudge = 0.0;     // seconds the phase was moved in total; negative: earlier
    };

    explicit QLumacore(QObject* parent = nullptr);
    ~QLumacore() override;

    // Creates the engine and the audio interface; false (with a warning) when the engine
    // could not start. The audio interface exists afterwards either way.
    bool init();
    // Tries again to create the engine when init() failed (a MIDI port may have appeared);
    // on success the audio interface is rebuilt on it and the remembered switches and tuning
    // are handed over. True when an engine exists afterwards.
    bool retryInit();
    // Why the last attempt to create the engine failed (the engine's status code: 3 no MIDI
    // port); 0 when it succeeded or was never made.
    int startFailure() const { return failure; }
    // Where engines come from: lc_init by default; tests put in engines without a MIDI port
    // or virtual ones. Returns the engine or null with the status code in `status`.
    using EngineFactory = LumaCore_t* (*)(int* status);
    void setEngineFactory(EngineFactory factory) { makeEngine = factory; }
    // Creates the audio interface alone (init() does this after creating the engine); the
    // shell then runs without an engine, which is how its windows are tested.
    void createAudioInterface();

    AudioInterface* audioInterface() const { return audio; }
    LumaCore_t* engineHandle() const { return engine; }

    // Emits the signals of one poll for the given readings, exactly as updateOutputs() does
    // with what it reads from the engine.
    void publish(const Readings& readings);

    bool isProcessing() const;

    // Corrections from the user, which the tracker follows and keeps until the music clearly
    // contradicts them. A tempo outside 30 … 300 BPM or not finite is ignored.
    void hintTempo(double bpm);
    // Half or double of the tempo being tracked (factor 0.5 or 2).
    void hintTempoFactor(double factor);
    // The next beat becomes the first of the bar.
    void hintBarStart();
    // While frozen the engine keeps its tempo and follows only the phase.
    void setTempoFrozen(bool frozen);
    // Moves the phase by `seconds`, negative is earlier, up to maxNudge in total either way.
    static constexpr double maxNudge = 0.5;
    void nudgePhase(double seconds);
    const Hints& lastHints() const { return hints; }

    void setSendPhase(int on);
    int getSendPhase() const { return sendPhase; }
    // The engine's silence logic (lc_set_stop_on_silence, lc_set_hold_bars, lc_set_silence_threshold), kept for every
    // engine the bridge creates.
    void setStopOnSilence(bool on);
    bool getStopOnSilence() const { return stopOnSilence; }
    void setHoldBars(int bars);
    int getHoldBars() const { return holdBars; }
    void setSilenceThreshold(double level);
    double getSilenceThreshold() const { return silenceThreshold; }
    bool getMidiClockEnabled() const { return midiClockEnabled; }
    bool getMidiNoteEnabled() const { return midiNoteEnabled; }

    bool selectMidiDev(int port);
    int getMidiDevIndex() const;
    QList<QString> getMidiDevList() const;
    // Names of the audio input devices (empty without an audio interface).
    QList<QString> getAudioDevList() const;

    // kind 0 sends a note-on (data1 note, data2 velocity), any other kind a control change
    // (data1 controller, data2 value); channel 0 … 15.
    void SendMidiMsg(int kind, int channel, int data1, int data2);

    // Tuning. The bridge remembers what it last passed on, gives it again to the fresh
    // tracker that every engine restart (device change) creates, and keeps it when there is
    // no engine.
    double GetAntiDelay() const;
    void SetAntiDelay(double seconds);
    void changeHalfTime(double seconds);
    void changeMyyValues(double bar, double beat, double tatum);
    double lastHalfTime() const { return tuning.halfTime; }
    QList<double> lastMyyValues() const { return {tuning.myyBar, tuning.myyBeat, tuning.myyTatum}; }

    // The callback runs on the engine's timer thread: it must not allocate, lock, do I/O or
    // throw, and must not touch Qt widgets. Without an engine the registration waits and is
    // installed on the engine once it exists (null is returned meanwhile).
    PhaseCallback_t* RegisterPhaseCallback(MeterLevelID level, void* udata, void (*fn)(void*, double));
    void UnregisterPhaseCallback(void* udata);

    int RunLumacore();
    int StopLumacore();

    // Test and tool hook: routes MIDI messages and phase-callback registrations to a meter
    // ticker driven in virtual time (its timer passes run by the caller) instead of the engine.
    // Not owned; null detaches. Efektors then run exactly as on the engine's timer thread.
    void attachTicker(MeterTicker_t* ticker) { virtualTicker = ticker; }

public slots:
    void startProcessing();
    void stopProcessing();
    void updateOutputs();
    void enableMidiClockOutput(int enabled);
    void enableMidiNoteOutput(int enabled);
    void sendMidiTestNote(QLumacore::MeterLevel lvl);

signals:
    // Only when the value differs from the last one signalled.
    void nonBeatynessChange(double nbt);
    // Every poll, whether or not the value changed: silence is a matter of time, and a
    // silent input holds a constant level.
    void nonBeatynessUpdate(double nbt);
    // True whenever at least one tick of the level passed since the previous poll.
    void bar(bool blink);
    void beat(bool blink);
    void tatum(bool blink);
    // Fraction of the current bar, beat or tatum (0 at a tick).
    void barPhase(double phase);
    void beatPhase(double phase);
    void tatumPhase(double phase);
    void barFullPhase(double phase);
    void beatFullPhase(double phase);
    void tatumFullPhase(double phase);
    // Input level in dB, truncated towards zero.
    void audioLevelChange(int db);
    // Everything one poll read, last of its signals.
    void polled(const QLumacore::Readings& readings);

private:
    AudioInterface* audio = nullptr;
    int sendPhase = 0;
    bool stopOnSilence = true;
    int holdBars = 8;
    double silenceThreshold = -30.0;
    LumaCore_t* engine = nullptr;
    bool midiClockEnabled = false;
    bool midiNoteEnabled = false;
    double nonBeatyness = 0.0;
    double lastNonBeatyness = 0.0;
    double lastBar = 0.0;
    double lastBeat = 0.0;
    double lastTatum = 0.0;
    QTimer* pollTimer = nullptr;
    MeterTicker_t* virtualTicker = nullptr;
    Hints hints;
    int failure = 0;
    struct WaitingCallback {
        MeterLevelID level;
        void* udata;
        void (*fn)(void*, double);
    };
    QList<WaitingCallback> waitingCallbacks;
    EngineFactory makeEngine;
    void handOverSettings();
    // Output switches and the silence logic: what an engine restarted on a new device lacks.
    void handOverSwitches();
    // Half-life, resonator weights, anti-delay with the nudge, freeze: what a new tracker lacks.
    void handOverTuning();

    struct Tuning {
        bool halfTimeSet = false;
        double halfTime = 0.0;
        bool myySet = false;
        double myyBar = 0.0;
        double myyBeat = 0.0;
        double myyTatum = 0.0;
        bool antiDelaySet = false;
        double antiDelay = 0.0;
    } tuning;
};
