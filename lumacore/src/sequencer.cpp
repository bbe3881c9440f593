#include "sequencer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include <pthread.h>

#include "common.h"

namespace {

constexpr uint64_t kRingLength = SEQUENCER_RING_LENGTH;
// One cell always stays empty so that equal positions mean "nothing to read".
constexpr uint64_t kMaxFill = kRingLength - 1;
constexpr uint32_t kDropRecords = SEQUENCER_DROP_RECORDS;
/* A consumer thread that found audio naps this long before it looks again. The tracker analyses
   hops of 512 samples and takes a step twice a second; a wake-up per hop cost about as much CPU in
   the task switch as in the hop's analysis. Four hops (46 ms) a wake-up delay a step by a few
   tens of milliseconds at most, keep the input level fresh for the window's 25 polls a second and
   leave the ring more than 300 ms of room. */
constexpr auto kConsumerNap = std::chrono::microseconds(4LL * 512 * 1000000 / SEQUENCER_SAMPLE_RATE);

// Slot life: FREE -> (add) ACTIVATING -> (next audio block) ACTIVE -> (callback non-zero) ENDED;
// removal returns ACTIVATING, ACTIVE and ENDED slots to FREE. The audio entry itself activates a
// slot, at the start of a block, so that the slot's start position and time offset are taken from
// counters that only the audio thread writes.
enum SlotState : int { SLOT_FREE = 0, SLOT_ACTIVATING = 1, SLOT_ACTIVE = 2, SLOT_ENDED = 3 };

// Where the delivered stretch has to be cut: from accepted frame `acceptedAt` on, the stream-frame
// index is `acceptedAt + offset` (the frames discarded so far lie before it).
struct DropPoint {
    uint64_t acceptedAt;
    uint64_t offset;
};

struct AudioConsumer {
    std::atomic<int> state{SLOT_FREE};
    // Written by the adding thread before the state leaves FREE; read by the consumer side only.
    lc_audio_consumer_fn fn = nullptr;
    void* udata = nullptr;
    bool threaded = false;
    std::thread thread;
    int lastResult = 0;

    // Accepted-frame index of the next sample this consumer reads; written by the consumer (and by
    // the audio entry at activation), read by the audio entry for its free-space check.
    std::atomic<uint64_t> readFrames{0};
    // Consumer side: stream-frame index minus accepted-frame index of the stretch being read.
    uint64_t streamOffset = 0;

    // Single-producer (audio entry) single-consumer record of drop points not yet read past.
    DropPoint drops[kDropRecords] = {};
    std::atomic<uint32_t> dropHead{0};
    std::atomic<uint32_t> dropTail{0};
    // Audio side: the offset this consumer will have once it has read every recorded drop point.
    uint64_t producerOffset = 0;

    // Bumped after every accepted block and at stop; a consumer thread sleeps on it (futex wait),
    // so a wake-up that happens between its check and its wait is never lost.
    std::atomic<uint32_t> wake{0};
    std::atomic<bool> stop{false};
};

} // namespace

struct Sequencer_t {
    float* ring = nullptr;

    // Written by the audio entry only.
    std::atomic<uint64_t> acceptedFrames{0}; // frames written to the ring so far
    std::atomic<uint64_t> streamFrames{0};   // frames that reached the audio entry
    std::atomic<uint64_t> droppedFrames{0};
    std::atomic<int> started{0};
    std::atomic<double> lastBlockTime{0.0};
    std::atomic<double> blockEndTime{0.0};
    std::atomic<double> timeOffset{0.0};

    // Time source, published as a pair through a sequence lock: readers (timer, GUI) never wait.
    std::mutex timeSourceWriters;
    std::atomic<uint32_t> timeSourceSeq{0};
    std::atomic<lc_gettime_fn> gettime{nullptr};
    std::atomic<void*> gettimeData{nullptr};

    std::mutex slotsLock; // serialises adding and removing consumers (GUI thread)
    AudioConsumer consumers[SEQUENCER_MAX_CONSUMERS];
};

