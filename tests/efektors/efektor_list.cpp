// The efektor list: scenes, solo, automatic scene change, drops on scene buttons, numbering
// and naming of new efektors, rows and keys.

#include "InitEfektor.h"
#include "PhaseEfektor.h"
#include "StepEfektor.h"
#include "curveEfektor.h"
#include "list_support.h"

#include <QApplication>
#include <QComboBox>
#include <QMimeData>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QUndoStack>
#include <QtTest/QTest>

namespace {

// Drags a row onto a scene button and lets it go there, as the mouse would.
void dropOn(QWidget* button) {
    QMimeData data;
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(button, &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(button, &drop);
}

// Records the order in which efektor windows are shown and hidden.
class ShowHideLog : public QObject {
public:
    QStringList entries;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show || event->type() == QEvent::Hide)
            entries << QString("%1 %2").arg(event->type() == QEvent::Show ? "show" : "hide",
                                            static_cast<QWidget*>(watched)->windowTitle());
        return false;
    }
};

// Bar ticks from the engine, as the automatic scene change counts them.
void bars(QLumacore& bridge, int count) {
    for (int i = 0; i < count; ++i)
        emit bridge.bar(true);
}

} // namespace

TEST_F(EfektorListTest, NewEfektorsTakeTheFirstFreeNumberAndANameCountingTheirKind) {
    Efektor* first = add(Efektor::StepType);
    Efektor* second = add(Efektor::StepType);
    EXPECT_EQ(second->MessageNumber(), 1);
    // Numbers 1 and 0 in that order: the scan restarts after every match, so 2 is free.
    first->messageNumber = 1;
    second->messageNumber = 0;
    EXPECT_EQ(list->GetFirstFreePort(), 2);
    second->messageNumber = 5;
    EXPECT_EQ(list->GetFirstFreePort(), 0);

    add(Efektor::FunctionType);
    Efektor* function = add(Efektor::FunctionType);
    EXPECT_EQ(function->windowTitle(), "Function Efektor 2");
    EXPECT_EQ(add(Efektor::StepType)->windowTitle(), "Step Efektor 3");
    EXPECT_TRUE(list->addEfektor(4) == nullptr && list->addEfektor(-1) == nullptr);
    EXPECT_EQ(rows->count(), 5);
    EXPECT_FALSE(function->enabled); // new efektors start disabled

    // The add box makes one and goes back to "Add"; in another scene the count starts again.
    list->SetSelectedScene(2);
    auto* addBox = list->findChild<QComboBox*>("addBox");
    addBox->setCurrentIndex(4);
    EXPECT_EQ(addBox->currentIndex(), 0);
    ASSERT_EQ(list->scene(1).size(), 1);
    EXPECT_EQ(list->scene(1).at(0)->windowTitle(), "Init Efektor 1");
}

TEST_F(EfektorListTest, ASceneChangeWakesTheNewSceneBeforeMutingTheOld) {
    list->SetSelectedScene(3);
    auto* init = static_cast<InitEfektor*>(add(Efektor::InitType, true));
    init->setWindowTitle("three");
    init->value = 100;
    list->SetSelectedScene(5);
    Efektor* five = add(Efektor::FunctionType, true);
    five->setWindowTitle("five");
    EXPECT_TRUE(!init->enabled && init->wasEnabled && init->isHidden());

    ShowHideLog log;
    init->installEventFilter(&log);
    five->installEventFilter(&log);
    clearMessages();
    sceneButton(3)->click();

    EXPECT_EQ(log.entries, (QStringList{"show three", "hide five"}));
    EXPECT_TRUE(list->selectedScene() == 2 && init->enabled && !five->enabled && five->wasEnabled &&
                rowTexts() == QStringList{"three"});
    // The init efektor's scene change sent its message once.
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].bytes, (std::vector<unsigned char>{0x90, 0, 100}));

    // Back to scene 5: its efektor comes back enabled; a disabled one stays disabled.
    Efektor* off = add(Efektor::StepType);
    list->SetSelectedScene(5);
    list->SetSelectedScene(3);
    EXPECT_FALSE(off->enabled || off->wasEnabled);
    list->SetSelectedScene(5);
    EXPECT_TRUE(five->enabled && !five->isHidden() && !init->enabled);
}

TEST_F(EfektorListTest, AutomaticChangeFollowsBarsAndWrapsFromSixteenToOne) {
    list->SetSelectedScene(16);
    // Off: bars change nothing.
    bars(bridge, 20);
    EXPECT_EQ(list->selectedScene(), 15);

    list->findChild<QRadioButton*>("sceneChangeFour")->click();
    bars(bridge, 3);
    EXPECT_EQ(list->selectedScene(), 15);
    bars(bridge, 1);
    EXPECT_EQ(list->selectedScene(), 0);

    // Shortening the interval keeps the count: 5 bars counted, then 4 is reached at once.
    list->findChild<QRadioButton*>("sceneChangeSixteen")->click();
    bars(bridge, 5);
    list->findChild<QRadioButton*>("sceneChangeFour")->click();
    bars(bridge, 1);
    EXPECT_EQ(list->selectedScene(), 1);
}

