// What runs on the timer thread allocates nothing: every efektor's Update and SendMsgs, through
// the bridge into the engine's MIDI output, counted by this program's own operator new. (A spline
// set rebuilt under the timer thread is the curve editor's test.)
#include "InitEfektor.h"
#include "PhaseEfektor.h"
#include "StepEfektor.h"
#include "allocation_counter.h"
#include "curveEfektor.h"
#include "efektor_support.h"

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
