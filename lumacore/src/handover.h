/* Small lock-free hand-over pieces shared by the engine's threads.
 *
 * SpscQueue: a bounded queue from exactly one producer thread to exactly one consumer thread.
 * TripleBuffer: "the latest value" from one writer thread to one reader thread.
 * SeqValue: "the latest value" from one writer to any number of readers that may retry.
 *
 * None of them allocates after construction, takes a lock or throws: every member is
 * real-time-safe on the thread its comment names. T must be trivially copyable. */
#ifndef LUMACORE_HANDOVER_H
#define LUMACORE_HANDOVER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <type_traits>

namespace lumacore {

/* Index arithmetic of a ring with `Capacity` slots (a power of two): the producer owns `tail`,
   the consumer owns `head`; both count for ever, so full and empty never look alike. */
template <size_t Capacity> class SpscIndex {
    static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0, "capacity must be a power of two");

public:
    /* PRODUCER: slot to write next, or -1 when full. */
    long writable() const noexcept {
        const uint64_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) >= Capacity)
            return -1;
        return static_cast<long>(tail & (Capacity - 1));
    }
    /* PRODUCER: publishes the slot returned by writable(). */
    void commit_write() noexcept { tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
    /* CONSUMER: slot to read next, or -1 when empty. */
    long readable() const noexcept {
        const uint64_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire))
            return -1;
        return static_cast<long>(head & (Capacity - 1));
    }
    /* CONSUMER: frees the slot returned by readable(). */
    void commit_read() noexcept { head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
    /* Any thread: an approximate fill level. */
    size_t size() const noexcept {
        return static_cast<size_t>(tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire));
    }

private:
    alignas(64) std::atomic<uint64_t> head_{0};
    alignas(64) std::atomic<uint64_t> tail_{0};
};

template <typename T, size_t Capacity> class SpscQueue {
    static_assert(std::is_trivially_copyable<T>::value, "queued values are copied as bytes");

public:
    /* PRODUCER: false (and nothing queued) when full. */
    bool push(const T& value) noexcept {
        const long slot = index_.writable();
        if (slot < 0)
            return false;
        slots_[slot] = value;
        index_.commit_write();
        return true;
    }
    /* CONSUMER: the oldest value without removing it; null when empty. Valid until pop(). */
    const T* front() const noexcept {
        const long slot = index_.readable();
        return slot < 0 ? nullptr : &slots_[slot];
    }
    /* CONSUMER: removes the value front() returned. */
    void pop() noexcept {
        if (index_.readable() >= 0)
            index_.commit_read();
    }
    /* CONSUMER: moves the oldest value into `out`; false when empty. */
    bool pop(T& out) noexcept {
        const T* value = front();
        if (!value)
            return false;
        out = *value;
        index_.commit_read();
        return true;
    }
    size_t size() const noexcept { return index_.size(); }
    static constexpr size_t capacity() { return Capacity; }

private:
    SpscIndex<Capacity> index_;
    T slots_[Capacity]{};
};

/* The writer fills a back slot and swaps it with the middle one; the reader swaps its front slot
   with the middle one when the middle holds something new. Neither ever waits, and the reader
   always holds a complete value. */
template <typename T> class TripleBuffer {
    static_assert(std::is_trivially_copyable<T>::value, "values are copied as bytes");
    static constexpr unsigned kFresh = 4; /* in `middle_`: the middle slot holds an unread value */

public:
    explicit TripleBuffer(const T& initial = T{}) noexcept {
        for (T& slot : slots_)
            slot = initial;
    }
    /* WRITER thread. */
    void write(const T& value) noexcept {
        slots_[back_] = value;
        back_ = middle_.exchange(back_ | kFresh, std::memory_order_acq_rel) & 3u;
    }
    /* READER thread: the latest value written; true when it is newer than at the last read. */
    bool read(T& out) noexcept {
        bool fresh = false;
        if (middle_.load(std::memory_order_relaxed) & kFresh) {
            front_ = middle_.exchange(front_, std::memory_order_acq_rel) & 3u;
            fresh = true;
        }
        out = slots_[front_];
        return fresh;
    }

private:
    T slots_[3];
    unsigned back_ = 0;  /* writer only */
    unsigned front_ = 1; /* reader only */
    std::atomic<unsigned> middle_{2};
};

/* A value published under a sequence counter: the writer never waits; a reader retries until it
   has read one whole publication (yielding while the writer is between its two counter steps), so
   it never combines halves of two. For writers that run at real-time priority (rarely preempted
   mid-update) and readers that may wait a little: for a real-time reader of a value written at
   normal priority use a TripleBuffer. */
template <typename T> class SeqValue {
    static_assert(std::is_trivially_copyable<T>::value, "values are copied as words");
    static constexpr size_t kWords = (sizeof(T) + sizeof(uint64_t) - 1) / sizeof(uint64_t);

public:
    explicit SeqValue(const T& initial = T{}) noexcept { write(initial); }
    /* The one WRITER thread (never concurrent with another write). */
    void write(const T& value) noexcept {
        uint64_t words[kWords] = {};
        std::memcpy(words, &value, sizeof(T));
        const uint64_t seq = seq_.load(std::memory_order_relaxed);
        seq_.store(seq + 1, std::memory_order_relaxed);
        for (size_t i = 0; i < kWords; ++i)
            words_[i].store(words[i], std::memory_order_release);
        seq_.store(seq + 2, std::memory_order_release);
    }
    /* Any thread. */
    T read() const noexcept {
        uint64_t words[kWords];
        for (unsigned attempt = 0;; ++attempt) {
            const uint64_t before = seq_.load(std::memory_order_acquire);
            for (size_t i = 0; i < kWords; ++i)
                words[i] = words_[i].load(std::memory_order_acquire);
            if ((before & 1u) == 0 && seq_.load(std::memory_order_relaxed) == before)
                break;
            if (attempt > 16)
                std::this_thread::yield();
        }
        T value;
        std::memcpy(&value, words, sizeof(T));
        return value;
    }
    /* Any thread: publications so far (changes whenever a write completed). */
    uint64_t version() const noexcept { return seq_.load(std::memory_order_acquire) / 2; }

private:
    std::atomic<uint64_t> seq_{0};
    std::atomic<uint64_t> words_[kWords]{};
};

} // namespace lumacore

#endif
