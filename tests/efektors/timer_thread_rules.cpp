// What runs on the timer thread allocates nothing: every efektor's Update and SendMsgs, through
// the bridge into the engine's MIDI output, counted by this program's own operator new.
#include "InitEfektor.h"
#include "PhaseEfektor.h"
#include "StepEfektor.h"
#include "efektor_support.h"

#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
} // namespace

namespace {
void* counted(std::size_t size) noexcept {
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}
} // namespace

void* operator new(std::size_t size) {
    if (void* p = counted(size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = counted(size))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return counted(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return counted(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

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
