#pragma once

#include <QPushButton>

// A scene button of the efektor list: a checkable button that takes an efektor row dragged
// from the list and hands it to the list as a copy for its own scene.
class SceneButton : public QPushButton {
    Q_OBJECT

public:
    explicit SceneButton(QWidget* parent = nullptr);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};
