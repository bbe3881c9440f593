#pragma once

#include <QDialog>

class AdvancedSettings;
class QKeyEvent;
class QLumacore;
namespace Ui {
class SettingsDialog;
}

// Audio input device, MIDI output port and anti-latency. A choice takes effect as soon as
// a list entry is picked; Cancel only closes the dialog.
class SettingsDialog : public QDialog {
    Q_OBJECT

public:
    SettingsDialog(QLumacore* bridge, QWidget* parent = nullptr);
    ~SettingsDialog() override;

    AdvancedSettings* channelDialog() const { return advanced; }

public slots:
    void applyChanges();
    void RefreshDevices();

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

    Ui::SettingsDialog* ui;
    QLumacore* bridge;
    AdvancedSettings* advanced = nullptr;
    int audioIndex = -1;
    int midiIndex = -1;
    bool refreshing = false;
};
