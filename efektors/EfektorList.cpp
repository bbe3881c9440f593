#include "EfektorList.h"

#include "Efektor.h"
#include "EfektorFactory.h"
#include "ProjectFile.h"
#include "QLumacore.h"
#include "curveEfektor.h"
#include "ui_EfektorList.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QListWidgetItem>
#include <QMessageBox>
#include <QSaveFile>
#include <QScreen>
#include <QShortcut>
#include <QTextStream>
#include <QTimer>
#include <QUndoStack>

#include <algorithm>
#include <vector>

namespace {

const char* const projectFilter = "Beatlume Efektor Project (*.bep);;All Files (*)";
const QColor rowColour(100, 141, 174);
const QColor mutedRowColour(20, 38, 60);

// Keys 1 … 8 and Q … I select scenes 1 … 16.
const Qt::Key sceneKeys[EfektorList::sceneCount] = {
    Qt::Key_1, Qt::Key_2, Qt::Key_3, Qt::Key_4, Qt::Key_5, Qt::Key_6, Qt::Key_7, Qt::Key_8,
    Qt::Key_Q, Qt::Key_W, Qt::Key_E, Qt::Key_R, Qt::Key_T, Qt::Key_Y, Qt::Key_U, Qt::Key_I};

const char* const defaultNames[ProjectFile::typeCount] = {"Function Efektor ", "Step Efektor ",
                                                          "Curve Efektor ", "Init Efektor "};

QPushButton* sceneButton(Ui::EfektorList* ui, int scene) {
    QPushButton* const buttons[EfektorList::sceneCount] = {
        ui->sceneButton_1,  ui->sceneButton_2,  ui->sceneButton_3,  ui->sceneButton_4,
        ui->sceneButton_5,  ui->sceneButton_6,  ui->sceneButton_7,  ui->sceneButton_8,
        ui->sceneButton_9,  ui->sceneButton_10, ui->sceneButton_11, ui->sceneButton_12,
        ui->sceneButton_13, ui->sceneButton_14, ui->sceneButton_15, ui->sceneButton_16};
    return buttons[scene - 1];
}

} // namespace

// A deleted efektor is kept, hidden and silent, for as long as its deletion can be undone.
class EfektorList::DeleteCommand : public QUndoCommand {
public:
    DeleteCommand(EfektorList* owner, Efektor* victim, int inScene, int atRow)
        : QUndoCommand(QStringLiteral("Delete \"%1\"").arg(victim->windowTitle())), list(owner),
          efektor(victim), scene(inScene), row(atRow) {}
    ~DeleteCommand() override {
        if (detached)
            delete efektor;
    }
    void redo() override { detached = list->detachEfektor(efektor, scene, row, &ownSetting); }
    void undo() override {
        if (!detached)
            return;
        list->reattachEfektor(efektor, scene, row, ownSetting);
        detached = false;
    }

private:
    EfektorList* list;
    Efektor* efektor;
    int scene;
    int row;
    bool ownSetting = false;
    bool detached = false;
};

// An edit of a curve the editor reports when it is done; redo on the first push finds the
// curve already so.
class EfektorList::CurveEditCommand : public QUndoCommand {
public:
    using Chain = QList<BrazierCurve::Node>;
    CurveEditCommand(curveEfektor* owner, const Chain& from, const Chain& to)
        : QUndoCommand(QStringLiteral("Edit the curve of \"%1\"").arg(owner->windowTitle())), efektor(owner),
          before(from), after(to) {}
    void redo() override {
        if (!firstRedo)
            efektor->curve()->setNodes(after);
        firstRedo = false;
    }
    void undo() override { efektor->curve()->setNodes(before); }

private:
    // Alive for as long as this command: a deletion of it that can still be undone keeps it.
    curveEfektor* efektor;
    Chain before;
    Chain after;
    bool firstRedo = true;
};