TEST_F(EfektorListTest, SoloMutesTheOthersAndTheMainOutputsAndRestoresThem) {
    Efektor* a = add(Efektor::FunctionType, true);
    Efektor* b = add(Efektor::StepType, false);
    Efektor* c = add(Efektor::InitType, true);
    list->show();

    rows->setCurrentRow(1);
    QTest::keyClick(list, Qt::Key_S);
    EXPECT_EQ(list->soloedRow(), 1);
    EXPECT_TRUE(!a->enabled && b->enabled && !c->enabled);
    EXPECT_FALSE(mainWindow->property("sendPhase").toBool() || noteBox->isChecked());

    // Moving the solo keeps the settings captured when it began.
    list->SetSolo(2);
    EXPECT_TRUE(!b->enabled && c->enabled && rows->currentRow() == 2);

    // S on the soloed row again ends it: every efektor and both outputs as before.
    QTest::keyClick(list, Qt::Key_S);
    EXPECT_EQ(list->soloedRow(), -1);
    EXPECT_TRUE(a->enabled && !b->enabled && c->enabled);
    EXPECT_TRUE(mainWindow->property("sendPhase").toBool() && noteBox->isChecked());

    // Keys typed into the list widget go to the list; a scene change ends the solo first.
    rows->setCurrentRow(0);
    QTest::keyClick(rows, Qt::Key_S);
    EXPECT_EQ(list->soloedRow(), 0);
    sceneButton(2)->click();
    EXPECT_EQ(list->soloedRow(), -1);
    EXPECT_TRUE(noteBox->isChecked() && a->wasEnabled && !b->wasEnabled && c->wasEnabled);
}

// The shortcuts belong to the main window and work in every window of the program; S in an
// efektor's window soloes that efektor.
TEST_F(EfektorListTest, KeysInAnEfektorWindowSelectScenesAndSoloThatEfektor) {
    Efektor* a = add(Efektor::InitType, true);
    Efektor* b = add(Efektor::FunctionType, true);
    mainWindow->show();
    // Row 0 is current (which brings its window up), then the user works in b's window.
    rows->setCurrentRow(0);
    EXPECT_TRUE(QTest::qWaitForWindowActive(a));
    QApplication::setActiveWindow(b);
    QCoreApplication::processEvents();
    ASSERT_EQ(QApplication::activeWindow(), b);
    QTest::keyClick(b, Qt::Key_S);
    EXPECT_TRUE(list->soloedRow() == 1 && rows->currentRow() == 1 && !a->enabled && b->enabled);
    // Escape goes to the list too, which ignores it: the window stays open.
    QTest::keyClick(b, Qt::Key_Escape);
    EXPECT_TRUE(b->isVisible());
    QTest::keyClick(b, Qt::Key_S);
    EXPECT_TRUE(list->soloedRow() == -1 && a->enabled);
    QTest::keyClick(b, Qt::Key_Y);
    EXPECT_EQ(list->selectedScene(), 13);
    QTest::keyClick(list, Qt::Key_8);
    EXPECT_EQ(list->selectedScene(), 7);
}

TEST_F(EfektorListTest, DeletesAndCurveEditsUndoAndRedoSeveralStepsDeep) {
    auto* curve = static_cast<curveEfektor*>(add(Efektor::CurveType));
    add(Efektor::FunctionType, true)->setWindowTitle("f");
    Efektor* soloed = add(Efektor::FunctionType, false);
    soloed->setWindowTitle("s");
    curve->setWindowTitle("c");
    list->SetSelectedScene(1);
    // Three edits of the curve: each click adds a node.
    for (int x : {100, 200, 300})
        QTest::mouseClick(curve->curve(), Qt::LeftButton, {}, QPoint(x, 50));
    // Deleting another efektor during a solo keeps the solo on its efektor; deleting the
    // soloed one ends it; with no row selected nothing goes.
    const auto deleteRow = [&](int row) {
        rows->setCurrentRow(row);
        list->findChild<QPushButton*>("deleteEfektor")->click();
    };
    list->SetSolo(2);
    deleteRow(1);
    EXPECT_TRUE(list->soloedRow() == 1 && soloed->enabled);
    deleteRow(1);
    EXPECT_TRUE(list->soloedRow() == -1 && noteBox->isChecked());
    deleteRow(-1);

    QUndoStack* undo = list->undoStack();
    ASSERT_EQ(undo->count(), 5);
    const std::pair<QStringList, int> steps[] = {{{"c"}, 5},           {{"c", "s"}, 5},      {{"c", "f", "s"}, 5},
                                                 {{"c", "f", "s"}, 4}, {{"c", "f", "s"}, 3}, {{"c", "f", "s"}, 2}};
    const auto expectStep = [&](int i) {
        EXPECT_EQ(rowTexts(), steps[i].first) << i;
        EXPECT_EQ(curve->curve()->nodes().size(), steps[i].second) << i;
    };
    for (int i = 1; i <= 5; ++i) {
        undo->undo();
        expectStep(i);
    }
    // The efektor deleted while it played comes back playing.
    EXPECT_TRUE(list->scene(0).at(1)->enabled && !list->scene(0).at(2)->enabled);
    for (int i = 4; i >= 0; --i) {
        undo->redo();
        expectStep(i);
    }
}

