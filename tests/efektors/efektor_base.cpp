// The efektor base: phase delivery through the engine's timer in virtual time, removal before
// destruction, keys passed on to the list and title tokens (the record readers are checked through
// project files).
#include "Efektor.h"
#include "efektor_support.h"

#include <QKeyEvent>

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

// A list stand-in that records the keys an efektor passes on.
class KeyRecorder : public QWidget {
public:
    std::vector<int> keys;

protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::KeyPress)
            keys.push_back(static_cast<QKeyEvent*>(e)->key());
        return QWidget::event(e);
    }
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

// The window's own keys are checked with the list; here the filter on its controls, which
// consumes every key press and passes S alone on.
TEST(EfektorKeys, ControlsPassOnlySOnToTheList) {
    KeyRecorder list;
    CountingEfektor efektor(nullptr, &list);
    QWidget control;
    QKeyEvent a(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    QKeyEvent s(QEvent::KeyPress, Qt::Key_S, Qt::NoModifier, QStringLiteral("s"));
    EXPECT_TRUE(efektor.eventFilter(&control, &a));
    EXPECT_TRUE(efektor.eventFilter(&control, &s));
    EXPECT_EQ(list.keys, std::vector<int>{Qt::Key_S});
    QEvent other(QEvent::Enter);
    EXPECT_FALSE(efektor.eventFilter(&control, &other));
}

TEST(EfektorRecords, TitlesTravelAsOneToken) {
    EXPECT_EQ(Efektor::titleToken("tab\there\nnewline"), "tab_here_newline");
    EXPECT_EQ(Efektor::titleToken(""), "_");
    EXPECT_EQ(Efektor::titleToken(Efektor::titleFromToken("_")), "_"); // stable from then on
}