namespace {

void consumer_thread(Sequencer_t* seq, int slot) {
    pthread_setname_np(pthread_self(), "lc-analysis");
    lc_logmsg(LC_LOG_PROGRESS, "Audio consumer thread %d", slot);
    AudioConsumer& c = seq->consumers[slot];
    for (;;) {
        const uint32_t seen = c.wake.load(std::memory_order_acquire);
        if (c.stop.load(std::memory_order_acquire))
            break;
        const long delivered = sequencer_consume(seq, slot);
        if (delivered < 0)
            break;
        if (delivered > 0) {
            std::this_thread::sleep_for(kConsumerNap);
            continue; // more has arrived meanwhile
        }
        c.wake.wait(seen, std::memory_order_acquire);
    }
}

// Audio thread: takes over slots added since the previous block.
void activate_new_slots(Sequencer_t* seq, uint64_t accepted, uint64_t stream) {
    for (AudioConsumer& c : seq->consumers) {
        if (c.state.load(std::memory_order_acquire) != SLOT_ACTIVATING)
            continue;
        c.readFrames.store(accepted, std::memory_order_relaxed);
        c.streamOffset = stream - accepted;
        c.producerOffset = stream - accepted;
        c.dropHead.store(0, std::memory_order_relaxed);
        c.dropTail.store(0, std::memory_order_relaxed);
        c.state.store(SLOT_ACTIVE, std::memory_order_release);
    }
}

int add_consumer(Sequencer_t* seq, lc_audio_consumer_fn fn, void* udata, bool threaded) {
    if (fn == nullptr) {
        lc_logmsg(LC_LOG_ERROR, "Sequencer: audio consumer without a callback");
        return -1;
    }
    std::lock_guard<std::mutex> guard(seq->slotsLock);
    int slot = -1;
    for (int i = 0; i < SEQUENCER_MAX_CONSUMERS; ++i) {
        if (seq->consumers[i].state.load(std::memory_order_acquire) == SLOT_FREE) {
            slot = i;
            break;
        }
    }
    if (slot < 0) {
        lc_logmsg(LC_LOG_ERROR, "Sequencer: no free consumer slot (%d in use)", SEQUENCER_MAX_CONSUMERS);
        return -1;
    }
    AudioConsumer& c = seq->consumers[slot];
    c.fn = fn;
    c.udata = udata;
    c.threaded = threaded;
    c.lastResult = 0;
    c.stop.store(false, std::memory_order_relaxed);
    c.state.store(SLOT_ACTIVATING, std::memory_order_release);
    if (threaded) {
        try {
            c.thread = std::thread(consumer_thread, seq, slot);
        } catch (const std::system_error&) {
            std::perror("lumacore: thread creation failed\n");
            c.state.store(SLOT_FREE, std::memory_order_release);
            return -1;
        }
        lc_logmsg(LC_LOG_PROGRESS, "created audio consumer thread %d", slot);
    }
    return slot;
}

void stop_consumer(AudioConsumer& c) {
    if (c.threaded && c.thread.joinable()) {
        c.stop.store(true, std::memory_order_release);
        c.wake.fetch_add(1, std::memory_order_release);
        c.wake.notify_all();
        c.thread.join();
    }
    if (c.lastResult != 0)
        lc_logmsg(LC_LOG_PROGRESS, "Sequencer: processing thread returned with value: %x", c.lastResult);
    c.fn = nullptr;
    c.udata = nullptr;
    c.state.store(SLOT_FREE, std::memory_order_release);
}

} // namespace

