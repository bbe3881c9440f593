#pragma once

#include "Efektor.h"

namespace Ui {
class InitEfektor;
}

// Sends one fixed message each time its scene becomes the selected scene (while enabled) and
// whenever "Send" is pressed: the way to set up a synth or a mixer at the start of a scene.
// Never follows the meter, so everything it does happens on the GUI thread.
class InitEfektor : public Efektor {
    Q_OBJECT

public:
    // A new efektor (no stream) or one read from a project record body.
    InitEfektor(QLumacore* bridge, int messageNumber, QWidget* parent, QTextStream* load_stream = nullptr);
    InitEfektor(QLumacore* bridge, QWidget* parent, InitEfektor* copy);
    ~InitEfektor() override;

    void SetWasEnabled() override { wasEnabled = enabled; }
    int MessageNumber() override { return messageNumber; }
    void on_enabledCheckBox_clicked(bool on) override;
    void SaveData(QTextStream* save_stream) override;
    void SceneChange() override;

    int value = 0; // velocity or controller value, 0 … 127

private slots:
    void on_noteButton_clicked(bool checked);
    void on_pushButton_clicked();
    void on_portSpinBox_valueChanged(int number);
    void on_chanSpinBox_valueChanged(int shownChannel);
    void on_valueSpinBox_valueChanged(int newValue);

private:
    void buildForm(int number);
    void send();

    Ui::InitEfektor* ui;
};