EfektorList::EfektorList(QLumacore* lumacore, QWidget* parent, FixtureSystem* fixtures)
    : QDialog(parent), ui(new Ui::EfektorList), bridge(lumacore), fixtureSystem(fixtures) {
    ui->setupUi(this);
    setWindowTitle("Efektor List");
    ui->efektorListWidget->setDragEnabled(true);
    ui->efektorListWidget->setDragDropMode(QAbstractItemView::DragOnly);
    ui->efektorListWidget->setEditTriggers(QAbstractItemView::DoubleClicked |
                                           QAbstractItemView::EditKeyPressed);
    ui->sceneButton_1->setCheckable(true);
    ui->addBox->blockSignals(true);
    ui->addBox->addItems(
        {"Add", "MIDI Function Efektor", "MIDI Step Efektor", "MIDI Curve Efektor", "MIDI Init Efektor"});
    ui->addBox->blockSignals(false);

    currentScene = 0;
    soloRow = -1;
    listReady = false;
    SetSelectedScene(1);
    autoChangeBars = 0;
    barCounter = 0;

    if (bridge)
        connect(bridge, &QLumacore::bar, this, &EfektorList::AutoChangeScene);
    QWidget* shortcutOwner = parent ? parent : this;
    for (int k = 1; k <= sceneCount; ++k) {
        auto* shortcut = new QShortcut(QKeySequence(sceneKeys[k - 1]), shortcutOwner);
        shortcut->setContext(Qt::ApplicationShortcut);
        connect(shortcut, &QShortcut::activated, this, [this, k] { selectSceneByUser(k); });
        // The shortcuts belong to the main window but act on this list: they go with it.
        connect(this, &QObject::destroyed, shortcut, &QObject::deleteLater);
    }
    ui->efektorListWidget->installEventFilter(this);

    savedSendPhase = mainSendPhase();
    if (QCheckBox* notes = noteCheckBox())
        savedNoteEnable = notes->isChecked();
    projectFileName.clear();

    undo = new QUndoStack(this);
    connect(undo, &QUndoStack::indexChanged, this, &EfektorList::refreshUnsavedState);
    unsavedPrompt = [this](const QString& name) {
        const auto answer = QMessageBox::warning(
            this, QStringLiteral("Unsaved changes"),
            QStringLiteral("The project \"%1\" has changes that are not saved.").arg(name),
            QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
        return answer == QMessageBox::Save      ? UnsavedChoice::Save
               : answer == QMessageBox::Discard ? UnsavedChoice::Discard
                                                : UnsavedChoice::Cancel;
    };
    filePrompt = [this](bool forSaving) {
        return forSaving ? QFileDialog::getSaveFileName(this, "Save Beatlume Efektor Project", projectFileName,
                                                        projectFilter)
                         : QFileDialog::getOpenFileName(this, "Open Beatlume Efektor Project",
                                                        projectFileName, projectFilter);
    };
    markSaved();
    // Turning a knob reaches the project without passing through the list: look now and then.
    unsavedWatch = new QTimer(this);
    connect(unsavedWatch, &QTimer::timeout, this, &EfektorList::refreshUnsavedState);
    unsavedWatch->start(1000);
}

EfektorList::~EfektorList() {
    // Deleted efektors that undo could bring back go with their commands, before the others.
    delete undo;
    undo = nullptr;
    // The efektors are children and go with the dialog; the rows must not outlive the form.
    listReady = false;
    delete ui;
}

// ---- the main window's outputs, switched off during a solo ---------------------------------

bool EfektorList::mainSendPhase() const {
    return parentWidget() ? parentWidget()->property("sendPhase").toBool() : false;
}

void EfektorList::setMainSendPhase(bool on) {
    if (bridge)
        bridge->setSendPhase(on ? 1 : 0);
    if (parentWidget())
        parentWidget()->setProperty("sendPhase", on);
}

QCheckBox* EfektorList::noteCheckBox() const {
    return parentWidget() ? parentWidget()->findChild<QCheckBox*>("midiNoteEnable") : nullptr;
}

// ---- rows -----------------------------------------------------------------------------------

Efektor* EfektorList::efektorAtRow(int row) const {
    const QList<Efektor*>& list = sceneLists.at(static_cast<size_t>(currentScene));
    return row >= 0 && row < list.size() ? list.at(row) : nullptr;
}

void EfektorList::appendRow(const QString& text) {
    auto* item = new QListWidgetItem(text);
    item->setFlags(item->flags() | Qt::ItemIsEditable | Qt::ItemIsDragEnabled);
    item->setForeground(rowColour);
    item->setData(Qt::UserRole, 0);
    ui->efektorListWidget->addItem(item);
}

void EfektorList::refillRows() {
    ui->efektorListWidget->clear();
    for (Efektor* efektor : currentList())
        appendRow(efektor->windowTitle());
}

bool EfektorList::ownSetting(Efektor* efektor) const {
    if (mutedByScene.contains(efektor))
        return efektor->wasEnabled;
    if (soloRow >= 0 && sceneLists.at(static_cast<size_t>(currentScene)).contains(efektor))
        return efektor->wasEnabled;
    return efektor->enabled;
}

void EfektorList::muteForScene(Efektor* efektor, bool own) {
    efektor->on_enabledCheckBox_clicked(false);
    efektor->wasEnabled = own;
    mutedByScene.insert(efektor);
}

// ---- creating ---------------------------------------------------------------------------------

Efektor* EfektorList::addEfektor(int type, Efektor* copy_efektor, int which_scene, QTextStream* load_stream) {
    if (type < 0 || type >= ProjectFile::typeCount)
        return nullptr;
    const int scene = which_scene >= 0 && which_scene < sceneCount ? which_scene : currentScene;
    listReady = false;

    Efektor* efektor = nullptr;
    if (copy_efektor)
        efektor = EfektorFactory::copy(bridge, this, copy_efektor);
    else if (load_stream)
        efektor = EfektorFactory::load(type, bridge, GetFirstFreePort(), this, load_stream);
    else
        efektor = EfektorFactory::create(type, bridge, GetFirstFreePort(), this);
    if (!efektor) {
        listReady = true;
        return nullptr;
    }

    int sameKind = 0;
    for (Efektor* other : currentList())
        if (other->typeCode == type)
            ++sameKind;
    const QString defaultName = QString::fromLatin1(defaultNames[type]) + QString::number(sameKind + 1);
    if (!copy_efektor && !load_stream)
        efektor->setWindowTitle(defaultName);
    if (!load_stream || copy_efektor)
        SetEffectLocation(efektor);

    sceneLists[static_cast<size_t>(scene)].append(efektor);
    watchCurve(efektor);
    if (scene == currentScene) {
        efektor->show();
        // The row shows the window's title, so a copy or a loaded efektor is listed by its own
        // name, as it will be after the next scene change.
        appendRow(efektor->windowTitle());
        if (soloRow >= 0) {
            // A solo is playing: the newcomer stays quiet until it ends.
            efektor->wasEnabled = copy_efektor ? ownSetting(copy_efektor) : bool(efektor->enabled);
            efektor->on_enabledCheckBox_clicked(false);
            ui->efektorListWidget->item(ui->efektorListWidget->count() - 1)->setForeground(mutedRowColour);
        }
    }
    listReady = true;
    return efektor;
}

int EfektorList::GetFirstFreePort() {
    // The smallest number no efektor of the scene uses; with n efektors it is at most n. One
    // pass, so that loading a project of many efektors stays linear in each step.
    const QList<Efektor*>& list = currentList();
    std::vector<bool> taken(static_cast<std::size_t>(list.size()) + 1, false);
    for (Efektor* efektor : list) {
        const int number = efektor->MessageNumber();
        if (number >= 0 && number < static_cast<int>(taken.size()))
            taken[static_cast<std::size_t>(number)] = true;
    }
    return static_cast<int>(std::find(taken.begin(), taken.end(), false) - taken.begin());
}

QRect EfektorList::availableArea() const {
    const QScreen* where = screen() ? screen() : QGuiApplication::primaryScreen();
    return where ? where->availableGeometry() : QRect(0, 0, 1024, 768);
}

void EfektorList::keepWindowsInSight() {
    const QRect avail = availableArea();
    for (const QList<Efektor*>& list : sceneLists)
        for (Efektor* efektor : list) {
            const QRect frame = efektor->frameGeometry();
            if (!avail.contains(frame) || (isVisible() && frame.intersects(frameGeometry())))
                SetEffectLocation(efektor);
        }
}

void EfektorList::SetEffectLocation(Efektor* efektor) {
    const QRect avail = availableArea();
    // Efektor windows go left of this list, which must stay in sight to switch scenes, and
    // start right of the main window when there is room, row after row.
    int right = avail.right();
    if (isVisible() && frameGeometry().left() > avail.left())
        right = std::min(right, frameGeometry().left() - 1);
    const QSize own = efektor->frameGeometry().size();
    const QWidget* main = parentWidget();
    const int mainRight = main && main->isVisible() ? main->frameGeometry().right() + 1 : avail.left();
    const int start = mainRight + own.width() - 1 <= right ? mainRight : avail.left();
    int x = start;
    int y = avail.top();
    int rowHeight = 0;
    auto place = [&](QSize size) {
        if (x != start && x + size.width() - 1 > right) {
            x = start;
            y += rowHeight;
            rowHeight = 0;
        }
    };
    for (Efektor* other : currentList()) {
        if (other == efektor)
            break;
        const QSize size = other->frameGeometry().size();
        place(size);
        x += size.width();
        rowHeight = std::max(rowHeight, size.height());
    }
    place(own);
    // Rows past the bottom of the screen start again at the top.
    const int rowsRoom = std::max(avail.height() - own.height(), 1);
    y = avail.top() + (y - avail.top()) % rowsRoom;
    x = std::max(avail.left(), std::min(x, right - own.width() + 1));
    efektor->move(x, y);
}

// ---- scenes -------------------------------------------------------------------------------

void EfektorList::SetSelectedScene(int scene) {
    if (scene < 1 || scene > sceneCount)
        return;
    listReady = false;
    const int old = currentScene;
    currentScene = scene - 1;
    for (int k = 1; k <= sceneCount; ++k) {
        QPushButton* button = sceneButton(ui, k);
        button->setStyleSheet(k == scene ? "background-color: darkred" : "background-color: #0a64e0");
        button->setChecked(k == scene);
        if (k - 1 == old && k - 1 != currentScene) {
            for (Efektor* efektor : sceneLists[static_cast<size_t>(old)]) {
                efektor->hide();
                efektor->SetWasEnabled();
                efektor->on_enabledCheckBox_clicked(false);
                mutedByScene.insert(efektor);
            }
        } else if (k - 1 == currentScene) {
            for (Efektor* efektor : sceneLists[static_cast<size_t>(currentScene)]) {
                efektor->show();
                if (efektor->wasEnabled)
                    efektor->on_enabledCheckBox_clicked(true);
                mutedByScene.remove(efektor);
                efektor->SceneChange();
            }
        }
    }
    refillRows();
    listReady = true;
}

void EfektorList::selectSceneByUser(int scene) {
    RemoveSolo();
    SetSelectedScene(scene);
}

void EfektorList::AutoChangeScene() {
    if (autoChangeBars == 0)
        return;
    ++barCounter;
    if (barCounter >= autoChangeBars) {
        RemoveSolo();
        SetSelectedScene((currentScene + 1) % sceneCount + 1);
        barCounter = 0;
    }
}

void EfektorList::on_sceneChangeOff_clicked(bool checked) {
    if (checked)
        autoChangeBars = 0;
}

void EfektorList::on_sceneChangeFour_clicked(bool checked) {
    if (checked)
        autoChangeBars = 4;
}

void EfektorList::on_sceneChangeEight_clicked(bool checked) {
    if (checked)
        autoChangeBars = 8;
}

void EfektorList::on_sceneChangeSixteen_clicked(bool checked) {
    if (checked)
        autoChangeBars = 16;
}

void EfektorList::EfektorDropped(QDropEvent* event, int scene) {
    Q_UNUSED(event)
    Efektor* source = efektorAtRow(ui->efektorListWidget->currentRow());
    if (!source || scene < 0 || scene >= sceneCount)
        return;
    const bool own = ownSetting(source);
    Efektor* copy = addEfektor(source->typeCode, source, scene);
    // In another scene the copy waits muted, with its source's setting, for its scene.
    if (copy && scene != currentScene) {
        copy->hide();
        muteForScene(copy, own);
    }
    refreshUnsavedState();
}

void EfektorList::SyncEfektors() {
    for (const QList<Efektor*>& list : sceneLists)
        for (Efektor* efektor : list)
            efektor->Sync();
}

void EfektorList::DeleteAllEfektors() {
    // The commands hold efektors (deleted ones that undo would bring back, curves to edit):
    // they go first.
    undo->clear();
    listReady = false;
    ui->efektorListWidget->clear();
    for (QList<Efektor*>& list : sceneLists) {
        for (Efektor* efektor : list)
            delete efektor;
        list.clear();
    }
    mutedByScene.clear();
    listReady = true;
}

void EfektorList::MainWindowMoved(QMoveEvent* event) {
    Q_UNUSED(event)
}

// ---- solo -----------------------------------------------------------------------------------

void EfektorList::SetSolo(int row) {
    listReady = false;
    QList<Efektor*>& list = currentList();
    if (row < 0 || row >= list.size()) {
        listReady = true;
        return;
    }
    const bool wasSoloing = soloRow >= 0;
    soloRow = row;
    if (ui->efektorListWidget->currentRow() != row)
        ui->efektorListWidget->setCurrentRow(row);
    if (!wasSoloing) {
        savedSendPhase = mainSendPhase();
        QCheckBox* notes = noteCheckBox();
        savedNoteEnable = notes && notes->isChecked();
        setMainSendPhase(false);
        if (notes)
            notes->setChecked(false);
    }
    for (int i = 0; i < list.size(); ++i) {
        Efektor* efektor = list.at(i);
        if (!wasSoloing)
            efektor->SetWasEnabled();
        efektor->on_enabledCheckBox_clicked(i == row);
        if (QListWidgetItem* item = ui->efektorListWidget->item(i))
            item->setForeground(i == row ? rowColour : mutedRowColour);
    }
    ui->soloButton->setChecked(true);
    listReady = true;
}

void EfektorList::RemoveSolo() {
    if (soloRow == -1)
        return;
    setMainSendPhase(savedSendPhase);
    if (QCheckBox* notes = noteCheckBox())
        notes->setChecked(savedNoteEnable);
    listReady = false;
    QList<Efektor*>& list = currentList();
    for (int i = 0; i < list.size(); ++i) {
        list.at(i)->on_enabledCheckBox_clicked(list.at(i)->wasEnabled);
        if (QListWidgetItem* item = ui->efektorListWidget->item(i))
            item->setForeground(rowColour);
    }
    listReady = true;
    soloRow = -1;
    ui->soloButton->setChecked(false);
}

void EfektorList::SoloSet() {
    const QList<Efektor*>& list = currentList();
    int active = -1;
    for (int i = 0; i < list.size(); ++i)
        if (list.at(i)->isActiveWindow())
            active = i;
    if (active >= 0 && active != ui->efektorListWidget->currentRow())
        ui->efektorListWidget->setCurrentRow(active);
    const int row = ui->efektorListWidget->currentRow();
    if (row == soloRow)
        RemoveSolo();
    else
        SetSolo(row);
}

void EfektorList::on_soloButton_clicked(bool checked) {
    const int row = ui->efektorListWidget->currentRow();
    if (!checked)
        RemoveSolo();
    else if (row != soloRow)
        SetSolo(row);
    // Without a row to solo the button does not stay down.
    ui->soloButton->setChecked(soloRow >= 0);
}

// ---- keys -------------------------------------------------------------------------------------

void EfektorList::keyPressEvent(QKeyEvent* event) {
    // Only S does something; Escape must not close the list.
    if (event->key() == Qt::Key_S)
        SoloSet();
}

bool EfektorList::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->efektorListWidget && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_S)
            keyPressEvent(key);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

