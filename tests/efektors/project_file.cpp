// Project files: what is written, what comes back, and what a broken file does.

#include "PhaseEfektor.h"
#include "ProjectFile.h"
#include "StepEfektor.h"
#include "fuzz/ProjectReplay.h"
#include "list_support.h"

#include <QDir>
#include <QFile>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextStream>


namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

const char* const exampleFile = "Save format version: 1\n"
                                "1\n"
                                "0\n"
                                "0\n"
                                "1\n"
                                "Function_Efektor_1\n"
                                "0\n0\n127\n2\n1\n0\n0\n0\n0\n420\n40\n420\n40\n"
                                "END_EFEKTOR\n";

} // namespace

class ProjectFileTest : public EfektorListTest {
protected:
    QString path(const QString& name) const { return QDir(folder.path()).filePath(name); }

    QByteArray save(const QString& name) {
        QString error;
        EXPECT_TRUE(list->saveProjectTo(path(name), &error)) << error.toStdString();
        return readAll(path(name));
    }
    // The report of a load that must succeed; the error of one that must fail.
    QStringList load(const QByteArray& bytes, bool loads = true) {
        EXPECT_TRUE(writeAll(path("in.bep"), bytes));
        QStringList report;
        QString error;
        EXPECT_EQ(list->loadProjectFrom(path("in.bep"), &report, &error), loads) << error.toStdString();
        return loads ? report : QStringList{error};
    }
    int total() const {
        int n = 0;
        for (int s = 0; s < EfektorList::sceneCount; ++s)
            n += static_cast<int>(list->scene(s).size());
        return n;
    }

    QTemporaryDir folder;
};

TEST_F(ProjectFileTest, TheExampleFileLoadsAndSavesByteForByte) {
    EXPECT_TRUE(load(exampleFile).isEmpty() && list->selectedScene() == 0);
    ASSERT_EQ(list->scene(1).size(), 1);
    auto* efektor = static_cast<PhaseEfektor*>(list->scene(1).at(0));
    EXPECT_EQ(efektor->windowTitle(), "Function Efektor 1");
    EXPECT_TRUE(efektor->isHidden() && efektor->waveform == 2 && efektor->pos() == QPoint(420, 40));
    EXPECT_EQ(save("again.bep"), QByteArray(exampleFile));

    // A title that reads like the end marker is still a title.
    QByteArray marker = exampleFile;
    marker.replace("Function_Efektor_1", "END_EFEKTOR");
    EXPECT_TRUE(load(marker).isEmpty() && list->scene(1).at(0)->windowTitle() == "END EFEKTOR");

    // A window saved off the screen or where the list now is opens elsewhere.
    list->show();
    list->move(1000, 100);
    for (const QPoint at : {QPoint(1010, 110), QPoint(-5000, 40)}) {
        QByteArray file = exampleFile;
        file.replace("420\n40\n420\n40", QString("%1\n%2\n%1\n%2").arg(at.x()).arg(at.y()).toLatin1());
        EXPECT_TRUE(load(file).isEmpty());
        const QRect frame = list->scene(1).at(0)->frameGeometry();
        EXPECT_FALSE(frame.intersects(list->frameGeometry()));
        EXPECT_TRUE(list->screen()->availableGeometry().contains(frame));
    }
}

TEST_F(ProjectFileTest, EveryKindInSeveralScenesSurvivesSaveLoadSave) {
    Efektor* function = add(Efektor::FunctionType, true);
    function->setWindowTitle("Bass Wobble");
    static_cast<PhaseEfektor*>(function)->level = 1;
    auto* step = static_cast<StepEfektor*>(add(Efektor::StepType));
    step->setWindowTitle("a_b");
    add(Efektor::CurveType);
    list->SetSelectedScene(4);
    add(Efektor::InitType, true);
    add(Efektor::StepType);
    list->SetSelectedScene(16);
    add(Efektor::CurveType, true);
    list->SetSelectedScene(4);

    const QByteArray first = save("first.bep");
    // Scene 1's function efektor and scene 16's curve efektor are muted while scene 4 plays; the
    // file keeps their own setting (enabled) in the usual enabled line of their records.
    EXPECT_TRUE(first.startsWith("Save format version: 1\n6\n3\n0\n0\nBass_Wobble\n1\n"));

    EXPECT_TRUE(load(first).isEmpty() && list->selectedScene() == 3);
    ASSERT_TRUE(list->scene(0).size() == 3 && list->scene(3).size() == 2 && list->scene(15).size() == 1);
    Efektor* bass = list->scene(0).at(0);
    EXPECT_TRUE(bass->windowTitle() == "Bass Wobble" && list->scene(0).at(1)->windowTitle() == "a b");
    EXPECT_TRUE(static_cast<PhaseEfektor*>(bass)->level.load() == 1 && list->scene(3).at(0)->enabled);
    EXPECT_EQ(rowTexts(), (QStringList{"Init Efektor 1", "Step Efektor 1"}));
    // Muted until its scene comes back, then as the user left it; saved while muted, the same.
    EXPECT_TRUE(!bass->enabled && bass->isHidden());
    EXPECT_EQ(save("second.bep"), first);

    list->SetSelectedScene(1);
    EXPECT_TRUE(bass->enabled && !list->scene(0).at(1)->enabled && !list->scene(3).at(0)->enabled);
    list->SetSelectedScene(16);
    EXPECT_TRUE(list->scene(15).at(0)->enabled);
}

