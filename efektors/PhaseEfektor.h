#pragma once

#include "Efektor.h"

#include <QPoint>

#include <atomic>

namespace Ui {
class PhaseEfektor;
}

// The function efektor: shapes the phase of the bar or the beat with one of four waveforms,
// maps it into a min … max range (optionally inverted) and sends it as a Control Change on every
// phase delivery, 64 per bar or 32 per beat. With a divider d the shape spans d units, rising a
// d-th further in each of them.
class PhaseEfektor : public Efektor {
    Q_OBJECT

public:
    enum Waveform { Saw = 0, Square = 1, Triangle = 2, Sine = 3 };

    // A new efektor (no stream) or one read from a project record body.
    PhaseEfektor(QLumacore* bridge, int messageNumber, QWidget* parent, QTextStream* load_stream = nullptr);
    PhaseEfektor(QLumacore* bridge, QWidget* parent, PhaseEfektor* copy);
    ~PhaseEfektor() override;

    void SetWasEnabled() override { wasEnabled = enabled; }
    int MessageNumber() override { return messageNumber; }
    // TIMER THREAD: arithmetic on atomics only; no allocation, lock, I/O or widget access.
    void Update(double phase) override;
    // TIMER THREAD: one Control Change while enabled; same rules as Update.
    void SendMsgs() override;
    void on_enabledCheckBox_clicked(bool on) override;
    void SaveData(QTextStream* save_stream) override;

    // The shape of a waveform at x in [0, 1]; y in [0, 1]. Any other waveform number gives x.
    static double shape(int waveform, double x);

    std::atomic<int> min{0};
    std::atomic<int> max{127};
    std::atomic<int> waveform{Triangle};
    std::atomic<int> divider{1}; // never below 1
    std::atomic<bool> invert{false};
    std::atomic<int> level{METERLEVEL_BAR}; // bar or beat
    std::atomic<double> output{0.0};        // last value computed by Update, in [0, 1]

private slots:
    void on_minDial_valueChanged(int value);
    void on_maxDial_valueChanged(int value);
    void on_waveformSlider_valueChanged(int value);
    void on_controllerBox_valueChanged(int value);
    void on_invertCheckBox_clicked(bool on);
    void on_meterComboBox_activated(int index);
    void on_controllerBox_2_valueChanged(int shownChannel);
    void on_timeDividerBox_valueChanged(int value);

private:
    void buildForm(int number);
    void drawWaveformPictures();

    Ui::PhaseEfektor* ui;
    QPoint rememberedPosition;
    bool positionRemembered = false;
};
