#include "Resources.h"

#include <QApplication>
#include <QFile>

void beatlumeInitResources() {
    Q_INIT_RESOURCE(beatlume);
}

bool beatlumeInstallStyleSheet(QApplication& app) {
    if (!app.styleSheet().isEmpty())
        return true;
    QFile css(":/ticker.css");
    if (!css.open(QIODevice::ReadOnly))
        return false;
    QByteArray text = css.readAll();
    const qsizetype nul = text.indexOf('\0');
    if (nul >= 0)
        text.truncate(nul);
    app.setStyleSheet(QString::fromLatin1(text));
    return true;
}
