#include "Blinker.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

Blinker::Blinker(QWidget* parent) : Opaque<QWidget>(parent) {}

int Blinker::darkeningFactor() const {
    return static_cast<int>((2.0 * phase + 1.0) * 100.0);
}

void Blinker::setPhase(double blinkPhase) {
    const int shown = darkeningFactor();
    if (active) {
        // A phase outside 0 … 1 (or not a number) would make the darkening factor absurd.
        phase = std::isfinite(blinkPhase) ? std::clamp(blinkPhase, 0.0, 1.0) : 0.0;
    } else if (phase < 0.35) {
        phase += 0.003;
    } else if (phase > 0.45) {
        phase -= 0.003;
    }
    // Called on every poll: a repaint (and the window's behind it) only when the colour changes.
    if (darkeningFactor() != shown)
        update();
}

void Blinker::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    fillBehind(painter);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour.darker(darkeningFactor()));
    painter.drawRoundedRect(QRectF(0, 0, width(), height()), cornerRadius, cornerRadius);
}
