#include "openingSilence.h"

#include <algorithm>

namespace meterTracker {

namespace {
// The silence analysed before the music, and what counts as silence (as the bar chooser hears
// it).
constexpr double keptSeconds = 1.5;
constexpr double silentMeanSquare = 1e-6;
constexpr unsigned int block = 128;
} // namespace

void OpeningSilence::configure(double sampleRate) {
    rate = sampleRate > 0.0 && sampleRate < 1e6 ? sampleRate : 0.0;
    keptLength = static_cast<unsigned long long>(keptSeconds * rate);
    reset();
}

void OpeningSilence::reset() {
    silenceAnalysed = skippedSamples = 0;
    soundHeard = false;
}

OpeningSilence::Split OpeningSilence::take(double const* samples, unsigned int count) {
    Split split{count, 0};
    if (soundHeard)
        return split;
    for (unsigned int i = 0; i < count; i += block) {
        unsigned int const n = std::min(block, count - i);
        double energy = 0.0;
        for (unsigned int j = i; j < i + n; ++j)
            energy += samples[j] * samples[j];
        if (energy >= silentMeanSquare * n) {
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
