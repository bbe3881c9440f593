#include "frame_tie.h"

#include <algorithm>
#include <cmath>

namespace {

/* A lasting change is followed by this share of the frames that pass. */
constexpr double kSlew = 0.002;
/* Changes beyond this (seconds) are a new time line, not a disturbance to smooth over. */
constexpr double kJumpSeconds = 0.05;
/* No cycle for this long (seconds): the stream or the server has started afresh. */
constexpr double kGapSeconds = 1.0;
/* Ties further from an event than this (frames; hours) are not trusted: it goes out at once. */
constexpr double kMaxTieFrames = 1e9;

double median_of_three(const double* v) {
    return std::max(std::min(v[0], v[1]), std::min(std::max(v[0], v[1]), v[2]));
}

} // namespace

long long frame_mapping_offset(const FrameMapping& mapping, double time, uint32_t cycleStart) {
    if (!mapping.valid)
        return 0;
    const double frames = (time - mapping.streamTime) * mapping.rate + mapping.correction +
                          static_cast<double>(static_cast<int32_t>(mapping.frame - cycleStart));
    if (!std::isfinite(frames) || std::fabs(frames) > kMaxTieFrames)
        return 0;
    return std::llround(frames);
}

long frame_in_period(const FrameMapping& mapping, double time, uint32_t cycleStart, uint32_t frames, long notBefore,
                     bool* late) {
    const long long offset = frame_mapping_offset(mapping, time, cycleStart);
    if (offset >= static_cast<long long>(frames))
        return -1;
    *late = offset < 0;
    return std::max(static_cast<long>(std::max(offset, 0LL)), notBefore);
}

StreamFrameTie::StreamFrameTie(double rate)
    : mapping_{0.0, 0, 0.0, std::isfinite(rate) && rate > 0.0 ? rate : 44100.0, 0} {}

void StreamFrameTie::anchor(double streamTime, uint32_t frame) noexcept {
    mapping_ = FrameMapping{streamTime, frame, 0.0, mapping_.rate, 1};
    recent_[0] = recent_[1] = recent_[2] = 0.0;
    next_ = 0;
}

void StreamFrameTie::observe(double streamTime, uint32_t cycleFrame) noexcept {
    if (!std::isfinite(streamTime))
        return;
    const uint32_t sinceAnchor = cycleFrame - mapping_.frame;
    if (mapping_.valid && sinceAnchor == 0)
        return;
    /* A frame clock that went backwards wraps to a huge distance, and so starts afresh too. */
    const double elapsed = static_cast<double>(sinceAnchor);
    if (!mapping_.valid || elapsed > kGapSeconds * mapping_.rate) {
        anchor(streamTime, cycleFrame);
        return;
    }
    const double predicted = (streamTime - mapping_.streamTime) * mapping_.rate + mapping_.correction;
    const double distance = elapsed - predicted;
    if (!std::isfinite(distance))
        return;
    recent_[next_] = distance;
    next_ = (next_ + 1) % 3;
    const double agreed = median_of_three(recent_);
    const double step = std::fabs(agreed) > kJumpSeconds * mapping_.rate
                            ? agreed
                            : std::clamp(agreed, -kSlew * elapsed, kSlew * elapsed);
    for (double& r : recent_)
        r -= step;
    /* Anchored at this cycle, the mapping moved by `step` only. */
    mapping_ = FrameMapping{streamTime, cycleFrame, step - distance, mapping_.rate, 1};
}
