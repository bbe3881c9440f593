// Sequencer: ring bookkeeping, drops and the consumers' time line, driven through the manual
// consumer mode; one threaded run checks that no sample is lost or reordered.
#include "sequencer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "ticker_support.h"

namespace {

constexpr int kRing = SEQUENCER_RING_LENGTH;
constexpr double kRate = SEQUENCER_SAMPLE_RATE;

// Every test sample carries its stream-frame index (exact in float below 2^24), so a delivery's
// samples tell where in the stream they came from and whether the time handed over matches.
float sample_value(uint64_t streamIndex) {
    return static_cast<float>(streamIndex % 16777216u);
}

struct Delivery {
    int ringIndex;
    int count;
    double time;
};

struct Recorder {
    const Sequencer_t* seq = nullptr;
    std::vector<Delivery> deliveries;
    uint64_t frames = 0, next = 0, gaps = 0; // delivered; stream frame due next; frames skipped
    int mismatches = 0; // samples whose value disagrees with the time handed over, and overlaps
    int result = 0;     // what the callback returns

    static int callback(const float* samples, int count, void* udata, double time) {
        auto* self = static_cast<Recorder*>(udata);
        const int index = static_cast<int>(samples - sequencer_ring(self->seq));
        self->deliveries.push_back({index, count, time});
        const auto first = static_cast<uint64_t>(std::llround(time * kRate));
        self->mismatches += first < self->next ? 1 : 0;
        self->gaps += first > self->next ? first - self->next : 0;
        self->next = first + static_cast<uint64_t>(count);
        self->frames += static_cast<uint64_t>(count);
        for (int i = 0; i < count; ++i)
            self->mismatches += samples[i] != sample_value(first + static_cast<uint64_t>(i)) ? 1 : 0;
        return self->result;
    }
};

// Feeds blocks whose samples carry their stream-frame index.
class Feeder {
public:
    explicit Feeder(Sequencer_t* seq) : seq_(seq) {}
    int feed(unsigned long frames, double streamTime = -1) {
        std::vector<float> block(frames);
        for (unsigned long i = 0; i < frames; ++i)
            block[i] = sample_value(next_ + i);
        next_ += frames;
        if (streamTime < 0)
            streamTime = static_cast<double>(next_ - frames) / kRate;
        return sequencer_audio_cb(block.data(), frames, seq_, streamTime);
    }
    // Feeds `blocks` blocks of `frames`; returns how many were refused.
    int feedBlocks(int blocks, unsigned long frames = 128) {
        int refused = 0;
        for (int b = 0; b < blocks; ++b)
            refused += feed(frames) != 0 ? 1 : 0;
        return refused;
    }
    uint64_t next() const { return next_; }

private:
    Sequencer_t* seq_;
    uint64_t next_ = 0;
};

// Checks every delivery recorded; a negative ring index or time is not checked.
void expectDeliveries(const std::vector<Delivery>& got, const std::vector<Delivery>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_TRUE(want[i].ringIndex < 0 || got[i].ringIndex == want[i].ringIndex) << i << ": " << got[i].ringIndex;
        EXPECT_EQ(got[i].count, want[i].count) << i;
        EXPECT_TRUE(want[i].time < 0 || std::fabs(got[i].time - want[i].time) < 1e-12) << i << ": " << got[i].time;
    }
}

class SequencerTest : public ::testing::Test {
protected:
    void SetUp() override {
        seq = init_sequencer();
        ASSERT_NE(seq, nullptr);
        recorder.seq = seq;
    }
    void TearDown() override { close_sequencer(seq); }
    int add_recorder(Recorder& r) {
        r.seq = seq;
        return sequencer_audio_cons_add_manual(seq, &Recorder::callback, &r);
    }

    Sequencer_t* seq = nullptr;
    Recorder recorder;
    LogCapture log;
};

// Whole blocks are lost while the consumer stalls; each drop point cuts the delivery and moves
// its time on by what was lost, and the lost audio never reaches the ring.
TEST_F(SequencerTest, AStalledConsumerLosesWholeBlocksAndEachDropMovesTheTimeOn) {
    const int slot = add_recorder(recorder);
    Feeder feeder(seq);
    ASSERT_EQ(feeder.feedBlocks(127), 0); // 127 cells left
    EXPECT_EQ(feeder.feedBlocks(5), 5);   // lost: 640, one message each
    EXPECT_EQ(log.count("Dropping audio"), 5);
    // 27 cells left after 100, then 64 more lost, then the ring is full.
    EXPECT_TRUE(feeder.feed(100) == 0 && feeder.feed(64) == 1 && feeder.feed(27) == 0);
    EXPECT_TRUE(sequencer_dropped_frames(seq) == 704u && sequencer_stream_frames(seq) == feeder.next());
    EXPECT_EQ(sequencer_consume(seq, slot), 16383);
    expectDeliveries(recorder.deliveries,
                     {{0, 16256, 0.0}, {16256, 100, (16256 + 640) / kRate}, {16356, 27, (16356 + 704) / kRate}});
    EXPECT_TRUE(recorder.mismatches == 0 && sequencer_consume(seq, slot) == 0); // nothing left
}

