#include "NomusicDialog.h"

#include "ui_NomusicDialog.h"

NomusicDialog::NomusicDialog(QWidget* parent) : QDialog(parent), ui(new Ui::NomusicDialog) {
    ui->setupUi(this);
}

NomusicDialog::~NomusicDialog() {
    delete ui;
}

void NomusicDialog::showLevel(int db) {
    ui->rmsvalue->showLevel(db);
}

void NomusicDialog::setHoldBars(int bars) {
    ui->dial->setValue(bars);
    emit holdChanged(bars);
}

void NomusicDialog::on_dial_valueChanged(int value) {
    ui->label->setText(QString("Hold: %1 bars").arg(value));
    emit holdChanged(value);
}

void NomusicDialog::setThreshold(int level) {
    ui->horizontalSlider->setValue(level);
    emit thresholdChanged(ui->horizontalSlider->value());
}

void NomusicDialog::on_horizontalSlider_valueChanged(int value) {
    ui->decibelLabel->setText(QString::number(value) + " dB");
    emit thresholdChanged(value);
}

void NomusicDialog::on_closeButton_clicked() {
    close();
}
