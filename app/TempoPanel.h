#pragma once

#include <QImage>
#include <QWidget>
#include <functional>
#include <vector>

#include "OpaqueWidget.h"
#include "QLumacore.h"
#include "TapTempo.h"

class QAction;
class QLabel;
class QProgressBar;
class QToolButton;

// One lamp per beat of the bar being tracked, numbered from 1; the lamp of the present beat is
// lit, the bar's first in its own colour so that the downbeat reads at a glance.
class BarLamps : public Opaque<QWidget> {
    Q_OBJECT

public:
    explicit BarLamps(QWidget* parent = nullptr);

    // `beats` is clamped to 1 … 16; `current` is 0-based, -1 for none lit.
    void setBeats(int beats, int current);
    int beats() const { return beatCount; }
    int current() const { return lit; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void drawLamps(QPainter& painter) const;
    int beatCount = 4;
    int lit = -1;
    // The row as painted with each lamp lit (index lit + 1), made on first need: shaping the
    // numbers and stroking the outlines anew on every beat cost more than the rest of a poll.
    std::vector<QImage> rows;
};

// The tempo readouts and the hands-on controls of the main window: the BPM, the beat within the
// bar, how sure the engine is, and tap, half, double, "this is the one", freeze and nudge. Every
// control acts through the bridge's hints, so the tracker itself follows it.
class TempoPanel : public QWidget {
    Q_OBJECT

public:
    // Milliseconds one nudge moves the phase.
    static constexpr double nudgeSeconds = 0.010;

    explicit TempoPanel(QWidget* parent = nullptr);

    // The bridge the controls talk to and the readouts listen to; null detaches.
    void attach(QLumacore* bridge);
    // Where the time of a tap comes from (seconds on a steady time line); tests inject theirs.
    void setClock(std::function<double()> seconds) { clock = std::move(seconds); }

    // The beat of the bar at the given full phases: 0-based, -1 when unknown.
    static int beatInBar(double barPhase, double beatPhase, int beatsPerBar);
    static QString stateName(QLumacore::TrackState state);

public slots:
    void showReadings(const QLumacore::Readings& readings);
    void tap();

private:
    QAction* addControl(const char* name, const QString& text, const QString& tip, const QKeySequence& key,
                        int row, int column, int span = 1);

    QLumacore* bridge = nullptr;
    TapTempo tapTempo;
    std::function<double()> clock;
    QLabel* bpmDisplay;
    QLabel* tapDisplay;
    QLabel* stateLabel;
    QProgressBar* confidenceBar;
    BarLamps* lamps;
    QAction* freezeAction = nullptr;
    QWidget* controls;
};
