#include "curveEfektor.h"

#include "QLumacore.h"
#include "ui_curveEfektor.h"

#include <QKeyEvent>
#include <QResizeEvent>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <vector>

const std::array<curveEfektor::SpeedRow, curveEfektor::speedCount> curveEfektor::speedTable{{
    {"tatum x4", METERLEVEL_TATUM, 0.25, 4},
    {"tatum x8", METERLEVEL_TATUM, 0.125, 8},
    {"tatum x16", METERLEVEL_TATUM, 0.0625, 16},
    {"beat x1", METERLEVEL_BEAT, 1.0, 1},
    {"beat x2", METERLEVEL_BEAT, 0.5, 2},
    {"beat x4", METERLEVEL_BEAT, 0.25, 4},
    {"beat x8", METERLEVEL_BEAT, 0.125, 8},
    {"beat x16", METERLEVEL_BEAT, 0.0625, 16},
    {"bar x1", METERLEVEL_BAR, 1.0, 1},
    {"bar x2", METERLEVEL_BAR, 0.5, 2},
    {"bar x4", METERLEVEL_BAR, 0.25, 4},
    {"bar x8", METERLEVEL_BAR, 0.125, 8},
    {"bar x16", METERLEVEL_BAR, 0.0625, 16},
}};

const std::array<curveEfektor::TriggerRow, curveEfektor::triggerRowCount> curveEfektor::triggerTable{{
    {"none", false, 0},
    {"beat", true, 1},
    {"2 beats", true, 2},
    {"3 beats", true, 3},
    {"4 beats", true, 4},
    {"1 bar", false, 1},
    {"2 bars", false, 2},
    {"4 bars", false, 4},
    {"8 bars", false, 8},
    {"16 bars", false, 16},
    {"32 bars", false, 32},
}};

namespace {

// Window positions far off any desktop are not positions a window was saved at.
constexpr int maxWindowCoordinate = 32767;
// Pixel positions of nodes: editors are never wider or taller than this.
constexpr double maxNodePixel = 100000.0;

int clampMessageNumber(int number) {
    return std::clamp(number, 0, 127);
}

} // namespace

curveEfektor::curveEfektor(QLumacore* lumacore, int number, QWidget* parent, QTextStream* load_stream)
    : Efektor(parent, CurveType, lumacore), ui(std::make_unique<Ui::curveEfektor>()) {
    buildNew(number);
    if (load_stream)
        readRecord(load_stream);
}

curveEfektor::curveEfektor(QLumacore* lumacore, QWidget* parent, curveEfektor* copy)
    : Efektor(parent, CurveType, lumacore), ui(std::make_unique<Ui::curveEfektor>()) {
    buildNew(copy ? copy->messageNumber.load() : 0);
    if (!copy)
        return;
    channel = copy->channel.load();
    messageKind = copy->messageKind.load();
    speedIndex = copy->speedIndex.load();
    triggerIndex = copy->triggerIndex;
    setWindowTitle(copy->windowTitle());
    curve()->LoadNodes(copy->curve());
    applySettings(copy->enabled.load());
}

curveEfektor::~curveEfektor() {
    // Before anything of this window goes: the timer thread must not call Update on it again.
    unregisterPhase();
}

BrazierCurve* curveEfektor::curve() const {
    return ui->curveDisplay;
}

void curveEfektor::buildNew(int number) {
    ui->setupUi(this);
    // The dial in the window's colours: a blue knob with an orange mark, like the check boxes.
    QPalette dialColours = ui->speedDial->palette();
    dialColours.setColor(QPalette::Button, QColor(0x0a, 0x64, 0xe0));
    dialColours.setColor(QPalette::Window, QColor(0x15, 0x1c, 0x26));
    dialColours.setColor(QPalette::Highlight, QColor(0xed, 0x60, 0x22));
    dialColours.setColor(QPalette::WindowText, QColor(0x54, 0x6d, 0x8e));
    dialColours.setColor(QPalette::Dark, QColor(0x0a, 0x40, 0x90));
    dialColours.setColor(QPalette::Light, QColor(0x40, 0x90, 0xff));
    dialColours.setColor(QPalette::Shadow, QColor(0x05, 0x0a, 0x12));
    ui->speedDial->setPalette(dialColours);
    messageNumber = clampMessageNumber(number);
    channel = 0;
    messageKind = true;
    enabled = false;
    ui->ctrlBox->setValue(messageNumber.load());
    ui->chanBox->setValue(1);
    ui->enabledCheckBox->setChecked(false);
    curve()->InitNodePoints();
    ui->speedDial->blockSignals(true);
    ui->speedDial->setValue(defaultSpeed);
    ui->speedDial->blockSignals(false);
    on_speedDial_valueChanged(defaultSpeed);
}

