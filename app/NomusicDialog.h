#pragma once

#include <QDialog>

namespace Ui {
class NomusicDialog;
}

// Settings behind "Stop on silence": the level below which the input counts as silent and
// how long it must stay there. Only changes are passed on; the main window keeps the values.
class NomusicDialog : public QDialog {
    Q_OBJECT

public:
    explicit NomusicDialog(QWidget* parent = nullptr);
    ~NomusicDialog() override;

    // Puts stored values on the controls, which pass them on as if the user had set them.
    void setValues(double thresholdDb, double holdPolls);

public slots:
    // Shows the present input level (dB) on the dialog's level bar.
    void showLevel(int db);

signals:
    void holdChanged(double polls);
    void thresholdChanged(double db);

private slots:
    void on_dial_valueChanged(int value);
    void on_horizontalSlider_valueChanged(int value);
    void on_closeButton_clicked();

private:
    Ui::NomusicDialog* ui;
};
