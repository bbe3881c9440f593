#include "PhaseEfektor.h"

#include "QLumacore.h"
#include "ui_PhaseEfektor.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QTextStream>

#include <algorithm>
#include <cmath>

namespace {
// The rectified cosine keeps the value of pi its sound was tuned with.
constexpr double shapePi = 3.141592;
} // namespace

double PhaseEfektor::shape(int form, double x) {
    switch (form) {
    case Saw:
        return 1.0 - x;
    case Square:
        return x < 0.5 ? 0.0 : 1.0;
    case Triangle:
        return x < 0.5 ? 1.0 - 2.0 * x : 2.0 * x - 1.0;
    case Sine:
        return x < 0.5 ? std::sin(shapePi * (x + 0.5)) : std::sin(shapePi * (x - 0.5));
    default:
        return x;
    }
}

void PhaseEfektor::buildForm(int number) {
    ui->setupUi(this);
    ui->meterComboBox->addItem(QStringLiteral("Bar"));
    ui->meterComboBox->addItem(QStringLiteral("Beat"));
    connect(ui->minDial, &QDial::valueChanged, ui->minLabel, qOverload<int>(&QLabel::setNum));
    connect(ui->maxDial, &QDial::valueChanged, ui->maxLabel, qOverload<int>(&QLabel::setNum));
    drawWaveformPictures();
    messageKind = true;
    messageNumber = std::clamp(number, 0, 127);
    ui->controllerBox->setValue(messageNumber);
}

PhaseEfektor::PhaseEfektor(QLumacore* lumacore, int number, QWidget* parent, QTextStream* load_stream)
    : Efektor(parent, FunctionType, lumacore), ui(new Ui::PhaseEfektor) {
    buildForm(number);
    if (load_stream) {
        const QString title = readTitle(load_stream, QStringLiteral("Function Efektor"));
        const bool storedEnabled = readBool(load_stream, "enabled");
        const int storedMin = readInt(load_stream, 0, 127, 0, "min");
        const int storedMax = readInt(load_stream, 0, 127, 127, "max");
        const int storedWaveform = readInt(load_stream, 0, 3, Triangle, "waveform");
        const int storedDivider = readInt(load_stream, 1, 99, 1, "divider");
        const int storedNumber = readInt(load_stream, 0, 127, messageNumber, "controller number");
        const bool storedInvert = readBool(load_stream, "invert");
        const int storedLevel = readInt(load_stream, 0, 1, METERLEVEL_BAR, "level");
        const int storedChannel = readInt(load_stream, 0, 15, 0, "channel");
        const int rememberedX = readInt(load_stream, -100000, 100000, 0, "remembered x");
        const int rememberedY = readInt(load_stream, -100000, 100000, 0, "remembered y");
        const int x = readInt(load_stream, -100000, 100000, 0, "window x");
        const int y = readInt(load_stream, -100000, 100000, 0, "window y");

        on_enabledCheckBox_clicked(storedEnabled);
        ui->minDial->setValue(storedMin);
        ui->maxDial->setValue(storedMax);
        ui->waveformSlider->setValue(storedWaveform);
        ui->timeDividerBox->setValue(storedDivider);
        ui->controllerBox->setValue(storedNumber);
        ui->invertCheckBox->setChecked(storedInvert);
        invert = storedInvert;
        ui->meterComboBox->setCurrentIndex(storedLevel);
        level = storedLevel;
        ui->controllerBox_2->setValue(storedChannel + 1);
        rememberedPosition = QPoint(rememberedX, rememberedY);
        positionRemembered = true;
        move(x, y);
        setWindowTitle(title);
    }
    registerPhase(static_cast<MeterLevelID>(level.load()));
}

PhaseEfektor::PhaseEfektor(QLumacore* lumacore, QWidget* parent, PhaseEfektor* copy)
    : Efektor(parent, FunctionType, lumacore), ui(new Ui::PhaseEfektor) {
    buildForm(copy->messageNumber);
    on_enabledCheckBox_clicked(copy->enabled);
    ui->minDial->setValue(copy->min);
    ui->maxDial->setValue(copy->max);
    ui->waveformSlider->setValue(copy->waveform);
    ui->timeDividerBox->setValue(copy->divider);
    ui->invertCheckBox->setChecked(copy->invert);
    invert = copy->invert.load();
    ui->meterComboBox->setCurrentIndex(copy->level);
    level = copy->level.load();
    ui->controllerBox_2->setValue(copy->channel + 1);
    setWindowTitle(copy->windowTitle());
    registerPhase(static_cast<MeterLevelID>(level.load()));
}

