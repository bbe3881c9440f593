// The three kinds of efektor that follow the meter, on the engine's timer in virtual time: the
// function efektor's values at known phases, level changes and enabling; the curve efektor's loop
// position, values, triggers, re-alignment and window; the step efektor's one message per step
// at the level's units, the divider's delay, phases that go back, the value graph's mouse
// editing, its record body, and resizing while the timer thread reads the steps. Other record
// bodies are checked through project files.
#include "PhaseEfektor.h"
#include "StepEfektor.h"
#include "ValueGraph.h"
#include "curveEfektor.h"
#include "efektor_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDial>
#include <QMouseEvent>
#include <QSlider>
#include <QSpinBox>
#include <QtTest/QTest>

#include <optional>
#include <thread>

class PhaseEfektorTest : public EfektorEngineTest {
protected:
    // The value sent at the delivery for bar phase `phase` (made at that phase or one pass later).
    static std::optional<int> valueAt(const std::vector<Sent>& all, double phase) {
        for (const Sent& s : all)
            if (s.time > phase - 1e-9 && s.time < phase + 0.0011 / barSeconds)
                return s.value;
        return std::nullopt;
    }
};

// Values sent at chosen bar phases for each shape, range, divider and inversion; every case
// also sends one controller per 64th of a bar on its channel.
TEST_F(PhaseEfektorTest, ShapesRangesDividersAndInversionGiveTheirValuesAtKnownPhases) {
    struct Case {
        int waveform, min, max, divider;
        bool invert;
        std::vector<std::pair<double, int>> values; // bar phase, value sent there
    };
    const Case cases[] = {
        {PhaseEfektor::Saw, 0, 127, 1, false, {{0.5, 63}, {3.25, 95}}}, // falling: trunc(0.75 × 127)
        {PhaseEfektor::Square, 20, 100, 1, false, {{0.25, 20}, {0.75, 99}}}, // 99.99999999999999 truncates
        {PhaseEfektor::Square, 0, 127, 1, false, {{0.25, 0}, {0.75, 127}}},
        {7, 0, 127, 2, false, {{0.5, 31}, {1.5, 63}, {2.5, 31}}}, // no shape (y = x) over two bars
        // Four bars rise to 1/4, 1/2, 3/4 and 1 of the triangle's input.
        {PhaseEfektor::Triangle, 0, 127, 4, false, {{0.5, 95}, {1.5, 63}, {4.5, 95}}},
        {PhaseEfektor::Triangle, 0, 127, 1, false, {{0.5, 0}}},
        {PhaseEfektor::Triangle, 0, 127, 1, true, {{0.5, 127}, {1.25, 63}}},
    };
    double base = 0; // each case for eight bars from a bar that every divider divides
    for (const Case& c : cases) {
        SCOPED_TRACE(c.waveform * 1000 + c.divider * 10 + c.invert);
        clearMessages();
        PhaseEfektor efektor(&bridge, 1, nullptr);
        efektor.waveform = c.waveform;
        efektor.min = c.min;
        efektor.max = c.max;
        efektor.divider = c.divider;
        efektor.invert = c.invert;
        efektor.channel = 3;
        efektor.on_enabledCheckBox_clicked(true);
        runUntil((base + 8) * barSeconds);
        const std::vector<Sent> all = sent(barSeconds);
        EXPECT_EQ(all.size(), 8u * 64u);
        for (const Sent& s : all)
            ASSERT_TRUE(s.status == 0xB3 && s.number == 1 && s.value >= 0 && s.value <= 127) << s.value;
        for (const auto& [phase, value] : c.values)
            EXPECT_EQ(valueAt(all, base + phase), value) << "at bar phase " << phase;
        base += 8;
    }
}