// ---- rows and their efektors --------------------------------------------------------------

void EfektorList::on_showEfektor_clicked() {
    if (Efektor* efektor = efektorAtRow(ui->efektorListWidget->currentRow()))
        efektor->show();
}

void EfektorList::on_hideEfektor_clicked() {
    if (Efektor* efektor = efektorAtRow(ui->efektorListWidget->currentRow()))
        efektor->hide();
}

void EfektorList::on_deleteEfektor_clicked() {
    const int row = ui->efektorListWidget->currentRow();
    if (Efektor* efektor = efektorAtRow(row))
        undo->push(new DeleteCommand(this, efektor, currentScene, row));
}

bool EfektorList::detachEfektor(Efektor* efektor, int scene, int row, bool* own) {
    QList<Efektor*>& list = sceneLists[static_cast<size_t>(scene)];
    if (row < 0 || row >= list.size() || list.at(row) != efektor)
        return false;
    *own = ownSetting(efektor);
    listReady = false;
    if (scene == currentScene) {
        // Deleting the soloed efektor ends the solo; deleting another keeps the soloed row in place.
        if (row == soloRow)
            RemoveSolo();
        else if (soloRow > row)
            --soloRow;
        delete ui->efektorListWidget->takeItem(row);
    }
    list.removeAt(row);
    mutedByScene.remove(efektor);
    efektor->on_enabledCheckBox_clicked(false);
    efektor->hide();
    listReady = true;
    return true;
}

