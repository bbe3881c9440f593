#include "SampleClock.h"

#include <cmath>
#include <limits>

void SampleClock::onBlock(unsigned long frames, double hostTime) noexcept {
    Reading reading = read();
    reading.frames += frames;
    reading.lastBlockFrames = frames;
    if (std::isfinite(hostTime))
        reading.hostTime = hostTime;
    publish(reading);
}

double SampleClock::now(double hostTime) const noexcept {
    const Reading reading = read();
    // Counted in frames, so that a reading held at the end of the last block equals, to the
    // bit, the next block's value: the clock never steps back.
    const double rate = frameRate.load();
    double elapsedFrames = std::isfinite(hostTime) ? (hostTime - reading.hostTime) * rate : 0.0;
    // NaN (no host time yet) and a host clock behind the block both read as no time elapsed.
    if (!(elapsedFrames > 0.0))
        elapsedFrames = 0.0;
    const auto blockFrames = static_cast<double>(reading.lastBlockFrames);
    if (elapsedFrames > blockFrames)
        elapsedFrames = blockFrames;
    return (static_cast<double>(reading.frames) + elapsedFrames) / rate;
}

double SampleClock::lastBlockEnd() const noexcept {
    return static_cast<double>(read().frames) / frameRate.load();
}

void SampleClock::reset(double rate) noexcept {
    frameRate.store(std::isfinite(rate) && rate > 0.0 ? rate : sampleRate);
    publish(Reading{0, 0, std::numeric_limits<double>::quiet_NaN()});
}

SampleClock::Reading SampleClock::read() const noexcept {
    for (;;) {
        const std::uint64_t before = sequence.load();
        if (before & 1u)
            continue;
        const Reading reading{frameCount.load(), lastBlockFrameCount.load(), blockHostTime.load()};
        if (sequence.load() == before)
            return reading;
    }
}

void SampleClock::publish(const Reading& reading) noexcept {
    const std::uint64_t start = sequence.load();
    sequence.store(start + 1);
    frameCount.store(reading.frames);
    lastBlockFrameCount.store(reading.lastBlockFrames);
    blockHostTime.store(reading.hostTime);
    sequence.store(start + 2);
}