TEST_F(SequencerTest, LargestBlockFillsTheRingAcrossItsEndAndLargerOnesAreDropped) {
    const int slot = add_recorder(recorder);
    Feeder feeder(seq);
    ASSERT_EQ(feeder.feed(100), 0);
    EXPECT_EQ(sequencer_consume(seq, slot), 100);
    ASSERT_EQ(feeder.feed(kRing - 1), 0); // 16383 samples from index 100: wraps, fills every free cell
    EXPECT_EQ(sequencer_write_pos(seq), 99);
    EXPECT_EQ(feeder.feed(1), 1); // full
    recorder.deliveries.clear();
    EXPECT_EQ(sequencer_consume(seq, slot), kRing - 1);
    expectDeliveries(recorder.deliveries, {{100, kRing - 100, -1}, {0, 99, -1}});

    EXPECT_TRUE(feeder.feed(kRing) == 1 && feeder.feed(3 * kRing + 5) == 1);
    EXPECT_EQ(log.count("is larger than the ring"), 2);
    // Even with no consumer at all, an oversized block is discarded rather than written.
    sequencer_audio_cons_rem(seq, &Recorder::callback, &recorder);
    EXPECT_TRUE(feeder.feed(kRing + 1) == 1 && feeder.feed(kRing - 1) == 0);
    EXPECT_EQ(recorder.mismatches, 0);
}

TEST_F(SequencerTest, TimesStartAtZeroWhateverTheFirstBlockTimeAndFollowTheRingIndex) {
    const int slot = add_recorder(recorder);
    Feeder feeder(seq);
    for (int b = 0; b < 3; ++b) {
        ASSERT_EQ(feeder.feed(128, 0.010 + b * 128 / kRate), 0);
        sequencer_consume(seq, slot);
    }
    expectDeliveries(recorder.deliveries, {{-1, 128, 0.0}, {-1, 128, 128 / kRate}, {-1, 128, 256 / kRate}});
    // Without a time source the current time is the end of the last block; with one, its value.
    EXPECT_DOUBLE_EQ(LCSeq_get_current_time(seq), 0.010 + 3 * 128 / kRate);
    // A non-finite stream time carries on from the last block instead of poisoning the clock.
    ASSERT_EQ(sequencer_audio_cb(nullptr, 0, seq, std::nan("")), 0);
    EXPECT_DOUBLE_EQ(LCSeq_get_current_time(seq), 0.010 + 3 * 128 / kRate);
    double clock = 12345.678901;
    sequencer_register_gettime_cb(seq, &clock, [](void* udata) { return *static_cast<double*>(udata); });
    EXPECT_EQ(LCSeq_get_current_time(seq), 12345.678901); // double all the way, no narrowing
}

TEST_F(SequencerTest, FullDropRecordDiscardsFurtherBlocksSoTheTimeLineStaysExact) {
    const int slot = add_recorder(recorder);
    Feeder feeder(seq);
    ASSERT_EQ(feeder.feed(16300), 0);
    int recordFull = 0;
    for (int i = 0; i < SEQUENCER_DROP_RECORDS + 5; ++i) {
        EXPECT_EQ(feeder.feed(100), 1); // never fits: leaves a drop point before the next sample
        recordFull += feeder.feed(1);
    }
    EXPECT_EQ(recordFull, 5);
    EXPECT_EQ(log.count("drop record of processing thread 0 full"), 5);
    EXPECT_EQ(sequencer_consume(seq, slot), 16300 + SEQUENCER_DROP_RECORDS);
    EXPECT_EQ(recorder.deliveries.size(), 1u + SEQUENCER_DROP_RECORDS);
    ASSERT_EQ(feeder.feed(50), 0); // after catching up, the next block carries the right time
    recorder.deliveries.clear();
    EXPECT_EQ(sequencer_consume(seq, slot), 50);
    // It wraps at the ring's end after 20 samples.
    const double end = static_cast<double>(feeder.next());
    expectDeliveries(recorder.deliveries, {{-1, 20, (end - 50) / kRate}, {0, 30, (end - 30) / kRate}});
    EXPECT_EQ(recorder.mismatches, 0);
}

TEST_F(SequencerTest, RemovedOrEndedConsumersNoLongerHoldBackTheAudio) {
    Feeder feeder(seq);
    int slot = add_recorder(recorder);
    ASSERT_EQ(feeder.feedBlocks(127), 0);
    EXPECT_EQ(feeder.feed(128), 1);
    sequencer_audio_cons_rem(seq, &Recorder::callback, &recorder);
    EXPECT_EQ(sequencer_audio_cons_find(seq, &Recorder::callback, &recorder), -1);
    EXPECT_EQ(sequencer_consume(seq, slot), -1);
    EXPECT_EQ(feeder.feed(128), 0);

    // A new consumer sees only what arrives after it was added, on the stream's time line.
    Recorder second;
    slot = add_recorder(second);
    EXPECT_EQ(sequencer_consume(seq, slot), 0);
    const uint64_t start = feeder.next();
    ASSERT_EQ(feeder.feedBlocks(127), 0);
    EXPECT_EQ(sequencer_consume(seq, slot), 127 * 128);
    EXPECT_DOUBLE_EQ(second.deliveries.front().time, static_cast<double>(start) / kRate);
    EXPECT_EQ(second.mismatches, 0);

    // A callback that returns non-zero ends its consumer, which then holds nothing back.
    second.result = 7;
    feeder.feed(128);
    EXPECT_EQ(sequencer_consume(seq, slot), -1);
    EXPECT_EQ(log.count("audio consumer callback returned: 7"), 1);
    ASSERT_EQ(feeder.feedBlocks(300), 0);
    sequencer_audio_cons_rem(seq, &Recorder::callback, &second);
    EXPECT_EQ(log.count("processing thread returned with value: 7"), 1);
}

