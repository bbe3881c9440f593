#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

// The engine's time line counted on the sound card's sample clock: seconds of audio delivered
// since the stream started, at the nominal 44.1 kHz the meter tracker counts in. The host's
// stream clock (often the system clock) drifts from the card's crystal by its error, some
// tenths of a second per hour; the tracker's tick times do not, so neither may the clock the
// engine compares them with. The host clock only fills in the time between two blocks. Devices
// that run at another rate count at theirs (see reset).
//
// One writer (the audio thread, or the GUI thread while no stream runs) and any number of
// readers. The frame count and the host time of the last block are published together under a
// sequence counter, so a reader never mixes halves of two blocks.
class SampleClock {
public:
    static constexpr double sampleRate = 44100.0;

    // Counts `frames` more delivered frames and notes `hostTime`, the host's time of this
    // callback (a non-finite one keeps the previous). AUDIO THREAD: no allocation, no lock, no
    // I/O, no throw; never concurrent with another onBlock or reset.
    void onBlock(unsigned long frames, double hostTime) noexcept;

    // Seconds on the sample clock at host time `hostTime`: the frames delivered so far plus the
    // host time elapsed since the last block, at most that block's own duration, so that a
    // stalled stream stops the clock and the next block never reads earlier than a reading
    // before it (for blocks no shorter than the one before). 0 before the first block; a
    // non-finite `hostTime` reads as the last block's. Timer and GUI threads: no allocation,
    // no lock, no I/O.
    double now(double hostTime) const noexcept;

    // Seconds delivered so far: the time of the first sample of the next block.
    double lastBlockEnd() const noexcept;

    // Back to zero for a new stream that delivers `rate` frames a second (the device's own rate;
    // the time line stays in seconds). Only while no stream delivers blocks; readers may run.
    void reset(double rate = sampleRate) noexcept;

private:
    struct Reading {
        std::uint64_t frames;
        std::uint64_t lastBlockFrames;
        double hostTime;
    };
    Reading read() const noexcept;
    void publish(const Reading& reading) noexcept;

    // Odd while a publication is under way. Every access is sequentially consistent, which
    // orders the guarded values between the two counter stores without fences.
    std::atomic<std::uint64_t> sequence{0};
    std::atomic<std::uint64_t> frameCount{0};
    std::atomic<std::uint64_t> lastBlockFrameCount{0};
    // NaN until a block brought a finite host time.
    std::atomic<double> blockHostTime{std::numeric_limits<double>::quiet_NaN()};
    std::atomic<double> frameRate{sampleRate};
};
