#pragma once

#include <QDialog>

class QLumacore;
namespace Ui {
class MidiMapping;
}

// The fixed notes of bar, beat and tatum with a test send for each, and the "Send phase"
// switch. While the dialog is open the automatic notes are silenced, so that the only notes
// going out are the test notes the user asks for.
class MidiMapping : public QDialog {
    Q_OBJECT

public:
    // `parent` is the main window, whose phase-controller choice the dialog shows and sets.
    MidiMapping(QLumacore* bridge, QWidget* parent = nullptr);
    ~MidiMapping() override;

private slots:
    void on_checkBox_toggled(bool checked);
    void on_barNoteSendButton_clicked();
    void on_beatNoteSendButton_clicked();
    void on_tatumNoteSendButton_clicked();

private:
    Ui::MidiMapping* ui;
    QLumacore* bridge;
    bool noteOutputWasEnabled;
};
