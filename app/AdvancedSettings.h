#pragma once

#include <QDialog>

class QLumacore;
class QTreeWidgetItem;
namespace Ui {
class AdvancedSettings;
}

// The input channels of the open audio device, each one checkable: checked channels are
// mixed into the signal the tracker hears.
class AdvancedSettings : public QDialog {
    Q_OBJECT

public:
    AdvancedSettings(QWidget* parent, QLumacore* bridge);
    ~AdvancedSettings() override;

    void SetSelectedAudioDevice(int index);

private slots:
    void on_channelList_itemChanged(QTreeWidgetItem* item, int column);

private:
    QLumacore* bridge;
    bool updating = false;
    int deviceIndex = -1;
    Ui::AdvancedSettings* ui;
};
