#include "TempoPanel.h"

#include <QAction>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace {

const QColor downbeatColour(0xed, 0x60, 0x22);
const QColor beatColour(0x0a, 0x64, 0xe0);
const QColor unlitColour(0x2b, 0x3e, 0x56);

QColor stateColour(QLumacore::TrackState state) {
    switch (state) {
    case QLumacore::TrackState::Locked:
        return QColor(0x3c, 0xc4, 0x6a);
    case QLumacore::TrackState::Searching:
        return QColor(0xe0, 0xa0, 0x30);
    case QLumacore::TrackState::Holding:
        return QColor(0x4a, 0x9a, 0xf0);
    case QLumacore::TrackState::NoEvidence:
        break;
    }
    return QColor(0x54, 0x6d, 0x8e);
}

} // namespace

BarLamps::BarLamps(QWidget* parent) : Opaque<QWidget>(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setToolTip("Beat of the bar: the first lamp marks the downbeat");
}

void BarLamps::setBeats(int beats, int current) {
    beats = std::clamp(beats, 1, 16);
    current = current >= 0 && current < beats ? current : -1;
    if (beats == beatCount && current == lit)
        return;
    if (beats != beatCount)
        rows.clear();
    beatCount = beats;
    lit = current;
    update();
}

QSize BarLamps::sizeHint() const {
    return QSize(beatCount * 34, 34);
}

QSize BarLamps::minimumSizeHint() const {
    return QSize(beatCount * 18, 30);
}

void BarLamps::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange ||
        event->type() == QEvent::StyleChange)
        rows.clear();
    Opaque<QWidget>::changeEvent(event);
}

void BarLamps::resizeEvent(QResizeEvent* event) {
    rows.clear();
    Opaque<QWidget>::resizeEvent(event);
}

void BarLamps::paintEvent(QPaintEvent*) {
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * ratio).toSize();
    if (pixels.isEmpty())
        return;
    rows.resize(static_cast<size_t>(beatCount) + 1);
    QImage& row = rows[static_cast<size_t>(lit + 1)];
    if (row.size() != pixels || row.devicePixelRatio() != ratio) {
        row = QImage(pixels, QImage::Format_RGB32);
        row.setDevicePixelRatio(ratio);
        QPainter painter(&row);
        painter.setFont(font());
        drawLamps(painter);
    }
    QPainter(this).drawImage(QPointF(0, 0), row);
}

void BarLamps::drawLamps(QPainter& painter) const {
    fillBehind(painter);
    painter.setRenderHint(QPainter::Antialiasing);
    const double gap = 4.0;
    const double w = (width() - gap * (beatCount - 1)) / beatCount;
    QFont font = painter.font();
    font.setBold(true);
    painter.setFont(font);
    for (int b = 0; b < beatCount; ++b) {
        const QRectF box(b * (w + gap), 0.0, w, height());
        const QColor on = b == 0 ? downbeatColour : beatColour;
        painter.setPen(QPen(on, 1.5));
        painter.setBrush(b == lit ? on : unlitColour);
        painter.drawRoundedRect(box.adjusted(1, 1, -1, -1), 6, 6);
        painter.setPen(b == lit ? Qt::black : on.lighter(130));
        painter.drawText(box, Qt::AlignCenter, QString::number(b + 1));
    }
}

