#pragma once

#include <QMainWindow>

#include "QLumacore.h"

class EfektorList;
class NomusicDialog;
class QCheckBox;
class QLabel;
class QAction;
class QPushButton;
class QTimer;
class TempoPanel;
namespace Ui {
class MainWindow;
}

// The main window: MIDI switches, "Stop on silence", the phase lamps and level bar, the
// tempo-range button and the half-life slider on the left; the tempo readouts and controls
// (TempoPanel) on the right; a status line that says which device is missing. Reads the stored
// settings when built and writes them when closed. Opens also without an engine and picks up
// the devices when they appear.
class MainWindow : public QMainWindow {
    Q_OBJECT
    // The efektor list switches the phase controllers off during a solo and back after it.
    Q_PROPERTY(bool sendPhase READ getSendPhase WRITE setSendPhase)

public:
    // Takes ownership of the bridge.
    explicit MainWindow(QLumacore* bridge, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The phase-controller choice ("Send phase"), shared with the mapping dialog and the
    // efektor list's solo.
    bool getSendPhase() const { return sendPhase; }
    void setSendPhase(bool on) { sendPhase = on; }
    QCheckBox* midiNoteCheckBox() const;

    int getHoldBars() const { return holdBars; }
    int getSilenceThreshold() const { return silenceThreshold; }
    int getTempoState() const { return tempoState; }
    NomusicDialog* silenceDialog() const { return nomusicDialog; }
    TempoPanel* tempoPanel() const;
    // The status line's text: what is missing, or which devices are in use.
    QString deviceStatus() const;
    EfektorList* efektors() const { return efektorList; }

    // Plays a sound file through the engine in place of the live input (and on the default
    // output when there is one); false, with the reason in the status line, when it cannot be
    // read. stopPlayingFile() goes back to the stored live input.
    bool playFile(const QString& path);
    void stopPlayingFile();
    // The name of the file that plays, or empty.
    QString playingFile() const;

    void readSettings();
    void writeSettings();

public slots:
    // Bars the engine carries the clock on through silence before it counts the music as gone.
    void setHoldBars(int bars);
    // Input level (the level bar's scale) at or below which the engine hears silence.
    void setSilenceThreshold(int level);

    // The title: the project's name, with "*" while it has unsaved changes.
    void updateTitle();
    void chooseFileToPlay();
    void launchSettings();
    void launchAbout();
    // Looks for missing devices again (the engine when there was no MIDI port, the input
    // list when there was no input) and updates the status line. Runs on a slow timer.
    void checkDevices();
    // Every poll of the bridge: the level in the silence dialog, the lamps asleep while the
    // engine holds its outputs back for silence.
    void showReadings(const QLumacore::Readings& readings);

private slots:
    void on_midiNoteEnable_stateChanged(int state);
    void on_midiMapButton_clicked();
    void on_nonMusicCheck_clicked();
    void on_silenceSettingsButton_clicked();
    void on_midiClockResetButton_clicked();
    void on_midiClockEnable_stateChanged(int state);
    void on_tempoButton_pressed();
    void on_effects_clicked();
    void on_DMXButton_clicked();
    void on_robustSlider_sliderMoved(int position);
    void on_robustSlider_valueChanged(int value);

protected:
    void moveEvent(QMoveEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void createMenus();
    void createStatusLine();
    void applyDeviceSettings();
    void showHalfLife(int tenths);
    void setBlinkersActive(bool on);
    // Shows the efektor list where it was left, or at the right edge of the screen, wholly on
    // the screen in either case.
    void placeEfektorList();

    Ui::MainWindow* ui;
    QLumacore* lumacore;
    EfektorList* efektorList = nullptr;
    NomusicDialog* nomusicDialog = nullptr;
    bool sendPhase = false;
    int tempoState = 0;
    bool stopOnSilence = false;
    int holdBars = 8;
    int silenceThreshold = -30;
    QLabel* statusText = nullptr;
    QPushButton* statusSettingsButton = nullptr;
    QPushButton* statusStopButton = nullptr;
    QAction* stopPlayingAction = nullptr;
    QTimer* deviceWatch = nullptr;
    QList<QString> midiPorts;
    int midiPortsListedFor = -2; // port index the names were read for; -2: none read
    int lookedForInput = 0;
};
