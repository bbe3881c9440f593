#pragma once

#include <QCheckBox>
#include <QGroupBox>

#include "lumacore.h"

class QLineEdit;
class QLumacore;
class QSpinBox;
class QTimer;

// Ableton Link and OSC as the user sets them up. The choices live in the settings store and are
// applied to whichever engine the bridge has, also to one created later.

// Applies the stored MIDI and Link offsets and every OSC setting to `engine` (null: nothing).
void applyNetworkSettings(LumaCore_t* engine);

// The main window's "Link" box: joins or leaves the Link session, remembers the choice and shows
// the number of other peers while on. Link stays off until the user switches it on.
class LinkCheckBox : public QCheckBox {
    Q_OBJECT

public:
    LinkCheckBox(QLumacore* bridge, QWidget* parent);

    // Applies the stored settings to an engine the box has not seen yet and shows the peers.
    void refresh();

private:
    void switchLink(bool on);

    QLumacore* bridge;
    LumaCore_t* appliedTo = nullptr;
    QTimer* timer;
};

// The settings dialog's OSC destination and options, and the latency offsets of OSC, Link and MIDI.
// A change is stored and takes effect at once.
class NetworkSettingsBox : public QGroupBox {
    Q_OBJECT

public:
    NetworkSettingsBox(QLumacore* bridge, QWidget* parent);

private:
    void store();

    QLumacore* bridge;
    QCheckBox* oscEnable;
    QLineEdit* oscHost;
    QSpinBox* oscPort;
    QCheckBox* oscBare;
    QSpinBox* oscRate;
    QSpinBox* oscOffset;
    QSpinBox* linkOffset;
    QSpinBox* midiOffset;
};
