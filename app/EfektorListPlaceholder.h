#pragma once

#include <QDialog>

class FixtureSystem;
class QLumacore;
class QMoveEvent;

// Stands in for the efektor list window until it exists: the same constructor and the
// operations the main window calls, doing nothing yet.
class EfektorListPlaceholder : public QDialog {
    Q_OBJECT

public:
    EfektorListPlaceholder(QLumacore* bridge, QWidget* parent, FixtureSystem* fixtures);

    void SyncEfektors() {}
    void MainWindowMoved(QMoveEvent*) {}

public slots:
    void LoadProject() {}
    void SaveProject() {}
    void SaveProjectAs() {}

private:
    [[maybe_unused]] QLumacore* bridge;
    [[maybe_unused]] FixtureSystem* fixtureSystem;
};
