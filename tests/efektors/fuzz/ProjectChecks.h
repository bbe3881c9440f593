// What the project reader promises about anything it returns, checked on a byte string: the
// fuzz target and the corpus replay share it.
#pragma once

#include "ProjectFile.h"

#include <QByteArray>
#include <QString>
#include <QTextStream>

// A file written from what was read: the same framing the efektor list writes around the
// bodies.
inline QByteArray projectWrittenFrom(const ProjectFile::Contents& contents) {
    QByteArray bytes;
    QTextStream out(&bytes);
    ProjectFile::writeHeader(out, static_cast<int>(contents.records.size()), contents.selectedScene);
    for (const ProjectFile::Record& record : contents.records) {
        ProjectFile::writeRecordStart(out, record.type, record.scene);
        out << record.body;
        ProjectFile::writeRecordEnd(out);
    }
    out.flush();
    return bytes;
}

// Empty when the reader kept its promises for `bytes`, else what it broke: every record of a
// known kind in one of the sixteen scenes, and every body already in range, so that writing
// what was read and reading it again finds nothing to report and changes nothing.
inline QString projectReaderFault(const QByteArray& bytes) {
    const ProjectFile::Contents contents = ProjectFile::read(bytes);
    if (contents.selectedScene < 0 || contents.selectedScene >= ProjectFile::sceneCount)
        return QStringLiteral("selected scene %1").arg(contents.selectedScene);
    for (const ProjectFile::Record& record : contents.records) {
        if (record.type < 0 || record.type >= ProjectFile::typeCount)
            return QStringLiteral("type %1").arg(record.type);
        if (record.scene < 0 || record.scene >= ProjectFile::sceneCount)
            return QStringLiteral("scene %1").arg(record.scene);
        if (record.body.isEmpty() || !record.body.endsWith(QLatin1Char('\n')))
            return QStringLiteral("body without its last line");
    }
    const ProjectFile::Contents again = ProjectFile::read(projectWrittenFrom(contents));
    if (!again.problems.isEmpty())
        return QStringLiteral("what was read reads back with a report: ") + again.problems.first();
    if (again.selectedScene != contents.selectedScene || again.records.size() != contents.records.size())
        return QStringLiteral("what was read reads back different");
    for (qsizetype i = 0; i < contents.records.size(); ++i) {
        const ProjectFile::Record& a = contents.records.at(i);
        const ProjectFile::Record& b = again.records.at(i);
        if (a.type != b.type || a.scene != b.scene || a.body != b.body)
            return QStringLiteral("record %1 reads back different").arg(i + 1);
    }
    return QString();
}
