#include "MainWindow.h"

#include "AboutDialog.h"
#include "AudioInterface.h"
#include "SampleSource.h"
#include "EfektorList.h"
#include "MidiMapping.h"
#include "NetworkControls.h"
#include "NomusicDialog.h"
#include "QLumacore.h"
#include "SettingsDialog.h"
#include "TempoPanel.h"
#include "ui_MainWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
#include <QUndoStack>
#include <algorithm>
#include <cmath>

namespace {

QRect availableDesktop() {
    if (QScreen* screen = QGuiApplication::primaryScreen())
        return screen->availableGeometry();
    return QRect(0, 0, 1024, 768);
}

// Prior period medians (bar, beat, tatum in seconds) of the tempo-range button's states.
struct TempoRange {
    const char* icon;
    double bar;
    double beat;
    double tatum;
};

const TempoRange tempoRanges[3] = {
    // The tracker's own defaults: a beat of about 109 per minute.
    {":/resources/beatlume_tempotron.png", 2.1, 0.55, 0.18},
    // Fast: 140 beats per minute.
    {":/resources/beatlume_tempotron2.png", 1.5, 0.42857142857142855, 0.12244897959183673},
    // Slow: 80 beats per minute.
    {":/resources/beatlume_tempotron3.png", 2.6246719160104988, 0.75, 0.21428571428571427},
};

} // namespace

MainWindow::MainWindow(QLumacore* bridge, QWidget* parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), lumacore(bridge) {
    nomusicDialog = new NomusicDialog(this);
    ui->setupUi(this);
    ui->tempoPanel->attach(lumacore);
    connect(nomusicDialog, &NomusicDialog::holdChanged, this, &MainWindow::setHoldBars);
    connect(nomusicDialog, &NomusicDialog::thresholdChanged, this, &MainWindow::setSilenceThreshold);
    lumacore->startProcessing();

    const QRect desktop = availableDesktop();
    move(desktop.left() + 15, desktop.top() + 20);
    readSettings();

    efektorList = new EfektorList(lumacore, this, nullptr);
    placeEfektorList();
    connect(efektorList, &EfektorList::projectStateChanged, this, &MainWindow::updateTitle);
    updateTitle();

    connect(lumacore, &QLumacore::audioLevelChange, ui->audioLevelBar, &Meter::showLevel);
    connect(lumacore, &QLumacore::polled, this, &MainWindow::showReadings);
    connect(lumacore, &QLumacore::beatPhase, ui->beatGauge, &Blinker::setPhase);
    connect(lumacore, &QLumacore::barPhase, ui->barGauge, &Blinker::setPhase);
    connect(lumacore, &QLumacore::tatumPhase, ui->tatumGauge, &Blinker::setPhase);

    createMenus();
    createStatusLine();
    ui->DMXButton->hide();
    auto* link = new LinkCheckBox(lumacore, ui->windowFrame);
    link->setObjectName("linkEnable");
    // Above the row of window buttons.
    ui->frameLayout->insertWidget(ui->frameLayout->count() - 1, link);
    // The engine runs with the half-life the slider shows, restored or not.
    showHalfLife(ui->robustSlider->value());

    // Device lists are cheap to read but not free: every two seconds is quick enough for
    // someone plugging in a cable.
    deviceWatch = new QTimer(this);
    connect(deviceWatch, &QTimer::timeout, this, &MainWindow::checkDevices);
    deviceWatch->start(2000);
    checkDevices();
}

MainWindow::~MainWindow() {
    delete efektorList;
    efektorList = nullptr;
    delete lumacore;
    lumacore = nullptr;
    delete ui;
}

QCheckBox* MainWindow::midiNoteCheckBox() const {
    return ui->midiNoteEnable;
}

void MainWindow::placeEfektorList() {
    const QRect desktop = availableDesktop();
    efektorList->show();
    // The frame is known once the window is shown; it may be taller than a small screen.
    const QSize frame = efektorList->frameGeometry().size();
    const QSize decoration = frame - efektorList->size();
    if (frame.height() > desktop.height())
        efektorList->resize(efektorList->width(), std::max(desktop.height() - decoration.height(), 100));
    const QSize size = efektorList->frameGeometry().size();
    QPoint at(desktop.right() + 1 - size.width(), desktop.top() + 20);
    const QSettings settings("Kalvora", "Beatlume");
    if (settings.contains("EfektorList/Position"))
        at = settings.value("EfektorList/Position").toPoint();
    efektorList->move(std::clamp(at.x(), desktop.left(), std::max(desktop.left(), desktop.right() + 1 - size.width())),
                      std::clamp(at.y(), desktop.top(), std::max(desktop.top(), desktop.bottom() + 1 - size.height())));
}