TEST_F(PhaseEfektorTest, DisabledSendsNothingReenablingResumesAtOnceAndTheBeatLevelSends32PerBeat) {
    PhaseEfektor efektor(&bridge, 1, nullptr);
    efektor.findChild<QSlider*>("waveformSlider")->setValue(PhaseEfektor::Saw);
    runUntil(barSeconds);
    EXPECT_TRUE(sent().empty());
    EXPECT_GT(efektor.output.load(), 0.0); // it kept computing
    runUntil(barSeconds + 0.300);
    efektor.findChild<QCheckBox*>("enabledCheckBox")->click();
    runUntil(barSeconds + 0.340);
    ASSERT_EQ(sent().size(), 1u); // the 64th after 0.300 s is at 0.320 s
    EXPECT_NEAR(sent()[0].value, (1.0 - 0.320 / barSeconds) * 127.0, 1.0);

    clearMessages();
    emit efektor.findChild<QComboBox*>("meterComboBox")->activated(1);
    EXPECT_EQ(efektor.level.load(), METERLEVEL_BEAT);
    runUntil(barSeconds + 0.340 + 2 * beatSeconds);
    EXPECT_EQ(sent().size(), 64u);
}

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

namespace {

void setSteps(StepEfektor& e, std::vector<int> values) {
    e.setStepCount(int(values.size()));
    for (size_t i = 0; i < values.size(); ++i)
        e.setStepValue(int(i), values[i]);
}

void mouse(QWidget* w, QEvent::Type type, int x, int y) {
    QMouseEvent event(type, QPointF(x, y), w->mapToGlobal(QPointF(x, y)), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(w, &event);
}

} // namespace

TEST_F(EfektorEngineTest, FourStepsAtBarLevelSendOneNotePerBarCycling) {
    StepEfektor efektor(&bridge, 60, nullptr);
    setSteps(efektor, {10, 20, 30, 40});
    efektor.on_enabledCheckBox_clicked(true);
    runUntil(5 * barSeconds - 0.1);

    const std::vector<CapturedMessage> sent = messages();
    ASSERT_EQ(sent.size(), 5u);
    const int expected[] = {10, 20, 30, 40, 10};
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].bytes, (std::vector<unsigned char>{0x90, 60, (unsigned char)expected[i]})) << i;
        // The first at the first delivery, then each at its bar's first delivery.
        const double due = i == 0 ? barSeconds / 64 : i * barSeconds;
        EXPECT_NEAR(sent[i].time, due, 0.0011) << i;
    }
}

TEST_F(EfektorEngineTest, DividerFourAtTatumLevelStepsThreeDeliveriesIntoEachTatum) {
    StepEfektor efektor(&bridge, 60, nullptr);
    setSteps(efektor, {1, 2, 3});
    efektor.setLevel(METERLEVEL_TATUM);
    efektor.findChild<QDial*>("dividerDial")->setValue(4);
    efektor.on_enabledCheckBox_clicked(true);
    runUntil(5 * tatumSeconds - 0.01);

    const std::vector<CapturedMessage> sent = messages();
    ASSERT_EQ(sent.size(), 5u);
    for (size_t i = 1; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].bytes[2], (i % 3) + 1) << i;
        EXPECT_NEAR(sent[i].time, (i + 3.0 / 16.0) * tatumSeconds, 0.0011) << i;
    }
}

TEST_F(EfektorEngineTest, APhaseThatGoesBackDoesNotAdvanceTheStep) {
    StepEfektor efektor(&bridge, 60, nullptr);
    setSteps(efektor, {10, 20, 30});
    efektor.on_enabledCheckBox_clicked(true);
    for (double phase : {5.1, 3.2, 3.5}) // a new unit (step 1), then back
        Efektor::PhaseReceiver(static_cast<Efektor*>(&efektor), phase);
    EXPECT_EQ(efektor.currentStep.load(), 1);
    Efektor::PhaseReceiver(static_cast<Efektor*>(&efektor), 4.0); // forward again: step 2
    EXPECT_EQ(efektor.currentStep.load(), 2);
    ASSERT_EQ(messages().size(), 2u);
    EXPECT_TRUE(messages()[0].bytes[2] == 20 && messages()[1].bytes[2] == 30);

    // A count lowered below the current step wraps it at the next advance.
    efektor.setStepCount(2);
    Efektor::PhaseReceiver(static_cast<Efektor*>(&efektor), 5.0);
    EXPECT_EQ(efektor.currentStep.load(), 0);
}

