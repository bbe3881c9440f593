// The curve efektor on a timer thread of its own: its deliveries allocate nothing, and the GUI
// thread may redraw the curve, drag its nodes and change the loop length while the timer thread
// plays it (AddressSanitizer watches for a spline set freed under the timer thread).
#include "allocation_counter.h"
#include "curveEfektor.h"
#include "efektor_support.h"

#include <QApplication>
#include <QDial>
#include <QMouseEvent>

#include <thread>

using allocation_counter::allocations;
using allocation_counter::counting;

TEST_F(EfektorEngineTest, CurveDeliveriesAllocateNothing) {
    curveEfektor efektor(&bridge, 1, nullptr);
    ASSERT_TRUE(
        efektor.curve()->SetNodesFromPixels({{0, 200, 1}, {100, 20, 0}, {300, 150, 1}, {530, 60, 1}}));
    efektor.on_enabledCheckBox_clicked(true);
    runUntil(beatSeconds);

    const size_t before = messages().size();
    counting = true;
    runUntil(2 * barSeconds);
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_EQ(messages().size(), before + 7u * 32u); // seven beats, 32 deliveries each
}

TEST_F(EfektorEngineTest, TheGuiThreadEditsTheCurveWhileTheTimerThreadPlaysIt) {
    curveEfektor efektor(&bridge, 9, nullptr);
    efektor.on_enabledCheckBox_clicked(true);
    BrazierCurve* curve = efektor.curve();
    QDial* dial = efektor.findChild<QDial*>("speedDial");

    std::atomic<bool> stop{false};
    std::thread timer([&] {
        long ms = 0;
        while (!stop.load()) {
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
