#include "AboutDialog.h"

#include "ui_AboutDialog.h"

#include <QLabel>

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent), ui(new Ui::AboutDialog) {
    ui->setupUi(this);
    ui->versionLabel->setText(QStringLiteral("Version %1").arg(QStringLiteral(BEATLUME_VERSION)));
    auto* licence = new QLabel(
        "Free software under the GNU General Public License, version 2 or (at your option) any later "
        "version (GPL-2.0-or-later). It comes with no warranty. See the file LICENSE, or "
        "<a href=\"https://www.gnu.org/licenses/old-licenses/gpl-2.0.html\">gnu.org</a>.",
        this);
    licence->setObjectName("licenceLabel");
    licence->setWordWrap(true);
    licence->setOpenExternalLinks(true);
    ui->verticalLayout->insertWidget(ui->verticalLayout->indexOf(ui->descriptionLabel) + 1, licence);
}

AboutDialog::~AboutDialog() {
    delete ui;
}
