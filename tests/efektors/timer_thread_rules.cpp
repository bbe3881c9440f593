// What runs on the timer thread allocates nothing: every efektor's Update and SendMsgs, through
// the bridge into the engine's MIDI output, counted by this program's own operator new.
#include "InitEfektor.h"
#include "PhaseEfektor.h"
#include "StepEfektor.h"
#include "allocation_counter.h"
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
    runUntil(0.5); // the first passes align the grid

    const size_t before = messages().size();
    counting = true;
    runUntil(2 * barSeconds);
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
    // Both were really called: 64 controllers per bar and one step per tatum.
    EXPECT_GT(messages().size(), before + 100);
}
