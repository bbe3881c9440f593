#pragma once

#include <QDialog>

namespace Ui {
class MidiErrorDialog;
}

// Shown instead of the main window when the engine cannot start.
class MidiErrorDialog : public QDialog {
    Q_OBJECT

public:
    explicit MidiErrorDialog(QWidget* parent = nullptr);
    ~MidiErrorDialog() override;

public slots:
    // Hands the link to the desktop's handler (browser or mail program); never to a shell.
    void openWebLink(const QString& url);

private:
    Ui::MidiErrorDialog* ui;
};
