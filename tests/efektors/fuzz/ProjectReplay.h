// Loads one project file the way the efektor list does and checks the result: the reader's
// promises on the raw bytes, every efektor inside its controls' ranges, and a save of what was
// loaded that loads again without a report and saves to the same bytes. Shared by the replay
// program and the corpus test.
#pragma once

#include "Efektor.h"
#include "EfektorList.h"
#include "PhaseEfektor.h"
#include "ProjectChecks.h"
#include "StepEfektor.h"
#include "curveEfektor.h"

#include <QDir>
#include <QFile>

namespace projectReplay {

inline QString efektorFault(Efektor* e) {
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
    if (auto* c = dynamic_cast<curveEfektor*>(e)) {
        if (c->speed() < 0 || c->speed() >= curveEfektor::speedCount)
            return QStringLiteral("speed %1").arg(c->speed());
        if (c->triggerMode() < 0 || c->triggerMode() >= curveEfektor::triggerRowCount)
            return QStringLiteral("trigger %1").arg(c->triggerMode());
        if (c->curve()->nodes().size() < 2)
            return QStringLiteral("a curve of %1 nodes").arg(c->curve()->nodes().size());
        for (const BrazierCurve::Node& n : c->curve()->nodes())
            if (!(n.X >= 0 && n.X <= 1000 && n.Y >= 0 && n.Y <= 1000))
                return QStringLiteral("curve node at %1, %2").arg(n.X).arg(n.Y);
    }
    return QString();
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(ProjectFile::maxFileBytes + 1) : QByteArray();
}

// Empty when the file loads into sane efektors and saves stably.
inline QString replay(EfektorList& list, const QString& path, const QDir& scratch, int* reported) {
    if (const QString fault = projectReaderFault(readFile(path)); !fault.isEmpty())
        return QStringLiteral("reader: ") + fault;
    QStringList report;
    QString error;
    if (!list.loadProjectFrom(path, &report, &error)) {
        // Bytes that are no project are refused with a reason, the list left as it was.
        if (!ProjectFile::read(readFile(path)).usable && !error.isEmpty())
            return QString();
        return QStringLiteral("cannot read: ") + error;
    }
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

} // namespace projectReplay
