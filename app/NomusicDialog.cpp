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
