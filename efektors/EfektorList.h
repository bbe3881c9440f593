#pragma once

#include <QDialog>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>

class Efektor;
class FixtureSystem;
class QCheckBox;
class QDropEvent;
class QListWidgetItem;
class QLumacore;
class QModelIndex;
class QMoveEvent;
class QTimer;
class QUndoStack;
namespace Ui {
class EfektorList;
}

// The "Efektor List" window: owns every efektor, groups them into 16 scenes of which one is
// selected, creates, copies, renames and deletes them, changes scenes by button, key or every
// 4, 8 or 16 bars, lets one efektor of the selected scene play alone (solo), and saves and
// loads the whole set as a project file.
//
// Efektors outside the selected scene are hidden and muted; the setting they had when their
// scene was left is kept in their `wasEnabled` and comes back when the scene is selected again.
//
// Deleting an efektor and editing a curve go through the list's undo stack. The project is
// "unsaved" while what a save would write differs from what was last saved or loaded; loading
// another project asks first what to do with unsaved changes, as the main window does before
// it closes.
//
// The list talks to its parent (the main window) through the parent's "sendPhase" property
// (the phase-controller output) and its "midiNoteEnable" check box, both switched off while a
// solo plays. GUI thread only.
class EfektorList : public QDialog {
    Q_OBJECT

public:
    static constexpr int sceneCount = 16;

    EfektorList(QLumacore* bridge, QWidget* parent, FixtureSystem* fixtures);
    ~EfektorList() override;

    void SetSelectedScene(int scene); // 1 … 16
    void SetSolo(int row);
    void RemoveSolo();
    int GetFirstFreePort();
    void SyncEfektors();
    void DeleteAllEfektors();
    void EfektorDropped(QDropEvent* event, int scene); // 0 … 15
    void MainWindowMoved(QMoveEvent* event);

    // Saving and loading without file dialogs or message boxes (the slots below add those).
    // Both return false when the file could not be written or read at all, with the reason in
    // `error`. Loading fills `report` with every record skipped or changed.
    bool saveProjectTo(const QString& fileName, QString* error = nullptr);
    bool loadProjectFrom(const QString& fileName, QStringList* report = nullptr, QString* error = nullptr);

    // What the tests and the screenshots look at.
    int selectedScene() const { return currentScene; } // 0 … 15
    int soloedRow() const { return soloRow; }
    int autoChangeInterval() const { return autoChangeBars; }
    const QList<Efektor*>& scene(int index) const { return sceneLists.at(static_cast<size_t>(index)); }
    QString currentProjectFile() const { return projectFileName; }
    void setProjectFileName(const QString& name);

    // The project's name as a title shows it: the file's base name, or "Untitled".
    QString projectName() const;
    // True while the project differs from its file (or, never saved, from an empty project).
    bool hasUnsavedChanges() const;
    QUndoStack* undoStack() const { return undo; }

    // What to do with unsaved changes, and which file to open or save. The defaults ask with a
    // message box and a file dialog; tests put answers in their place.
    enum class UnsavedChoice { Save, Discard, Cancel };
    using UnsavedPrompt = std::function<UnsavedChoice(const QString& projectName)>;
    using FilePrompt = std::function<QString(bool forSaving)>; // empty: the user cancelled
    void setPrompts(UnsavedPrompt unsaved, FilePrompt file);
    // Before unsaved changes would be lost: asks, and saves when told to. True when the caller
    // may go on (saved or discarded, or nothing unsaved); false when the user cancelled.
    bool settleUnsavedChanges();
    // A project file name with ".bep" at the end, added when missing.
    static QString withProjectSuffix(const QString& fileName);

signals:
    // The project's name or its unsaved state changed.
    void projectStateChanged();

public slots:
    void AutoChangeScene();
    void LoadProject();
    void SaveProject();
    void SaveProjectAs();
    void SoloSet();

