// The efektor base: phase delivery through the engine's timer in virtual time, removal before
// destruction (keys are checked with the list, record readers through project files);
// and the init efektor, whose one message the meter never sends.
#include "Efektor.h"
#include "InitEfektor.h"
#include "efektor_support.h"

#include <QCheckBox>
#include <QPushButton>
#include <QSpinBox>

#include <memory>

namespace {

// Records what the timer thread hands it, in order.
class CountingEfektor : public Efektor {
public:
    CountingEfektor(QLumacore* lumacore, QWidget* parent = nullptr)
        : Efektor(parent, FunctionType, lumacore) {}
    ~CountingEfektor() override { unregisterPhase(); }
    void follow(MeterLevelID level) { registerPhase(level); }
    void Update(double phase) override {
        phases.push_back(phase);
        calls.push_back('U');
    }
    void SendMsgs() override { calls.push_back('S'); }

    std::vector<double> phases;
    std::string calls;
};

} // namespace

TEST_F(EfektorEngineTest, BarLevelGets64UpdatesPerBarEachFollowedByOneSend) {
    CountingEfektor efektor(&bridge);
    runUntil(3 * barSeconds); // into bar 3
    efektor.follow(METERLEVEL_BAR);
    runUntil(5 * barSeconds); // bars 3 and 4 whole
    ASSERT_EQ(efektor.phases.size(), 128u);
    for (size_t i = 0; i < efektor.calls.size(); i += 2)
        ASSERT_EQ(efektor.calls.substr(i, 2), "US") << "at call " << i;
    // Evenly spaced full phases whose integer part counts the bars; a pass that lands on a
    // 64th within rounding delivers it at the next millisecond.
    for (size_t i = 0; i < efektor.phases.size(); ++i) {
        EXPECT_GE(efektor.phases[i], 3.0 + (i + 1) / 64.0 - 1e-9) << i;
        EXPECT_LE(efektor.phases[i], 3.0 + (i + 1) / 64.0 + 0.001 / barSeconds + 1e-9) << i;
    }
    EXPECT_TRUE(std::trunc(efektor.phases[62]) == 3.0 && std::trunc(efektor.phases[63]) == 4.0);

    // Changing level replaces the entry: beat level, 32 per beat, never two entries.
    efektor.phases.clear();
    efektor.follow(METERLEVEL_BEAT);
    efektor.follow(METERLEVEL_BEAT);
    runUntil(5 * barSeconds + 2 * beatSeconds);
    EXPECT_EQ(efektor.phases.size(), 64u);
}

TEST_F(EfektorEngineTest, NoDeliveryReachesAnEfektorAfterItIsDeleted) {
    auto efektor = std::make_unique<CountingEfektor>(&bridge);
    efektor->follow(METERLEVEL_TATUM);
    runUntil(tatumSeconds);
    EXPECT_EQ(efektor->phases.size(), 16u);
    efektor.reset(); // ASan reports any later call into the freed object
    runUntil(barSeconds);
    EXPECT_EQ(ticker->phaseCallbacks.load(), nullptr);
}

TEST_F(EfektorEngineTest, InitEfektorSendsOncePerSceneEntryWhenEnabledAndByHandAlways) {
    InitEfektor efektor(&bridge, 7, nullptr);
    efektor.findChild<QSpinBox*>("chanSpinBox")->setValue(3);
    efektor.findChild<QSpinBox*>("valueSpinBox")->setValue(0);
    efektor.SceneChange();
    efektor.findChild<QPushButton*>("pushButton")->click();
    // A Note On of velocity 0 goes out as it is; no Note Off is made.
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].bytes, (std::vector<unsigned char>{0x92, 7, 0}));

    clearMessages();
    efektor.findChild<QPushButton*>("noteButton")->click();
    efektor.findChild<QSpinBox*>("valueSpinBox")->setValue(100);
    efektor.findChild<QCheckBox*>("enabledCheckBox")->click(); // the base's slot, connected by name
    efektor.SceneChange();
    efektor.SceneChange(); // entering again sends again
    runUntil(barSeconds);  // and the meter never makes it send
    const auto sent = messages();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_TRUE(sent[0].bytes == sent[1].bytes && sent[1].bytes == (std::vector<unsigned char>{0xB2, 7, 100}));
}