TEST_F(SequencerTest, SlotsAreReusedAndTheSeventeenthConsumerIsRefused) {
    std::vector<Recorder> recorders(SEQUENCER_MAX_CONSUMERS + 1);
    for (int i = 0; i < SEQUENCER_MAX_CONSUMERS; ++i)
        EXPECT_EQ(add_recorder(recorders[i]), i);
    EXPECT_EQ(add_recorder(recorders.back()), -1);
    EXPECT_EQ(sequencer_audio_cons_add_manual(seq, nullptr, nullptr), -1);
    EXPECT_EQ(sequencer_audio_cons_add(seq, &Recorder::callback, &recorders.back()), 1);
    sequencer_audio_cons_rem(seq, &Recorder::callback, &recorders[5]);
    EXPECT_EQ(add_recorder(recorders.back()), 5);
    for (int i = 0; i < SEQUENCER_MAX_CONSUMERS; ++i)
        sequencer_audio_cons_rem(seq, &Recorder::callback, &recorders[i]);
    sequencer_audio_cons_rem(seq, &Recorder::callback, &recorders.back());
}

// ---- Threads ----

TEST(SequencerThreads, PacedProducerLosesNoSampleThroughTheConsumerThread) {
    Sequencer_t* seq = init_sequencer();
    Recorder recorder;
    recorder.seq = seq;
    ASSERT_EQ(sequencer_audio_cons_add(seq, &Recorder::callback, &recorder), 0);
    const int slot = sequencer_audio_cons_find(seq, &Recorder::callback, &recorder);
    Feeder feeder(seq);
    const unsigned long sizes[] = {128, 128, 77, 300, 1, 0, 128, 4096};
    for (int b = 0; b < 6000; ++b) {
        const unsigned long frames = sizes[b % 8];
        // Flow control instead of timing: wait for ring space, so nothing may be dropped.
        while ((sequencer_write_pos(seq) - sequencer_read_pos(seq, slot) + kRing) % kRing + frames > kRing - 1)
            std::this_thread::yield();
        ASSERT_EQ(feeder.feed(frames), 0);
    }
    ASSERT_TRUE(eventually([&] { return sequencer_read_pos(seq, slot) == sequencer_write_pos(seq); }, 60));
    sequencer_audio_cons_rem(seq, &Recorder::callback, &recorder); // joins the consumer thread
    EXPECT_EQ(recorder.frames, feeder.next());
    EXPECT_EQ(recorder.mismatches, 0);
    EXPECT_EQ(recorder.gaps, 0u);
    EXPECT_EQ(sequencer_dropped_frames(seq), 0u);
    close_sequencer(seq);
}

TEST(SequencerThreads, StopsWaitingConsumersAtRemovalAndAtClose) {
    Sequencer_t* seq = init_sequencer();
    Recorder a, b;
    a.seq = b.seq = seq;
    ASSERT_EQ(sequencer_audio_cons_add(seq, &Recorder::callback, &a), 0);
    ASSERT_EQ(sequencer_audio_cons_add(seq, &Recorder::callback, &b), 0);
    Feeder(seq).feed(128);
    ASSERT_TRUE(eventually([&] { return sequencer_read_pos(seq, 0) == 128; }));
    sequencer_audio_cons_rem(seq, &Recorder::callback, &a); // returns only once its thread has ended
    LogCapture log;
    close_sequencer(seq); // b is still waiting: stopped with a warning
    EXPECT_EQ(log.count("still present at close"), 1);
}

TEST(SequencerThreads, TimeSourceCanBeSwappedWhileOtherThreadsReadIt) {
    Sequencer_t* seq = init_sequencer();
    // Each source is only valid with its own user data: a torn pair would read 99.
    static int owners[2];
    lc_gettime_fn first = [](void* udata) { return udata == &owners[0] ? 1.0 : 99.0; };
    lc_gettime_fn second = [](void* udata) { return udata == &owners[1] ? 2.0 : 99.0; };
    sequencer_register_gettime_cb(seq, &owners[0], first);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done.load())
            torn.fetch_add(LCSeq_get_current_time(seq) == 99.0 ? 1 : 0);
    });
    for (int i = 0; i < 20000; ++i) {
        if (i % 2)
            sequencer_register_gettime_cb(seq, &owners[1], second);
        else
            sequencer_register_gettime_cb(seq, &owners[0], first);
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    close_sequencer(seq);
}

} // namespace
