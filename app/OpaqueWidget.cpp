#include "OpaqueWidget.h"

#include <QFrame>

QColor colourBehind(const QWidget* widget) {
    // Plain container widgets paint nothing, and under a style sheet they do not inherit the
    // palette of the frame they sit in.
    for (const QWidget* w = widget->parentWidget(); w; w = w->parentWidget()) {
        const auto* frame = qobject_cast<const QFrame*>(w);
        if (w->isWindow() || w->autoFillBackground() || w->testAttribute(Qt::WA_StyledBackground) ||
            (frame && frame->frameShape() != QFrame::NoFrame))
            return w->palette().color(w->backgroundRole());
    }
    return widget->palette().color(QPalette::Window);
}