TempoPanel::TempoPanel(QWidget* parent) : QWidget(parent) {
    auto steady = std::make_shared<QElapsedTimer>();
    steady->start();
    clock = [steady] { return static_cast<double>(steady->nsecsElapsed()) * 1e-9; };

    bpmDisplay = new Opaque<QLabel>(this);
    bpmDisplay->setText("---");
    bpmDisplay->setObjectName("bpmDisplay");
    QFont big = bpmDisplay->font();
    big.setPointSize(34);
    big.setBold(true);
    bpmDisplay->setFont(big);
    bpmDisplay->setStyleSheet("color: #d8e4f4;");
    bpmDisplay->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    bpmDisplay->setMinimumWidth(bpmDisplay->fontMetrics().horizontalAdvance("888.8") + 8);
    bpmDisplay->setToolTip("Tempo in beats per minute");
    auto* unit = new QLabel("BPM", this);
    tapDisplay = new QLabel(this);
    tapDisplay->setObjectName("tapDisplay");

    stateLabel = new QLabel(this);
    stateLabel->setObjectName("stateLabel");
    stateLabel->setToolTip("locked: the engine is sure of the meter; searching: not yet; holding: the music "
                           "paused and the clock carries on; no evidence: nothing to follow");
    confidenceBar = new Opaque<QProgressBar>(this);
    confidenceBar->setObjectName("confidenceBar");
    confidenceBar->setRange(0, 100);
    confidenceBar->setValue(0);
    confidenceBar->setTextVisible(false);
    confidenceBar->setMaximumHeight(10);
    confidenceBar->setToolTip("How sure the engine is of the meter");

    lamps = new BarLamps(this);
    lamps->setObjectName("barLamps");

    auto* readout = new QHBoxLayout;
    readout->addWidget(bpmDisplay, 1);
    auto* unitColumn = new QVBoxLayout;
    unitColumn->addStretch();
    unitColumn->addWidget(unit);
    unitColumn->addWidget(tapDisplay);
    readout->addLayout(unitColumn);

    auto* certainty = new QHBoxLayout;
    certainty->addWidget(stateLabel);
    certainty->addWidget(confidenceBar, 1);

    controls = new QWidget(this);
    auto* grid = new QGridLayout(controls);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(4);
    QAction* tapAction = addControl("tapAction", "Tap", "Tap tempo", QKeySequence(Qt::Key_T), 0, 0, 2);
    // The tap button is the widest: it is hit most, and without looking.
    connect(tapAction, &QAction::triggered, this, &TempoPanel::tap);
    connect(addControl("halfAction", "\u00bd\u00d7", "Half tempo", QKeySequence(Qt::Key_H), 0, 2),
            &QAction::triggered, this, [this] {
                if (bridge)
                    bridge->hintTempoFactor(0.5);
            });
    connect(addControl("doubleAction", "2\u00d7", "Double tempo", QKeySequence(Qt::Key_D), 0, 3),
            &QAction::triggered, this, [this] {
                if (bridge)
                    bridge->hintTempoFactor(2.0);
            });
    connect(addControl("oneAction", "One", "This is the one: the next beat starts the bar",
                       QKeySequence(Qt::Key_1), 1, 0),
            &QAction::triggered, this, [this] {
                if (bridge)
                    bridge->hintBarStart();
            });
    freezeAction = addControl("freezeAction", "Freeze", "Freeze the tempo", QKeySequence(Qt::Key_F), 1, 1);
    freezeAction->setCheckable(true);
    connect(freezeAction, &QAction::toggled, this, [this](bool on) {
        if (bridge)
            bridge->setTempoFrozen(on);
    });
    connect(addControl("earlierAction", "\u25c0", "Nudge the phase 10 ms earlier", QKeySequence(Qt::Key_Comma),
                       1, 2),
            &QAction::triggered, this, [this] {
                if (bridge)
                    bridge->nudgePhase(-nudgeSeconds);
            });
    connect(addControl("laterAction", "\u25b6", "Nudge the phase 10 ms later", QKeySequence(Qt::Key_Period), 1,
                       3),
            &QAction::triggered, this, [this] {
                if (bridge)
                    bridge->nudgePhase(nudgeSeconds);
            });

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->addLayout(readout);
    column->addWidget(lamps);
    column->addLayout(certainty);
    column->addWidget(controls);
    showReadings(QLumacore::Readings{});
}

