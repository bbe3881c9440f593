// Every project file of the fuzzer's seed corpus (tests/efektors/corpus) loads through the
// efektor list into sane efektors and saves stably: the replay program's checks, in the suite.

#include "QLumacore.h"
#include "fuzz/ProjectReplay.h"

#include <QCheckBox>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(ProjectCorpus, EveryFileLoadsIntoSaneEfektorsAndSavesStably) {
    const QDir corpus(QStringLiteral(BEATLUME_PROJECT_CORPUS));
    const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
    ASSERT_GE(names.size(), 5);
    QTemporaryDir scratch;
    QLumacore bridge;
    QWidget mainWindow;
    auto* notes = new QCheckBox(&mainWindow);
    notes->setObjectName("midiNoteEnable");
    mainWindow.setProperty("sendPhase", true);
    for (const QString& name : names) {
        EfektorList list(&bridge, &mainWindow, nullptr);
        int reported = 0;
        const QString fault =
            projectReplay::replay(list, corpus.filePath(name), QDir(scratch.path()), &reported);
        EXPECT_TRUE(fault.isEmpty()) << name.toStdString() << ": " << fault.toStdString();
        // The broken seeds are reported, the real projects are not.
        const bool broken = name.startsWith("mangled") || name.startsWith("truncated");
        EXPECT_EQ(reported > 0, broken) << name.toStdString();
    }
}