void MainWindow::updateTitle() {
    setWindowTitle(efektorList->projectName() + "[*] \u2014 Beatlume");
    setWindowModified(efektorList->hasUnsavedChanges());
}

void MainWindow::readSettings() {
    QSettings settings("Kalvora", "Beatlume");
    if (settings.contains("MainWindow/Size")) {
        const QSize size = settings.value("MainWindow/Size").toSize();
        if (size.isValid())
            resize(size.boundedTo(availableDesktop().size()).expandedTo(minimumSizeHint()));
    }
    if (settings.contains("MainWindow/Position")) {
        // A position on a screen that is gone would hide the window.
        const QPoint stored = settings.value("MainWindow/Position").toPoint();
        const QRect desktop = availableDesktop();
        move(std::clamp(stored.x(), desktop.left(), std::max(desktop.left(), desktop.right() - 100)),
             std::clamp(stored.y(), desktop.top(), std::max(desktop.top(), desktop.bottom() - 100)));
    }
    if (settings.contains("Beatlume/HalfLife"))
        ui->robustSlider->setValue(settings.value("Beatlume/HalfLife").toInt());
    ui->midiNoteEnable->setChecked(settings.value("Beatlume/MidiNoteEnabled", true).toBool());

    const int range = settings.value("Beatlume/TempoRange", 0).toInt();
    if (range > 0 && range < 3) {
        tempoState = range - 1;
        on_tempoButton_pressed();
    }
    bool ok = false;
    const int hold = settings.value("Beatlume/HoldBars").toInt(&ok);
    nomusicDialog->setHoldBars(ok && hold >= 0 && hold <= NomusicDialog::maxHoldBars ? hold : holdBars);
    const double threshold = settings.value("Beatlume/SilenceThreshold").toDouble(&ok);
    nomusicDialog->setThreshold(ok && threshold >= -100.0 && threshold <= 0.0 ? static_cast<int>(std::lround(threshold))
                                                                            : silenceThreshold);
    // The engine stops on silence unless told otherwise; the box shows what it does.
    if (settings.value("Beatlume/StopOnSilence", true).toBool() != stopOnSilence)
        ui->nonMusicCheck->click();
    if (lumacore)
        lumacore->setStopOnSilence(stopOnSilence);

    if (lumacore) {
        // Off unless chosen: controllers 64 and 65 are sustain and portamento on a synthesiser.
        sendPhase = settings.value("Beatlume/SendPhase", false).toBool();
        lumacore->setSendPhase(sendPhase ? 1 : 0);
        lumacore->enableMidiClockOutput(0);
        // A box that stays unchecked emits nothing, and the engine's own default is notes on.
        lumacore->enableMidiNoteOutput(ui->midiNoteEnable->isChecked() ? 1 : 0);
        const double antiDelay = settings.value("Beatlume/AntiDelay").toDouble(&ok);
        if (ok && antiDelay >= 0.0 && antiDelay <= 1.0)
            lumacore->SetAntiDelay(antiDelay);
        applyDeviceSettings();
    }
    ui->midiClockEnable->setChecked(settings.value("Beatlume/MidiClockEnabled", false).toBool());
}

void MainWindow::applyDeviceSettings() {
    QSettings settings("Kalvora", "Beatlume");
    if (AudioInterface* audio = lumacore->audioInterface()) {
        int position = -1;
        if (settings.contains("Beatlume/AudioInputDevice"))
            position = lumacore->getAudioDevList().indexOf(settings.value("Beatlume/AudioInputDevice").toString());
        if (position >= 0) {
            audio->selectAudioDev(position);
            if (settings.contains("Beatlume/AudioChannels")) {
                const QVariantList channels = settings.value("Beatlume/AudioChannels").toList();
                for (int c = 0; c < channels.size(); ++c)
                    audio->toggleChannel(c, channels[c].toInt());
            }
        } else {
            audio->selectAudioDev(-1);
        }
    }
    if (settings.contains("Beatlume/MidiOutputDevice")) {
        const int port = lumacore->getMidiDevList().indexOf(settings.value("Beatlume/MidiOutputDevice").toString());
        if (port >= 0)
            lumacore->selectMidiDev(port);
    }
}

