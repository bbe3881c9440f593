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
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * ratio).toSize();
    if (pixels.isEmpty())
        return;
    if (coverage.size() != pixels || coverage.devicePixelRatio() != ratio) {
        coverage = QImage(pixels, QImage::Format_Alpha8);
        coverage.setDevicePixelRatio(ratio);
        coverage.fill(0);
        QPainter shape(&coverage);
        shape.setRenderHint(QPainter::Antialiasing);
        shape.setPen(Qt::NoPen);
        shape.setBrush(Qt::black);
        shape.drawRoundedRect(QRectF(0, 0, width(), height()), cornerRadius, cornerRadius);
        frame = QImage(pixels, QImage::Format_RGB32);
        frame.setDevicePixelRatio(ratio);
    }
    // The lamp's colour over the colour behind it, as far as the outline covers each pixel.
    const QRgb lamp = colour.darker(darkeningFactor()).rgb();
    const QRgb behind = colourBehind(this).rgb();
    const auto mix = [](int under, int over, int alpha) { return (under * (255 - alpha) + over * alpha + 127) / 255; };
    for (int y = 0; y < pixels.height(); ++y) {
        const uchar* cover = coverage.constScanLine(y);
        auto* out = reinterpret_cast<QRgb*>(frame.scanLine(y));
        for (int x = 0; x < pixels.width(); ++x) {
            const int a = cover[x];
            out[x] = a == 255 ? lamp
                     : a == 0 ? behind
                              : qRgb(mix(qRed(behind), qRed(lamp), a), mix(qGreen(behind), qGreen(lamp), a),
                                     mix(qBlue(behind), qBlue(lamp), a));
        }
    }
    QPainter painter(this);
    painter.drawImage(QPointF(0, 0), frame);
}