TEST_F(EfektorListTest, ACopyDroppedOnAnotherSceneWaitsThereMutedWithItsSourcesSetting) {
    Efektor* source = add(Efektor::FunctionType, true);
    source->setWindowTitle("Bass Wobble");
    add(Efektor::StepType);
    rows->setCurrentRow(0);

    dropOn(sceneButton(12));

    ASSERT_TRUE(rows->count() == 2 && list->scene(11).size() == 1);
    Efektor* copy = list->scene(11).at(0);
    EXPECT_TRUE(copy->typeCode == Efektor::FunctionType && copy->MessageNumber() == source->MessageNumber());
    EXPECT_TRUE(copy->isHidden() && !copy->enabled && copy->wasEnabled && source->enabled);

    list->SetSelectedScene(12);
    EXPECT_TRUE(!copy->isHidden() && copy->enabled && rowTexts() == QStringList{"Bass Wobble"});

    // Dropped on the selected scene's own button: a visible duplicate, listed by its title.
    rows->setCurrentRow(0);
    dropOn(sceneButton(12));
    ASSERT_EQ(list->scene(11).size(), 2);
    EXPECT_TRUE(list->scene(11).at(1)->enabled);

    // No current row: nothing is copied.
    rows->setCurrentRow(-1);
    dropOn(sceneButton(3));
    EXPECT_TRUE(list->scene(2).isEmpty());

    // A copy of an efektor a solo keeps quiet takes the efektor's own setting.
    list->SetSolo(1);
    rows->setCurrentRow(0);
    dropOn(sceneButton(4));
    ASSERT_EQ(list->scene(3).size(), 1);
    list->SetSelectedScene(4);
    EXPECT_TRUE(list->scene(3).at(0)->enabled);
}

TEST_F(EfektorListTest, UnsavedChangesAreAskedAboutAndSavingAddsTheSuffix) {
    QTemporaryDir dir;
    QStringList asked;
    auto answer = EfektorList::UnsavedChoice::Cancel;
    QString chosenFile;
    list->setPrompts([&](const QString& name) { return asked << name, answer; }, [&](bool) { return chosenFile; });
    EXPECT_FALSE(list->hasUnsavedChanges());
    add(Efektor::InitType);
    ASSERT_TRUE(list->hasUnsavedChanges());

    // Cancel keeps everything, and no file is asked for.
    chosenFile = dir.filePath("other.bep");
    list->LoadProject();
    EXPECT_TRUE(asked == QStringList{"Untitled"} && list->scene(0).size() == 1);

    // Save to a name without the suffix.
    chosenFile = dir.filePath("show");
    list->SaveProject();
    EXPECT_EQ(list->currentProjectFile(), dir.filePath("show.bep"));
    EXPECT_TRUE(QFile::exists(dir.filePath("show.bep")) && list->projectName() == "show" && !list->hasUnsavedChanges());
    // A scene change is no change to save.
    list->SetSelectedScene(4);
    EXPECT_FALSE(list->hasUnsavedChanges());

    // Discard loads, and the renaming is gone. A row edited to nothing keeps its name.
    list->SetSelectedScene(1);
    rows->item(0)->setText("renamed");
    rows->item(0)->setText("   ");
    EXPECT_TRUE(list->scene(0).at(0)->windowTitle() == "renamed" && list->hasUnsavedChanges());
    answer = EfektorList::UnsavedChoice::Discard;
    chosenFile = dir.filePath("show.bep");
    list->LoadProject();
    EXPECT_TRUE(rowTexts() == QStringList{"Init Efektor 1"} && !list->hasUnsavedChanges());

    // Save writes the changes to the project's file before going on.
    rows->item(0)->setText("renamed");
    answer = EfektorList::UnsavedChoice::Save;
    EXPECT_TRUE(list->settleUnsavedChanges() && !list->hasUnsavedChanges() && asked.size() == 3);
    ASSERT_TRUE(list->loadProjectFrom(dir.filePath("show.bep")));
    EXPECT_EQ(rowTexts(), QStringList{"renamed"});
}
