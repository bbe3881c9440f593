#include "AudioInterface.h"
#include "EngineLog.h"
#include "Headless.h"
#include "HeadlessOptions.h"
#include "MainWindow.h"
#include "QLumacore.h"
#include "Resources.h"

#include <QApplication>
#include <QStatusBar>
#include <QTimer>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char* argv[]) {
    // A client of an audio server that has gone away gets a broken pipe at its next request: an
    // error to handle, not a reason to end.
    std::signal(SIGPIPE, SIG_IGN);
    // Everything that must work without a display is decided before Qt looks for one.
    const HeadlessOptions options = parseCommandLine(argc, argv);
    switch (options.action) {
    case HeadlessOptions::Action::Help:
        std::fputs(usageText(argv[0]).c_str(), stdout);
        return 0;
    case HeadlessOptions::Action::Version:
        std::printf("beatlume %s\n", BEATLUME_VERSION);
        return 0;
    case HeadlessOptions::Action::Error:
        std::fprintf(stderr, "beatlume: %s (see --help)\n", options.error.c_str());
        return 2;
    case HeadlessOptions::Action::List:
        return listDevices();
    case HeadlessOptions::Action::Headless:
        return runHeadless(options);
    case HeadlessOptions::Action::Window:
        break;
    }

    QApplication app(argc, argv);
    beatlumeInitResources();
    beatlumeInstallStyleSheet(app);
    // Engine and audio messages go to the log file; problems also to the window's status bar.
    EngineLog log(EngineLog::defaultPath());
    log.install();

    // Without a MIDI port or an input the window opens all the same: its status line says
    // what is missing, and the engine starts once a port appears.
    auto* bridge = new QLumacore;
    bridge->init();
    MainWindow window(bridge);
    window.show();
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (AudioInterface* audio = bridge->audioInterface())
            audio->checkHealth();
        if (log.drain())
            window.statusBar()->showMessage(QString::fromStdString(log.lastProblem()), 10000);
    });
    watch.start(250);
    // Closing a stream whose device or audio server went away can wait for ever inside the audio
    // library: once the window has gone, the program ends within two seconds whatever it waits for.
    QObject::connect(&app, &QApplication::aboutToQuit, [] {
        std::thread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1800));
            std::fputs("beatlume: a device did not close in time; leaving anyway\n", stderr);
            std::_Exit(0);
        }).detach();
    });
    return app.exec();
}
