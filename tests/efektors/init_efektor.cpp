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

TEST_F(EfektorEngineTest, InitEfektorSendsOncePerSceneEntryWhenEnabledAndByHandAlways) {
    InitEfektor efektor(&bridge, 7, nullptr);
    efektor.findChild<QSpinBox*>("chanSpinBox")->setValue(3);
    efektor.findChild<QSpinBox*>("valueSpinBox")->setValue(0);
    efektor.SceneChange();
    EXPECT_TRUE(messages().empty());
    efektor.findChild<QPushButton*>("pushButton")->click();
    // A Note On of velocity 0 goes out as it is; no Note Off is made.
    EXPECT_EQ(bytesOf(messages()), (std::vector<std::vector<unsigned char>>{{0x92, 7, 0}}));

    clearMessages();
    efektor.findChild<QPushButton*>("noteButton")->click();
    efektor.findChild<QSpinBox*>("valueSpinBox")->setValue(100);
    efektor.findChild<QCheckBox*>("enabledCheckBox")->click(); // the base's slot, connected by name
    efektor.SceneChange();
    efektor.SceneChange(); // entering again sends again
    runUntil(barSeconds);  // and the meter never makes it send
    EXPECT_EQ(bytesOf(messages()), (std::vector<std::vector<unsigned char>>(2, {0xB2, 7, 100})));
}
