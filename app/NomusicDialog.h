#pragma once

#include <QDialog>

namespace Ui {
class NomusicDialog;
}

// Settings behind "Stop on silence": how many bars the engine carries the clock on through
// silence before it counts the music as gone (and stops), beside the input level. Only changes
// are passed on; the main window keeps the value.
class NomusicDialog : public QDialog {
    Q_OBJECT

public:
    explicit NomusicDialog(QWidget* parent = nullptr);
    ~NomusicDialog() override;

    static constexpr int maxHoldBars = 32;
    // Puts a stored value on the dial, which passes it on as if the user had set it.
    void setHoldBars(int bars);

public slots:
    // Shows the present input level (dB) on the dialog's level bar.
    void showLevel(int db);

signals:
    void holdChanged(int bars);

private slots:
    void on_dial_valueChanged(int value);
    void on_closeButton_clicked();

private:
    Ui::NomusicDialog* ui;
};
