// The engine's time line on the card's sample clock, driven by simulated callbacks whose host
// times come from a card that runs off the host clock.

#include "SampleClock.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <thread>

namespace {

constexpr double rate = SampleClock::sampleRate;
constexpr unsigned long blockFrames = 128;
constexpr double blockSeconds = blockFrames / rate;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

double framesToSeconds(std::uint64_t frames) {
    return static_cast<double>(frames) / rate;
}

// Drives an hour of 128-frame callbacks from a card whose crystal runs `ppm` parts per million
// fast against the host clock, checking the clock at, between and just before every callback.
void runCard(double ppm, double seconds) {
    SampleClock clock;
    const double hostStart = 8765.4321;
    const double hostPerBlock = blockSeconds / (1.0 + ppm * 1e-6);
    const auto blocks = static_cast<std::uint64_t>(seconds / blockSeconds);
    double previous = 0.0;
    for (std::uint64_t k = 0; k < blocks; ++k) {
        const double host = hostStart + static_cast<double>(k) * hostPerBlock;
        clock.onBlock(blockFrames, host);
        const double frames = framesToSeconds((k + 1) * blockFrames);
        const double atBlock = clock.now(host);
        ASSERT_EQ(atBlock, frames) << "block " << k;
        ASSERT_GE(atBlock, previous) << "block " << k << " reads earlier than the moment before it";
        ASSERT_NEAR(clock.now(host + hostPerBlock / 2), frames + hostPerBlock / 2, 1e-9);
        ASSERT_EQ(clock.now(host + 10.0), framesToSeconds((k + 2) * blockFrames));
        ASSERT_EQ(clock.now(host - 1.0), frames);
        ASSERT_EQ(clock.lastBlockEnd(), frames);
        previous = clock.now(host + hostPerBlock * (1.0 - 1e-9));
    }
    // The clock counted the card's samples, not the host's seconds.
    const double hostElapsed = static_cast<double>(blocks) * hostPerBlock;
    EXPECT_EQ(clock.lastBlockEnd(), framesToSeconds(blocks * blockFrames));
    EXPECT_NEAR(clock.lastBlockEnd() - hostElapsed, seconds * ppm * 1e-6, 1e-3);
}

// A fast card for an hour; a slow one, whose readings wait for the next block, stays monotonic.
TEST(SampleClock, CountsTheCardsSamplesOfFastAndSlowCards) {
    runCard(100.0, 3600.0);
    runCard(-100.0, 600.0);
}

TEST(SampleClock, ZeroBeforeTheFirstBlockAndNeverNaN) {
    SampleClock clock;
    for (double host : {0.0, 5.0, -3.0, nan, inf, -inf})
        EXPECT_EQ(clock.now(host), 0.0);
    EXPECT_EQ(clock.lastBlockEnd(), 0.0);

    // A first block without a host time counts, without interpolation until a host time comes.
    clock.onBlock(blockFrames, nan);
    EXPECT_EQ(clock.now(5.0), blockSeconds);
    clock.onBlock(blockFrames, 10.0);
    const double twoBlocks = 2 * blockSeconds;
    EXPECT_NEAR(clock.now(10.001), twoBlocks + 0.001, 1e-12);
    // Non-finite host times read as the last block's: no interpolation, no NaN.
    for (double host : {nan, inf, -inf})
        EXPECT_EQ(clock.now(host), twoBlocks);
    // A block without a finite host time keeps interpolating from the last known one.
    clock.onBlock(blockFrames, inf);
    EXPECT_EQ(clock.now(10.0), framesToSeconds(3 * blockFrames));
    EXPECT_NEAR(clock.now(10.001), 3 * blockSeconds + 0.001, 1e-12);

    // A larger block allows a longer interpolation, up to its own duration.
    clock.onBlock(1024, 20.0);
    EXPECT_EQ(clock.now(20.0 + 1.0), (3 * 128 + 2 * 1024) / rate);

    clock.reset();
    EXPECT_EQ(clock.now(25.0), 0.0);
    clock.onBlock(blockFrames, 30.0);
    EXPECT_EQ(clock.now(30.0), blockSeconds);
}

// A reader on another thread must see the frame count and the host time of the same block.
// Block k (counted from 1) ends at frame 128k and arrives at host time k·blockSeconds; each
// reading is taken half a block after the last block the reader saw, so a host time paired
// with the frame count of a neighbouring block gives a value no consistent pair gives.
TEST(SampleClock, ReadersNeverSeeHalvesOfTwoBlocks) {
    SampleClock clock;
    constexpr std::uint64_t blocks = 200000;
    std::atomic<bool> done{false};
    std::thread audio([&] {
        for (std::uint64_t k = 1; k <= blocks; ++k)
            clock.onBlock(blockFrames, static_cast<double>(k) * blockSeconds);
        done.store(true);
    });
    auto consistent = [](double asked, double got) {
        const auto near = static_cast<std::int64_t>(std::floor(got / blockSeconds));
        for (std::int64_t k = near - 1; k <= near + 1; ++k) {
            if (k < 0)
                continue;
            const double host = k == 0 ? nan : static_cast<double>(k) * blockSeconds;
            double d = asked - host;
            if (!(d > 0.0))
                d = 0.0;
            if (k == 0 || d > blockSeconds)
                d = k == 0 ? 0.0 : blockSeconds;
            if (std::abs(framesToSeconds(static_cast<std::uint64_t>(k) * blockFrames) + d - got) < 1e-9)
                return true;
        }
        return false;
    };
    std::uint64_t readings = 0, torn = 0;
    while (!done.load()) {
        const double asked = clock.lastBlockEnd() + blockSeconds / 2;
        const double got = clock.now(asked);
        ++readings;
        if (!consistent(asked, got))
            ++torn;
    }
    audio.join();
    EXPECT_EQ(torn, 0u) << "of " << readings << " readings";
    EXPECT_GT(readings, 0u);
}

} // namespace
