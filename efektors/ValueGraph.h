#pragma once

#include <QLabel>
#include <QList>

class StepEfektor;

// The step efektor's bar graph: one bar per step, drawn with the mouse (a click edits one step,
// a drag paints across steps), the current step in the highlight colour.
class ValueGraph : public QLabel {
    Q_OBJECT

public:
    explicit ValueGraph(QWidget* parent = nullptr);

    // The step efektor whose values the graph edits; the form's parent is not necessarily it.
    void setStepEfektor(StepEfektor* owner) { stepEfektor = owner; }
    // n steps, taking their values from the step efektor.
    void ChangeStepAmount(int n);

    QList<int> values{0};
    int stepCount = 1;
    int maxValue = 127;
    int highlighted = 0;

    // The step and value a pointer position edits (pixels, widget coordinates).
    int stepAt(int ex) const;
    int valueAt(int ey) const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void editAt(int ex, int ey);

    StepEfektor* stepEfektor = nullptr;
};
