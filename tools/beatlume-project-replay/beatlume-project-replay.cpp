// Loads every file of a folder as a Beatlume project, the way the efektor list does, and
// checks the result:  beatlume-project-replay <folder>
//  - the reader keeps its promises on the raw bytes (the fuzz target's check);
//  - every efektor built is inside its controls' ranges;
//  - saving what was loaded and loading that again reports nothing and saves the same bytes.
// Prints one line per file with what the load reported; exits 1 when a check fails. Runs
// without an engine; use QT_QPA_PLATFORM=offscreen where there is no display.

#include "ProjectReplay.h"
#include "QLumacore.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: beatlume-project-replay <folder>\n");
        return 2;
    }
    QApplication app(argc, argv);
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    const QStringList names = folder.entryList(QDir::Files, QDir::Name);
    if (!folder.exists() || names.isEmpty()) {
        std::fprintf(stderr, "beatlume-project-replay: no files in %s\n", argv[1]);
        return 2;
    }
    QTemporaryDir scratch;
    QLumacore bridge; // no engine: efektors are built, nothing is sent

    // The window the list belongs to: the two outputs that a solo switches.
    QWidget mainWindow;
    auto* notes = new QCheckBox(&mainWindow);
    notes->setObjectName("midiNoteEnable");
    mainWindow.setProperty("sendPhase", true);

    int failures = 0;
    for (const QString& name : names) {
        EfektorList list(&bridge, &mainWindow, nullptr);
        int reported = 0;
        const QString fault =
            projectReplay::replay(list, folder.filePath(name), QDir(scratch.path()), &reported);
        if (fault.isEmpty()) {
            std::fprintf(stderr, "ok    %s (%d problems reported)\n", qPrintable(name), reported);
        } else {
            std::fprintf(stderr, "FAIL  %s: %s\n", qPrintable(name), qPrintable(fault));
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
