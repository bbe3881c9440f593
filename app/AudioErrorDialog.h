#pragma once

#include <QDialog>

namespace Ui {
class AudioErrorDialog;
}

// Shown instead of the main window when the engine cannot start.
class AudioErrorDialog : public QDialog {
    Q_OBJECT

public:
    explicit AudioErrorDialog(QWidget* parent = nullptr);
    ~AudioErrorDialog() override;

public slots:
    // Hands the link to the desktop's handler (browser or mail program); never to a shell.
    void openWebLink(const QString& url);

private:
    Ui::AudioErrorDialog* ui;
};
