#include "bandNoiseFloor.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace meterTracker {

namespace {
constexpr double none = std::numeric_limits<double>::infinity();
// A floor block's length: the kept blocks span a few seconds, long enough to hold a gap of
// every piece's texture, short enough to follow a fader or a change of room.
constexpr double blockSeconds = 0.75;
} // namespace

void BandNoiseFloor::configure(unsigned int bands, double framesPerSecond) {
    nBands = bands;
    framesPerBlock = std::max(1u, static_cast<unsigned int>(std::lround(blockSeconds * framesPerSecond)));
    recent.assign(std::size_t(bands) * smoothingFrames, 0.0);
    blockMin.assign(bands, none);
    keptMin.assign(std::size_t(bands) * blocksKept, none);
    floors.assign(bands, 0.0);
    keptFloor.assign(bands, none);
    reset();
}

void BandNoiseFloor::reset() {
    std::fill(recent.begin(), recent.end(), 0.0);
    std::fill(blockMin.begin(), blockMin.end(), none);
    std::fill(keptMin.begin(), keptMin.end(), none);
    std::fill(floors.begin(), floors.end(), 0.0);
    std::fill(keptFloor.begin(), keptFloor.end(), none);
    frameInBlock = newestBlock = recentCount = recentNext = 0;
}

std::vector<double> const& BandNoiseFloor::addFrame(double const* energies) {
    recentCount = std::min(recentCount + 1, smoothingFrames);
    for (unsigned int b = 0; b < nBands; ++b) {
        double* r = &recent[std::size_t(b) * smoothingFrames];
        r[recentNext] = energies[b];
        double sum = 0.0;
        for (unsigned int i = 0; i < smoothingFrames; ++i)
            sum += r[i];
        blockMin[b] = std::min(blockMin[b], sum / recentCount);
        floors[b] = std::min(blockMin[b], keptFloor[b]);
    }
    recentNext = (recentNext + 1) % smoothingFrames;
    if (++frameInBlock == framesPerBlock) {
        frameInBlock = 0;
        newestBlock = (newestBlock + 1) % blocksKept;
        for (unsigned int b = 0; b < nBands; ++b) {
            double* kept = &keptMin[std::size_t(b) * blocksKept];
            kept[newestBlock] = blockMin[b];
            blockMin[b] = none;
            keptFloor[b] = *std::min_element(kept, kept + blocksKept);
        }
    }
    return floors;
}

} // namespace meterTracker
