#include "SceneButton.h"

#include "EfektorList.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>

SceneButton::SceneButton(QWidget* parent) : QPushButton(parent) {
    setAcceptDrops(true);
}

void SceneButton::dragEnterEvent(QDragEnterEvent* event) {
    event->acceptProposedAction();
}

void SceneButton::dragMoveEvent(QDragMoveEvent* event) {
    event->accept();
}

void SceneButton::dropEvent(QDropEvent* event) {
    // The text is "Scene n"; the button sits in the list's scene group box.
    bool ok = false;
    const int scene = text().mid(6).toInt(&ok);
    QWidget* group = parentWidget();
    auto* list = group ? qobject_cast<EfektorList*>(group->parentWidget()) : nullptr;
    if (!ok || !list)
        return;
    list->EfektorDropped(event, scene - 1);
}
