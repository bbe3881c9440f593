#include "ProjectFile.h"

#include <QByteArray>
#include <QTextStream>

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>

const QString ProjectFile::versionLine = QStringLiteral("Save format version: 1");
const QString ProjectFile::endMarker = QStringLiteral("END_EFEKTOR");

namespace {

// The controls' ranges that a loaded efektor must respect.
constexpr int maxNumber = 127;      // note, controller, value
constexpr int maxChannel = 15;      // stored 0-based, shown 1 … 16
constexpr int maxSteps = 48;        // the step efektor's steps dial
constexpr int maxCurveNodes = 2000; // far more than the editor's 9-pixel spacing allows
constexpr int minCurveNodes = 2;    // the editor never has fewer
// Window positions in pixels: generous for any desktop, small enough that no coordinate sum
// overflows.
constexpr int maxPosition = 20000;
// Curve nodes are pixels of the editor at saving time.
constexpr double maxNodePixel = 20000.0;

std::optional<qlonglong> wholeNumber(const QString& token) {
    bool ok = false;
    const qlonglong value = token.toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return value;
}

std::optional<double> realNumber(const QString& token) {
    bool ok = false;
    const double value = token.toDouble(&ok);
    if (!ok)
        return std::nullopt;
    return value;
}

QString shortened(const QString& token) {
    return token.size() > 24 ? token.left(24) + QStringLiteral("…") : token;
}

// Walks one record body field by field, writing the checked value of each to `out` and
// describing every change in `notes`. A field that cannot be read marks the record broken.
class BodyChecker {
public:
    explicit BodyChecker(const QStringList& tokens) : in(tokens) {}

    bool broken = false;
    QString why;
    QStringList out;
    QStringList notes;

    bool atEnd() const { return pos >= in.size(); }
    int remaining() const { return static_cast<int>(in.size()) - pos; }

    void title() {
        if (!take())
            return;
        out << current;
    }

    // Whole number in [lo, hi]; `shownOffset` turns stored numbers into what the controls
    // show (channels are stored 0 … 15 and shown 1 … 16).
    int integer(const char* what, qlonglong lo, qlonglong hi, int shownOffset = 0) {
        if (!take())
            return 0;
        const auto value = wholeNumber(current);
        if (!value) {
            fail(QStringLiteral("%1 \"%2\" is not a whole number")
                     .arg(QLatin1String(what), shortened(current)));
            return 0;
        }
        const qlonglong kept = std::clamp(*value, lo, hi);
        if (kept != *value)
            notes << QStringLiteral("%1 %2 is outside %3 … %4, set to %5")
                         .arg(QLatin1String(what))
                         .arg(*value + shownOffset)
                         .arg(lo + shownOffset)
                         .arg(hi + shownOffset)
                         .arg(kept + shownOffset);
        out << QString::number(kept);
        return static_cast<int>(kept);
    }

    // Any whole number that fits an int (fields the loader reads and does not use).
    void anyInteger(const char* what) { integer(what, INT_MIN, INT_MAX); }

    void boolean(const char* what) {
        if (!take())
            return;
        const auto value = wholeNumber(current);
        if (!value) {
            fail(QStringLiteral("%1 \"%2\" is not 0 or 1").arg(QLatin1String(what), shortened(current)));
            return;
        }
        if (*value != 0 && *value != 1)
            notes << QStringLiteral("%1 %2 is not 0 or 1, read as 1").arg(QLatin1String(what)).arg(*value);
        out << QString::number(*value != 0 ? 1 : 0);
    }

    void position(const char* what) { integer(what, -maxPosition, maxPosition); }

    // Real number in [lo, hi]; a value that is no finite number breaks the record unless
    // `fallback` says what to use instead.
    void real(const char* what, double lo, double hi, std::optional<double> fallback = std::nullopt) {
        if (!take())
            return;
        const auto value = realNumber(current);
        if (!value || !std::isfinite(*value)) {
            if (fallback) {
                notes << QStringLiteral("%1 \"%2\" is not a number, set to %3")
                             .arg(QLatin1String(what), shortened(current))
                             .arg(*fallback);
                out << QString::number(*fallback);
                return;
            }
            fail(QStringLiteral("%1 \"%2\" is not a number").arg(QLatin1String(what), shortened(current)));
            return;
        }
        if (*value < lo || *value > hi) {
            const double kept = std::clamp(*value, lo, hi);
            notes << QStringLiteral("%1 %2 is outside %3 … %4, set to %5")
                         .arg(QLatin1String(what))
                         .arg(*value)
                         .arg(lo)
                         .arg(hi)
                         .arg(kept);
            out << QString::number(kept, 'g', 17);
            return;
        }
        out << current;
    }