TEST_F(ProjectFileTest, StepValuesAndCurveNodesComeBackAsWritten) {
    const QByteArray file =
        "Save format version: 1\n2\n0\n"
        "1\n0\nSteps\n1\n60\n4\n10\n20\n30\n40\n0\n3\n2\n0\n0\n4\n1\n10\n20\nEND_EFEKTOR\n"
        "2\n0\nCurve\n1\n7\n2\n0\n1\n5\n3\n30\n40\n3\n0\n100\n1\n200\n20\n0\n530\n"
        "100\n1\nEND_EFEKTOR\n";
    EXPECT_TRUE(load(file).isEmpty() && save("again.bep") == file);
}

TEST(ProjectFileReader, EfektorsBeyondTheCapAreNotRead) {
    const QByteArray init = "3\n0\nI\n1\n0\n0\n1\n2\n0\n0\nEND_EFEKTOR\n";
    const ProjectFile::Contents contents =
        ProjectFile::read("Save format version: 1\n9999\n0\n" + init.repeated(ProjectFile::maxEfektors + 9));
    EXPECT_EQ(contents.records.size(), ProjectFile::maxEfektors);
    ASSERT_EQ(contents.problems.size(), 1);
    EXPECT_TRUE(contents.problems[0].contains("512")) << contents.problems[0].toStdString();
}

