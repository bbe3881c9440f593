#pragma once

#include <QDialog>

namespace Ui {
class NomusicDialog;
}

// Settings behind "Stop on silence": the input level at or below which the engine hears silence,
// and how many bars it carries the clock on through silence before it counts the music as gone
// (and stops), beside the input level. Only changes are passed on; the main window keeps them.
class NomusicDialog : public QDialog {
    Q_OBJECT

public:
    explicit NomusicDialog(QWidget* parent = nullptr);
    ~NomusicDialog() override;

    static constexpr int maxHoldBars = 32;
    // Puts a stored value on the dial, which passes it on as if the user had set it.
    void setHoldBars(int bars);
    // The same for the threshold (the level bar's scale; the slider keeps it within its range).
    void setThreshold(int level);

public slots:
    // Shows the present input level (dB) on the dialog's level bar.
    void showLevel(int db);

signals:
    void holdChanged(int bars);
    void thresholdChanged(int level);

private slots:
    void on_dial_valueChanged(int value);
    void on_horizontalSlider_valueChanged(int value);
    void on_closeButton_clicked();

private:
    Ui::NomusicDialog* ui;
};
