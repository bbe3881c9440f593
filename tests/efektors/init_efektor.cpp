// The init efektor: its one message on scene entry and on "Send", captured from the engine,
// and its record body through save, load and copy.
#include "InitEfektor.h"
#include "efektor_support.h"

#include <QCheckBox>
#include <QPushButton>
#include <QSpinBox>

namespace {

std::vector<std::vector<unsigned char>> bytesOf(const std::vector<CapturedMessage>& all) {
    std::vector<std::vector<unsigned char>> out;
    for (const CapturedMessage& m : all)
        out.push_back(m.bytes);
    return out;
}

} // namespace

TEST_F(EfektorEngineTest, EnabledInitEfektorSendsOncePerSceneEntry) {
    InitEfektor efektor(&bridge, 7, nullptr);
    efektor.findChild<QPushButton*>("noteButton")->click();
    EXPECT_EQ(efektor.findChild<QPushButton*>("noteButton")->text(), "Ctrl");
    efektor.findChild<QSpinBox*>("chanSpinBox")->setValue(3);
    efektor.findChild<QSpinBox*>("valueSpinBox")->setValue(100);
    efektor.findChild<QCheckBox*>("enabledCheckBox")->click(); // the base's slot, connected by name
    EXPECT_TRUE(efektor.enabled);

    efektor.SceneChange();
    const std::vector<unsigned char> expected{0xB2, 7, 100};
    EXPECT_EQ(bytesOf(messages()), (std::vector<std::vector<unsigned char>>{expected}));
    efektor.SceneChange(); // entering again sends again
    EXPECT_EQ(messages().size(), 2u);
    runUntil(barSeconds); // and the meter never makes it send
    EXPECT_EQ(messages().size(), 2u);
}

TEST_F(EfektorEngineTest, DisabledInitEfektorSendsOnlyByHand) {
    InitEfektor efektor(&bridge, 64, nullptr);
    efektor.findChild<QSpinBox*>("valueSpinBox")->setValue(0);
    efektor.SceneChange();
    EXPECT_TRUE(messages().empty());
    efektor.findChild<QPushButton*>("pushButton")->click();
    // A Note On of velocity 0 goes out as it is; no Note Off is made.
    EXPECT_EQ(bytesOf(messages()), (std::vector<std::vector<unsigned char>>{{0x90, 64, 0}}));
}

TEST_F(EfektorEngineTest, InitRecordBodyRoundTripsAndCopies) {
    const QString body = "Scene_Setup\n1\n1\n2\n7\n100\n33\n44\n";
    const auto loaded = fromRecord<InitEfektor>(&bridge, body);
    EXPECT_TRUE(loaded->loadedOk()) << loaded->loadProblem().toStdString();
    EXPECT_EQ(loaded->windowTitle(), "Scene Setup");
    EXPECT_EQ(loaded->findChild<QSpinBox*>("chanSpinBox")->value(), 3);
    EXPECT_EQ(loaded->findChild<QPushButton*>("noteButton")->text(), "Ctrl");
    EXPECT_TRUE(loaded->findChild<QPushButton*>("noteButton")->isChecked());
    EXPECT_EQ(bodyOf(*loaded), body);
    loaded->SceneChange();
    EXPECT_EQ(bytesOf(messages()), (std::vector<std::vector<unsigned char>>{{0xB2, 7, 100}}));

    InitEfektor copy(&bridge, nullptr, loaded.get());
    copy.move(33, 44);
    EXPECT_EQ(bodyOf(copy), body);
}

TEST_F(EfektorEngineTest, BrokenInitRecordsGiveAnEfektorWithEveryFieldInRange) {
    const char* broken[] = {"T 1 1 16 128 -1 0 0", "T 1 5 x", "T 1 END_EFEKTOR", "T 1 0 0 0 99999999999 0 0",
                            ""};
    for (const char* record : broken) {
        const auto e = fromRecord<InitEfektor>(&bridge, record, 5);
        SCOPED_TRACE(record);
        EXPECT_FALSE(e->loadedOk());
        expectBaseFieldsInRange(*e);
        EXPECT_TRUE(e->value >= 0 && e->value <= 127);
    }
}
