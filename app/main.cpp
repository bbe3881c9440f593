#include "Headless.h"
#include "HeadlessOptions.h"
#include "MainWindow.h"
#include "QLumacore.h"
#include "Resources.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char* argv[]) {
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

    // Without a MIDI port or an input the window opens all the same: its status line says
    // what is missing, and the engine starts once a port appears.
    auto* bridge = new QLumacore;
    bridge->init();
    MainWindow window(bridge);
    window.show();
    return app.exec();
}