void MainWindow::writeSettings() {
    QSettings settings("Kalvora", "Beatlume");
    settings.setValue("MainWindow/Position", pos());
    settings.setValue("MainWindow/Size", size());
    if (efektorList)
        settings.setValue("EfektorList/Position", efektorList->pos());
    settings.setValue("Beatlume/MidiClockEnabled", ui->midiClockEnable->isChecked());
    settings.setValue("Beatlume/SendPhase", sendPhase);
    settings.setValue("Beatlume/HalfLife", ui->robustSlider->value());
    settings.setValue("Beatlume/MidiNoteEnabled", ui->midiNoteEnable->isChecked());
    settings.setValue("Beatlume/TempoRange", tempoState);
    settings.setValue("Beatlume/StopOnSilence", stopOnSilence);
    settings.setValue("Beatlume/HoldBars", holdBars);
    settings.setValue("Beatlume/SilenceThreshold", silenceThreshold);
    if (!lumacore)
        return;
    settings.setValue("Beatlume/AntiDelay", lumacore->GetAntiDelay());
    if (AudioInterface* audio = lumacore->audioInterface()) {
        const QList<QString> devices = lumacore->getAudioDevList();
        const int index = audio->getAudioDevIndex();
        if (index >= 0 && index < devices.size()) {
            settings.setValue("Beatlume/AudioInputDevice", devices[index]);
        }
    }
    const QList<QString> ports = lumacore->getMidiDevList();
    const int port = lumacore->getMidiDevIndex();
    if (port >= 0 && port < ports.size())
        settings.setValue("Beatlume/MidiOutputDevice", ports[port]);
    if (AudioInterface* audio = lumacore->audioInterface()) {
        const int index = audio->getAudioDevIndex();
        const std::vector<char>& flags = audio->getCurrentChannels();
        if (index >= 0 && !flags.empty()) {
            QVariantList channels;
            for (char flag : flags)
                channels.append(static_cast<int>(flag));
            settings.setValue("Beatlume/AudioChannels", channels);
        }
    }
}

TempoPanel* MainWindow::tempoPanel() const {
    return ui->tempoPanel;
}

void MainWindow::createStatusLine() {
    statusText = new QLabel(this);
    statusText->setObjectName("deviceStatus");
    statusSettingsButton = new QPushButton("Settings\u2026", this);
    statusSettingsButton->setObjectName("statusSettingsButton");
    statusSettingsButton->setToolTip("Choose the audio input and the MIDI port");
    connect(statusSettingsButton, &QPushButton::clicked, this, &MainWindow::launchSettings);
    statusStopButton = new QPushButton("Back to live input", this);
    statusStopButton->setObjectName("statusStopButton");
    statusStopButton->setToolTip("Stop the file and listen to the audio input again");
    statusStopButton->hide();
    connect(statusStopButton, &QPushButton::clicked, this, &MainWindow::stopPlayingFile);
    ui->statusBar->addWidget(statusText, 1);
    ui->statusBar->addPermanentWidget(statusStopButton);
    ui->statusBar->addPermanentWidget(statusSettingsButton);
}

QString MainWindow::deviceStatus() const {
    return statusText ? statusText->text() : QString();
}

void MainWindow::checkDevices() {
    if (!lumacore->engineHandle() && lumacore->retryInit()) {
        // The new engine has nothing selected yet: the stored devices, then the switches the
        // window shows.
        lumacore->stopProcessing();
        midiPortsListedFor = -2;
        applyDeviceSettings();
        lumacore->startProcessing();
        lumacore->enableMidiClockOutput(ui->midiClockEnable->isChecked() ? 1 : 0);
        lumacore->enableMidiNoteOutput(ui->midiNoteEnable->isChecked() ? 1 : 0);
    }
    AudioInterface* audio = lumacore->audioInterface();
    const FilePlayback* playing = audio ? audio->playback() : nullptr;
    if (playing && playing->finished()) {
        stopPlayingFile();
        statusBar()->showMessage("The file has ended: back to the live input", 10000);
        return;
    }
    // Restarting the audio system to learn of new inputs is slower and chattier than asking
    // for MIDI ports: every fifth look. Never while a file plays on its output.
    if (audio && !playing && audio->getAudioDevIndex() < 0 && ++lookedForInput % 5 == 0 && audio->rescanDevices()) {
        lumacore->stopProcessing();
        applyDeviceSettings();
        lumacore->startProcessing();
    }
    QStringList missing;
    QStringList using_;
    if (!lumacore->engineHandle()) {
        const int failure = lumacore->startFailure();
        missing << (failure == 3 ? "No MIDI output port: nothing is sent"
                                 : failure != 0 ? "The engine did not start" : "The engine is not running");
    } else {
        // Listing the ports asks the MIDI system afresh, which the engine's timer thread should
        // not have to share every two seconds: only a change of port reads the names again.
        const int port = lumacore->getMidiDevIndex();
        if (port != midiPortsListedFor) {
            midiPorts = lumacore->getMidiDevList();
            midiPortsListedFor = port;
        }
        if (port >= 0 && port < midiPorts.size())
            using_ << "MIDI to " + midiPorts[port];
        else
            missing << "No MIDI output port open";
    }
    const QList<QString> inputs = audio ? lumacore->getAudioDevList() : QList<QString>();
    const int input = audio ? audio->getAudioDevIndex() : -1;
    if (playing)
        using_ << "playing " + playingFile() + (playing->audible() ? "" : " (no output device: not heard)");
    else if (input >= 0 && input < inputs.size())
        using_ << "input " + inputs[input];
    else
        missing << (inputs.isEmpty() ? "No audio input found" : "No audio input open");
    const QString text = missing.isEmpty() ? using_.join(", ")
                                           : missing.join(". ") + ". Plug one in, or choose under Settings.";
    statusText->setText(text);
    // Setting a style sheet polishes the label anew even when it is the same one: every two
    // seconds, only when the warning colour comes or goes.
    const QString colour = missing.isEmpty() ? QString() : QStringLiteral("color: #e0a030;");
    if (statusText->styleSheet() != colour)
        statusText->setStyleSheet(colour);
    statusSettingsButton->setVisible(!missing.isEmpty());
}

