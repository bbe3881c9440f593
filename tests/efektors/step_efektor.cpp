// The step efektor on the engine's timer in virtual time: one message per step at the level's
// units, the divider's delay, phases that go back, the value graph's mouse editing, its record
// body, and resizing while the timer thread reads the steps.
#include "StepEfektor.h"
#include "ValueGraph.h"
#include "efektor_support.h"

#include <QCoreApplication>
#include <QDial>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

#include <thread>

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