void EfektorList::reattachEfektor(Efektor* efektor, int scene, int row, bool own) {
    QList<Efektor*>& list = sceneLists[static_cast<size_t>(scene)];
    row = std::clamp(row, 0, static_cast<int>(list.size()));
    if (scene == currentScene)
        RemoveSolo();
    list.insert(row, efektor);
    if (scene == currentScene) {
        efektor->on_enabledCheckBox_clicked(own);
        efektor->show();
        listReady = false;
        refillRows();
        listReady = true;
    } else {
        muteForScene(efektor, own);
    }
}

void EfektorList::watchCurve(Efektor* efektor) {
    auto* curve = efektor->typeCode == Efektor::CurveType ? dynamic_cast<curveEfektor*>(efektor) : nullptr;
    if (!curve)
        return;
    connect(curve->curve(), &BrazierCurve::edited, this,
            [this, curve](const QList<BrazierCurve::Node>& before, const QList<BrazierCurve::Node>& after) {
                undo->push(new CurveEditCommand(curve, before, after));
            });
}

void EfektorList::on_efektorListWidget_itemChanged(QListWidgetItem* item) {
    if (!listReady || !item)
        return;
    const int row = ui->efektorListWidget->row(item);
    Efektor* efektor = efektorAtRow(row);
    if (!efektor)
        return;
    // A title must stay visible and savable: an empty one keeps the old name.
    if (item->text().trimmed().isEmpty()) {
        listReady = false;
        item->setText(efektor->windowTitle());
        listReady = true;
        return;
    }
    efektor->setWindowTitle(item->text());
    refreshUnsavedState();
}