QString MainWindow::playingFile() const {
    AudioInterface* audio = lumacore->audioInterface();
    const FilePlayback* playing = audio ? audio->playback() : nullptr;
    return playing ? QString::fromStdString(playing->name()) : QString();
}

bool MainWindow::playFile(const QString& path) {
    AudioInterface* audio = lumacore->audioInterface();
    std::string error = "no audio system";
    std::unique_ptr<SampleSource> source = audio ? openSoundFile(path.toStdString(), error) : nullptr;
    if (!source) {
        statusBar()->showMessage("Cannot play " + path + ": " + QString::fromStdString(error), 10000);
        return false;
    }
    lumacore->stopProcessing();
    audio->selectSource(std::move(source));
    lumacore->startProcessing();
    stopPlayingAction->setEnabled(true);
    statusStopButton->show();
    checkDevices();
    return true;
}

void MainWindow::stopPlayingFile() {
    AudioInterface* audio = lumacore->audioInterface();
    if (!audio || !audio->playback())
        return;
    lumacore->stopProcessing();
    audio->stopSource();
    applyDeviceSettings();
    lumacore->startProcessing();
    stopPlayingAction->setEnabled(false);
    statusStopButton->hide();
    checkDevices();
}

void MainWindow::chooseFileToPlay() {
    const QString path = QFileDialog::getOpenFileName(
        this, "Play audio file", QString(),
        "Sound files (*.wav *.flac *.ogg *.opus *.mp3 *.aiff *.aif *.au *.caf *.w64);;All files (*)");
    if (!path.isEmpty())
        playFile(path);
}

void MainWindow::createMenus() {
    QMenu* fileMenu = menuBar()->addMenu("&File");

    auto* settingsAction = new QAction("&Settings\u2026", this);
    settingsAction->setStatusTip("Control I/O devices");
    connect(settingsAction, &QAction::triggered, this, &MainWindow::launchSettings);
    fileMenu->addAction(settingsAction);

    auto* loadAction = new QAction("&Load Project\u2026", this);
    loadAction->setShortcuts(QKeySequence::Open);
    connect(loadAction, &QAction::triggered, efektorList, &EfektorList::LoadProject);
    fileMenu->addAction(loadAction);

    auto* saveAction = new QAction("&Save Project", this);
    saveAction->setShortcuts(QKeySequence::Save);
    connect(saveAction, &QAction::triggered, efektorList, &EfektorList::SaveProject);
    fileMenu->addAction(saveAction);

    auto* saveAsAction = new QAction("Save Project &As\u2026", this);
    saveAsAction->setShortcuts(QKeySequence::SaveAs);
    connect(saveAsAction, &QAction::triggered, efektorList, &EfektorList::SaveProjectAs);
    fileMenu->addAction(saveAsAction);

    fileMenu->addSeparator();

    auto* playAction = new QAction("&Play audio file\u2026", this);
    playAction->setObjectName("playFileAction");
    playAction->setStatusTip("Play a sound file through the engine instead of the live input");
    connect(playAction, &QAction::triggered, this, &MainWindow::chooseFileToPlay);
    fileMenu->addAction(playAction);
    stopPlayingAction = new QAction("S&top playing, back to the live input", this);
    stopPlayingAction->setObjectName("stopFileAction");
    stopPlayingAction->setEnabled(false);
    connect(stopPlayingAction, &QAction::triggered, this, &MainWindow::stopPlayingFile);
    fileMenu->addAction(stopPlayingAction);

    fileMenu->addSeparator();

    auto* quitAction = new QAction("&Quit", this);
    quitAction->setStatusTip("Quit Beatlume");
    connect(quitAction, &QAction::triggered, this, &MainWindow::close);
    fileMenu->addAction(quitAction);

    QMenu* editMenu = menuBar()->addMenu("&Edit");
    QUndoStack* undo = efektorList->undoStack();
    QAction* undoAction = undo->createUndoAction(this, "&Undo");
    undoAction->setObjectName("undoAction");
    undoAction->setShortcuts(QKeySequence::Undo);
    QAction* redoAction = undo->createRedoAction(this, "&Redo");
    redoAction->setObjectName("redoAction");
    redoAction->setShortcuts(QKeySequence::Redo);
    // Also from the efektor windows and the list, where the curves are edited.
    for (QAction* action : {undoAction, redoAction}) {
        action->setShortcutContext(Qt::ApplicationShortcut);
        editMenu->addAction(action);
    }

    QMenu* helpMenu = menuBar()->addMenu("&Help");
    auto* aboutAction = new QAction("&About", this);
    connect(aboutAction, &QAction::triggered, this, &MainWindow::launchAbout);
    helpMenu->addAction(aboutAction);
}

