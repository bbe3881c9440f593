#include "Meter.h"

#include <QPainter>
#include <algorithm>
#include <cstdlib>

Meter::Meter(QWidget* parent) : Opaque<QProgressBar>(parent) {}

int Meter::blockCount() const {
    const float lo = static_cast<float>(std::abs(minimum()));
    const float hi = static_cast<float>(std::abs(maximum()));
    if (hi == lo)
        return 0;
    const float fraction = (static_cast<float>(std::abs(level())) - lo) / (hi - lo);
    const int count = static_cast<int>(width() / 6.0 * fraction);
    return count > 0 ? count : 0;
}

void Meter::showLevel(int newLevel) {
    const int blocks = blockCount();
    shown = std::clamp(newLevel, minimum(), maximum());
    if (blockCount() != blocks)
        update();
}

void Meter::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    fillBehind(painter);
    const QColor fill(40, 60, 150, 250);
    const int count = blockCount();
    for (int i = 0; i < count; ++i)
        painter.fillRect(6 * i, 0, 4, 20, fill);
}
