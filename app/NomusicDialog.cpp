#include "NomusicDialog.h"

#include "ui_NomusicDialog.h"

#include <cmath>

NomusicDialog::NomusicDialog(QWidget* parent) : QDialog(parent), ui(new Ui::NomusicDialog) {
    ui->setupUi(this);
}

NomusicDialog::~NomusicDialog() {
    delete ui;
}

void NomusicDialog::showLevel(int db) {
    ui->rmsvalue->showLevel(db);
}

void NomusicDialog::setValues(double thresholdDb, double holdPolls) {
    // The controls are whole numbers; a value they cannot show is passed on as it is.
    ui->horizontalSlider->setValue(static_cast<int>(std::lround(thresholdDb)));
    ui->dial->setValue(static_cast<int>(std::lround(holdPolls)));
    emit thresholdChanged(thresholdDb);
    emit holdChanged(holdPolls);
}

void NomusicDialog::on_dial_valueChanged(int value) {
    ui->dial->setToolTip(QString::number(value));
    emit holdChanged(value);
}

void NomusicDialog::on_horizontalSlider_valueChanged(int value) {
    ui->decibelLabel->setText(QString::number(value) + " dB");
    emit thresholdChanged(value);
}

void NomusicDialog::on_closeButton_clicked() {
    close();
}
