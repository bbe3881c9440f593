#include "percussionEntry.h"

#include <algorithm>
#include <cmath>

namespace meterTracker {

namespace {

constexpr double risingSeconds = 0.1;
constexpr double blockSeconds = 0.25;
constexpr unsigned int quietBlocks = 16;  // the 4 s before the entry
constexpr unsigned int keptBlocks = 48;   // the 12 s whose loudest an entry must approach
constexpr double entryJump = 1.8;
constexpr double shareOfLoudest = 0.25;

} // namespace

void PercussionEntry::configure(double accentRate) {
    rate = accentRate > 0.0 && accentRate < 1000.0 ? accentRate : 0.0;
    rising.assign(rate > 0.0 ? static_cast<std::size_t>(std::ceil(risingSeconds * rate)) : 1, 0.0);
    blockFrames = rate > 0.0 ? std::max(1u, static_cast<unsigned int>(std::lround(blockSeconds * rate))) : 1;
    blockMax.assign(keptBlocks, 0.0);
    reset();
}

void PercussionEntry::reset() {
    std::fill(rising.begin(), rising.end(), 0.0);
    std::fill(blockMax.begin(), blockMax.end(), 0.0);
    framesInBlock = 0;
    blocks = 0;
    currentBlock = 0.0;
    framesSeen = 0;
    judgedFrom = quietBlocks;
    rise = false;
}

bool PercussionEntry::add(unsigned int frame, double total, unsigned int& peakFrame) {
    if (!(rate > 0.0))
        return false;
    if (!std::isfinite(total) || total < 0.0)
        total = 0.0;
    bool found = false;
    if (rise) {
        if (total > peakTotal) {
            peak = frame;
            peakTotal = total;
        } else {
            rise = false;
            found = true;
            peakFrame = peak;
            // The hit's own frames must not count as another entry.
            judgedFrom = blocks + quietBlocks;
        }
    } else if (blocks >= judgedFrom) {
        double before = currentBlock, loudest = currentBlock;
        for (unsigned long k = 0; k < keptBlocks && k < blocks; ++k) {
            double const m = blockMax[(blocks - 1 - k) % keptBlocks];
            loudest = std::max(loudest, m);
            if (k < quietBlocks)
                before = std::max(before, m);
        }
        if (total > entryJump * before && total >= shareOfLoudest * loudest) {
            rise = true;
            peak = frame;
            peakTotal = total;
        }
    }
    // The frame leaving the rising window joins the quarter-second blocks.
    auto const n = rising.size();
    if (framesSeen >= n) {
        currentBlock = std::max(currentBlock, rising[framesSeen % n]);
        if (++framesInBlock == blockFrames) {
            blockMax[blocks++ % keptBlocks] = currentBlock;
            currentBlock = 0.0;
            framesInBlock = 0;
        }
    }
    rising[framesSeen++ % n] = total;
    return found;
}

} // namespace meterTracker