    Efektor* addEfektor(int type, Efektor* copy_efektor = nullptr, int which_scene = -1,
                        QTextStream* load_stream = nullptr);
    void SetEffectLocation(Efektor* efektor);

private slots:
    void on_showEfektor_clicked();
    void on_hideEfektor_clicked();
    void on_deleteEfektor_clicked();
    void on_efektorListWidget_itemChanged(QListWidgetItem* item);
    void on_sceneButton_1_clicked() { selectSceneByUser(1); }
    void on_sceneButton_2_clicked() { selectSceneByUser(2); }
    void on_sceneButton_3_clicked() { selectSceneByUser(3); }
    void on_sceneButton_4_clicked() { selectSceneByUser(4); }
    void on_sceneButton_5_clicked() { selectSceneByUser(5); }
    void on_sceneButton_6_clicked() { selectSceneByUser(6); }
    void on_sceneButton_7_clicked() { selectSceneByUser(7); }
    void on_sceneButton_8_clicked() { selectSceneByUser(8); }
    void on_sceneButton_9_clicked() { selectSceneByUser(9); }
    void on_sceneButton_10_clicked() { selectSceneByUser(10); }
    void on_sceneButton_11_clicked() { selectSceneByUser(11); }
    void on_sceneButton_12_clicked() { selectSceneByUser(12); }
    void on_sceneButton_13_clicked() { selectSceneByUser(13); }
    void on_sceneButton_14_clicked() { selectSceneByUser(14); }
    void on_sceneButton_15_clicked() { selectSceneByUser(15); }
    void on_sceneButton_16_clicked() { selectSceneByUser(16); }
    void on_saveProjectButton_clicked() { SaveProject(); }
    void on_loadProjectButton_clicked() { LoadProject(); }
    void on_sceneChangeOff_clicked(bool checked);
    void on_sceneChangeFour_clicked(bool checked);
    void on_sceneChangeEight_clicked(bool checked);
    void on_sceneChangeSixteen_clicked(bool checked);
    void on_addBox_currentIndexChanged(int index);
    void on_soloButton_clicked(bool checked);
    void on_efektorListWidget_currentRowChanged(int row);
    void on_efektorListWidget_clicked(const QModelIndex& index);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class DeleteCommand;
    class CurveEditCommand;

    void selectSceneByUser(int scene);
    // Takes an efektor out of its scene without destroying it (a deletion that can be undone),
    // and puts it back where it was with its own enabled setting.
    bool detachEfektor(Efektor* efektor, int scene, int row, bool* own);
    void reattachEfektor(Efektor* efektor, int scene, int row, bool own);
    void watchCurve(Efektor* efektor);
    QRect availableArea() const;
    // Moves efektor windows that are off the screen or on the list to where new ones go.
    void keepWindowsInSight();
    // The project file's text; `withScene` false writes scene 1 as the selected one, so that
    // changing scenes during a show does not count as a change to save.
    QString projectText(bool withScene) const;
    void markSaved();
    void refreshUnsavedState();
    QList<Efektor*>& currentList() { return sceneLists[static_cast<size_t>(currentScene)]; }
    Efektor* efektorAtRow(int row) const;
    void refillRows();
    void appendRow(const QString& text);
    // The enabled setting the user gave the efektor, whether or not a scene change or a solo
    // has muted it for now.
    bool ownSetting(Efektor* efektor) const;
    void muteForScene(Efektor* efektor, bool own);
    bool mainSendPhase() const;
    void setMainSendPhase(bool on);
    QCheckBox* noteCheckBox() const;

    Ui::EfektorList* ui;
    QLumacore* bridge;
    FixtureSystem* fixtureSystem;
    std::array<QList<Efektor*>, sceneCount> sceneLists;
    // Efektors that a scene change muted: their own setting is their `wasEnabled`.
    QSet<Efektor*> mutedByScene;
    int currentScene = 0;
    int soloRow = -1;
    bool savedSendPhase = false;
    bool savedNoteEnable = false;
    bool listReady = false;
    int autoChangeBars = 0;
    int barCounter = 0;
    QString projectFileName;
    QUndoStack* undo = nullptr;
    QTimer* unsavedWatch = nullptr;
    // The project as a save wrote it, or as it was loaded (projectText(false)).
    QString savedText;
    bool unsavedShown = false;
    UnsavedPrompt unsavedPrompt;
    FilePrompt filePrompt;
};
