#include "StepEfektor.h"

#include "QLumacore.h"
#include "ValueGraph.h"
#include "ui_StepEfektor.h"

#include <QTextStream>

#include <algorithm>
#include <climits>
#include <cmath>

void StepEfektor::buildForm(int number) {
    ui->setupUi(this);
    ui->valueGraph->setStepEfektor(this);
    connect(ui->stepsDial, &QDial::valueChanged, ui->numberOfSteps, qOverload<int>(&QLabel::setNum));
    connect(ui->dividerDial, &QDial::valueChanged, ui->dividerValue, qOverload<int>(&QLabel::setNum));
    messageNumber = std::clamp(number, 0, 127);
    ui->spinBox_2->setValue(messageNumber);
}

StepEfektor::StepEfektor(QLumacore* lumacore, int number, QWidget* parent, QTextStream* load_stream)
    : Efektor(parent, StepType, lumacore), ui(new Ui::StepEfektor) {
    buildForm(number);
    if (load_stream) {
        const QString title = readTitle(load_stream, QStringLiteral("Step Efektor"));
        const bool storedEnabled = readBool(load_stream, "enabled");
        const int storedNumber = readInt(load_stream, 0, 127, messageNumber, "message number");
        // A count beyond the dial's range is broken; only the steps the dial can hold are read.
        const int storedCount = readInt(load_stream, 1, maxSteps, 1, "step count");
        int storedValues[maxSteps] = {};
        for (int i = 0; i < storedCount; ++i)
            storedValues[i] = readInt(load_stream, 0, 127, 0, "step value");
        readInt(load_stream, INT_MIN, INT_MAX, 0, "current step"); // every load starts at step 0
        const int storedChannel = readInt(load_stream, 0, 15, 0, "channel");
        const int storedLevel = readInt(load_stream, 0, 2, METERLEVEL_BAR, "level");
        const int rememberedX = readInt(load_stream, -100000, 100000, 0, "reserved value");
        const int rememberedY = readInt(load_stream, -100000, 100000, 0, "reserved value");
        const int storedDivider = readInt(load_stream, 1, 16, 1, "divider");
        const bool storedKind = readBool(load_stream, "message kind");
        const int x = readInt(load_stream, -100000, 100000, 0, "window x");
        const int y = readInt(load_stream, -100000, 100000, 0, "window y");

        on_enabledCheckBox_clicked(storedEnabled);
        ui->spinBox_2->setValue(storedNumber);
        setStepCount(storedCount); // zeroes the new steps, so the values come after
        for (int i = 0; i < storedCount; ++i)
            values[i] = storedValues[i];
        ui->valueGraph->ChangeStepAmount(storedCount);
        ui->spinBox->setValue(storedChannel + 1);
        level = storedLevel;
        rememberedPosition = QPoint(rememberedX, rememberedY);
        ui->dividerDial->setValue(storedDivider);
        ui->noteButton->setChecked(storedKind);
        on_noteButton_clicked(storedKind);
        move(x, y);
        setWindowTitle(title);
    }
    currentStep = 0;
    followLevel(static_cast<MeterLevelID>(level.load()));
}

StepEfektor::StepEfektor(QLumacore* lumacore, QWidget* parent, StepEfektor* copy)
    : Efektor(parent, StepType, lumacore), ui(new Ui::StepEfektor) {
    buildForm(copy->messageNumber);
    on_enabledCheckBox_clicked(copy->enabled);
    const int n = copy->stepCount;
    setStepCount(n); // zeroes the new steps, so the values come after
    for (int i = 0; i < n; ++i)
        values[i] = copy->stepValue(i);
    ui->valueGraph->ChangeStepAmount(n);
    ui->spinBox->setValue(copy->channel + 1);
    level = copy->level.load();
    ui->dividerDial->setValue(copy->divider);
    ui->noteButton->setChecked(copy->messageKind);
    on_noteButton_clicked(copy->messageKind);
    setWindowTitle(copy->windowTitle());
    currentStep = 0;
    followLevel(static_cast<MeterLevelID>(level.load()));
}

StepEfektor::~StepEfektor() {
    // Before anything goes: the timer thread must not call into a half-destroyed efektor.
    unregisterPhase();
    delete ui;
}

int StepEfektor::stepValue(int step) const {
    return step >= 0 && step < maxSteps ? values[step].load() : 0;
}

void StepEfektor::setStepValue(int step, int value) {
    if (step < 0 || step >= maxSteps)
        return;
    value = std::clamp(value, 0, 127);
    values[step] = value;
    ValueGraph* graph = ui->valueGraph;
    if (step < graph->values.size() && graph->values[step] != value) {
        graph->values[step] = value;
        graph->update();
    }
}

QList<int> StepEfektor::stepValues() const {
    QList<int> list;
    for (int i = 0; i < stepCount; ++i)
        list.append(values[i].load());
    return list;
}

void StepEfektor::setStepCount(int n) {
    ui->stepsDial->setValue(std::clamp(n, 1, maxSteps)); // the dial's handler does the work
}

