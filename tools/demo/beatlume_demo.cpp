// A first look at the meter analysis: synthesises a few seconds of a drum pattern, turns it
// into accents and lets one bank of comb-filter resonators vote for the strongest periods.
#include "Matrix.h"
#include "onsets.h"
#include "params.h"
#include "resoC.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <numeric>
#include <random>
#include <vector>

namespace {

constexpr unsigned sampleRate = 44100;

// Kick on beats 1 and 3, snare on 2 and 4, closed hi-hat on every eighth note.
std::vector<double> drumPattern(double bpm, double seconds) {
    std::vector<double> audio(static_cast<std::size_t>(seconds * sampleRate), 0.0);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    double const eighth = 30.0 / bpm;
    auto hit = [&](double start, int kind) {
        auto const first = static_cast<std::size_t>(start * sampleRate);
        double previousNoise = 0.0;
        for (std::size_t i = 0; i < sampleRate / 2 && first + i < audio.size(); ++i) {
            double const t = double(i) / sampleRate;
            double const n = noise(rng);
            double value = 0.0;
            if (kind == 0) // kick: a sine sweeping down from 110 to 50 Hz
                value = 0.9 *
                        std::sin(2 * std::numbers::pi * (50 * t + 60 * 0.03 * (1 - std::exp(-t / 0.03)))) *
                        std::exp(-t / 0.15);
            else if (kind == 1) // snare: noise burst over a 180 Hz body
                value = (0.5 * n + 0.3 * std::sin(2 * std::numbers::pi * 180 * t)) * std::exp(-t / 0.08);
            else // hat: differentiated (bright) noise, very short
                value = 0.25 * (n - previousNoise) * std::exp(-t / 0.02);
            previousNoise = n;
            audio[first + i] += value;
        }
    };
    for (int e = 0; e * eighth < seconds; ++e) {
        double const start = e * eighth;
        hit(start, 2);
        if (e % 4 == 0)
            hit(start, 0);
        if (e % 4 == 2)
            hit(start, 1);
    }
    return audio;
}

} // namespace

int main() {
    double const bpm = 120.0, seconds = 8.0;
    std::vector<double> const audio = drumPattern(bpm, seconds);
    std::printf("Synthesised %.1f s of a %.0f BPM kick/snare/hi-hat pattern at %u Hz.\n", seconds, bpm,
                sampleRate);

    // Accents: the band accents summed over all bands, taken as soon as they are final.
    Onsets onsets(sampleRate);
    std::vector<double> accent;
    ARGMathLibrary::Matrix<double> bands;
    unsigned next = 0;
    for (std::size_t start = 0; start < audio.size(); start += 4096) {
        unsigned const count = static_cast<unsigned>(std::min<std::size_t>(4096, audio.size() - start));
        onsets.addData(audio.data() + start, count);
        if (!onsets.process() || !onsets.getBandEnvs(bands, next))
            continue;
        unsigned const final =
            bands.nCols() > onsets.getGroupDelay() ? bands.nCols() - onsets.getGroupDelay() : 0;
        for (unsigned j = 0; j < final; ++j) {
            double sum = 0.0;
            for (unsigned b = 0; b < bands.nRows(); ++b)
                sum += bands[b][j];
            accent.push_back(sum);
        }
        next += final;
        if (final > 0)
            onsets.clearBandEnvs(next, true);
    }
    meterTracker::Params const params(sampleRate);
    std::printf("Accent signal: %zu values at %.3f Hz.\n", accent.size(), params.accentRate);

    // Resonators respond to the accent's periodic part: remove its mean, then compare each
    // filter's energy with what white noise of the same energy would leave.
    double const mean =
        std::accumulate(accent.begin(), accent.end(), 0.0) / double(std::max<std::size_t>(1, accent.size()));
    for (double& a : accent)
        a -= mean;
    meterTracker::Resonators bank(params.periods, params.feedback, params.decay, 0);
    std::vector<double> inputEnergy;
    ARGMathLibrary::Matrix<double> outputEnergy;
    bank.process(accent, inputEnergy, outputEnergy);
    std::vector<double> salience(params.nPeriods, 0.0);
    for (unsigned k = 0; k < params.nPeriods && inputEnergy[0] > 0.0; ++k) {
        double const noiseGain = params.noiseGains[k].real();
        salience[k] = (outputEnergy[0][k] / inputEnergy[0] - noiseGain) / (1.0 - noiseGain);
    }

    // The strongest local maxima between 30 and 300 BPM.
    std::vector<unsigned> peaks;
    for (unsigned k = 1; k + 1 < params.nPeriods; ++k) {
        double const period = params.periods[k] / params.accentRate;
        if (period >= 0.2 && period <= 2.0 && salience[k] > salience[k - 1] && salience[k] >= salience[k + 1])
            peaks.push_back(k);
    }
    std::sort(peaks.begin(), peaks.end(), [&](unsigned a, unsigned b) { return salience[a] > salience[b]; });
    std::printf("Strongest periods:\n");
    for (std::size_t i = 0; i < std::min<std::size_t>(4, peaks.size()); ++i) {
        double const period = params.periods[peaks[i]] / params.accentRate;
        std::printf("  %.3f s  = %6.1f BPM   (salience %.3f)\n", period, 60.0 / period, salience[peaks[i]]);
    }
    return 0;
}
