// What runs on the timer thread allocates nothing: every efektor's Update and SendMsgs, through
// the bridge into the engine's MIDI output, counted by this program's own operator new. And the
// GUI thread may redraw the curve, drag its nodes and change the loop length while the timer
// thread plays it (AddressSanitizer watches for a spline set freed under the timer thread).
#include "InitEfektor.h"
#include "PhaseEfektor.h"
#include "StepEfektor.h"
#include "allocation_counter.h"
#include "curveEfektor.h"
#include "efektor_support.h"

#include <QApplication>
#include <QDial>
#include <QMouseEvent>

#include <thread>

using allocation_counter::allocations;
using allocation_counter::counting;

TEST_F(EfektorEngineTest, DeliveriesToEveryKindAllocateNothing) {
    PhaseEfektor function(&bridge, 1, nullptr);
    function.waveform = PhaseEfektor::Sine;
    function.on_enabledCheckBox_clicked(true);
    StepEfektor steps(&bridge, 2, nullptr);
    steps.setStepCount(8);
    steps.setLevel(METERLEVEL_TATUM);
    steps.on_enabledCheckBox_clicked(true);
    curveEfektor curve(&bridge, 3, nullptr);
    ASSERT_TRUE(curve.curve()->SetNodesFromPixels({{0, 200, 1}, {100, 20, 0}, {300, 150, 1}, {530, 60, 1}}));
    curve.on_enabledCheckBox_clicked(true);
    runUntil(beatSeconds); // the first passes align the grid

    auto fromCurve = [&] {
        std::size_t n = 0;
        for (const CapturedMessage& m : messages())
            n += m.bytes.size() == 3 && m.bytes[1] == 3;
        return n;
    };
    const size_t before = messages().size(), curveBefore = fromCurve();
    counting = true;
    runUntil(2 * barSeconds);
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
    // All were really called: the curve 32 times per beat over the seven beats, the others 64
    // controllers per bar and one step per tatum.
    EXPECT_EQ(fromCurve(), curveBefore + 7u * 32u);
    EXPECT_GT(messages().size() - fromCurve(), before - curveBefore + 100);
}

TEST_F(EfektorEngineTest, TheGuiThreadEditsTheCurveWhileTheTimerThreadPlaysIt) {
    curveEfektor efektor(&bridge, 9, nullptr);
    efektor.on_enabledCheckBox_clicked(true);
    BrazierCurve* curve = efektor.curve();
    QDial* dial = efektor.findChild<QDial*>("speedDial");

    std::atomic<bool> stop{false};
    std::thread timer([&] {
        long ms = 0;
        // Runs at least two seconds of virtual time, however quickly the edits end on a loaded
        // machine: the curve must have been played while edited and afterwards.
        while (!stop.load() || clock.load() < 2.0) {
            clock = ++ms / 1000.0;
            meterticker_timer_pass(ticker, clock.load());
            std::this_thread::yield(); // a pass a millisecond is all a real timer thread runs
        }
    });

    auto mouse = [&](QEvent::Type type, int x, int y) {
        const QPointF at(x, y);
        QMouseEvent event(type, at, curve->mapToGlobal(at),
                          type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(curve, &event);
    };
    for (int round = 0; round < 300; ++round) {
        mouse(QEvent::MouseButtonPress, 100 + round % 300, 30 + round % 140); // add or pick a node
        for (int step = 0; step < 5; ++step)
            mouse(QEvent::MouseMove, 100 + round % 300 + 3 * step, 30 + (round * 7 + step) % 140);
        if (round % 20 == 0)
            dial->setValue(round / 20 % curveEfektor::speedCount); // re-registers at another level
        if (round % 10 == 9) // keeps the chains short: a dense solve per edit is slow under the sanitizers
            curve->InitNodePoints();
    }
    stop = true;
    timer.join();

    const std::vector<CapturedMessage> sent = messages();
    EXPECT_GT(sent.size(), 0u);
    for (const CapturedMessage& m : sent) {
        ASSERT_EQ(m.bytes.size(), 3u);
        EXPECT_EQ(m.bytes[0], 0xB0);
        EXPECT_EQ(m.bytes[1], 9);
        EXPECT_LE(m.bytes[2], 127);
    }
}
