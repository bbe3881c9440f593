#pragma once

#include <QDialog>
#include <QString>

#include <atomic>

#include "lumacore.h"

class QLumacore;
class QTextStream;

// Base of every efektor window: a small generator of MIDI messages that follows the tracked
// meter. The efektor list owns every efektor (it is their parent) and drives them through the
// virtual operations below; the engine reaches them through PhaseReceiver on its timer thread.
//
// Threads: Update() and SendMsgs() run on the engine's timer thread; everything else on the
// GUI thread. The fields both threads touch are atomics, each a single word, so a late read
// costs at most one stale message and never a torn value.
//
// Loading: every kind has a loading constructor that reads its record body from the project
// stream. The record readers below validate every field; a record that was broken in any way
// (missing or extra-short, not a number, out of range) still yields an efektor whose every
// field is in range, and loadedOk() tells the list that something had to be repaired:
//
//   auto* e = new PhaseEfektor(bridge, number, list, stream);
//   if (!e->loadedOk())          // the record was malformed; e->loadProblem() says how
//   if (!e->reachedEndMarker())  // "END_EFEKTOR" not consumed yet: read (or skip) up to it
//
// The loaders never read past an "END_EFEKTOR" token met in place of a value: once they meet
// one, reachedEndMarker() is true and every later read yields its fallback without reading.
class Efektor : public QDialog {
    Q_OBJECT

public:
    enum TypeCode { FunctionType = 0, StepType = 1, CurveType = 2, InitType = 3 };

    // `bridge` may be null (a window without an engine, e.g. in tests of the list alone).
    Efektor(QWidget* parent, int typeCode, QLumacore* bridge);
    ~Efektor() override;

    const int typeCode;

    std::atomic<int> channel{0};          // 0 … 15, shown 1 … 16
    std::atomic<bool> messageKind{false}; // false Note On, true Control Change
    std::atomic<int> messageNumber{0};    // 0 … 127
    std::atomic<bool> enabled{false};
    bool wasEnabled = false; // GUI thread only

    virtual void SetWasEnabled() {}
    virtual int MessageNumber() { return 0; }
    virtual void Sync() {}
    // TIMER THREAD: computes the next output from the full phase of the efektor's level. Must
    // not allocate, lock, do I/O, throw or touch widgets.
    virtual void Update(double phase);
    // TIMER THREAD: sends what Update computed, if anything; same rules as Update.
    virtual void SendMsgs() {}

    // TIMER THREAD: the callback every efektor registers, with itself (as Efektor*) as context.
    static void PhaseReceiver(void* context, double phase);

    // The enabled setting a project file stores for this efektor: its own setting, also while a
    // scene change or a solo keeps it muted. GUI thread only; the list sets it around SaveData
    // (-1: the live `enabled`).
    int storedEnabled() const { return storedEnabledSetting >= 0 ? storedEnabledSetting : int(enabled.load()); }
    void setStoredEnabled(int own) { storedEnabledSetting = own; }

    // Record loading results (see above).
    bool loadedOk() const { return loadProblems.isEmpty(); }
    bool reachedEndMarker() const { return endMarkerMet; }
    QString loadProblem() const { return loadProblems; }

    // The marker that ends every record in the project file.
    static const QString endMarker;
    // A title as one token: spaces become "_"; an empty title is written as "_" (which reads
    // back as a single space, and so saves as "_" again).
    static QString titleToken(const QString& title);
    static QString titleFromToken(const QString& token);

public slots:
    virtual void on_enabledCheckBox_clicked(bool on) { Q_UNUSED(on) }
    virtual void SaveData(QTextStream* save_stream) { Q_UNUSED(save_stream) }
    virtual void UpdateFixtureGroups() {}
    virtual void SceneChange() {}

protected:
    // Keys no control consumed go on to the efektor list (S toggles solo there; Escape does not
    // close the window).
    void keyPressEvent(QKeyEvent* event) override;

public:
    // For controls that should not take keys: consumes every key press and passes S (solo)
    // on to the list.
    bool eventFilter(QObject* watched, QEvent* event) override;

protected:
    // Phase delivery: at most one entry per efektor; registering again first removes the old
    // one. Every kind that registers calls unregisterPhase() first thing in its destructor, so
    // the timer thread never calls into a half-destroyed efektor.
    void registerPhase(MeterLevelID level);
    void unregisterPhase();

    // Record readers. Each takes one whitespace-separated token. A missing token, an early
    // "END_EFEKTOR", text that is not a number or a number outside [lo, hi] marks the record
    // malformed; the result is then the number clamped into [lo, hi], or `fallback` when there
    // is no number.
    int readInt(QTextStream* in, int lo, int hi, int fallback, const char* what);
    double readReal(QTextStream* in, double lo, double hi, double fallback, const char* what);
    bool readBool(QTextStream* in, const char* what) { return readInt(in, 0, 1, 0, what) != 0; }
    // The title token turned back into a title; `fallback` when the record ended early.
    QString readTitle(QTextStream* in, const QString& fallback);
    void markMalformed(const QString& why);

    QLumacore* const bridge;

private:
    // Next token, or an empty string at the end of the stream or of the record.
    QString readToken(QTextStream* in, const char* what);

    bool registered = false;
    bool endMarkerMet = false;
    int storedEnabledSetting = -1;
    QString loadProblems;
};