void curveEfektor::readRecord(QTextStream* in) {
    const QString title = readTitle(in, QStringLiteral("Curve Efektor"));
    const bool isEnabled = readBool(in, "enabled");
    const int number = readInt(in, 0, 127, messageNumber.load(), "controller number");
    const int chan = readInt(in, 0, 15, 0, "channel");
    // Where the loop was when saved: read for the format's sake, the loop follows the meter.
    readReal(in, -1e9, 1e9, 0.0, "loop position");
    const bool kind = readBool(in, "message kind");
    const int speedRead = readInt(in, 0, speedCount - 1, defaultSpeed, "speed");
    const int triggerRead = readInt(in, 0, triggerRowCount - 1, 0, "trigger");
    const int x = readInt(in, -maxWindowCoordinate, maxWindowCoordinate, 0, "window x");
    const int y = readInt(in, -maxWindowCoordinate, maxWindowCoordinate, 0, "window y");

    const int nodeCount = readInt(in, 0, BrazierCurve::maxNodes, 0, "node count");
    std::vector<BrazierCurve::PixelNode> nodes;
    nodes.reserve(static_cast<std::size_t>(nodeCount));
    for (int i = 0; i < nodeCount && !reachedEndMarker() && !in->atEnd(); ++i) {
        const double px = readReal(in, 0.0, maxNodePixel, 0.0, "node x");
        const double py = readReal(in, 0.0, maxNodePixel, 0.0, "node y");
        const int nodeKind = readInt(in, 0, 1, BrazierCurve::CUBIC, "node kind");
        nodes.push_back({px, py, nodeKind});
    }

    move(x, y);
    // A chain cut short is not the curve that was saved: keep the flat default instead.
    if (reachedEndMarker() || static_cast<int>(nodes.size()) < nodeCount) {
        if (static_cast<int>(nodes.size()) < nodeCount)
            markMalformed(
                QStringLiteral("curve of %1 nodes cut short after %2").arg(nodeCount).arg(nodes.size()));
        nodes.clear();
    } else if (nodeCount < 2) {
        markMalformed(QStringLiteral("a curve needs at least two nodes, found %1").arg(nodeCount));
    }
    if (nodes.size() >= 2)
        curve()->SetNodesFromPixels(nodes);
    setWindowTitle(title);
    messageNumber = number;
    channel = chan;
    messageKind = kind;
    speedIndex = speedRead;
    triggerIndex = triggerRead;
    applySettings(isEnabled);
}

void curveEfektor::applySettings(bool isEnabled) {
    offset = currentUnitStart();
    enabled = isEnabled;
    ui->enabledCheckBox->setChecked(isEnabled);
    const int chan = channel.load();
    const int number = messageNumber.load();
    ui->chanBox->setValue(chan + 1);
    ui->ctrlBox->setValue(number);
    channel = chan;
    messageNumber = number;

    const int speedRead = speedIndex.load();
    on_speedDial_valueChanged(speedRead);
    ui->speedDial->blockSignals(true);
    ui->speedDial->setValue(speedRead);
    ui->speedDial->blockSignals(false);

    const int trigger = triggerIndex;
    on_triggerBox_currentIndexChanged(trigger);
    ui->triggerBox->blockSignals(true);
    ui->triggerBox->setCurrentIndex(trigger);
    ui->triggerBox->blockSignals(false);
}

double curveEfektor::currentUnitStart() const {
    return std::trunc(lastPhase.load());
}

void curveEfektor::Sync() {
    offset = currentUnitStart();
}

void curveEfektor::Update(double phase) {
    if (!std::isfinite(phase))
        return;
    lastPhase.store(phase, std::memory_order_relaxed);
    const int index = std::clamp(speedIndex.load(std::memory_order_relaxed), 0, speedCount - 1);
    const double p =
        (phase - restartPhase.load(std::memory_order_relaxed) - offset.load(std::memory_order_relaxed)) *
        speedTable[index].scale;
    // The fractional part, wrapped (not truncated) below zero: after a re-alignment the phase
    // can lie before the trigger start for a moment, and the loop should keep running into its
    // last part there rather than leave the curve.
    double position = p - std::floor(p);
    if (!(position >= 0.0 && position < 1.0))
        position = 0.0;
    loopPosition.store(position, std::memory_order_relaxed);
    if (enabled.load(std::memory_order_relaxed))
        curve()->SetPlayBarPos(position);
}

