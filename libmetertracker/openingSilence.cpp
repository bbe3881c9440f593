#include "openingSilence.h"

#include <algorithm>

namespace meterTracker {

namespace {
// The silence analysed before the music, and the loudest mean square that is silence.
constexpr double keptSeconds = 1.5;
constexpr double silentMeanSquare = 1e-6;
} // namespace

bool silentBlock(double const* samples, unsigned int count) {
    if (count == 0)
        return true;
    double mean = 0.0;
    for (unsigned int j = 0; j < count; ++j)
        mean += samples[j];
    mean /= count;
    double energy = 0.0;
    for (unsigned int j = 0; j < count; ++j)
        energy += (samples[j] - mean) * (samples[j] - mean);
    return energy < silentMeanSquare * count;
}

void OpeningSilence::configure(double sampleRate) {
    rate = sampleRate > 0.0 && sampleRate < 1e6 ? sampleRate : 0.0;
    keptLength = static_cast<unsigned long long>(keptSeconds * rate);
    reset();
}

void OpeningSilence::reset() {
    silenceAnalysed = skippedSamples = samplesTaken = 0;
    soundHeard = false;
}

void OpeningSilence::restart() {
    silenceAnalysed = 0;
    skippedSamples = samplesTaken;
    soundHeard = false;
}

OpeningSilence::Split OpeningSilence::take(double const* samples, unsigned int count) {
    Split split{count, 0};
    samplesTaken += count;
    if (soundHeard)
        return split;
    for (unsigned int i = 0; i < count; i += silenceBlock) {
        unsigned int const n = std::min(silenceBlock, count - i);
        if (!silentBlock(samples + i, n)) {
            soundHeard = true;
            break;
        }
        if (silenceAnalysed < keptLength) {
            silenceAnalysed += n;
            continue;
        }
        if (split.skipped == 0)
            split.analysedBefore = i;
        split.skipped += n;
    }
    skippedSamples += split.skipped;
    return split;
}

} // namespace meterTracker
