#include "AdvancedSettings.h"

#include "AudioInterface.h"
#include "QLumacore.h"
#include "ui_AdvancedSettings.h"

AdvancedSettings::AdvancedSettings(QWidget* parent, QLumacore* bridgeObject)
    : QDialog(parent), bridge(bridgeObject), ui(new Ui::AdvancedSettings) {
    ui->setupUi(this);
}

AdvancedSettings::~AdvancedSettings() {
    delete ui;
}

void AdvancedSettings::SetSelectedAudioDevice(int index) {
    updating = true;
    deviceIndex = index;
    ui->channelList->clear();
    if (AudioInterface* audio = bridge->audioInterface()) {
        const std::vector<char>& flags = audio->getCurrentChannels();
        for (size_t c = 0; c < flags.size(); ++c) {
            auto* item = new QTreeWidgetItem(ui->channelList, QStringList(QString::number(c + 1)));
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(0, flags[c] == 1 ? Qt::Checked : Qt::Unchecked);
        }
    }
    updating = false;
}

void AdvancedSettings::on_channelList_itemChanged(QTreeWidgetItem* item, int) {
    if (updating)
        return;
    AudioInterface* audio = bridge->audioInterface();
    if (!audio)
        return;
    const int position = ui->channelList->indexOfTopLevelItem(item);
    audio->toggleChannel(position, item->checkState(0) == Qt::Checked ? 1 : 0);
}