TEST_F(ProjectFileTest, SavingUsesTheProjectsFileAndAFailedSaveLeavesTheOldFile) {
    add(Efektor::InitType);
    add(Efektor::InitType);
    list->setProjectFileName(path("named.bep"));
    list->SaveProject();
    EXPECT_TRUE(readAll(path("named.bep")).contains("Init_Efektor_2"));

    QString error;
    EXPECT_TRUE(!list->saveProjectTo(path("no/such/folder/x.bep"), &error) && !error.isEmpty());
    // A file that cannot be loaded leaves the project and its file name as they were.
    error.clear();
    EXPECT_TRUE(!list->loadProjectFrom(path("missing.bep"), nullptr, &error) && !error.isEmpty());
    for (const QByteArray& junk : {QByteArray(), QByteArray("Save format version: 1\n"),
                                   QByteArray("a letter\n3 0\nand not a project\n")})
        EXPECT_FALSE(load(junk, false).first().isEmpty());
    EXPECT_TRUE(total() == 2 && list->currentProjectFile() == path("named.bep"));

    // A save that cannot finish leaves the old file whole and no stray file behind.
    const QByteArray before = readAll(path("named.bep"));
    QDir(folder.path()).mkdir("locked");
    EXPECT_TRUE(writeAll(path("locked/p.bep"), before));
    QFile::setPermissions(path("locked"), QFile::ReadOwner | QFile::ExeOwner);
    const bool permissionsHold = !QFile(path("locked/probe")).open(QIODevice::WriteOnly);
    if (permissionsHold) { // not when run as root
        add(Efektor::StepType);
        EXPECT_FALSE(list->saveProjectTo(path("locked/p.bep"), &error));
        EXPECT_EQ(readAll(path("locked/p.bep")), before);
        EXPECT_EQ(QDir(path("locked")).entryList(QDir::Files), QStringList{"p.bep"});
    }
    QFile::setPermissions(path("locked"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST_F(ProjectFileTest, LoadingEndsASoloAndAForeignFirstLineIsReported) {
    add(Efektor::FunctionType, true);
    rows->setCurrentRow(0);
    list->SetSolo(0);
    EXPECT_FALSE(noteBox->isChecked());
    QByteArray file = exampleFile;
    file.replace("Save format version: 1", "Written on a Tuesday");
    const QStringList report = load(file);
    EXPECT_TRUE(report.size() == 1 && report.first().contains("Tuesday"));
    EXPECT_TRUE(list->soloedRow() == -1 && noteBox->isChecked() && list->scene(1).size() == 1);
}

// Every efektor a file can produce stays inside its controls' ranges.
void expectSane(const EfektorList& list) {
    for (int s = 0; s < EfektorList::sceneCount; ++s)
        for (Efektor* e : list.scene(s))
            EXPECT_EQ(projectReplay::efektorFault(e).toStdString(), "") << e->windowTitle().toStdString();
}

TEST_F(ProjectFileTest, BrokenRecordsAreSkippedToTheirEndAndReported) {
    const QByteArray good = "0\n0\nGood\n1\n0\n127\n2\n1\n5\n0\n0\n0\n0\n0\n0\n0\nEND_EFEKTOR\n";
    // Each broken record beside the good one: only the good one loads.
    const std::pair<const char*, QByteArray> cases[] = {
        {"unknown type", "7\n0\nX\n1\n2\n3\nEND_EFEKTOR\n" + good},
        {"scene 16", "0\n16\nX\n1\n0\n127\n2\n1\n5\n0\n0\n0\n0\n0\n0\n0\nEND_EFEKTOR\n" + good},
        {"scene -1", "3\n-1\nX\n1\n0\n0\n1\n2\n0\n0\nEND_EFEKTOR\n" + good},
        {"too few values", "0\n0\nShort\n1\n0\n127\nEND_EFEKTOR\n" + good},
        {"too many values", "3\n0\nLong\n1\n0\n0\n1\n2\n0\n0\n9\n9\nEND_EFEKTOR\n" + good},
        {"text for a number", "3\n0\nX\n1\n0\nzero\n1\n2\n0\n0\nEND_EFEKTOR\n" + good},
        {"no title or body", "3\n0\nEND_EFEKTOR\n" + good},
        {"step count beyond the values", "1\n0\nS\n1\n60\n1000000\n1\n2\n3\nEND_EFEKTOR\n" + good},
        {"curve of one node", "2\n0\nC\n1\n0\n0\n0\n0\n5\n0\n0\n0\n1\n0\n50\n1\nEND_EFEKTOR\n" + good},
        {"curve node not a number",
         "2\n0\nC\n1\n0\n0\n0\n0\n5\n0\n0\n0\n2\n0\nnan\n1\n300\n50\n1\nEND_EFEKTOR\n" + good},
        {"cut inside a record", good + "1\n2\nCut\n1\n60\n4\n10\n20"},
        {"count larger than the records", good},
    };
    for (const auto& [name, records] : cases) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(load("Save format version: 1\n9\n0\n" + records).isEmpty());
        EXPECT_EQ(total(), 1);
        expectSane(*list);
        if (total() == 1) {
            EXPECT_EQ(list->scene(0).at(0)->windowTitle(), "Good");
        }
    }
}

TEST_F(ProjectFileTest, ValuesOutsideTheirRangesAreBroughtInAndReported) {
    // Selected scene 23. Function: min -4, max 300, waveform 9, divider 0, controller 500,
    // level 3, channel 41 (shown). Step: 60 steps (12 more than the dial), a value of 200,
    // level 7. Init: enabled 5, channel -1 (shown), number 128, value 1000, x far off.
    QByteArray step = "1\n0\nSteps\n1\n60\n60\n200\n";
    for (int i = 1; i < 60; ++i)
        step += QByteArray::number(i) + "\n";
    step += "0\n3\n7\n0\n0\n0\n1\n0\n0\nEND_EFEKTOR\n";
    const QByteArray file = "Save format version: 1\n3\n22\n"
                            "0\n0\nF\n1\n-4\n300\n9\n0\n500\n0\n3\n40\n0\n0\n0\n0\nEND_EFEKTOR\n" +
                            step + "3\n0\nI\n5\n0\n-2\n128\n1000\n99999999\n0\nEND_EFEKTOR\n";
    const QStringList report = load(file);
    EXPECT_GE(report.size(), 10) << report.join("\n").toStdString();
    EXPECT_TRUE(report.join("\n").contains("selected scene") && list->selectedScene() == 0);
    ASSERT_EQ(list->scene(0).size(), 3);
    auto* f = static_cast<PhaseEfektor*>(list->scene(0).at(0));
    EXPECT_TRUE(f->min == 0 && f->max == 127 && f->divider == 1 && f->messageNumber == 127 && f->level == 1 &&
                f->channel == 15);
    auto* steps = static_cast<StepEfektor*>(list->scene(0).at(1));
    EXPECT_TRUE(steps->stepCount == 48 && steps->level == 2 && steps->stepValue(0) == 127 && steps->stepValue(1) == 1 &&
                steps->stepValue(47) == 47);
    Efektor* init = list->scene(0).at(2);
    EXPECT_TRUE(init->channel == 0 && init->messageNumber == 127 && init->enabled);
    expectSane(*list);
    // What was brought into range saves as loaded.
    const QByteArray saved = save("fixed.bep");
    EXPECT_TRUE(ProjectFile::read(saved).problems.isEmpty());
}