void curveEfektor::SendMsgs() {
    if (!enabled.load(std::memory_order_relaxed) || !bridge)
        return;
    const double value = curve()->GetCurrentValue();
    const int controlValue = std::clamp(static_cast<int>(std::trunc(127.0 * value)), 0, 127);
    bridge->SendMidiMsg(messageKind.load(std::memory_order_relaxed) ? 1 : 0,
                        channel.load(std::memory_order_relaxed),
                        messageNumber.load(std::memory_order_relaxed), controlValue);
}

void curveEfektor::on_speedDial_valueChanged(int index) {
    index = std::clamp(index, 0, speedCount - 1);
    const SpeedRow& row = speedTable[index];
    speedIndex = index;
    offset = 0.0;
    ui->speedLabel->setText(QString::fromLatin1(row.label));
    if (bridge) {
        disconnect(bridge, &QLumacore::tatumFullPhase, this, &curveEfektor::PhaseChanged);
        disconnect(bridge, &QLumacore::beatFullPhase, this, &curveEfektor::PhaseChanged);
        disconnect(bridge, &QLumacore::barFullPhase, this, &curveEfektor::PhaseChanged);
    }
    registerPhase(row.level);
    if (bridge) {
        if (row.level == METERLEVEL_TATUM)
            connect(bridge, &QLumacore::tatumFullPhase, this, &curveEfektor::PhaseChanged);
        else if (row.level == METERLEVEL_BEAT)
            connect(bridge, &QLumacore::beatFullPhase, this, &curveEfektor::PhaseChanged);
        else
            connect(bridge, &QLumacore::barFullPhase, this, &curveEfektor::PhaseChanged);
    }
    curve()->SetSectionAmount(row.sections);
}

void curveEfektor::on_triggerBox_currentIndexChanged(int index) {
    index = std::clamp(index, 0, triggerRowCount - 1);
    if (bridge) {
        disconnect(bridge, &QLumacore::beat, this, &curveEfektor::TriggerIncrease);
        disconnect(bridge, &QLumacore::bar, this, &curveEfektor::TriggerIncrease);
        if (triggerTable[index].beats)
            connect(bridge, &QLumacore::beat, this, &curveEfektor::TriggerIncrease);
        else
            connect(bridge, &QLumacore::bar, this, &curveEfektor::TriggerIncrease);
    }
    triggerTicks = 0;
    triggerIndex = index;
}

void curveEfektor::on_chanBox_valueChanged(int value) {
    channel = std::clamp(value - 1, 0, 15);
}

void curveEfektor::on_ctrlBox_valueChanged(int value) {
    messageNumber = clampMessageNumber(value);
}

void curveEfektor::TriggerIncrease(bool) {
    const int restartCount = triggerTable[std::clamp(triggerIndex, 0, triggerRowCount - 1)].restartCount;
    if (restartCount == 0)
        return;
    if (++triggerTicks >= restartCount) {
        restartPhase = lastPhase.load();
        triggerTicks = 0;
        offset = 0.0;
    }
}

void curveEfektor::PhaseChanged(double) {
    if (enabled.load())
        curve()->update();
}

void curveEfektor::on_enabledCheckBox_clicked(bool on) {
    offset = currentUnitStart();
    enabled = on;
    ui->enabledCheckBox->setChecked(on);
}

void curveEfektor::SaveData(QTextStream* save_stream) {
    if (!save_stream)
        return;
    QTextStream& out = *save_stream;
    out << titleToken(windowTitle()) << "\n";
    out << storedEnabled() << "\n";
    out << messageNumber.load() << "\n";
    out << channel.load() << "\n";
    out << loopPosition.load() << "\n";
    out << (messageKind.load() ? 1 : 0) << "\n";
    out << speedIndex.load() << "\n";
    out << triggerIndex << "\n";
    out << x() << "\n";
    out << y() << "\n";
    curve()->SaveNodes(save_stream);
}

void curveEfektor::keyPressEvent(QKeyEvent* event) {
    curve()->keyTyped(event->key());
    Efektor::keyPressEvent(event);
}

void curveEfektor::resizeEvent(QResizeEvent* event) {
    Efektor::resizeEvent(event);
    // The first resize (when the window is first shown) has no previous size to grow from.
    if (!event->oldSize().isValid())
        return;
    const int grow = event->size().height() - event->oldSize().height();
    ui->enabledCheckBox->move(ui->enabledCheckBox->x(), ui->enabledCheckBox->y() + grow);
    curve()->resize(std::max(width() - 10, 1), std::max(curve()->height() + grow, 1));
}