QAction* TempoPanel::addControl(const char* name, const QString& text, const QString& tip,
                                const QKeySequence& key, int row, int column, int span) {
    auto* action = new QAction(text, this);
    action->setObjectName(name);
    action->setShortcut(key);
    action->setShortcutContext(Qt::WindowShortcut);
    const QString tipWithKey = tip + " (" + key.toString(QKeySequence::NativeText) + ")";
    action->setToolTip(tipWithKey);
    action->setStatusTip(tipWithKey);
    addAction(action);
    auto* button = new QToolButton(controls);
    button->setObjectName(QString(name).replace("Action", "Button"));
    button->setDefaultAction(action);
    button->setFocusPolicy(Qt::StrongFocus);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    button->setMinimumHeight(26);
    static_cast<QGridLayout*>(controls->layout())->addWidget(button, row, column, 1, span);
    return action;
}

void TempoPanel::attach(QLumacore* bridgeObject) {
    if (bridge)
        disconnect(bridge, nullptr, this, nullptr);
    bridge = bridgeObject;
    if (bridge)
        connect(bridge, &QLumacore::polled, this, &TempoPanel::showReadings);
}

int TempoPanel::beatInBar(double barPhase, double beatPhase, int beatsPerBar) {
    if (beatsPerBar < 1 || !std::isfinite(barPhase) || !std::isfinite(beatPhase))
        return -1;
    // The bar's fraction in beats, less the way into the present beat, is a whole number of
    // beats; rounding absorbs the small disagreement of the two levels' phases.
    const double intoBar = (barPhase - std::floor(barPhase)) * beatsPerBar;
    const double intoBeat = beatPhase - std::floor(beatPhase);
    const long beat = std::lround(intoBar - intoBeat);
    return static_cast<int>(((beat % beatsPerBar) + beatsPerBar) % beatsPerBar);
}

QString TempoPanel::stateName(QLumacore::TrackState state) {
    switch (state) {
    case QLumacore::TrackState::Locked:
        return "locked";
    case QLumacore::TrackState::Searching:
        return "searching";
    case QLumacore::TrackState::Holding:
        return "holding";
    case QLumacore::TrackState::NoEvidence:
        break;
    }
    return "no evidence";
}

void TempoPanel::showReadings(const QLumacore::Readings& r) {
    const bool tempo = std::isfinite(r.bpm) && r.bpm > 0.0;
    bpmDisplay->setText(tempo ? QString::number(r.bpm, 'f', 1) : "---");
    const int beats = r.beatsPerBar > 0 ? r.beatsPerBar : 4;
    lamps->setBeats(beats, tempo && r.beatsPerBar > 0 ? beatInBar(r.bar, r.beat, r.beatsPerBar) : -1);
    const double confidence = std::isfinite(r.confidence) ? std::clamp(r.confidence, 0.0, 1.0) : 0.0;
    const int percent = static_cast<int>(std::lround(confidence * 100.0));
    if (percent != confidenceBar->value()) {
        // QProgressBar::setValue repaints at once, a paint pass of its own beside the one that
        // follows the poll; with updates held back for the call the new value joins that pass.
        confidenceBar->setUpdatesEnabled(false);
        confidenceBar->setValue(percent);
        confidenceBar->setUpdatesEnabled(true);
    }
    const QString name = stateName(r.state);
    if (stateLabel->text() != name) {
        stateLabel->setText(name);
        const QString colour = stateColour(r.state).name();
        stateLabel->setStyleSheet("color: " + colour + "; font-weight: bold;");
        confidenceBar->setStyleSheet("QProgressBar::chunk { background: " + colour + "; }");
    }
}

void TempoPanel::tap() {
    const double bpm = tapTempo.tap(clock());
    tapDisplay->setText(bpm > 0.0 ? "tap " + QString::number(bpm, 'f', 1) : "tap\u2026");
    if (bpm > 0.0 && bridge)
        bridge->hintTempo(bpm);
}
