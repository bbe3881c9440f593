// The init efektor: its one message on scene entry and on "Send", captured from the engine.
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