void EfektorList::on_addBox_currentIndexChanged(int index) {
    if (index < 1 || index > ProjectFile::typeCount)
        return;
    addEfektor(index - 1);
    ui->addBox->setCurrentIndex(0);
    refreshUnsavedState();
}

void EfektorList::on_efektorListWidget_currentRowChanged(int row) {
    if (Efektor* efektor = efektorAtRow(row)) {
        efektor->activateWindow();
        efektor->raise();
    }
}

void EfektorList::on_efektorListWidget_clicked(const QModelIndex& index) {
    on_efektorListWidget_currentRowChanged(index.row());
}

// ---- project files ------------------------------------------------------------------------

QString EfektorList::projectText(bool withScene) const {
    QString text;
    QTextStream out(&text);
    int total = 0;
    for (const QList<Efektor*>& list : sceneLists)
        total += static_cast<int>(list.size());
    ProjectFile::writeHeader(out, total, withScene ? currentScene : 0);
    for (int scene = 0; scene < sceneCount; ++scene) {
        for (Efektor* efektor : sceneLists[static_cast<size_t>(scene)]) {
            ProjectFile::writeRecordStart(out, efektor->typeCode, scene);
            // A muted efektor is stored with its own setting, so that it comes back as the user
            // left it when its scene is selected again.
            efektor->setStoredEnabled(ownSetting(efektor) ? 1 : 0);
            efektor->SaveData(&out);
            efektor->setStoredEnabled(-1);
            ProjectFile::writeRecordEnd(out);
        }
    }
    out.flush();
    return text;
}