extern "C" {

Sequencer_t* init_sequencer(void) {
    Sequencer_t* seq = new (std::nothrow) Sequencer_t;
    if (seq == nullptr) {
        lc_logmsg(LC_LOG_ERROR, "memory allocation failed");
        return nullptr;
    }
    seq->ring = new (std::nothrow) float[kRingLength]();
    if (seq->ring == nullptr) {
        lc_logmsg(LC_LOG_ERROR, "memory allocation failed");
        delete seq;
        return nullptr;
    }
    return seq;
}

int start_sequencer(Sequencer_t* seq) {
    seq->lastBlockTime.store(0.0, std::memory_order_relaxed);
    lc_logmsg(LC_LOG_PROGRESS, "sequencer started");
    return 0;
}

void stop_sequencer(Sequencer_t* seq) {
    lc_logmsg(LC_LOG_PROGRESS, "Sequencer: stopping sequencer");
    seq->timeOffset.store(seq->timeOffset.load(std::memory_order_relaxed) -
                              seq->blockEndTime.load(std::memory_order_relaxed),
                          std::memory_order_relaxed);
    seq->blockEndTime.store(0.0, std::memory_order_relaxed);
    lc_logmsg(LC_LOG_PROGRESS, "Sequencer: closing portaudio stream");
}

void close_sequencer(Sequencer_t* seq) {
    if (seq == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(seq->slotsLock);
        for (int i = 0; i < SEQUENCER_MAX_CONSUMERS; ++i) {
            AudioConsumer& c = seq->consumers[i];
            if (c.state.load(std::memory_order_acquire) == SLOT_FREE)
                continue;
            lc_logmsg(LC_LOG_WARNING, "Sequencer: consumer %d still present at close; stopping it", i);
            stop_consumer(c);
        }
    }
    delete[] seq->ring;
    delete seq;
    lc_logmsg(LC_LOG_PROGRESS, "Sequencer: closed");
}

int sequencer_audio_cons_add(Sequencer_t* seq, lc_audio_consumer_fn fn, void* udata) {
    return add_consumer(seq, fn, udata, true) < 0 ? 1 : 0;
}

int sequencer_audio_cons_add_manual(Sequencer_t* seq, lc_audio_consumer_fn fn, void* udata) {
    return add_consumer(seq, fn, udata, false);
}

int sequencer_audio_cons_find(Sequencer_t* seq, lc_audio_consumer_fn fn, void* udata) {
    std::lock_guard<std::mutex> guard(seq->slotsLock);
    for (int i = 0; i < SEQUENCER_MAX_CONSUMERS; ++i) {
        const AudioConsumer& c = seq->consumers[i];
        if (c.state.load(std::memory_order_acquire) != SLOT_FREE && c.fn == fn && c.udata == udata)
            return i;
    }
    return -1;
}

void sequencer_audio_cons_rem(Sequencer_t* seq, lc_audio_consumer_fn fn, void* udata) {
    std::lock_guard<std::mutex> guard(seq->slotsLock);
    for (AudioConsumer& c : seq->consumers) {
        if (c.state.load(std::memory_order_acquire) == SLOT_FREE || c.fn != fn || c.udata != udata)
            continue;
        lc_logmsg(LC_LOG_PROGRESS, "Sequencer: removing sequencer audio callback");
        stop_consumer(c);
    }
}

long sequencer_consume(Sequencer_t* seq, int slot) {
    if (slot < 0 || slot >= SEQUENCER_MAX_CONSUMERS)
        return -1;
    AudioConsumer& c = seq->consumers[slot];
    const int state = c.state.load(std::memory_order_acquire);
    if (state == SLOT_ACTIVATING)
        return 0;
    if (state != SLOT_ACTIVE)
        return -1;

    const uint64_t written = seq->acceptedFrames.load(std::memory_order_acquire);
    uint64_t read = c.readFrames.load(std::memory_order_relaxed);
    long delivered = 0;
    while (read < written) {
        uint64_t end = written;
        // Pass the drop points reached; stop the stretch at the next one.
        uint32_t tail = c.dropTail.load(std::memory_order_relaxed);
        const uint32_t head = c.dropHead.load(std::memory_order_acquire);
        while (tail != head) {
            const DropPoint& drop = c.drops[tail % kDropRecords];
            if (drop.acceptedAt > read) {
                end = std::min(end, drop.acceptedAt);
                break;
            }
            c.streamOffset = drop.offset;
            ++tail;
            c.dropTail.store(tail, std::memory_order_release);
        }
        const uint64_t index = read % kRingLength;
        end = std::min(end, read - index + kRingLength); // a wrapped stretch goes in two calls
        const int count = static_cast<int>(end - read);
        const double time = static_cast<double>(read + c.streamOffset) / SEQUENCER_SAMPLE_RATE;
        const int result = c.fn(seq->ring + index, count, c.udata, time);
        if (result != 0) {
            lc_logmsg(LC_LOG_PROGRESS, "audio consumer callback returned: %d. Exiting processing thread.",
                      result);
            c.lastResult = result;
            c.state.store(SLOT_ENDED, std::memory_order_release);
            return -1;
        }
        read = end;
        // Publishing the read position is what frees the ring space for the audio entry.
        c.readFrames.store(read, std::memory_order_release);
        delivered += count;
    }
    return delivered;
}

int sequencer_audio_cb(const float* samples, unsigned long frames, Sequencer_t* seq, double streamTime) {
    // A broken stream clock must not poison the time bookkeeping: carry on from the last block.
    if (!std::isfinite(streamTime))
        streamTime = seq->blockEndTime.load(std::memory_order_relaxed);
    seq->lastBlockTime.store(streamTime, std::memory_order_relaxed);
    if (seq->started.load(std::memory_order_relaxed) == 0) {
        seq->timeOffset.store(seq->timeOffset.load(std::memory_order_relaxed) + streamTime,
                              std::memory_order_relaxed);
        seq->started.store(1, std::memory_order_relaxed);
    }

    const uint64_t accepted = seq->acceptedFrames.load(std::memory_order_relaxed);
    const uint64_t stream = seq->streamFrames.load(std::memory_order_relaxed);
    activate_new_slots(seq, accepted, stream);
    const uint64_t offset = stream - accepted;

    bool discard = false;
    if (frames > kMaxFill) {
        lc_logmsg(LC_LOG_PROGRESS, "Dropping audio, block of %lu samples is larger than the ring", frames);
        discard = true;
    } else if (frames > 0 && samples == nullptr) {
        lc_logmsg(LC_LOG_WARNING, "Dropping audio, block of %lu samples without data", frames);
        discard = true;
    } else {
        for (int i = 0; i < SEQUENCER_MAX_CONSUMERS; ++i) {
            AudioConsumer& c = seq->consumers[i];
            if (c.state.load(std::memory_order_acquire) != SLOT_ACTIVE)
                continue;
            const uint64_t used = accepted - c.readFrames.load(std::memory_order_acquire);
            if (kMaxFill - used < frames) {
                lc_logmsg(LC_LOG_PROGRESS, "Dropping audio, processing thread %d too slow", i);
                discard = true;
            } else if (frames > 0 && c.producerOffset != offset &&
                       c.dropHead.load(std::memory_order_relaxed) -
                               c.dropTail.load(std::memory_order_acquire) ==
                           kDropRecords) {
                lc_logmsg(LC_LOG_PROGRESS, "Dropping audio, drop record of processing thread %d full", i);
                discard = true;
            }
        }
    }
    if (discard) {
        seq->streamFrames.store(stream + frames, std::memory_order_relaxed);
        seq->droppedFrames.fetch_add(frames, std::memory_order_relaxed);
        return 1;
    }

    if (frames > 0) {
        // Blocks dropped since this consumer's last recorded point: mark where its stretch must be cut.
        for (AudioConsumer& c : seq->consumers) {
            if (c.state.load(std::memory_order_acquire) != SLOT_ACTIVE || c.producerOffset == offset)
                continue;
            const uint32_t head = c.dropHead.load(std::memory_order_relaxed);
            c.drops[head % kDropRecords] = DropPoint{accepted, offset};
            c.dropHead.store(head + 1, std::memory_order_release);
            c.producerOffset = offset;
        }
        const uint64_t index = accepted % kRingLength;
        const uint64_t first = std::min<uint64_t>(frames, kRingLength - index);
        std::memcpy(seq->ring + index, samples, first * sizeof(float));
        if (first < frames)
            std::memcpy(seq->ring, samples + first, (frames - first) * sizeof(float));
    }
    // The samples are in place before the new write position becomes visible.
    seq->acceptedFrames.store(accepted + frames, std::memory_order_release);
    seq->streamFrames.store(stream + frames, std::memory_order_relaxed);
    seq->blockEndTime.store(streamTime + static_cast<double>(frames) / SEQUENCER_SAMPLE_RATE,
                            std::memory_order_relaxed);

    for (AudioConsumer& c : seq->consumers) {
        if (c.state.load(std::memory_order_acquire) != SLOT_ACTIVE)
            continue;
        c.wake.fetch_add(1, std::memory_order_release);
        c.wake.notify_all();
    }
    return 0;
}

void sequencer_register_gettime_cb(Sequencer_t* seq, void* udata, lc_gettime_fn fn) {
    std::lock_guard<std::mutex> guard(seq->timeSourceWriters);
    // Sequentially consistent throughout: the pair is read far more often than it changes, and
    // plain seq_cst accesses keep the odd/even protocol obviously ordered without fences.
    const uint32_t s = seq->timeSourceSeq.load();
    seq->timeSourceSeq.store(s + 1);
    seq->gettime.store(fn);
    seq->gettimeData.store(udata);
    seq->timeSourceSeq.store(s + 2);
}

double LCSeq_get_current_time(Sequencer_t* seq) {
    lc_gettime_fn fn;
    void* udata;
    for (;;) {
        const uint32_t before = seq->timeSourceSeq.load();
        fn = seq->gettime.load();
        udata = seq->gettimeData.load();
        if ((before & 1u) == 0 && seq->timeSourceSeq.load() == before)
            break;
    }
    if (fn == nullptr)
        return seq->blockEndTime.load(std::memory_order_relaxed);
    return fn(udata);
}

void LCSleep(unsigned int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int sequencer_write_pos(const Sequencer_t* seq) {
    return static_cast<int>(seq->acceptedFrames.load(std::memory_order_acquire) % kRingLength);
}

int sequencer_read_pos(const Sequencer_t* seq, int slot) {
    if (slot < 0 || slot >= SEQUENCER_MAX_CONSUMERS)
        return -1;
    return static_cast<int>(seq->consumers[slot].readFrames.load(std::memory_order_acquire) % kRingLength);
}

uint64_t sequencer_stream_frames(const Sequencer_t* seq) {
    return seq->streamFrames.load(std::memory_order_acquire);
}

uint64_t sequencer_dropped_frames(const Sequencer_t* seq) {
    return seq->droppedFrames.load(std::memory_order_acquire);
}

const float* sequencer_ring(const Sequencer_t* seq) {
    return seq->ring;
}

} // extern "C"
