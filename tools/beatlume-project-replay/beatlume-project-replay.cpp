// Loads every file of a folder as a Beatlume project, the way the efektor list does, and
// checks the result:  beatlume-project-replay <folder>
//  - the reader keeps its promises on the raw bytes (the fuzz target's check);
//  - every efektor built is inside its controls' ranges;
//  - saving what was loaded and loading that again reports nothing and saves the same bytes.
// Prints one line per file with what the load reported; exits 1 when a check fails. Runs
// without an engine; use QT_QPA_PLATFORM=offscreen where there is no display.

#include "Efektor.h"
#include "EfektorList.h"
#include "PhaseEfektor.h"
#include "ProjectChecks.h"
#include "QLumacore.h"
#include "StepEfektor.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {

QString efektorFault(Efektor* e) {
    if (e->channel < 0 || e->channel > 15)
        return QStringLiteral("channel %1").arg(e->channel.load());
    if (e->messageNumber < 0 || e->messageNumber > 127)
        return QStringLiteral("message number %1").arg(e->messageNumber.load());
    if (auto* f = dynamic_cast<PhaseEfektor*>(e)) {
        if (f->divider < 1)
            return QStringLiteral("divider %1").arg(f->divider.load());
        if (f->min < 0 || f->min > 127 || f->max < 0 || f->max > 127)
            return QStringLiteral("range %1 … %2").arg(f->min.load()).arg(f->max.load());
    }
    if (auto* s = dynamic_cast<StepEfektor*>(e)) {
        if (s->divider < 1)
            return QStringLiteral("divider %1").arg(s->divider.load());
        for (int i = 0; i < s->stepCount; ++i)
            if (s->stepValue(i) < 0 || s->stepValue(i) > 127)
                return QStringLiteral("step value %1").arg(s->stepValue(i));
    }
    return QString();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(ProjectFile::maxFileBytes + 1) : QByteArray();
}

// Empty when the file loads into sane efektors and saves stably.
QString replay(EfektorList& list, const QString& path, const QDir& scratch, int* reported) {
    if (const QString fault = projectReaderFault(readFile(path)); !fault.isEmpty())
        return QStringLiteral("reader: ") + fault;
    QStringList report;
    QString error;
    if (!list.loadProjectFrom(path, &report, &error))
        return QStringLiteral("cannot read: ") + error;
    *reported = static_cast<int>(report.size());
    for (int s = 0; s < EfektorList::sceneCount; ++s)
        for (Efektor* e : list.scene(s))
            if (const QString fault = efektorFault(e); !fault.isEmpty())
                return QStringLiteral("scene %1, \"%2\": %3").arg(s + 1).arg(e->windowTitle(), fault);

    const QString first = scratch.filePath("first.bep");
    const QString second = scratch.filePath("second.bep");
    if (!list.saveProjectTo(first, &error))
        return QStringLiteral("cannot save: ") + error;
    if (!list.loadProjectFrom(first, &report, &error))
        return QStringLiteral("cannot read what was saved: ") + error;
    if (!report.isEmpty())
        return QStringLiteral("what was saved loads with a report: ") + report.first();
    if (!list.saveProjectTo(second, &error))
        return QStringLiteral("cannot save again: ") + error;
    if (readFile(first) != readFile(second))
        return QStringLiteral("saving what was loaded from a saved file changes it");
    return QString();
}

} // namespace

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
        const QString fault = replay(list, folder.filePath(name), QDir(scratch.path()), &reported);
        if (fault.isEmpty()) {
            std::fprintf(stderr, "ok    %s (%d problems reported)\n", qPrintable(name), reported);
        } else {
            std::fprintf(stderr, "FAIL  %s: %s\n", qPrintable(name), qPrintable(fault));
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
