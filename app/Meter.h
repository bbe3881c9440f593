#pragma once

#include <QProgressBar>
#include <optional>

#include "OpaqueWidget.h"

// The block-style level bar: one 4-pixel block per 6 pixels of width that the level
// reaches above the minimum. Minimum and maximum are the progress bar's own; the level starts
// at the progress bar's value.
class Meter : public Opaque<QProgressBar> {
    Q_OBJECT

public:
    explicit Meter(QWidget* parent = nullptr);

    // Number of blocks drawn for the present level and width.
    int blockCount() const;
    int level() const { return shown.value_or(value()); }

public slots:
    // Shows a level, pinned to the bar's range (the input falls to −100 dB in silence),
    // repainting only when the blocks change. The progress bar's own setValue repaints at
    // once on every new value, a paint pass of its own on each poll of the level.
    void showLevel(int level);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<int> shown;
};
