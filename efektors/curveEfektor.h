#pragma once

// The curve efektor: plays a drawn curve in a loop locked to the meter and sends its value as a
// MIDI message (by default a controller, 0 at the bottom edge of the curve and 127 at the top)
// 16 times per tatum, 32 per beat or 64 per bar. The loop spans 4 to 16 tatums, 1 to 16 beats
// or 1 to 16 bars; it free-runs with the meter or restarts every so many beats or bars.

#include "BrazierCurve.h"
#include "Efektor.h"

#include <QStringList>

#include <array>
#include <atomic>
#include <memory>

class QResizeEvent;
class QKeyEvent;

namespace Ui {
class curveEfektor;
}

class curveEfektor : public Efektor {
    Q_OBJECT

public:
    // One row of the speed dial: the level followed, how many of its units one loop takes.
    struct SpeedRow {
        const char* label;
        MeterLevelID level;
        double scale; // loops per unit
        int sections; // section lines of the editor
    };
    static constexpr int speedCount = 13;
    static const std::array<SpeedRow, speedCount> speedTable;
    static constexpr int defaultSpeed = 5; // "beat x4"

    // One row of the trigger box: ticks from the bridge's beat (true) or bar (false) signal and
    // how many of them restart the loop (0: never).
    struct TriggerRow {
        const char* item;
        bool beats;
        int restartCount;
    };
    static constexpr int triggerRowCount = 11;
    static const std::array<TriggerRow, triggerRowCount> triggerTable;

    // New (no stream) or loaded from a project stream positioned at the record body; loading
    // validates every field (see Efektor: loadedOk(), loadProblem(), reachedEndMarker()).
    curveEfektor(QLumacore* bridge, int messageNumber, QWidget* parent, QTextStream* load_stream = nullptr);
    // A copy of `copy` with the same settings, curve and title.
    curveEfektor(QLumacore* bridge, QWidget* parent, curveEfektor* copy);
    ~curveEfektor() override;

    void SetWasEnabled() override { wasEnabled = enabled.load(); }
    int MessageNumber() override { return messageNumber.load(); }
    void Sync() override;
    // TIMER THREAD: loop position from the full phase; moves the editor's play bar when enabled.
    // Arithmetic and atomic stores only.
    void Update(double phase) override;
    // TIMER THREAD: when enabled, sends the curve's value at the play bar (0 … 127). Evaluates
    // the editor's published splines (no allocation, no lock) and one bridge MIDI call.
    void SendMsgs() override;

    BrazierCurve* curve() const;
    int speed() const { return speedIndex.load(); }
    int triggerMode() const { return triggerIndex; }
    double position() const { return loopPosition.load(); }
    double syncOffset() const { return offset.load(); }
    double triggerStart() const { return restartPhase.load(); }
    double fullPhase() const { return lastPhase.load(); }

public slots:
    void on_speedDial_valueChanged(int index);
    void on_triggerBox_currentIndexChanged(int index);
    void on_chanBox_valueChanged(int value);
    void on_ctrlBox_valueChanged(int value);
    void TriggerIncrease(bool blink);
    void PhaseChanged(double phase);
    void SaveData(QTextStream* save_stream) override;
    void on_enabledCheckBox_clicked(bool on) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Steps shared by all three constructors: the form, the beat level, two flat nodes.
    void buildNew(int number);
    void readRecord(QTextStream* in);
    // Shows the fields in the controls and connects the chosen level and trigger.
    void applySettings(bool isEnabled);
    // Whole units of the last phase received: the start of the current unit.
    double currentUnitStart() const;

    std::unique_ptr<Ui::curveEfektor> ui;

    // Written on the GUI thread, read on the timer thread (and the other way for the phases).
    std::atomic<int> speedIndex{defaultSpeed};
    std::atomic<double> lastPhase{0.0};
    std::atomic<double> restartPhase{0.0};
    std::atomic<double> offset{0.0};
    std::atomic<double> loopPosition{0.0};

    // GUI thread only.
    int triggerIndex = 0;
    int triggerTicks = 0;
};
