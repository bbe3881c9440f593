// Entry point of the tests of the desktop program and the efektors: one QApplication on the
// offscreen platform, the program's resources and style sheet, and private settings and state
// locations so that no test reads or writes the user's stored settings or log.

#include "Resources.h"

#include <QApplication>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Libraries below Qt and PortAudio (fontconfig, ALSA configuration, JACK client) keep
// process-lifetime caches that the leak checker would report.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:libasound\nleak:libjack\nleak:libportaudio\nleak:libdbus\n";
}

int main(int argc, char** argv) {
    QTemporaryDir settingsDir;
    // A screen of the size a laptop on stage has, where the main window, the efektor list and
    // an efektor window fit side by side (the offscreen platform's own is 800 × 600).
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM", "offscreen");
    if (platform == "offscreen") {
        QFile screens(settingsDir.filePath("screens.json"));
        if (screens.open(QIODevice::WriteOnly))
            screens.write(R"({"screens": [{"name": "stage", "x": 0, "y": 0, "width": 1600, "height": 900,)"
                          R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
        screens.close();
        qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + screens.fileName()).toLocal8Bit());
    }
    QStandardPaths::setTestModeEnabled(true);
    // Whatever reads the XDG variables directly (the engine log's default place) stays inside too.
    qputenv("XDG_CONFIG_HOME", settingsDir.path().toLocal8Bit());
    qputenv("XDG_STATE_HOME", settingsDir.path().toLocal8Bit());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());

    QApplication app(argc, argv);
    beatlumeInitResources();
    beatlumeInstallStyleSheet(app);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
