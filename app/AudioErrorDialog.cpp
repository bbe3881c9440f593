#include "AudioErrorDialog.h"

#include "ui_AudioErrorDialog.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QUrl>

AudioErrorDialog::AudioErrorDialog(QWidget* parent) : QDialog(parent), ui(new Ui::AudioErrorDialog) {
    ui->setupUi(this);
    connect(ui->linkToHowto, &QLabel::linkActivated, this, &AudioErrorDialog::openWebLink);
    connect(ui->buttonBox, &QDialogButtonBox::clicked, this, &AudioErrorDialog::reject);
}

AudioErrorDialog::~AudioErrorDialog() {
    delete ui;
}

void AudioErrorDialog::openWebLink(const QString& url) {
    QDesktopServices::openUrl(QUrl(url));
}
