#include "SettingsDialog.h"

#include "AdvancedSettings.h"
#include "AudioInterface.h"
#include "NetworkControls.h"
#include "QLumacore.h"
#include "ui_SettingsDialog.h"

#include <QKeyEvent>
#include <QSignalBlocker>

#include <cmath>

SettingsDialog::SettingsDialog(QLumacore* bridgeObject, QWidget* parent)
    : QDialog(parent), ui(new Ui::SettingsDialog), bridge(bridgeObject) {
    ui->setupUi(this);
    refreshing = true;
    fillLists();
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, [this] {
        applyChanges();
        accept();
    });
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);
    advanced = new AdvancedSettings(this, bridge);
    advanced->hide();
    advanced->SetSelectedAudioDevice(audioIndex);
    refreshing = false;
    antiDelayAtOpen = bridge->GetAntiDelay();
    showLatency(antiDelayAtOpen);

    // Below the form of the .ui file, which keeps its fixed size for the rest.
    auto* network = new NetworkSettingsBox(bridge, this);
    const int top = ui->buttonBox->y() - 4;
    network->setGeometry(10, top, width() - 20, 124);
    ui->buttonBox->move(ui->buttonBox->x(), top + 130);
    setFixedSize(width(), top + 130 + ui->buttonBox->height() + 10);
}

SettingsDialog::~SettingsDialog() {
    delete ui;
}

void SettingsDialog::fillLists() {
    ui->audioDevSelect->clear();
    ui->midiDevSelect->clear();
    if (AudioInterface* audio = bridge->audioInterface()) {
        ui->audioDevSelect->addItems(bridge->getAudioDevList());
        audioIndex = audio->getAudioDevIndex();
        ui->audioDevSelect->setCurrentIndex(audioIndex);
    }
    ui->midiDevSelect->addItems(bridge->getMidiDevList());
    midiIndex = bridge->getMidiDevIndex();
    ui->midiDevSelect->setCurrentIndex(midiIndex);
}

void SettingsDialog::RefreshDevices() {
    const bool wasRefreshing = refreshing;
    refreshing = true;
    fillLists();
    refreshing = wasRefreshing;
}

void SettingsDialog::applyChanges() {
    AudioInterface* audio = bridge->audioInterface();
    if (audio && audioIndex >= 0 && audioIndex != audio->getAudioDevIndex()) {
        // The poll would read an engine that is being restarted.
        bridge->stopProcessing();
        audio->selectAudioDev(audioIndex);
        bridge->startProcessing();
    }
    if (midiIndex >= 0 && midiIndex != bridge->getMidiDevIndex())
        bridge->selectMidiDev(midiIndex);
}

void SettingsDialog::on_audioDevSelect_currentIndexChanged(int index) {
    if (refreshing)
        return;
    audioIndex = index;
    applyChanges();
    advanced->SetSelectedAudioDevice(index);
}

void SettingsDialog::on_midiDevSelect_currentIndexChanged(int index) {
    if (refreshing)
        return;
    midiIndex = index;
    applyChanges();
}

void SettingsDialog::on_channelButton_clicked() {
    advanced->show();
}

void SettingsDialog::showLatency(double seconds) {
    ui->latencyEdit->setText(QString::number(seconds * 1000.0, 'g', 6) + " ms");
    const QSignalBlocker quiet(ui->latencySlider);
    ui->latencySlider->setValue(static_cast<int>(std::lround(seconds * 200.0)));
}

void SettingsDialog::on_latencySlider_valueChanged(int value) {
    // 0 … 0.5 s in steps of 5 ms.
    ui->latencyEdit->setText(QString::number(value * 5) + " ms");
    bridge->SetAntiDelay(value * 5 / 1000.0);
}

void SettingsDialog::on_latencySlider_sliderMoved(int) {}

void SettingsDialog::on_latencyEdit_returnPressed() {
    on_latencyEdit_editingFinished();
}

void SettingsDialog::on_latencyEdit_editingFinished() {
    // Milliseconds, with or without the unit; anything else shows the value in force again.
    QString text = ui->latencyEdit->text().trimmed();
    if (text.endsWith("ms", Qt::CaseInsensitive))
        text.chop(2);
    bool ok = false;
    const double ms = text.trimmed().toDouble(&ok);
    if (ok && std::isfinite(ms) && ms >= 0.0 && ms <= ui->latencySlider->maximum() * 5.0)
        bridge->SetAntiDelay(ms / 1000.0);
    showLatency(bridge->GetAntiDelay());
}

void SettingsDialog::reject() {
    bridge->SetAntiDelay(antiDelayAtOpen);
    QDialog::reject();
}

void SettingsDialog::keyPressEvent(QKeyEvent*) {}