void StepEfektor::on_stepsDial_valueChanged(int n) {
    n = std::clamp(n, 1, maxSteps);
    const int old = stepCount;
    if (n > old) {
        // New steps start at 0 and are zeroed before the timer thread can see them.
        for (int i = old; i < n; ++i)
            values[i] = 0;
        stepCount = n;
    } else {
        stepCount = n;
        // Dropped steps; a reader still on one of them reads a valid slot.
        for (int i = n; i < old; ++i)
            values[i] = 0;
    }
    ui->valueGraph->ChangeStepAmount(n);
}

void StepEfektor::Update(double phase) {
    if (!std::isfinite(phase) || phase < 0.0 || phase > 1e9)
        return;
    const int unit = static_cast<int>(phase);
    if (lastUnit > unit)
        lastUnit = unit; // the phase went back: wait for the next unit
    else if (lastUnit < unit)
        ++deliveryCount;
    if (!enabled.load(std::memory_order_relaxed))
        return;
    if (deliveryCount < divider.load(std::memory_order_relaxed))
        return;
    // A count lowered to or below the current step wraps it to 0 here.
    int next = currentStep.load(std::memory_order_relaxed) + 1;
    if (next >= stepCount.load(std::memory_order_relaxed))
        next = 0;
    currentStep.store(next, std::memory_order_relaxed);
    deliveryCount = 0;
    lastUnit = unit;
}

void StepEfektor::SendMsgs() {
    const int step = currentStep.load(std::memory_order_relaxed);
    if (step != lastSentStep && enabled.load(std::memory_order_relaxed) && bridge) {
        const int value = values[std::clamp(step, 0, maxSteps - 1)].load(std::memory_order_relaxed);
        bridge->SendMidiMsg(messageKind.load(std::memory_order_relaxed) ? 1 : 0,
                            channel.load(std::memory_order_relaxed),
                            messageNumber.load(std::memory_order_relaxed), value);
    }
    lastSentStep = step;
}

void StepEfektor::on_enabledCheckBox_clicked(bool on) {
    enabled = on;
    ui->enabledCheckBox->setChecked(on);
}

void StepEfektor::SaveData(QTextStream* save_stream) {
    if (!save_stream)
        return;
    QTextStream& out = *save_stream;
    const int n = stepCount;
    out << titleToken(windowTitle()) << "\n" << storedEnabled() << "\n" << messageNumber << "\n" << n << "\n";
    for (int i = 0; i < n; ++i)
        out << values[i].load() << "\n";
    out << currentStep << "\n"
        << channel << "\n"
        << level << "\n"
        << rememberedPosition.x() << "\n"
        << rememberedPosition.y() << "\n"
        << divider << "\n"
        << int(messageKind) << "\n"
        << pos().x() << "\n"
        << pos().y() << "\n";
}

void StepEfektor::PhaseChanged(double phase) {
    Q_UNUSED(phase)
    if (!enabled)
        return;
    ui->valueGraph->highlighted = std::clamp(currentStep.load(), 0, stepCount - 1);
    ui->valueGraph->update();
}

// Registration, display signal and radio buttons all follow the level.
void StepEfektor::followLevel(MeterLevelID newLevel) {
    level = newLevel;
    registerPhase(newLevel);
    if (bridge) {
        disconnect(bridge, nullptr, this, nullptr); // the phase display is its only link to the bridge
        switch (newLevel) {
        case METERLEVEL_BEAT:
            connect(bridge, &QLumacore::beatPhase, this, &StepEfektor::PhaseChanged);
            break;
        case METERLEVEL_TATUM:
            connect(bridge, &QLumacore::tatumPhase, this, &StepEfektor::PhaseChanged);
            break;
        default:
            connect(bridge, &QLumacore::barPhase, this, &StepEfektor::PhaseChanged);
            break;
        }
    }
    ui->barRadio->setChecked(newLevel == METERLEVEL_BAR);
    ui->beatRadio->setChecked(newLevel == METERLEVEL_BEAT);
    ui->tatumRadio->setChecked(newLevel == METERLEVEL_TATUM);
    ui->valueGraph->update();
}

void StepEfektor::setLevel(MeterLevelID newLevel) {
    followLevel(newLevel);
}

void StepEfektor::on_barRadio_clicked(bool) {
    followLevel(METERLEVEL_BAR);
}

void StepEfektor::on_beatRadio_clicked(bool) {
    followLevel(METERLEVEL_BEAT);
}

void StepEfektor::on_tatumRadio_clicked(bool) {
    followLevel(METERLEVEL_TATUM);
}

void StepEfektor::on_spinBox_valueChanged(int shownChannel) {
    channel = shownChannel - 1;
}

void StepEfektor::on_spinBox_2_valueChanged(int number) {
    messageNumber = number;
}

void StepEfektor::on_dividerDial_valueChanged(int value) {
    divider = std::clamp(value, 1, 16);
}

void StepEfektor::on_noteButton_clicked(bool checked) {
    messageKind = checked;
    ui->noteButton->setText(checked ? QStringLiteral("Ctrl") : QStringLiteral("Note"));
}
