// Builds the main window and every dialog of Beatlume the way the program shows them and
// writes a PNG picture of each into a folder:  beatlume-screenshots <folder>
// Uses the audio and MIDI devices present (start a JACK server first for real device
// lists); without an engine the windows are shown empty. Stored settings are not touched.

#include "AboutDialog.h"
#include "AdvancedSettings.h"
#include "AudioErrorDialog.h"
#include "MainWindow.h"
#include "MidiErrorDialog.h"
#include "MidiMapping.h"
#include "NomusicDialog.h"
#include "QLumacore.h"
#include "Resources.h"
#include "SettingsDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QSettings>
#include <QSlider>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

namespace {

bool save(QWidget& widget, const QDir& folder, const QString& name) {
    widget.show();
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    const QString path = folder.filePath(name + ".png");
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "beatlume-screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: beatlume-screenshots <folder>\n");
        return 2;
    }
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());

    QApplication app(argc, argv);
    beatlumeInitResources();
    beatlumeInstallStyleSheet(app);
    QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.mkpath(".")) {
        std::fprintf(stderr, "beatlume-screenshots: cannot create %s\n", argv[1]);
        return 1;
    }

    auto* bridge = new QLumacore;
    if (!bridge->init())
        std::fprintf(stderr, "beatlume-screenshots: no engine; windows are shown without devices\n");

    bool ok = true;
    {
        MainWindow window(bridge);
        window.findChild<QCheckBox*>("midiClockEnable")->setChecked(true);
        window.findChild<QCheckBox*>("nonMusicCheck")->click();
        // A moment just after a beat that is also a bar, with a lively input level.
        bridge->stopProcessing();
        for (int i = 0; i < 3; ++i) {
            QLumacore::Readings r;
            r.bar = 3.01 + i * 0.25;
            r.beat = 12.04;
            r.tatum = 49.3;
            r.level = -9.4;
            r.nonBeatyness = -9.4;
            bridge->publish(r);
        }
        ok &= save(window, folder, "main-window");

        SettingsDialog settings(bridge, &window);
        ok &= save(settings, folder, "io-settings");
        settings.findChild<QSlider*>("latencySlider")->setValue(8);
        AdvancedSettings* channels = settings.channelDialog();
        ok &= save(*channels, folder, "channels");

        MidiMapping mapping(bridge, &window);
        ok &= save(mapping, folder, "midi-mapping");

        NomusicDialog* silence = window.silenceDialog();
        silence->showLevel(-21);
        ok &= save(*silence, folder, "silence");

        AboutDialog about(&window);
        ok &= save(about, folder, "about");
    }
    MidiErrorDialog midiError;
    ok &= save(midiError, folder, "midi-error");
    AudioErrorDialog audioError;
    ok &= save(audioError, folder, "audio-error");
    return ok ? 0 : 1;
}
