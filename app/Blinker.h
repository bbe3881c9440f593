#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

#include "OpaqueWidget.h"

// A square lamp that flashes on every tick of one metrical level: brightest at the tick,
// fading to a third of its brightness just before the next one.
class Blinker : public Opaque<QWidget> {
    Q_OBJECT

public:
    explicit Blinker(QWidget* parent = nullptr);

    // While inactive (the main window reports silence) the lamp ignores the music and
    // drifts to a dim steady glow.
    void setActive(bool on) { active = on; }
    bool isActive() const { return active; }

    double currentPhase() const { return phase; }

    // Qt darkening factor used for the present phase: 100 at a tick, 300 at the next.
    int darkeningFactor() const;

public slots:
    void setPhase(double blinkPhase);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool active = true;
    double phase = 0.0;
    QColor colour{145, 145, 145, 255};
    double cornerRadius = 6.0;
    // The lamp's outline rendered once per size: how much of each device pixel the rounded
    // rectangle covers (alpha 0 … 255). Rasterising the antialiased outline anew on every flash
    // cost several times the flash's blend.
    QImage coverage;
    QImage frame; // the flash being painted, the size of `coverage`
};
