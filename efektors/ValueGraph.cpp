#include "ValueGraph.h"

#include "StepEfektor.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

ValueGraph::ValueGraph(QWidget* parent) : QLabel(parent) {}

void ValueGraph::ChangeStepAmount(int n) {
    n = std::clamp(n, 1, StepEfektor::maxSteps);
    values.resize(n, 0);
    if (stepEfektor)
        for (int i = 0; i < n; ++i)
            values[i] = stepEfektor->stepValue(i);
    stepCount = n;
    highlighted = std::min(highlighted, n - 1);
    update();
}

int ValueGraph::stepAt(int ex) const {
    const int w = width();
    if (ex < 0 || w <= 0)
        return 0;
    if (ex >= w)
        return stepCount - 1;
    const float columnWidth = float(w) / float(stepCount);
    return std::min(int(std::trunc(float(ex) / columnWidth)), stepCount - 1);
}

int ValueGraph::valueAt(int ey) const {
    const int h = height();
    const int d = h - ey; // height above the bottom edge
    if (d < 0 || h <= 0)
        return 0;
    if (d >= h)
        return maxValue;
    const float unit = float(h) / float(maxValue);
    return std::clamp(int(std::trunc(float(d) / unit)), 0, maxValue);
}

void ValueGraph::editAt(int ex, int ey) {
    const int step = stepAt(ex);
    if (step < 0 || step >= values.size())
        return;
    values[step] = valueAt(ey);
    update();
    if (stepEfektor)
        for (int i = 0; i < values.size(); ++i)
            stepEfektor->setStepValue(i, values[i]);
}

void ValueGraph::mousePressEvent(QMouseEvent* event) {
    mouseMoveEvent(event);
}

void ValueGraph::mouseMoveEvent(QMouseEvent* event) {
    const QPointF at = event->position();
    editAt(int(std::floor(at.x())), int(std::floor(at.y())));
}

void ValueGraph::paintEvent(QPaintEvent* event) {
    Q_UNUSED(event)
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double w = width(), h = height();
    painter.fillRect(rect(), QColor(10, 15, 30));
    const double columnWidth = w / stepCount;
    const double unit = h / maxValue;
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < stepCount && i < values.size(); ++i) {
        const QColor colour = i == highlighted ? QColor(160, 170, 220, 250) : QColor(30, 60, 150, 250);
        const double barHeight = values[i] * unit;
        painter.setBrush(colour);
        painter.drawRect(QRectF(i * columnWidth, h - barHeight, columnWidth, barHeight));
    }
}
