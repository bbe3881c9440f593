#pragma once

#include "Efektor.h"

#include <QList>
#include <QPoint>

#include <array>
#include <atomic>

namespace Ui {
class StepEfektor;
}

// The step efektor: a sequencer of 1 … 48 steps that moves one step per bar, beat or tatum and
// sends the new step's value as a Note On or a Control Change. The values are drawn in the
// value graph.
//
// The step values are shared with the timer thread. They live in a fixed array of 48 atomics
// with an atomic count, so resizing on the GUI thread never moves storage under a reader: a
// new step is zeroed before the count grows to include it, and every index the timer thread
// can hold stays inside the array.
class StepEfektor : public Efektor {
    Q_OBJECT

public:
    static constexpr int maxSteps = 48;

    // A new efektor (no stream) or one read from a project record body.
    StepEfektor(QLumacore* bridge, int messageNumber, QWidget* parent, QTextStream* load_stream = nullptr);
    StepEfektor(QLumacore* bridge, QWidget* parent, StepEfektor* copy);
    ~StepEfektor() override;

    void SetWasEnabled() override { wasEnabled = enabled; }
    int MessageNumber() override { return messageNumber; }
    // TIMER THREAD: advances the step once per unit of the level; atomics and plain counters
    // only, no allocation, lock, I/O or widget access.
    void Update(double phase) override;
    // TIMER THREAD: one message per step change while enabled; same rules as Update.
    void SendMsgs() override;
    void on_enabledCheckBox_clicked(bool on) override;
    void SaveData(QTextStream* save_stream) override;

    // GUI thread.
    int stepValue(int step) const;
    void setStepValue(int step, int value); // value clamped into 0 … 127
    QList<int> stepValues() const;          // the first stepCount values
    // The step count and graph follow, as if the dial had been turned; n clamped into 1 … 48.
    void setStepCount(int n);
    void setLevel(MeterLevelID newLevel); // as if its radio button had been clicked

    std::atomic<int> stepCount{1};
    std::atomic<int> level{METERLEVEL_BAR};
    std::atomic<int> divider{1}; // 1 … 16
    std::atomic<int> currentStep{0};

public slots:
    // GUI thread: the phase display signal of the chosen level; shows the current step.
    void PhaseChanged(double phase);

private slots:
    void on_stepsDial_valueChanged(int n);
    void on_barRadio_clicked(bool checked);
    void on_beatRadio_clicked(bool checked);
    void on_tatumRadio_clicked(bool checked);
    void on_spinBox_valueChanged(int shownChannel);
    void on_spinBox_2_valueChanged(int number);
    void on_dividerDial_valueChanged(int value);
    void on_noteButton_clicked(bool checked);

private:
    void buildForm(int number);
    void followLevel(MeterLevelID newLevel);

    Ui::StepEfektor* ui;
    std::array<std::atomic<int>, maxSteps> values{};

    // Timer thread only (set before the first registration).
    int lastSentStep = -1; // none yet: the first delivery while enabled sends
    int lastUnit = 0;
    int deliveryCount = 0;

    // Written back as read; a new efektor writes 0 0.
    QPoint rememberedPosition;
};
