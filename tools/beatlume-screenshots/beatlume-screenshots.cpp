// Builds the main window, every dialog, the efektor list and one efektor window of each kind
// the way the program shows them and writes a PNG picture of each into a folder:
//   beatlume-screenshots <folder>
// Uses the audio and MIDI devices present (start a JACK server first for real device
// lists); without an engine the windows are shown empty. Stored settings are not touched.

#include "AboutDialog.h"
#include "AdvancedSettings.h"
#include "Efektor.h"
#include "EfektorList.h"
#include "MainWindow.h"
#include "MidiMapping.h"
#include "NomusicDialog.h"
#include "QLumacore.h"
#include "Resources.h"
#include "SettingsDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QListWidget>
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

// A small live set in scene 1, loaded the way a user's project is; a muted copy waits in scene 2.
const char* const demoProject =
    "Save format version: 1\n5\n0\n"
    "0\n0\nFilter_Sweep\n1\n20\n110\n3\n2\n74\n0\n0\n0\n0\n0\n0\n0\n"
    "END_EFEKTOR\n"
    "1\n0\nBass_Steps\n1\n36\n8\n100\n0\n64\n0\n100\n30\n80\n127\n0\n1\n2\n0\n0\n1\n"
    "0\n0\n0\nEND_EFEKTOR\n"
    "2\n0\nWah_Curve\n1\n11\n0\n0\n1\n5\n0\n0\n0\n5\n0\n150\n1\n120\n30\n1\n260\n"
    "170\n0\n400\n60\n1\n530\n120\n1\nEND_EFEKTOR\n"
    "3\n0\nSynth_Setup\n1\n1\n0\n7\n96\n0\n0\nEND_EFEKTOR\n"
    "0\n1\nFilter_Sweep\n1\n20\n110\n3\n2\n74\n0\n0\n0\n0\n0\n0\n0\n"
    "END_EFEKTOR\n";

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
            r.bpm = 127.98;
            r.beatsPerBar = 4;
            r.confidence = 0.86;
            r.state = QLumacore::TrackState::Locked;
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

        // The efektor list with one efektor of each kind, the second row soloed.
        auto* efektors = window.findChild<EfektorList*>();
        QTemporaryDir projectDir;
        const QString project = projectDir.filePath("live-set.bep");
        QFile projectFile(project);
        QStringList report;
        if (efektors && projectFile.open(QIODevice::WriteOnly) && projectFile.write(demoProject) > 0) {
            projectFile.close();
            efektors->loadProjectFrom(project, &report);
            for (const QString& problem : report)
                std::fprintf(stderr, "beatlume-screenshots: demo project: %s\n", qPrintable(problem));
            efektors->findChild<QListWidget*>("efektorListWidget")->setCurrentRow(1);
            efektors->SetSolo(1);
            ok &= save(*efektors, folder, "efektor-list");
            const char* const names[] = {"function-efektor", "step-efektor", "curve-efektor", "init-efektor"};
            for (Efektor* efektor : efektors->scene(0))
                ok &= save(*efektor, folder, names[efektor->typeCode]);
            efektors->RemoveSolo();
        } else {
            std::fprintf(stderr, "beatlume-screenshots: no efektor list\n");
            ok = false;
        }
        ok &= report.isEmpty();
    }
    // A first start on a machine without a MIDI port: the window says so and offers the settings.
    {
        auto* lonely = new QLumacore;
        lonely->setEngineFactory([](int* status) -> LumaCore_t* {
            *status = 3;
            return nullptr;
        });
        lonely->init();
        MainWindow window(lonely);
        ok &= save(window, folder, "first-start");
    }
    return ok ? 0 : 1;
}