    // Drops `count` tokens without writing them (values beyond what a control can hold).
    void skip(int count) { pos += count; }

    void fail(const QString& reason) {
        if (!broken)
            why = reason;
        broken = true;
    }

private:
    bool take() {
        if (broken)
            return false;
        if (pos >= in.size()) {
            fail(QStringLiteral("the record has too few values"));
            return false;
        }
        current = in.at(pos++);
        return true;
    }

    const QStringList& in;
    int pos = 0;
    QString current;
};

// Number of body tokens a record of `type` must have, found from the count fields of the
// tokens that follow the title; nullopt when the count itself cannot be read.
std::optional<qsizetype> expectedBodyLength(int type, const QStringList& tokens, qsizetype bodyStart) {
    auto countAt = [&](qsizetype index, qlonglong limit) -> std::optional<qlonglong> {
        if (bodyStart + index >= tokens.size())
            return std::nullopt;
        const auto value = wholeNumber(tokens.at(bodyStart + index));
        if (!value || *value < 0 || *value > limit)
            return std::nullopt;
        return value;
    };
    switch (type) {
    case 0:
        return 14;
    case 1:
        if (const auto steps = countAt(3, 100000))
            return 13 + *steps;
        return std::nullopt;
    case 2:
        if (const auto nodes = countAt(10, 100000))
            return 11 + 3 * *nodes;
        return std::nullopt;
    case 3:
        return 8;
    default:
        return std::nullopt;
    }
}

void checkFunctionBody(BodyChecker& c) {
    c.title();
    c.boolean("enabled");
    c.integer("minimum", 0, maxNumber);
    c.integer("maximum", 0, maxNumber);
    c.integer("waveform", 0, 3);
    c.integer("divider", 1, 99);
    c.integer("controller number", 0, maxNumber);
    c.boolean("invert");
    c.integer("level", 0, 1);
    c.integer("channel", 0, maxChannel, 1);
    c.position("remembered x");
    c.position("remembered y");
    c.position("window x");
    c.position("window y");
}

void checkStepBody(BodyChecker& c) {
    c.title();
    c.boolean("enabled");
    c.integer("message number", 0, maxNumber);
    const int steps = c.integer("step count", 0, 100000);
    if (c.broken)
        return;
    if (c.remaining() < steps) {
        c.fail(QStringLiteral("the record has fewer step values than its step count"));
        return;
    }
    const int kept = std::clamp(steps, 1, maxSteps);
    for (int i = 0; i < std::min(steps, kept); ++i)
        c.integer("step value", 0, maxNumber);
    if (steps > maxSteps) {
        c.skip(steps - maxSteps);
        c.notes << QStringLiteral("%1 steps are more than %2; the last %3 were dropped")
                       .arg(steps)
                       .arg(maxSteps)
                       .arg(steps - maxSteps);
    } else if (steps == 0) {
        c.out << QStringLiteral("0");
        c.notes << QStringLiteral("no steps; one step of value 0 was made");
    }
    if (kept != steps)
        c.out[3] = QString::number(kept);
    c.anyInteger("current step");
    c.integer("channel", 0, maxChannel, 1);
    c.integer("level", 0, 2);
    c.anyInteger("reserved value");
    c.anyInteger("reserved value");
    c.integer("divider", 1, 16);
    c.boolean("message kind");
    c.position("window x");
    c.position("window y");
}

void checkCurveBody(BodyChecker& c) {
    c.title();
    c.boolean("enabled");
    c.integer("controller number", 0, maxNumber);
    c.integer("channel", 0, maxChannel, 1);
    c.real("position", 0.0, 1.0, 0.0);
    c.boolean("message kind");
    c.integer("speed", 0, 12);
    c.integer("trigger", 0, 10);
    c.position("window x");
    c.position("window y");
    const int nodes = c.integer("node count", 0, 100000);
    if (c.broken)
        return;
    if (nodes < minCurveNodes) {
        c.fail(QStringLiteral("a curve of %1 nodes cannot be drawn").arg(nodes));
        return;
    }
    if (nodes > maxCurveNodes) {
        c.fail(QStringLiteral("a curve of %1 nodes has more than the %2 a curve may have")
                   .arg(nodes)
                   .arg(maxCurveNodes));
        return;
    }
    for (int i = 0; i < nodes && !c.broken; ++i) {
        c.real("node x", 0.0, maxNodePixel);
        c.real("node y", 0.0, maxNodePixel);
        c.integer("node kind", 0, 1);
    }
}

void checkInitBody(BodyChecker& c) {
    c.title();
    c.boolean("enabled");
    c.boolean("message kind");
    c.integer("channel", 0, maxChannel, 1);
    c.integer("message number", 0, maxNumber);
    c.integer("value", 0, maxNumber);
    c.position("window x");
    c.position("window y");
}

} // namespace

