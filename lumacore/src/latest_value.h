/* The latest value from one writer thread to one reader thread: a triple buffer.
 *
 * The writer never waits and never sees the reader; the reader never sees half an update and
 * learns whether anything was written since its last read. Values written between two reads are
 * skipped: only the newest counts (tempo and phase for a network peer, not a message log).
 *
 * write: the writer thread only; read: the reader thread only. Both are real-time-safe (no lock,
 * allocation or system call) when T's copy is. */
#ifndef LUMACORE_LATEST_VALUE_H
#define LUMACORE_LATEST_VALUE_H

#include <atomic>

template <typename T>
class LatestValue {
public:
    void write(const T& value) noexcept {
        slots_[back_] = value;
        back_ = middle_.exchange(back_ | kFresh, std::memory_order_acq_rel) & kIndex;
    }

    /* Copies the newest value into `out` (the last one read when nothing is new, a default T
       before the first write); true when it is new since the previous read. */
    bool read(T& out) noexcept {
        const bool fresh = (middle_.load(std::memory_order_relaxed) & kFresh) != 0;
        if (fresh)
            front_ = middle_.exchange(front_, std::memory_order_acq_rel) & kIndex;
        out = slots_[front_];
        return fresh;
    }

private:
    static constexpr unsigned kIndex = 3u;
    static constexpr unsigned kFresh = 4u;
    T slots_[3]{};
    unsigned back_ = 0;  /* writer's slot */
    unsigned front_ = 2; /* reader's slot */
    std::atomic<unsigned> middle_{1};
};

#endif
