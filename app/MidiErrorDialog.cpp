#include "MidiErrorDialog.h"

#include "ui_MidiErrorDialog.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QUrl>

MidiErrorDialog::MidiErrorDialog(QWidget* parent) : QDialog(parent), ui(new Ui::MidiErrorDialog) {
    ui->setupUi(this);
    connect(ui->linkToHowto, &QLabel::linkActivated, this, &MidiErrorDialog::openWebLink);
    connect(ui->buttonBox, &QDialogButtonBox::clicked, this, &MidiErrorDialog::reject);
}

MidiErrorDialog::~MidiErrorDialog() {
    delete ui;
}

void MidiErrorDialog::openWebLink(const QString& url) {
    QDesktopServices::openUrl(QUrl(url));
}