void MainWindow::showHalfLife(int tenths) {
    const double seconds = tenths / 10.0;
    ui->halflifeLabel->setText("Halflife: " + QString::number(seconds, 'g', 6) + "s");
    lumacore->changeHalfTime(seconds);
}

void MainWindow::on_robustSlider_valueChanged(int value) {
    showHalfLife(value);
}

void MainWindow::on_robustSlider_sliderMoved(int position) {
    showHalfLife(position);
}

void MainWindow::on_tempoButton_pressed() {
    tempoState = (tempoState + 1) % 3;
    const TempoRange& range = tempoRanges[tempoState];
    ui->tempoButton->setIcon(QIcon(range.icon));
    lumacore->changeMyyValues(range.bar, range.beat, range.tatum);
}

void MainWindow::on_midiClockEnable_stateChanged(int state) {
    lumacore->enableMidiClockOutput(state);
}

void MainWindow::on_midiNoteEnable_stateChanged(int state) {
    lumacore->enableMidiNoteOutput(state);
}

void MainWindow::on_midiClockResetButton_clicked() {
    // Off and on again: a Stop at once, a Start on the next beat.
    if (ui->midiClockEnable->isChecked()) {
        lumacore->enableMidiClockOutput(0);
        lumacore->enableMidiClockOutput(1);
    }
    efektorList->SyncEfektors();
}

void MainWindow::on_midiMapButton_clicked() {
    MidiMapping mapping(lumacore, this);
    mapping.exec();
}

void MainWindow::setBlinkersActive(bool on) {
    ui->barGauge->setActive(on);
    ui->beatGauge->setActive(on);
    ui->tatumGauge->setActive(on);
}

void MainWindow::setSilenceThreshold(int level) {
    silenceThreshold = level;
    if (lumacore)
        lumacore->setSilenceThreshold(level);
}

void MainWindow::setHoldBars(int bars) {
    holdBars = bars;
    if (lumacore)
        lumacore->setHoldBars(bars);
}

void MainWindow::showReadings(const QLumacore::Readings& readings) {
    const double level = readings.nonBeatyness;
    nomusicDialog->showLevel(std::isfinite(level) ? static_cast<int>(std::clamp(level, -1000.0, 1000.0)) : -100);
    setBlinkersActive(!(stopOnSilence && readings.state == QLumacore::TrackState::NoEvidence));
}

void MainWindow::on_nonMusicCheck_clicked() {
    stopOnSilence = !stopOnSilence;
    if (lumacore)
        lumacore->setStopOnSilence(stopOnSilence);
}

void MainWindow::on_silenceSettingsButton_clicked() {
    nomusicDialog->exec();
}

void MainWindow::launchSettings() {
    SettingsDialog settings(lumacore, this);
    settings.exec();
    midiPortsListedFor = -2;
    checkDevices();
}

void MainWindow::launchAbout() {
    AboutDialog about(this);
    about.exec();
}

void MainWindow::on_effects_clicked() {
    efektorList->show();
    efektorList->raise();
    efektorList->activateWindow();
}

void MainWindow::on_DMXButton_clicked() {}

void MainWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    if (efektorList)
        efektorList->MainWindowMoved(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (efektorList && !efektorList->settleUnsavedChanges()) {
        event->ignore();
        return;
    }
    writeSettings();
    event->accept();
}
