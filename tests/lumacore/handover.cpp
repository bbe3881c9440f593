// The lock-free hand-over pieces under real writer and reader threads: nothing lost, reordered
// or torn.
#include "handover.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t kCount = 200000;

/* Three words that only belong together when written at once. */
struct Triple {
    uint64_t n, twice, inverted;
    bool whole() const { return twice == 2 * n && inverted == ~n; }
};

Triple make(uint64_t n) {
    return Triple{n, 2 * n, ~n};
}

TEST(Handover, QueueDeliversEveryValueInOrderThroughWrapsAndFullness) {
    lumacore::SpscQueue<Triple, 64> queue;
    std::thread producer([&] {
        for (uint64_t n = 1; n <= kCount; ++n)
            while (!queue.push(make(n)))
                std::this_thread::yield();
    });
    uint64_t expected = 1;
    Triple got{};
    while (expected <= kCount) {
        if (!queue.pop(got)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_TRUE(got.whole()) << expected;
        ASSERT_EQ(got.n, expected);
        ++expected;
    }
    producer.join();
    EXPECT_EQ(queue.front(), nullptr);
    for (uint64_t n = 0; n < 64; ++n)
        EXPECT_TRUE(queue.push(make(n)));
    EXPECT_FALSE(queue.push(make(64))) << "a full queue refuses";
}

TEST(Handover, LatestValueReadersNeverSeeHalfAnUpdateNorGoBack) {
    lumacore::TripleBuffer<Triple> triple(make(0));
    lumacore::SeqValue<Triple> seq(make(0));
    std::thread writer([&] {
        for (uint64_t n = 1; n <= kCount; ++n) {
            triple.write(make(n));
            seq.write(make(n));
        }
    });
    auto seqReader = [&] {
        uint64_t last = 0;
        while (last < kCount) {
            const Triple v = seq.read();
            ASSERT_TRUE(v.whole());
            ASSERT_GE(v.n, last);
            last = v.n;
        }
    };
    std::thread other(seqReader);
    uint64_t last = 0, fresh = 0;
    while (last < kCount) {
        Triple v{};
        const bool isNew = triple.read(v);
        ASSERT_TRUE(v.whole());
        ASSERT_GE(v.n, last);
        if (isNew)
            ++fresh;
        else
            ASSERT_EQ(v.n, last) << "nothing new, yet another value";
        last = v.n;
    }
    writer.join();
    other.join();
    Triple v{};
    EXPECT_FALSE(triple.read(v)) << "the last value was read already";
    EXPECT_EQ(v.n, kCount);
    EXPECT_GT(fresh, 0u);
}

} // namespace
