#include "attackTimes.h"

#include "fft_and_filter.h"
#include "peakPickHeight.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {
// Audio kept: the newest beat ticks lie up to a few beats back when their attack is asked for.
constexpr double kKeptSeconds = 4.0;
// A rise must stand this far above the window's median flux to count as an attack: within 70 ms
// of a beat a drum hit stands out several times, the wash of a cymbal or a held chord does not.
constexpr double kClearRise = 1.5;
} // namespace

AttackTimes::AttackTimes(unsigned int srate_) : srate(srate_ > 0 ? srate_ : 44100) {
    // About 23 ms: short enough to part hits an eighth of a beat apart, long enough to resolve
    // the bass drum's low partials.
    unsigned int const frame = srate > 24000 ? 1024 : 512;
    std::size_t ringSize = 1;
    while (ringSize < static_cast<std::size_t>(kKeptSeconds * srate))
        ringSize <<= 1;
    ring.assign(ringSize, 0.0);
    window.resize(frame);
    for (unsigned int i = 0; i < frame; ++i)
        window[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / (frame - 1));
    fftData.resize(2 * frame);
    spectra.resize(2 * (frame / 2 + 1));
}

void AttackTimes::reset() {
    continueFrom(0);
}

void AttackTimes::continueFrom(std::uint64_t samplesTaken) {
    std::fill(ring.begin(), ring.end(), 0.0);
    taken = samplesTaken;
    kept = 0;
}

void AttackTimes::addData(double const* samples, unsigned int count) {
    std::size_t const mask = ring.size() - 1;
    for (unsigned int i = 0; i < count; ++i)
        ring[(taken + i) & mask] = samples[i];
    taken += count;
    kept = std::min<std::uint64_t>(ring.size(), kept + count);
}

void AttackTimes::logSpectra(std::int64_t centreA, std::int64_t centreB, double* outA, double* outB) {
    // Two real frames in one complex transform: A in the real parts, B in the imaginary ones.
    auto const frame = static_cast<std::int64_t>(window.size());
    std::size_t const mask = ring.size() - 1;
    for (std::int64_t i = 0; i < frame; ++i) {
        fftData[2 * i] = window[i] * ring[static_cast<std::size_t>(centreA - frame / 2 + i) & mask];
        fftData[2 * i + 1] = window[i] * ring[static_cast<std::size_t>(centreB - frame / 2 + i) & mask];
    }
    fft(fftData, 1);
    for (std::int64_t k = 0; k <= frame / 2; ++k) {
        std::int64_t const m = (frame - k) % frame;
        double const re = fftData[2 * k], im = fftData[2 * k + 1];
        double const reM = fftData[2 * m], imM = fftData[2 * m + 1];
        outA[k] = std::log1p(50.0 * std::hypot(re + reM, im - imM));
        outB[k] = std::log1p(50.0 * std::hypot(im + imM, reM - re));
    }
}

double AttackTimes::attackNear(double tick, double halfWidth) {
    try {
        return strongestRise(tick, halfWidth);
    } catch (...) { // out of memory for the spectra: no attack rather than no tracker
        return -1.0;
    }
}

double AttackTimes::strongestRise(double tick, double halfWidth) {
    if (!std::isfinite(tick) || !(halfWidth > 0.0) || !(halfWidth < 0.5))
        return -1.0;
    auto const frame = static_cast<std::int64_t>(window.size());
    std::int64_t const hop = frame / 8;
    auto const reach = static_cast<std::int64_t>(std::ceil(halfWidth * srate / hop));
    auto const centre = static_cast<std::int64_t>(std::llround(tick * srate));
    std::int64_t const first = centre - reach * hop - hop; // the frame before the first difference
    std::int64_t const last = centre + reach * hop;
    auto const oldest = static_cast<std::int64_t>(taken - kept);
    if (first - frame / 2 < oldest || last + frame / 2 > static_cast<std::int64_t>(taken))
        return -1.0;
    std::size_t const bins = static_cast<std::size_t>(frame / 2 + 1);
    std::size_t const frames = static_cast<std::size_t>(2 * reach + 2);
    spectra.resize(frames * bins);
    for (std::size_t f = 0; f < frames; f += 2)
        logSpectra(first + static_cast<std::int64_t>(f) * hop, first + static_cast<std::int64_t>(f + 1) * hop,
                   &spectra[f * bins], &spectra[(f + 1) * bins]);
    flux.assign(frames - 1, 0.0);
    for (std::size_t f = 1; f < frames; ++f)
        for (std::size_t k = 0; k < bins; ++k)
            flux[f - 1] += std::max(0.0, spectra[f * bins + k] - spectra[(f - 1) * bins + k]);
    std::size_t best = 0;
    for (std::size_t f = 1; f + 1 < flux.size(); ++f)
        if (flux[f] >= flux[f - 1] && flux[f] > flux[f + 1] && (best == 0 || flux[f] > flux[best]))
            best = f;
    if (best == 0)
        return -1.0;
    std::vector<double>& sorted = spectra; // the spectra are no longer needed
    sorted.assign(flux.begin(), flux.end());
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2),
                     sorted.end());
    if (!(flux[best] > kClearRise * sorted[sorted.size() / 2]))
        return -1.0;
    double const shift = meterTracker::parabolicPeakShift(flux[best - 1], flux[best], flux[best + 1]);
    auto const peakCentre = static_cast<double>(first + static_cast<std::int64_t>(best + 1) * hop);
    return (peakCentre + shift * static_cast<double>(hop) + 0.25 * static_cast<double>(frame)) / srate;
}