void EfektorList::markSaved() {
    savedText = projectText(false);
    refreshUnsavedState();
}

bool EfektorList::hasUnsavedChanges() const {
    return projectText(false) != savedText;
}

void EfektorList::refreshUnsavedState() {
    const bool unsaved = hasUnsavedChanges();
    if (unsaved == unsavedShown)
        return;
    unsavedShown = unsaved;
    emit projectStateChanged();
}

void EfektorList::setProjectFileName(const QString& name) {
    projectFileName = name;
    emit projectStateChanged();
}

QString EfektorList::projectName() const {
    return projectFileName.isEmpty() ? QStringLiteral("Untitled") : QFileInfo(projectFileName).completeBaseName();
}

QString EfektorList::withProjectSuffix(const QString& fileName) {
    if (fileName.isEmpty() || fileName.endsWith(QLatin1String(".bep"), Qt::CaseInsensitive))
        return fileName;
    return fileName + QLatin1String(".bep");
}

void EfektorList::setPrompts(UnsavedPrompt unsaved, FilePrompt file) {
    if (unsaved)
        unsavedPrompt = std::move(unsaved);
    if (file)
        filePrompt = std::move(file);
}

bool EfektorList::settleUnsavedChanges() {
    if (!hasUnsavedChanges())
        return true;
    switch (unsavedPrompt(projectName())) {
    case UnsavedChoice::Discard:
        return true;
    case UnsavedChoice::Cancel:
        return false;
    case UnsavedChoice::Save:
        SaveProject();
        // A save the user cancelled, or one that failed, loses nothing either.
        return !hasUnsavedChanges();
    }
    return false;
}