TEST_F(EfektorEngineTest, WhileDisabledAUnitThatBeganAdvancesAtOnceOnReenabling) {
    StepEfektor efektor(&bridge, 60, nullptr);
    setSteps(efektor, {10, 20});
    efektor.on_enabledCheckBox_clicked(true);
    runUntil(0.5); // sends step 0
    efektor.on_enabledCheckBox_clicked(false);
    runUntil(barSeconds + 0.5);
    efektor.on_enabledCheckBox_clicked(true);
    runUntil(barSeconds + 0.5 + barSeconds / 64 + 0.0011);
    ASSERT_EQ(messages().size(), 2u);
    EXPECT_EQ(messages()[1].bytes[2], 20);
}

TEST(ValueGraphEditing, ClicksAndDragsMapToStepsAndValues) {
    StepEfektor efektor(nullptr, 60, nullptr);
    efektor.setStepCount(4);
    auto* graph = efektor.findChild<ValueGraph*>("valueGraph");
    graph->resize(480, 160);
    mouse(graph, QEvent::MouseButtonPress, 130, 0); // very top of step 1
    EXPECT_EQ(efektor.stepValues(), (QList<int>{0, 127, 0, 0}));
    mouse(graph, QEvent::MouseMove, 5000, 158); // past the right edge: the last step
    mouse(graph, QEvent::MouseMove, -30, 1);
    EXPECT_EQ(efektor.stepValues(), (QList<int>{126, 127, 0, 1}));

    // Growing keeps the values and adds zero steps; shrinking drops from the end.
    efektor.setStepCount(6);
    EXPECT_EQ(graph->values, (QList<int>{126, 127, 0, 1, 0, 0}));
    efektor.setStepCount(2);
    efektor.setStepCount(3);
    EXPECT_EQ(graph->values, (QList<int>{126, 127, 0}));
}

TEST_F(EfektorEngineTest, RecordBodyRestoresValuesAndLevelButStartsAtStepZero) {
    const QString body = "Steps_A\n1\n61\n3\n5\n6\n7\n2\n4\n2\n11\n12\n4\n1\n10\n20\n";
    const auto loaded = fromRecord<StepEfektor>(&bridge, body);
    EXPECT_TRUE(loaded->loadedOk()) << loaded->loadProblem().toStdString();
    EXPECT_EQ(loaded->stepValues(), (QList<int>{5, 6, 7}));
    EXPECT_TRUE(loaded->currentStep == 0 && loaded->level == METERLEVEL_TATUM && loaded->divider == 4);
    QString again = body;
    again.replace("\n7\n2\n", "\n7\n0\n"); // the current step is written as it is now
    EXPECT_EQ(bodyOf(*loaded), again);

    runUntil(tatumSeconds / 2);
    const std::vector<CapturedMessage> sent = messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, (std::vector<unsigned char>{0xB4, 61, 5}));
}

// The timer thread reads the steps while the GUI thread resizes them: every value it sends is
// one the GUI wrote (77) or a fresh step's 0, and ASan sees no access outside the storage.
TEST_F(EfektorEngineTest, ResizingWhileTheTimerThreadStepsIsSafe) {
    StepEfektor efektor(&bridge, 60, nullptr);
    efektor.on_enabledCheckBox_clicked(true);
    std::atomic<bool> stop{false};
    std::thread timer([&] {
        double phase = 0.0;
        while (!stop) {
            phase += 1.0; // every delivery a new unit: a step per call
            Efektor::PhaseReceiver(static_cast<Efektor*>(&efektor), phase);
            if (midioutput_capture_count(ticker->midi) > 30000)
                midioutput_capture_clear(ticker->midi);
        }
    });
    unsigned seed = 7;
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 1103515245u + 12345u;
        const int n = 1 + int((seed >> 16) % StepEfektor::maxSteps);
        efektor.setStepCount(n);
        for (int s = 0; s < n; ++s)
            efektor.setStepValue(s, 77);
    }
    stop = true;
    timer.join();
    for (const CapturedMessage& m : messages())
        EXPECT_TRUE(m.bytes[2] == 77 || m.bytes[2] == 0) << int(m.bytes[2]);
    EXPECT_LT(efektor.currentStep.load(), StepEfektor::maxSteps);
}
