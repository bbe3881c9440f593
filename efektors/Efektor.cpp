#include "Efektor.h"

#include "QLumacore.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QTextStream>

#include <algorithm>
#include <cmath>

const QString Efektor::endMarker = QStringLiteral("END_EFEKTOR");

Efektor::Efektor(QWidget* parent, int code, QLumacore* lumacore)
    : QDialog(parent), typeCode(code), bridge(lumacore) {}

Efektor::~Efektor() {
    unregisterPhase();
}

void Efektor::Update(double phase) {
    Q_UNUSED(phase)
}

void Efektor::PhaseReceiver(void* context, double phase) {
    Efektor* efektor = static_cast<Efektor*>(context);
    efektor->Update(phase);
    efektor->SendMsgs();
}

void Efektor::registerPhase(MeterLevelID level) {
    unregisterPhase();
    if (!bridge)
        return;
    // The context must be the Efektor subobject itself: PhaseReceiver casts it back to that.
    bridge->RegisterPhaseCallback(level, static_cast<void*>(this), &Efektor::PhaseReceiver);
    registered = true;
}

void Efektor::unregisterPhase() {
    if (!registered || !bridge)
        return;
    bridge->UnregisterPhaseCallback(static_cast<void*>(this));
    registered = false;
}

void Efektor::keyPressEvent(QKeyEvent* event) {
    if (QWidget* list = parentWidget())
        QCoreApplication::sendEvent(list, event);
}

bool Efektor::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_S)
            keyPressEvent(key);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

QString Efektor::titleToken(const QString& title) {
    QString token = title;
    // Any white space would split the token, not only plain spaces.
    for (QChar& c : token)
        if (c.isSpace())
            c = QLatin1Char('_');
    return token.isEmpty() ? QStringLiteral("_") : token;
}

QString Efektor::titleFromToken(const QString& token) {
    QString title = token;
    title.replace(QLatin1Char('_'), QLatin1Char(' '));
    return title;
}

void Efektor::markMalformed(const QString& why) {
    if (!loadProblems.isEmpty())
        loadProblems += QStringLiteral("; ");
    loadProblems += why;
}

QString Efektor::readToken(QTextStream* in, const char* what) {
    if (endMarkerMet)
        return QString();
    QString token;
    if (in)
        *in >> token;
    if (token.isEmpty()) {
        markMalformed(QStringLiteral("%1 missing (file ends early)").arg(QLatin1String(what)));
        return QString();
    }
    if (token == endMarker) {
        endMarkerMet = true;
        markMalformed(QStringLiteral("record ends before %1").arg(QLatin1String(what)));
        return QString();
    }
    return token;
}

int Efektor::readInt(QTextStream* in, int lo, int hi, int fallback, const char* what) {
    const QString token = readToken(in, what);
    if (token.isEmpty())
        return fallback;
    bool ok = false;
    const qlonglong value = token.toLongLong(&ok);
    if (!ok) {
        markMalformed(
            QStringLiteral("%1 \"%2\" is not a whole number").arg(QLatin1String(what), token.left(20)));
        return fallback;
    }
    if (value < lo || value > hi) {
        markMalformed(
            QStringLiteral("%1 %2 outside %3 … %4").arg(QLatin1String(what)).arg(value).arg(lo).arg(hi));
        return static_cast<int>(std::clamp<qlonglong>(value, lo, hi));
    }
    return static_cast<int>(value);
}

double Efektor::readReal(QTextStream* in, double lo, double hi, double fallback, const char* what) {
    const QString token = readToken(in, what);
    if (token.isEmpty())
        return fallback;
    bool ok = false;
    const double value = token.toDouble(&ok);
    if (!ok || !std::isfinite(value)) {
        markMalformed(QStringLiteral("%1 \"%2\" is not a number").arg(QLatin1String(what), token.left(20)));
        return fallback;
    }
    if (value < lo || value > hi) {
        markMalformed(
            QStringLiteral("%1 %2 outside %3 … %4").arg(QLatin1String(what)).arg(value).arg(lo).arg(hi));
        return std::clamp(value, lo, hi);
    }
    return value;
}

QString Efektor::readTitle(QTextStream* in, const QString& fallback) {
    // A title is any token, even one that reads "END_EFEKTOR" (a user may call an efektor
    // "END EFEKTOR"); only a missing token is an error here.
    if (endMarkerMet)
        return fallback;
    QString token;
    if (in)
        *in >> token;
    if (token.isEmpty()) {
        markMalformed(QStringLiteral("title missing (file ends early)"));
        return fallback;
    }
    return titleFromToken(token);
}
