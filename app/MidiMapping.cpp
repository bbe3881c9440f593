#include "MidiMapping.h"

#include "MainWindow.h"
#include "QLumacore.h"
#include "ui_MidiMapping.h"

MidiMapping::MidiMapping(QLumacore* bridgeObject, QWidget* parent)
    : QDialog(parent), ui(new Ui::MidiMapping), bridge(bridgeObject),
      noteOutputWasEnabled(bridgeObject->getMidiNoteEnabled()) {
    ui->setupUi(this);
    bridge->enableMidiNoteOutput(0);
    if (auto* window = qobject_cast<MainWindow*>(parent)) {
        const QSignalBlocker quiet(ui->checkBox);
        ui->checkBox->setChecked(window->getSendPhase());
    }
}

MidiMapping::~MidiMapping() {
    bridge->enableMidiNoteOutput(noteOutputWasEnabled ? 1 : 0);
    delete ui;
}

void MidiMapping::on_checkBox_toggled(bool checked) {
    bridge->setSendPhase(checked ? 1 : 0);
    if (auto* window = qobject_cast<MainWindow*>(parent()))
        window->setSendPhase(checked);
}

void MidiMapping::on_barNoteSendButton_clicked() {
    bridge->sendMidiTestNote(QLumacore::Bar);
}

void MidiMapping::on_beatNoteSendButton_clicked() {
    bridge->sendMidiTestNote(QLumacore::Beat);
}

void MidiMapping::on_tatumNoteSendButton_clicked() {
    bridge->sendMidiTestNote(QLumacore::Tatum);
}
