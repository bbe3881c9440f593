#include "NetworkControls.h"

#include "QLumacore.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QSpinBox>
#include <QTimer>

namespace {

// The settings store the main window uses.
constexpr const char* kOrganisation = "Kalvora";
constexpr const char* kApplication = "Beatlume";

} // namespace

void applyNetworkSettings(LumaCore_t* engine) {
    if (!engine)
        return;
    QSettings settings(kOrganisation, kApplication);
    lc_set_midi_latency(engine, settings.value("Beatlume/MidiLatencyMs", 0).toInt() / 1000.0);
    lc_set_link_latency_offset(engine, settings.value("Beatlume/LinkLatencyMs", 0).toInt() / 1000.0);
    lc_set_osc_latency_offset(engine, settings.value("Beatlume/OscLatencyMs", 0).toInt() / 1000.0);
    lc_set_osc_phase_rate(engine, settings.value("Beatlume/OscPhaseRate", 30).toInt());
    lc_set_osc_bundles(engine, settings.value("Beatlume/OscBundles", true).toBool() ? 1 : 0);
    const QByteArray host = settings.value("Beatlume/OscHost", "127.0.0.1").toString().toUtf8();
    const bool usable = lc_set_osc_destination(engine, host.constData(), settings.value("Beatlume/OscPort", 9000).toInt()) == 0;
    lc_enable_osc(engine, usable && settings.value("Beatlume/OscEnabled", false).toBool() ? 1 : 0);
}

LinkCheckBox::LinkCheckBox(QLumacore* bridgeObject, QWidget* parent)
    : QCheckBox("Link", parent), bridge(bridgeObject), timer(new QTimer(this)) {
    setToolTip("Join the Ableton Link session on the network: tempo and bar phase follow the music");
    setChecked(QSettings(kOrganisation, kApplication).value("Beatlume/LinkEnabled", false).toBool());
    connect(this, &QCheckBox::toggled, this, &LinkCheckBox::switchLink);
    connect(timer, &QTimer::timeout, this, &LinkCheckBox::refresh);
    timer->start(500);
    refresh();
}

void LinkCheckBox::refresh() {
    LumaCore_t* engine = bridge->engineHandle();
    if (engine != appliedTo) {
        appliedTo = engine;
        applyNetworkSettings(engine);
        if (engine)
            lc_enable_link(engine, isChecked() ? 1 : 0);
    }
    setText(isChecked() && engine ? QString("Link: %1 peers").arg(lc_get_link_peers(engine)) : QString("Link"));
}

void LinkCheckBox::switchLink(bool on) {
    QSettings(kOrganisation, kApplication).setValue("Beatlume/LinkEnabled", on);
    if (LumaCore_t* engine = bridge->engineHandle())
        lc_enable_link(engine, on ? 1 : 0);
    refresh();
}

NetworkSettingsBox::NetworkSettingsBox(QLumacore* bridgeObject, QWidget* parent)
    : QGroupBox("OSC and Link", parent), bridge(bridgeObject), oscEnable(new QCheckBox("Send OSC to", this)),
      oscHost(new QLineEdit(this)), oscPort(new QSpinBox(this)), oscBare(new QCheckBox("Without bundles", this)),
      oscRate(new QSpinBox(this)), oscOffset(new QSpinBox(this)), linkOffset(new QSpinBox(this)),
      midiOffset(new QSpinBox(this)) {
    const QSettings settings(kOrganisation, kApplication);
    oscEnable->setObjectName("oscEnable");
    oscHost->setObjectName("oscHost");
    oscPort->setObjectName("oscPort");
    oscBare->setObjectName("oscBare");
    oscOffset->setObjectName("oscOffset");
    linkOffset->setObjectName("linkOffset");
    midiOffset->setObjectName("midiOffset");
    oscEnable->setChecked(settings.value("Beatlume/OscEnabled", false).toBool());
    oscHost->setText(settings.value("Beatlume/OscHost", "127.0.0.1").toString());
    oscPort->setRange(1, 65535);
    oscPort->setValue(settings.value("Beatlume/OscPort", 9000).toInt());
    oscBare->setChecked(!settings.value("Beatlume/OscBundles", true).toBool());
    oscBare->setToolTip("For receivers that cannot read OSC bundles: bare messages, sent when due");
    oscRate->setRange(1, 200);
    oscRate->setSuffix(" /s");
    oscRate->setValue(settings.value("Beatlume/OscPhaseRate", 30).toInt());
    for (QSpinBox* offset : {oscOffset, linkOffset, midiOffset}) {
        offset->setRange(-500, 500);
        offset->setSuffix(" ms");
        offset->setToolTip("How far this output runs ahead of the others, for gear that responds late");
    }
    oscOffset->setValue(settings.value("Beatlume/OscLatencyMs", 0).toInt());
    linkOffset->setValue(settings.value("Beatlume/LinkLatencyMs", 0).toInt());
    midiOffset->setValue(settings.value("Beatlume/MidiLatencyMs", 0).toInt());

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(2);
    grid->addWidget(oscEnable, 0, 0);
    grid->addWidget(oscHost, 0, 1);
    grid->addWidget(oscPort, 0, 2);
    grid->addWidget(oscBare, 1, 0);
    grid->addWidget(new QLabel("Phase", this), 1, 1, Qt::AlignRight);
    grid->addWidget(oscRate, 1, 2);
    grid->addWidget(new QLabel("Offset: OSC", this), 2, 0, Qt::AlignRight);
    grid->addWidget(oscOffset, 2, 1);
    grid->addWidget(new QLabel("Link", this), 3, 0, Qt::AlignRight);
    grid->addWidget(linkOffset, 3, 1);
    grid->addWidget(new QLabel("MIDI", this), 4, 0, Qt::AlignRight);
    grid->addWidget(midiOffset, 4, 1);

    for (QCheckBox* box : {oscEnable, oscBare})
        connect(box, &QCheckBox::toggled, this, &NetworkSettingsBox::store);
    for (QSpinBox* box : {oscPort, oscRate, oscOffset, linkOffset, midiOffset})
        connect(box, &QSpinBox::valueChanged, this, &NetworkSettingsBox::store);
    connect(oscHost, &QLineEdit::editingFinished, this, &NetworkSettingsBox::store);
}

void NetworkSettingsBox::store() {
    QSettings settings(kOrganisation, kApplication);
    settings.setValue("Beatlume/OscEnabled", oscEnable->isChecked());
    settings.setValue("Beatlume/OscHost", oscHost->text().trimmed());
    settings.setValue("Beatlume/OscPort", oscPort->value());
    settings.setValue("Beatlume/OscBundles", !oscBare->isChecked());
    settings.setValue("Beatlume/OscPhaseRate", oscRate->value());
    settings.setValue("Beatlume/OscLatencyMs", oscOffset->value());
    settings.setValue("Beatlume/LinkLatencyMs", linkOffset->value());
    settings.setValue("Beatlume/MidiLatencyMs", midiOffset->value());
    settings.sync();
    applyNetworkSettings(bridge->engineHandle());
}
