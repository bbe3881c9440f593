#include "MainWindow.h"

#include "AboutDialog.h"
#include "AudioInterface.h"
#include "EfektorList.h"
#include "MidiErrorDialog.h"
#include "MidiMapping.h"
#include "NetworkControls.h"
#include "NomusicDialog.h"
#include "QLumacore.h"
#include "SettingsDialog.h"
#include "ui_MainWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
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
    lumacore->startProcessing();
    readSettings();

    efektorList = new EfektorList(lumacore, this, nullptr);
    efektorList->move(efektorListPosition());
    efektorList->show();

    stopOnSilence = false;
    wasStopOnSilence = false;
    silenceThreshold = -35.0;
    silenceHold = 0.0;
    silentCount = 0;
    connect(nomusicDialog, &NomusicDialog::holdChanged, this, &MainWindow::setSilenceHold);
    connect(nomusicDialog, &NomusicDialog::thresholdChanged, this, &MainWindow::setSilenceThreshold);

    connect(lumacore, &QLumacore::audioLevelChange, ui->audioLevelBar, &Meter::showLevel);
    // Silence is judged on every poll, not only when the level changes: the hold is a time,
    // and a silent input reports the same level again and again.
    connect(lumacore, &QLumacore::nonBeatynessUpdate, this, &MainWindow::nonbeatynessChange);
    connect(lumacore, &QLumacore::beatPhase, ui->beatGauge, &Blinker::setPhase);
    connect(lumacore, &QLumacore::barPhase, ui->barGauge, &Blinker::setPhase);
    connect(lumacore, &QLumacore::tatumPhase, ui->tatumGauge, &Blinker::setPhase);

    createMenus();

    const QRect desktop = availableDesktop();
    move(desktop.left() + 15, desktop.top() + 20);

    ui->DMXButton->hide();
    ui->effects->move(ui->effects->x(), ui->effects->y() + 50);
    auto* link = new LinkCheckBox(lumacore, ui->windowFrame);
    link->setObjectName("linkEnable");
    link->setGeometry(10, ui->DMXButton->y() + 2, 160, 22);

    lumacore->changeHalfTime(3.0);
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

QPoint MainWindow::efektorListPosition() const {
    const QRect desktop = availableDesktop();
    return QPoint(desktop.right() + 1 - 349, desktop.top() + 20);
}

void MainWindow::readSettings() {
    QSettings settings("Kalvora", "Beatlume");
    if (settings.contains("MainWindow/Position"))
        move(settings.value("MainWindow/Position").toPoint());
    if (settings.contains("Beatlume/HalfLife"))
        ui->robustSlider->setValue(settings.value("Beatlume/HalfLife").toInt());
    ui->midiNoteEnable->setChecked(settings.value("Beatlume/MidiNoteEnabled", true).toBool());

    if (lumacore) {
        if (settings.contains("Beatlume/SendPhase")) {
            sendPhase = settings.value("Beatlume/SendPhase").toBool();
            lumacore->setSendPhase(sendPhase ? 1 : 0);
        } else {
            lumacore->setSendPhase(1);
        }
        lumacore->enableMidiClockOutput(0);

        if (AudioInterface* audio = lumacore->audioInterface()) {
            int position = -1;
            if (settings.contains("Beatlume/AudioInputDevice"))
                position =
                    lumacore->getAudioDevList().indexOf(settings.value("Beatlume/AudioInputDevice").toString());
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
            const int port =
                lumacore->getMidiDevList().indexOf(settings.value("Beatlume/MidiOutputDevice").toString());
            if (port >= 0)
                lumacore->selectMidiDev(port);
        }
    }
    ui->midiClockEnable->setChecked(settings.value("Beatlume/MidiClockEnabled", false).toBool());
}

void MainWindow::writeSettings() {
    QSettings settings("Kalvora", "Beatlume");
    settings.setValue("MainWindow/Position", pos());
    settings.setValue("Beatlume/MidiClockEnabled", ui->midiClockEnable->isChecked());
    settings.setValue("Beatlume/SendPhase", sendPhase);
    settings.setValue("Beatlume/HalfLife", ui->robustSlider->value());
    settings.setValue("Beatlume/MidiNoteEnabled", ui->midiNoteEnable->isChecked());
    if (!lumacore)
        return;
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

void MainWindow::createMenus() {
    QMenu* fileMenu = menuBar()->addMenu("&File");

    auto* settingsAction = new QAction("&Settings", this);
    settingsAction->setStatusTip("Control I/O devices");
    connect(settingsAction, &QAction::triggered, this, &MainWindow::launchSettings);
    fileMenu->addAction(settingsAction);

    auto* loadAction = new QAction("&Load Project", this);
    loadAction->setShortcuts(QKeySequence::Open);
    connect(loadAction, &QAction::triggered, efektorList, &EfektorList::LoadProject);
    fileMenu->addAction(loadAction);

    auto* saveAction = new QAction("&Save Project", this);
    saveAction->setShortcuts(QKeySequence::Save);
    connect(saveAction, &QAction::triggered, efektorList, &EfektorList::SaveProject);
    fileMenu->addAction(saveAction);

    auto* saveAsAction = new QAction("&Save Project As..", this);
    saveAsAction->setShortcuts(QKeySequence::SaveAs);
    connect(saveAsAction, &QAction::triggered, efektorList, &EfektorList::SaveProjectAs);
    fileMenu->addAction(saveAsAction);

    fileMenu->addSeparator();

    auto* quitAction = new QAction("&Quit", this);
    quitAction->setStatusTip("Quit Quavebox");
    connect(quitAction, &QAction::triggered, this, &MainWindow::close);
    fileMenu->addAction(quitAction);

    QMenu* helpMenu = menuBar()->addMenu("&File");
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

void MainWindow::setMidiBoxes(bool checked) {
    // A box that does not change state emits nothing, so the engine hears only changes.
    ui->midiNoteEnable->setChecked(checked);
    ui->midiClockEnable->setChecked(checked);
}

void MainWindow::nonbeatynessChange(double nbt) {
    if (stopOnSilence && silenceThreshold > nbt)
        ++silentCount;
    else
        silentCount = 0;

    nomusicDialog->showLevel(std::isfinite(nbt) ? static_cast<int>(std::clamp(nbt, -1000.0, 1000.0)) : -100);

    if (stopOnSilence) {
        const bool silent = silentCount > silenceHold;
        setBlinkersActive(!silent);
        setMidiBoxes(!silent);
    } else if (wasStopOnSilence) {
        setBlinkersActive(true);
        setMidiBoxes(true);
    }
    wasStopOnSilence = stopOnSilence;
}

void MainWindow::on_nonMusicCheck_clicked() {
    const bool wasOn = stopOnSilence;
    stopOnSilence = !stopOnSilence;
    if (wasOn)
        setMidiBoxes(true);
}

void MainWindow::on_silenceSettingsButton_clicked() {
    nomusicDialog->exec();
}

void MainWindow::launchSettings() {
    SettingsDialog settings(lumacore, this);
    settings.exec();
}

void MainWindow::launchAbout() {
    AboutDialog about(this);
    about.exec();
}

void MainWindow::launchMidiError() {
    MidiErrorDialog error(this);
    error.exec();
}

void MainWindow::on_effects_clicked() {
    efektorList->move(efektorListPosition());
    efektorList->show();
}

void MainWindow::on_DMXButton_clicked() {}

void MainWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    if (efektorList)
        efektorList->MainWindowMoved(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    writeSettings();
    event->accept();
}
