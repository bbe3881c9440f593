#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QByteArray;
class QTextStream;

// The project file (".bep"): every efektor of the sixteen scenes as plain text.
//
//   Save format version: 1
//   <number of efektors>
//   <selected scene 0 … 15>
//   then per efektor: <type code> <scene 0 … 15> <record body> END_EFEKTOR
//
// The record body is written by the efektor kind itself (SaveData) and read back by its
// loading constructor. This class frames the records and, on reading, checks each one
// before any window is built: it needs Qt's core only, so the reader can be fuzzed alone.
//
// Reading never trusts the file. A record with an unknown type code, a scene outside the
// sixteen, the wrong number of values or text where a number belongs is skipped up to its
// "END_EFEKTOR"; values outside their controls' ranges are brought into range. Every skip and
// every change is described in `problems`, for the user.
//
// The enabled value in a body is the efektor's own setting, also for an efektor that a scene
// change keeps muted; on loading, efektors outside the selected scene stay muted with that
// setting remembered until their scene is selected.
class ProjectFile {
public:
    static constexpr int sceneCount = 16;
    static constexpr int typeCount = 4; // 0 function, 1 step, 2 curve, 3 init
    // Larger files are not project files; the reader refuses them before decoding.
    static constexpr qint64 maxFileBytes = 16 * 1024 * 1024;
    // Every efektor is a window and a phase callback on the timer thread: far more than a show
    // uses (16 scenes of 32), few enough that loading and the timer pass stay quick. Records
    // beyond it are not read.
    static constexpr int maxEfektors = 512;

    static const QString versionLine;
    static const QString endMarker;

    struct Record {
        int type = 0;
        int scene = 0;
        QString title; // as the user sees it ("_" turned back into spaces)
        // The body with every value checked, one token per line, ready for the kind's loading
        // constructor.
        QString body;
    };

    struct Contents {
        // False when the bytes are no project at all (too long, no header, or a foreign first
        // line and no record): loading them must leave the current project alone.
        bool usable = true;
        QString versionLine;
        int declaredCount = 0;
        int selectedScene = 0;
        QList<Record> records;
        QStringList problems;
    };

    static Contents read(const QByteArray& bytes);

    static void writeHeader(QTextStream& out, int efektorCount, int selectedScene);
    static void writeRecordStart(QTextStream& out, int type, int scene);
    static void writeRecordEnd(QTextStream& out);

    static QString typeName(int type);
};