QString ProjectFile::typeName(int type) {
    switch (type) {
    case 0:
        return QStringLiteral("Function Efektor");
    case 1:
        return QStringLiteral("Step Efektor");
    case 2:
        return QStringLiteral("Curve Efektor");
    case 3:
        return QStringLiteral("Init Efektor");
    default:
        return QStringLiteral("efektor");
    }
}

ProjectFile::Contents ProjectFile::read(const QByteArray& bytes) {
    Contents contents;
    if (bytes.size() > maxFileBytes) {
        contents.problems << QStringLiteral(
                                 "The file is %1 bytes long, too long for a project; nothing was loaded.")
                                 .arg(bytes.size());
        contents.usable = false;
        return contents;
    }
    const QString text = QString::fromUtf8(bytes);
    const qsizetype firstBreak = text.indexOf(QLatin1Char('\n'));
    contents.versionLine = firstBreak < 0 ? text : text.left(firstBreak);
    if (contents.versionLine.endsWith(QLatin1Char('\r')))
        contents.versionLine.chop(1);
    const bool versionKnown = contents.versionLine == versionLine;
    if (!versionKnown)
        contents.problems << QStringLiteral("The first line reads \"%1\" instead of \"%2\"; the rest was read "
                                            "as that format.")
                                 .arg(shortened(contents.versionLine), versionLine);

    QStringList tokens;
    if (firstBreak >= 0) {
        const QStringView rest = QStringView(text).mid(firstBreak + 1);
        qsizetype start = -1;
        for (qsizetype i = 0; i <= rest.size(); ++i) {
            const bool space = i == rest.size() || rest.at(i).isSpace();
            if (space && start >= 0) {
                tokens << rest.mid(start, i - start).toString();
                start = -1;
            } else if (!space && start < 0) {
                start = i;
            }
        }
    }

    if (tokens.size() < 2) {
        contents.problems << QStringLiteral(
            "The file has no efektor count and selected scene; it holds no efektors.");
        contents.usable = false;
        return contents;
    }
    const auto count = wholeNumber(tokens.at(0));
    if (!count || *count < 0) {
        contents.declaredCount = -1;
        contents.problems
            << QStringLiteral(
                   "The efektor count \"%1\" is not a number; the records that are there were read.")
                   .arg(shortened(tokens.at(0)));
    } else {
        contents.declaredCount = static_cast<int>(std::min<qlonglong>(*count, INT_MAX));
    }
    const auto scene = wholeNumber(tokens.at(1));
    if (!scene || *scene < 0 || *scene >= sceneCount) {
        contents.problems << QStringLiteral(
                                 "The selected scene \"%1\" is not one of the scenes 1 … 16; scene 1 is "
                                 "selected.")
                                 .arg(scene ? QString::number(*scene + 1) : shortened(tokens.at(1)));
    } else {
        contents.selectedScene = static_cast<int>(*scene);
    }

    int recordNumber = 0;
    bool capped = false;
    qsizetype at = 2;
    while (at < tokens.size()) {
        if (recordNumber == maxEfektors) {
            contents.problems << QStringLiteral("The file holds more than %1 efektors, more than a project "
                                                "may have; the records after the first %1 were not read.")
                                     .arg(maxEfektors);
            capped = true;
            break;
        }
        ++recordNumber;
        const QString& typeToken = tokens.at(at);
        const QString sceneToken = at + 1 < tokens.size() ? tokens.at(at + 1) : QString();
        const qsizetype bodyStart = at + 2;

        const auto type = wholeNumber(typeToken);
        const bool typeKnown = type && *type >= 0 && *type < typeCount;

        // Where the record ends: where its own counts say, if an end marker stands there
        // (a title may itself read "END_EFEKTOR"), else at the first end marker.
        qsizetype end = -1;
        if (typeKnown && typeToken != endMarker && sceneToken != endMarker) {
            if (const auto length = expectedBodyLength(static_cast<int>(*type), tokens, bodyStart)) {
                const qsizetype plain = bodyStart + *length;
                if (plain < tokens.size() && tokens.at(plain) == endMarker)
                    end = plain;
            }
        }
        if (end < 0) {
            end = tokens.indexOf(endMarker, at);
            if (end < 0) {
                contents.problems << QStringLiteral("Record %1: the file ends inside it; it was skipped.")
                                         .arg(recordNumber);
                break;
            }
        }
        const qsizetype next = end + 1;
        auto skip = [&](const QString& why) {
            contents.problems << QStringLiteral("Record %1: %2; it was skipped.").arg(recordNumber).arg(why);
            at = next;
        };

        if (end < bodyStart) {
            skip(QStringLiteral("the record ends before its type and scene"));
            continue;
        }
        if (!typeKnown) {
            skip(QStringLiteral("unknown efektor type \"%1\"").arg(shortened(typeToken)));
            continue;
        }
        const auto recordScene = wholeNumber(sceneToken);
        if (!recordScene || *recordScene < 0 || *recordScene >= sceneCount) {
            skip(QStringLiteral("scene \"%1\" is not one of the scenes 1 … 16")
                     .arg(recordScene ? QString::number(*recordScene + 1) : shortened(sceneToken)));
            continue;
        }

        const QStringList body = tokens.mid(bodyStart, end - bodyStart);
        Record record;
        record.type = static_cast<int>(*type);
        record.scene = static_cast<int>(*recordScene);
        record.title =
            body.isEmpty() ? QString() : QString(body.first()).replace(QLatin1Char('_'), QLatin1Char(' '));
        const QString name =
            record.title.isEmpty()
                ? typeName(record.type)
                : QStringLiteral("%1 \"%2\"").arg(typeName(record.type), shortened(record.title));

        BodyChecker checker(body);
        switch (record.type) {
        case 0:
            checkFunctionBody(checker);
            break;
        case 1:
            checkStepBody(checker);
            break;
        case 2:
            checkCurveBody(checker);
            break;
        default:
            checkInitBody(checker);
            break;
        }
        if (!checker.broken && !checker.atEnd())
            checker.fail(QStringLiteral("the record has %1 values too many").arg(checker.remaining()));
        if (checker.broken) {
            skip(QStringLiteral("%1: %2").arg(name, checker.why));
            continue;
        }
        for (const QString& note : checker.notes)
            contents.problems << QStringLiteral("Record %1 (%2): %3.").arg(recordNumber).arg(name, note);
        record.body = checker.out.join(QLatin1Char('\n')) + QLatin1Char('\n');
        contents.records << record;
        at = next;
    }

    if (!versionKnown && contents.records.isEmpty())
        contents.usable = false;
    if (!capped && contents.declaredCount >= 0 && recordNumber != contents.declaredCount)
        contents.problems << QStringLiteral("The file announces %1 efektors but holds %2 records.")
                                 .arg(contents.declaredCount)
                                 .arg(recordNumber);
    return contents;
}

void ProjectFile::writeHeader(QTextStream& out, int efektorCount, int selectedScene) {
    out << versionLine << '\n' << efektorCount << '\n' << selectedScene << '\n';
}

void ProjectFile::writeRecordStart(QTextStream& out, int type, int scene) {
    out << type << '\n' << scene << '\n';
}

void ProjectFile::writeRecordEnd(QTextStream& out) {
    out << endMarker << '\n';
}
