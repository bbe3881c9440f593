#pragma once

#include <QProgressBar>

// The block-style level bar: one 4-pixel block per 6 pixels of width that the value
// reaches above the minimum. Value, minimum and maximum are the progress bar's own.
class Meter : public QProgressBar {
    Q_OBJECT

public:
    explicit Meter(QWidget* parent = nullptr);

    // Number of blocks drawn for the present value and width.
    int blockCount() const;

public slots:
    // Shows a level, pinned to the bar's range. The progress bar itself ignores values
    // outside its range, which would freeze the bar at the last loud level when the input
    // falls silent (−100 dB).
    void showLevel(int level);

protected:
    void paintEvent(QPaintEvent* event) override;
};
