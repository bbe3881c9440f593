// The curve efektor on the engine's timer in virtual time: the loop position at known phases,
// the values it sends, triggers, re-alignment, and its window.
#include "curveEfektor.h"
#include "efektor_support.h"

#include <QComboBox>
#include <QDial>
#include <QSpinBox>
#include <QtTest/QTest>

namespace {

// A straight ramp from the bottom left to the top right of the form's editor (530 × 200): the
// value at the play bar is the loop position, read at whole thousandths.
void rampCurve(curveEfektor& efektor) {
    BrazierCurve* curve = efektor.curve();
    ASSERT_EQ(curve->size(), QSize(530, 200));
    ASSERT_TRUE(curve->SetNodesFromPixels({{0, 200, 0}, {530, 0, 0}}));
}

} // namespace

class CurveEfektorTest : public EfektorEngineTest {
protected:
    int lastValue() { return sent().empty() ? -1 : sent().back().value; }
};

TEST_F(CurveEfektorTest, AtBeatX4TheFullPhase6Point5IsLoopPosition0Point625) {
    curveEfektor efektor(&bridge, 7, nullptr);
    rampCurve(efektor);
    efektor.on_enabledCheckBox_clicked(true);
    runUntil(6.5 * beatSeconds);

    EXPECT_DOUBLE_EQ(efektor.fullPhase(), 6.5);
    EXPECT_DOUBLE_EQ(efektor.position(), 0.625); // 6.5 · 0.25 = 1.625
    EXPECT_DOUBLE_EQ(efektor.curve()->playBarPos(), 0.625);
    const std::vector<Sent> all = sent();
    ASSERT_EQ(all.size(), 208u); // 32 per beat
    EXPECT_TRUE(all.back().status == 0xB0 && all.back().number == 7);
    EXPECT_EQ(all.back().value, 79); // trunc(127 · 0.625)
    // Halfway through the loop (phase 2) the ramp reads one half; the loop restarts at phase 4.
    // At 4 + 1/32 beats position 1/128 reads unit 7: still 0.
    EXPECT_TRUE(all[63].value == 63 && all[127].value == 0 && all[128].value == 0);
}

TEST_F(CurveEfektorTest, BarX1FollowsTheBarAndTatumX16TakesSixteenTatums) {
    curveEfektor efektor(&bridge, 1, nullptr);
    efektor.findChild<QDial*>("speedDial")->setValue(8); // "bar x1"
    efektor.on_enabledCheckBox_clicked(true);
    runUntil(1.5 * barSeconds);
    EXPECT_EQ(sent().size(), 96u); // 64 per bar
    EXPECT_TRUE(efektor.fullPhase() == 1.5 && efektor.position() == 0.5);

    clearMessages();
    efektor.findChild<QDial*>("speedDial")->setValue(2); // "tatum x16"
    runUntil(1.5 * barSeconds + 5 * tatumSeconds);
    EXPECT_EQ(sent().size(), 5u * 16u);
    const double tatums = efektor.fullPhase();
    EXPECT_NEAR(tatums, 1.5 * 16 + 5, 1e-9);
    EXPECT_DOUBLE_EQ(efektor.position(), (tatums - 16.0) / 16.0); // 29 tatums: 13/16 of the loop
}

TEST_F(CurveEfektorTest, TheTriggerRestartsTheLoopAtEverySecondBeatTick) {
    curveEfektor efektor(&bridge, 1, nullptr);
    efektor.findChild<QComboBox*>("triggerBox")->setCurrentIndex(2); // "2 beats"
    efektor.on_enabledCheckBox_clicked(true);
    runUntil(2.0);
    const double tickPhase = efektor.fullPhase();
    emit bridge.beat(true);
    EXPECT_DOUBLE_EQ(efektor.triggerStart(), 0.0);
    emit bridge.bar(true); // not a beat tick
    emit bridge.beat(true);
    EXPECT_DOUBLE_EQ(efektor.triggerStart(), tickPhase);
    runUntil(2.0 + beatSeconds / 32); // the next delivery
    EXPECT_DOUBLE_EQ(efektor.position(), 0.25 / 32);

    // Changing the speed re-aligns to the unit but keeps the trigger start.
    efektor.Sync();
    EXPECT_DOUBLE_EQ(efektor.syncOffset(), std::trunc(efektor.fullPhase()));
    efektor.findChild<QDial*>("speedDial")->setValue(4);
    EXPECT_TRUE(efektor.syncOffset() == 0.0 && efektor.triggerStart() == tickPhase);

    // "none": ticks never restart.
    efektor.findChild<QComboBox*>("triggerBox")->setCurrentIndex(0);
    for (int i = 0; i < 40; ++i)
        emit bridge.bar(true);
    EXPECT_DOUBLE_EQ(efektor.triggerStart(), tickPhase);
}

TEST_F(CurveEfektorTest, FlatCurvesSend127AtTheTop0AtTheBottomAnd63AtMidHeight) {
    curveEfektor efektor(&bridge, 20, nullptr);
    efektor.on_enabledCheckBox_clicked(true);
    runUntil(0.1);
    EXPECT_EQ(lastValue(), 63); // trunc(63.5)
    for (const auto& [y, value] : {std::pair{0.0, 127}, std::pair{200.0, 0}}) {
        ASSERT_TRUE(efektor.curve()->SetNodesFromPixels({{0, y, 1}, {530, y, 0}}));
        runUntil(clock + 0.1);
        EXPECT_EQ(lastValue(), value);
    }
    // As notes: a Note On with velocity 0, never a Note Off.
    efektor.messageKind = false;
    efektor.findChild<QSpinBox*>("chanBox")->setValue(10);
    runUntil(0.4);
    const Sent last = sent().back();
    EXPECT_TRUE(last.status == 0x99 && last.number == 20 && last.value == 0);
}

TEST_F(CurveEfektorTest, EnablingStartsTheLoopAtTheUnitAndADisabledOneSendsNothingNorMovesThePlayBar) {
    curveEfektor efektor(&bridge, 3, nullptr);
    runUntil(5.3 * beatSeconds);
    EXPECT_TRUE(sent().empty());
    efektor.on_enabledCheckBox_clicked(true);
    EXPECT_DOUBLE_EQ(efektor.syncOffset(), 5.0);
    runUntil(5.5 * beatSeconds);
    EXPECT_DOUBLE_EQ(efektor.position(), 0.5 * 0.25);
    const std::size_t count = sent().size();
    EXPECT_GT(count, 0u);
    efektor.on_enabledCheckBox_clicked(false);
    const double bar = efektor.curve()->playBarPos();
    runUntil(4.0);
    EXPECT_TRUE(sent().size() == count && efektor.curve()->playBarPos() == bar);
    EXPECT_NE(efektor.position(), bar); // the loop itself runs on
}

TEST_F(CurveEfektorTest, BackspaceInTheWindowRemovesTheSelectedNode) {
    curveEfektor efektor(&bridge, 3, nullptr);
    efektor.show();
    QTest::mouseClick(efektor.curve(), Qt::LeftButton, {}, QPoint(265, 40));
    ASSERT_EQ(efektor.curve()->selectedNode(), 1);
    QTest::keyClick(&efektor, Qt::Key_Backspace);
    EXPECT_EQ(efektor.curve()->nodes().size(), 2);
}