PhaseEfektor::~PhaseEfektor() {
    // Before anything goes: the timer thread must not call into a half-destroyed efektor.
    unregisterPhase();
    delete ui;
}

void PhaseEfektor::Update(double phase) {
    if (!std::isfinite(phase))
        return;
    const double unit = std::trunc(phase);
    const double fraction = phase - unit;
    const double d = divider.load(std::memory_order_relaxed);
    double within = std::fmod(unit, d); // which of the divider's units this is
    if (within < 0.0)
        within += d;
    const double x = (within + 1.0) * fraction / d;
    const double y = shape(waveform.load(std::memory_order_relaxed), x);
    const int lo = min.load(std::memory_order_relaxed);
    const int hi = max.load(std::memory_order_relaxed);
    double v = lo / 127.0 + (hi - lo) / 127.0 * y;
    if (invert.load(std::memory_order_relaxed))
        v = 1.0 - v;
    output.store(v, std::memory_order_relaxed);
}

void PhaseEfektor::SendMsgs() {
    if (!enabled.load(std::memory_order_relaxed) || !bridge)
        return;
    const int value =
        std::clamp(static_cast<int>(std::trunc(output.load(std::memory_order_relaxed) * 127.0)), 0, 127);
    bridge->SendMidiMsg(1, channel.load(std::memory_order_relaxed),
                        messageNumber.load(std::memory_order_relaxed), value);
}

void PhaseEfektor::on_enabledCheckBox_clicked(bool on) {
    enabled = on;
    ui->enabledCheckBox->setChecked(on);
}

void PhaseEfektor::SaveData(QTextStream* save_stream) {
    if (!save_stream)
        return;
    if (isVisible() || !positionRemembered) {
        rememberedPosition = pos();
        positionRemembered = true;
    }
    QTextStream& out = *save_stream;
    out << titleToken(windowTitle()) << "\n"
        << storedEnabled() << "\n"
        << min << "\n"
        << max << "\n"
        << waveform << "\n"
        << divider << "\n"
        << messageNumber << "\n"
        << int(invert) << "\n"
        << level << "\n"
        << channel << "\n"
        << rememberedPosition.x() << "\n"
        << rememberedPosition.y() << "\n"
        << pos().x() << "\n"
        << pos().y() << "\n";
}

void PhaseEfektor::on_minDial_valueChanged(int value) {
    min = value;
}

void PhaseEfektor::on_maxDial_valueChanged(int value) {
    max = value;
}

void PhaseEfektor::on_waveformSlider_valueChanged(int value) {
    waveform = value;
}

void PhaseEfektor::on_controllerBox_valueChanged(int value) {
    messageNumber = value;
}

void PhaseEfektor::on_invertCheckBox_clicked(bool on) {
    invert = on;
}

void PhaseEfektor::on_meterComboBox_activated(int index) {
    if (index < METERLEVEL_BAR || index > METERLEVEL_BEAT)
        return;
    level = index;
    registerPhase(static_cast<MeterLevelID>(index)); // drops the old entry first
}

void PhaseEfektor::on_controllerBox_2_valueChanged(int shownChannel) {
    channel = shownChannel - 1;
}

void PhaseEfektor::on_timeDividerBox_valueChanged(int value) {
    divider = std::max(1, value);
}

// The four shapes drawn from the very function that computes them, top to bottom in the order
// of the slider (saw at the top).
void PhaseEfektor::drawWaveformPictures() {
    const int w = 48, rowHeight = 40, margin = 8;
    QPixmap picture(w, rowHeight * 4);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(160, 170, 220), 1.5));
    for (int form = Saw; form <= Sine; ++form) {
        QPainterPath path;
        const double top = form * rowHeight + margin, height = rowHeight - 2 * margin;
        for (int i = 0; i <= w - 2 * margin; ++i) {
            const double x = double(i) / (w - 2 * margin);
            const QPointF point(margin + i, top + (1.0 - shape(form, x)) * height);
            if (i == 0)
                path.moveTo(point);
            else
                path.lineTo(point);
        }
        painter.drawPath(path);
    }
    painter.end();
    ui->waveformPictures->setPixmap(picture);
    // The slider's four stops beside the four pictures.
    ui->waveformSlider->setFixedHeight(rowHeight * 4 + rowHeight / 2);
}
