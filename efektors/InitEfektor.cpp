#include "InitEfektor.h"

#include "QLumacore.h"
#include "ui_InitEfektor.h"

#include <QTextStream>

#include <algorithm>

void InitEfektor::buildForm(int number) {
    ui->setupUi(this);
    messageNumber = std::clamp(number, 0, 127);
    ui->portSpinBox->setValue(messageNumber);
}

InitEfektor::InitEfektor(QLumacore* lumacore, int number, QWidget* parent, QTextStream* load_stream)
    : Efektor(parent, InitType, lumacore), ui(new Ui::InitEfektor) {
    buildForm(number);
    if (!load_stream)
        return;

    const QString title = readTitle(load_stream, QStringLiteral("Init Efektor"));
    const bool storedEnabled = readBool(load_stream, "enabled");
    const bool storedKind = readBool(load_stream, "message kind");
    const int storedChannel = readInt(load_stream, 0, 15, 0, "channel");
    const int storedNumber = readInt(load_stream, 0, 127, messageNumber, "message number");
    const int storedValue = readInt(load_stream, 0, 127, 0, "value");
    const int x = readInt(load_stream, -100000, 100000, 0, "window x");
    const int y = readInt(load_stream, -100000, 100000, 0, "window y");

    on_enabledCheckBox_clicked(storedEnabled);
    ui->noteButton->setChecked(storedKind);
    on_noteButton_clicked(storedKind);
    ui->chanSpinBox->setValue(storedChannel + 1);
    ui->portSpinBox->setValue(storedNumber);
    ui->valueSpinBox->setValue(storedValue);
    move(x, y);
    setWindowTitle(title);
}

InitEfektor::InitEfektor(QLumacore* lumacore, QWidget* parent, InitEfektor* copy)
    : Efektor(parent, InitType, lumacore), ui(new Ui::InitEfektor) {
    buildForm(copy->messageNumber);
    on_enabledCheckBox_clicked(copy->enabled);
    ui->noteButton->setChecked(copy->messageKind);
    on_noteButton_clicked(copy->messageKind);
    ui->chanSpinBox->setValue(copy->channel + 1);
    ui->valueSpinBox->setValue(copy->value);
    setWindowTitle(copy->windowTitle());
}

InitEfektor::~InitEfektor() {
    delete ui;
}

void InitEfektor::on_enabledCheckBox_clicked(bool on) {
    enabled = on;
    ui->enabledCheckBox->setChecked(on);
}

void InitEfektor::SaveData(QTextStream* save_stream) {
    if (!save_stream)
        return;
    QTextStream& out = *save_stream;
    out << titleToken(windowTitle()) << "\n"
        << storedEnabled() << "\n"
        << int(messageKind) << "\n"
        << channel << "\n"
        << messageNumber << "\n"
        << value << "\n"
        << pos().x() << "\n"
        << pos().y() << "\n";
}

void InitEfektor::SceneChange() {
    if (enabled)
        send();
}

void InitEfektor::send() {
    if (bridge)
        bridge->SendMidiMsg(messageKind ? 1 : 0, channel, messageNumber, value);
}

void InitEfektor::on_noteButton_clicked(bool checked) {
    messageKind = checked;
    ui->noteButton->setText(checked ? QStringLiteral("Ctrl") : QStringLiteral("Note"));
}

void InitEfektor::on_pushButton_clicked() {
    send();
}

void InitEfektor::on_portSpinBox_valueChanged(int number) {
    messageNumber = number;
}

void InitEfektor::on_chanSpinBox_valueChanged(int shownChannel) {
    channel = shownChannel - 1;
}

void InitEfektor::on_valueSpinBox_valueChanged(int newValue) {
    value = newValue;
}
