#pragma once

#include <QDialog>

class AdvancedSettings;
class QKeyEvent;
class QLumacore;
namespace Ui {
class SettingsDialog;
}

// Audio input device, MIDI output port and anti-latency. A choice takes effect as soon as a
// list entry is picked or a latency is set (slider or typed in milliseconds), so that it can be
// heard; Cancel puts the anti-latency back as it was when the dialog opened.
class SettingsDialog : public QDialog {
    Q_OBJECT

public:
    SettingsDialog(QLumacore* bridge, QWidget* parent = nullptr);
    ~SettingsDialog() override;

    AdvancedSettings* channelDialog() const { return advanced; }

public slots:
    void applyChanges();
    void RefreshDevices();
    void reject() override;

private slots:
    void on_audioDevSelect_currentIndexChanged(int index);
    void on_midiDevSelect_currentIndexChanged(int index);
    void on_channelButton_clicked();
    void on_latencySlider_valueChanged(int value);
    void on_latencySlider_sliderMoved(int position);
    void on_latencyEdit_returnPressed();
    void on_latencyEdit_editingFinished();

protected:
    // Keys never reach the dialog's default handling (Escape and Enter would close it).
    void keyPressEvent(QKeyEvent* event) override;

private:
    void fillLists();
    // Shows an anti-latency in the field and on the slider (at its nearest 5 ms step).
    void showLatency(double seconds);

    Ui::SettingsDialog* ui;
    QLumacore* bridge;
    AdvancedSettings* advanced = nullptr;
    int audioIndex = -1;
    int midiIndex = -1;
    bool refreshing = false;
    double antiDelayAtOpen = 0.0;
};
