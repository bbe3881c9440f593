#pragma once

#include <QColor>
#include <QEvent>
#include <QPainter>
#include <QWidget>

// The colour an opaque widget paints its corners and gaps in to look as if drawn on what lies
// behind it: that of the nearest ancestor that paints a background of its own.
QColor colourBehind(const QWidget* widget);

// A widget of a stock kind, opaque: it paints its whole rectangle, the parts the stock painting
// leaves see-through in the colour behind it. Widgets that change on most polls of the engine are
// opaque so that Qt need not repaint every frame behind them each time.
template <class Stock> class Opaque : public Stock {
public:
    explicit Opaque(QWidget* parent = nullptr) : Stock(parent) { this->setAttribute(Qt::WA_OpaquePaintEvent); }

protected:
    bool event(QEvent* event) override {
        const bool handled = Stock::event(event);
        // The style sheet clears the attribute as it polishes a widget whose rules paint no solid
        // background, as here.
        if (event->type() == QEvent::Polish || event->type() == QEvent::StyleChange)
            this->setAttribute(Qt::WA_OpaquePaintEvent);
        return handled;
    }

    void fillBehind(QPainter& painter) const { painter.fillRect(this->rect(), colourBehind(this)); }

    void paintEvent(QPaintEvent* event) override {
        {
            QPainter painter(this);
            fillBehind(painter);
        }
        Stock::paintEvent(event);
    }
};