bool EfektorList::saveProjectTo(const QString& fileName, QString* error) {
    RemoveSolo();
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    QTextStream out(&file);
    out << projectText(true);
    out.flush();
    // The old file is replaced only now, when the new one is complete.
    if (out.status() != QTextStream::Ok || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    markSaved();
    return true;
}

bool EfektorList::loadProjectFrom(const QString& fileName, QStringList* report, QString* error) {
    // The whole file is read and checked before anything of the current project goes: a file
    // that is missing, unreadable or no project leaves the user's work as it was.
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    const QByteArray bytes = file.read(ProjectFile::maxFileBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error = file.errorString();
        return false;
    }
    const ProjectFile::Contents contents = ProjectFile::read(bytes);
    if (!contents.usable) {
        if (error)
            *error = QStringLiteral("This is not a Beatlume project. ") + contents.problems.join(QLatin1Char(' '));
        return false;
    }

    RemoveSolo();
    DeleteAllEfektors();
    QStringList problems = contents.problems;
    currentScene = contents.selectedScene;
    for (const ProjectFile::Record& record : contents.records) {
        QString body = record.body;
        QTextStream stream(&body, QIODevice::ReadOnly);
        Efektor* efektor = addEfektor(record.type, nullptr, record.scene, &stream);
        if (!efektor) {
            problems << QStringLiteral("%1 \"%2\" in scene %3 could not be made; it was skipped.")
                            .arg(ProjectFile::typeName(record.type), record.title)
                            .arg(record.scene + 1);
            continue;
        }
        if (!efektor->loadedOk())
            problems << QStringLiteral("%1 \"%2\" in scene %3: %4.")
                            .arg(ProjectFile::typeName(record.type), record.title)
                            .arg(record.scene + 1)
                            .arg(efektor->loadProblem());
        // Outside the selected scene an efektor keeps its stored setting for when its scene is
        // selected, and stays quiet until then.
        if (record.scene != currentScene)
            muteForScene(efektor, bool(efektor->enabled));
    }
    SetSelectedScene(currentScene + 1);
    // A project from another screen, or one saved with the list elsewhere, would hide windows.
    keepWindowsInSight();
    if (report)
        *report = problems;
    markSaved();
    return true;
}

void EfektorList::SaveProject() {
    RemoveSolo();
    if (projectFileName.isEmpty()) {
        const QString chosen = withProjectSuffix(filePrompt(true));
        if (chosen.isEmpty())
            return;
        projectFileName = chosen;
    }
    QString error;
    if (!saveProjectTo(projectFileName, &error))
        QMessageBox::information(this, "Unable to save the project", error);
    emit projectStateChanged();
}

void EfektorList::SaveProjectAs() {
    const QString chosen = withProjectSuffix(filePrompt(true));
    if (chosen.isEmpty())
        return;
    projectFileName = chosen;
    SaveProject();
}

void EfektorList::LoadProject() {
    if (!settleUnsavedChanges())
        return;
    const QString chosen = filePrompt(false);
    if (chosen.isEmpty())
        return;
    QStringList report;
    QString error;
    // The next Save goes to the loaded file, never to one that could not be loaded.
    if (!loadProjectFrom(chosen, &report, &error)) {
        QMessageBox::information(this, "Unable to open the project", error);
        return;
    }
    setProjectFileName(chosen);
    if (!report.isEmpty()) {
        QMessageBox box(QMessageBox::Warning, "Project loaded with problems",
                        QStringLiteral("Some of \"%1\" could not be loaded as it was written.")
                            .arg(QFileInfo(projectFileName).fileName()),
                        QMessageBox::Ok, this);
        box.setDetailedText(report.join(QLatin1Char('\n')));
        box.exec();
    }
}
