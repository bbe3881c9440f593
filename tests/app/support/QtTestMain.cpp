// Entry point of the desktop program's tests: one QApplication on the offscreen platform,
// the program's resources and style sheet, and a private settings location so that no test
// reads or writes the user's stored settings.

#include "Resources.h"

#include <QApplication>
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
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());

    QApplication app(argc, argv);
    beatlumeInitResources();
    beatlumeInstallStyleSheet(app);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
