#include "AudioErrorDialog.h"
#include "MainWindow.h"
#include "MidiErrorDialog.h"
#include "QLumacore.h"
#include "Resources.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    beatlumeInitResources();
    beatlumeInstallStyleSheet(app);

    auto* bridge = new QLumacore;
    if (bridge->init()) {
        MainWindow window(bridge);
        window.show();
        return app.exec();
    }

    // Without an engine there is nothing to show but the reason.
    const bool noMidi = LUMACORE_ERROR_STATUS == 3;
    delete bridge;
    if (noMidi) {
        MidiErrorDialog dialog;
        dialog.exec();
    } else {
        AudioErrorDialog dialog;
        dialog.exec();
    }
    return 1;
}
