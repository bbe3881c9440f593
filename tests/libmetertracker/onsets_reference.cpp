// The front end's band accents against the analysis written out step by step from its
// definition with the plain tools: a symmetric Hann window whose zero ends lie just outside
// the frame, one full complex transform per frame, magnitudes,
// triangular band weights, compression, the upsampled and low-passed envelope with its
// look-ahead, and the slope weighting. The front end computes the same quantities by
// shorter roads (a half-size transform of the real frame, energies from squared
// magnitudes, statistics in sum form, bands filtered side by side); only rounding may
// tell them apart.
#include "fft_and_filter.h"
#include "onsets.h"

#include "drum_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

using ARGMathLibrary::Matrix;

namespace {

// Band accents (bands × the columns getBandEnvs(·, 0) returns) of one block of nFrames
// frames, computed from the definition.
Matrix<double> referenceAccents(Onsets const& onsets, std::vector<double> const& x, unsigned int srate,
                                unsigned int nFrames) {
    unsigned int const N = onsets.frameLength();
    unsigned int const hop = N / 2;
    unsigned int const nBands = onsets.numBands();
    std::size_t const used = std::size_t(nFrames - 1) * hop + N;

    // Running statistics, one sample at a time.
    double mean = x[0], var = 0, count = 1;
    for (std::size_t i = 1; i < used; ++i) {
        double const next = (mean * count + x[i]) / (count + 1);
        var = (1 - 1 / count) * var + (count + 1) * (next - mean) * (next - mean);
        mean = next;
        count += 1;
    }
    double const sd = std::sqrt(var);

    // Compressed band loudness per frame, upsampled by two.
    unsigned int const L = 2 * nFrames;
    std::vector<std::vector<double>> envelope(nBands, std::vector<double>(L, 0.0));
    std::vector<double> spectrum(2 * N);
    std::vector<std::vector<double>> energies(nBands);
    std::vector<double> floors(nBands);
    for (unsigned int f = 0; f < nFrames; ++f) {
        for (unsigned int i = 0; i < N; ++i) {
            double const hann = 0.5 - 0.5 * std::cos(2 * M_PI * (i + 1) / (N + 1));
            spectrum[2 * i] = (x[f * hop + i] - mean) * hann / sd;
            spectrum[2 * i + 1] = 0;
        }
        fft(spectrum, -1);
        for (unsigned int b = 0; b < nBands; ++b) {
            Onsets::BandBins const bins = onsets.bandBins(b);
            double const s = bins.first, c = bins.peak, hi = bins.last;
            double energy = 0;
            for (unsigned int k = bins.first; k <= bins.last; ++k) {
                double const magnitude =
                    std::hypot(spectrum[2 * k], spectrum[2 * k + 1]) / std::sqrt(double(N));
                double const weight = k <= bins.peak ? (k - s) / (c - s) : 1 - (k - c) / (hi - c);
                energy += (weight * magnitude) * (weight * magnitude);
            }
            energies[b].push_back(energy);
        }
    }
    // Each band's floor: its lowest mean of four frames so far, but no louder than a -40 dBFS sine.
    for (unsigned int b = 0; b < nBands; ++b)
        for (unsigned int f = 0; f < nFrames; ++f) {
            auto const from = energies[b].begin() + std::max(0, int(f) - 3), to = energies[b].begin() + f + 1;
            floors[b] = std::min(f == 0 ? 3.0 * N / 32 * 1e-4 / (sd * sd) : floors[b],
                                 std::accumulate(from, to, 0.0) / double(to - from));
            envelope[b][2 * f] =
                2 * std::log(1 + 100 * std::max(0.0, energies[b][f] - 3 * floors[b])) / std::log(101.0);
        }

    // Low-pass from rest, its zero-input continuation, rectification and slope weighting.
    double const fr = 2.0 * srate / hop;
    double const w = 0.9 * fr * 0.5 / 10;
    std::vector<double> b, a;
    Onsets::butter6stored(b, a, 10 / (fr / 2));
    unsigned int const G = onsets.getGroupDelay();
    Matrix<double> out(nBands, L, 0.0);
    for (unsigned int band = 0; band < nBands; ++band) {
        std::vector<double> y(L), state(6, 0.0), tail(G), zeros(G, 0.0);
        filter(b, a, envelope[band], y, state);
        filter(b, a, zeros, tail, state);
        std::vector<double> all(y);
        all.insert(all.end(), tail.begin(), tail.end());
        for (double& v : all)
            v = std::max(v, 0.0);
        all.push_back(all.back()); // no rise after the look-ahead ends
        // Index n carries the envelope of n + G: the first G values are not handed out.
        for (unsigned int j = 0; j < L; ++j) {
            unsigned int const n = j + G;
            out[band][j] = 0.1 * all[n] + w * std::max(0.0, all[n + 1] - all[n]);
        }
    }
    return out;
}

void expectMatchesDefinition(unsigned int srate, unsigned int nFrames) {
    Onsets onsets(srate);
    unsigned int const N = onsets.frameLength();
    std::vector<double> x = drumLoop(std::size_t(nFrames - 1) * (N / 2) + N, srate);
    for (double& v : x) // an offset for the statistics to remove
        v += 0.05;
    onsets.addData(x);
    ASSERT_TRUE(onsets.process());
    Matrix<double> accents;
    ASSERT_TRUE(onsets.getBandEnvs(accents, 0));
    Matrix<double> const expected = referenceAccents(onsets, x, srate, nFrames);
    ASSERT_TRUE(accents.nRows() == expected.nRows() && accents.nCols() == expected.nCols());
    for (unsigned int band = 0; band < expected.nRows(); ++band) {
        double scale = 0;
        for (unsigned int j = 0; j < expected.nCols(); ++j)
            scale = std::max(scale, std::fabs(expected[band][j]));
        for (unsigned int j = 0; j < expected.nCols(); ++j)
            ASSERT_NEAR(accents[band][j], expected[band][j], 1e-10 * scale)
                << "band " << band << " column " << j;
    }
}

TEST(OnsetsReference, BandAccentsFollowTheDefinitionAt44100And8000) {
    for (unsigned int srate : {44100u, 8000u})
        expectMatchesDefinition(srate, 20);
}

} // namespace
