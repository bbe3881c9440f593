#include "AboutDialog.h"

#include "ui_AboutDialog.h"

#include <QLabel>

#include <algorithm>

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent), ui(new Ui::AboutDialog) {
    ui->setupUi(this);
    ui->versionLabel->setText(QStringLiteral("Version %1").arg(QStringLiteral(BEATLUME_VERSION)));
    auto* licence = new QLabel(
        "Licence: GPL-2.0-or-later, the GNU General Public License version 2 or any later version "
        "(see the file LICENSE). Free software, with no warranty.",
        this);
    licence->setObjectName("licenceLabel");
    licence->setWordWrap(true);
    ui->verticalLayout->insertWidget(ui->verticalLayout->indexOf(ui->descriptionLabel) + 1, licence);
    // The form's size was drawn without the licence.
    resize(width(), std::max(height(), sizeHint().height()));
}

AboutDialog::~AboutDialog() {
    delete ui;
}
