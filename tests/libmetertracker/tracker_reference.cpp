// The tracker's analysis steps against a plain reading of them, fed the same band accents:
// comb filters on straight delay lines re-ordered after every block, the output power summed
// over each whole line, the 125 joint states indexed directly instead of through Kronecker
// products, and the state number taken apart by division. The tracker computes the same
// quantities by shorter roads (circular lines with energies kept per chunk, kron tables);
// only rounding may tell them apart. The small numeric units (peak picking, densities, the
// ratio model, the bar templates) have tests of their own and are shared.
#include "beatGivenTatum.h"
#include "fft_and_filter.h"
#include "lognPdf.h"
#include "meterPerPha2Pulse.h"
#include "meterTrackerC.h"
#include "peakPickHeight.h"
#include "phaLogTransLikes.h"
#include "solvePattPhase.h"
#include "synth_music.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

using ARGMathLibrary::Matrix;
using namespace meterTracker;

namespace {

constexpr unsigned int K = 5;       // period candidates per level
constexpr unsigned int nPhase = 15; // phase candidates per level
constexpr unsigned int nChannels = 4;

// Per step: beat, pattern, tatum as (period, phase time).
using Row = std::array<std::array<double, 2>, 3>;

struct PlainTracker {
    Params p{44100};
    Onsets onsets{44100};
    unsigned int consumed = 0, steps = 0;
    std::vector<double> channelMean = std::vector<double>(nChannels, 0.0);
    std::vector<double> inEnergy = std::vector<double>(nChannels, 0.0);
    std::vector<std::vector<std::vector<double>>> lines; // [channel][k], oldest first
    std::vector<double> delta;                           // joint scores of the current step
    double periodCands[2][K][3] = {}, phaseCands[2][nPhase][2] = {}, phaseDelta[nPhase][2] = {};
    double lag[2][2] = {};
    std::vector<Row> rows;
    std::vector<double> salience;
    double beatyness = 0;

    PlainTracker() : lines(nChannels, std::vector<std::vector<double>>(p.nPeriods)) {
        for (auto& bank : lines)
            for (unsigned int k = 0; k < p.nPeriods; ++k)
                bank[k].assign(k + 1, 0.0);
    }

    bool process() {
        if (!onsets.process())
            return false;
        unsigned int const G = onsets.getGroupDelay();
        unsigned int const hop = static_cast<unsigned int>(meterTracker::round(p.accentRate / 2.0));
        Matrix<double> E;
        if (!onsets.getBandEnvs(E, consumed))
            return false;
        unsigned int const total = consumed + E.nCols();
        if (total < G + hop || (total - (G + hop)) / hop + 1 <= steps)
            return false;
        unsigned int const nSteps = (total - (G + hop)) / hop + 1;

        std::vector<std::array<double, nChannels>> x(E.nCols());
        for (unsigned int r = 0; r < E.nCols(); ++r)
            for (unsigned int c = 0; c < nChannels; ++c) {
                x[r][c] = 0;
                for (unsigned int b = 9 * c; b < 9 * c + 9; ++b)
                    x[r][c] += E[b][r];
            }
        unsigned int const f0 = consumed;
        for (unsigned int c = 0; c < nChannels; ++c) {
            for (unsigned int r = 0; r < x.size(); ++r)
                channelMean[c] = (channelMean[c] * (f0 + r) + x[r][c]) / (f0 + r + 1);
            for (auto& frame : x)
                frame[c] -= channelMean[c];
        }
        std::vector<double> phaseObs(2 * nPhase, 0.0);
        for (unsigned int s = steps; s < nSteps; ++s) {
            unsigned int const tLast = s * hop + hop - 1;
            std::vector<double> noise = resonate(x, s * hop - f0, hop, tLast);
            consumed = tLast + 1;
            Row row = periods(s, noise);
            phases(s, tLast, row, phaseObs);
            rows.push_back(row);
        }
        steps = nSteps;
        onsets.clearBandEnvs(consumed, true);
        return true;
    }

    // Runs the step's frames through every comb filter and leaves the salience; returns the
    // noise level of every period.
    std::vector<double> resonate(std::vector<std::array<double, nChannels>> const& x, unsigned int first,
                                 unsigned int hop, unsigned int tLast) {
        unsigned int const n = p.nPeriods;
        std::vector<double> noise(n);
        for (unsigned int k = 0; k < n; ++k) {
            double const m = std::ceil((tLast + 1.0) / (k + 1));
            double const q = std::pow(p.feedback[k], m);
            noise[k] = (1 - q * q) * p.noiseGains[k].real();
        }
        salience.assign(n, 0.0);
        for (unsigned int c = 0; c < nChannels; ++c) {
            double e = 0;
            for (unsigned int i = 0; i < hop; ++i)
                e = p.decay * e + x[first + i][c] * x[first + i][c];
            inEnergy[c] = e + std::pow(p.decay, hop) * inEnergy[c];
            for (unsigned int k = 0; k < n; ++k) {
                std::vector<double>& line = lines[c][k];
                unsigned int const d = k + 1;
                double const a = p.feedback[k];
                for (unsigned int i = 0, pos = 0; i < hop; ++i, pos = (pos + 1) % d) {
                    double const y = (1 - a) * x[first + i][c] + line[pos];
                    line[pos] = a * y;
                }
                std::rotate(line.begin(), line.begin() + hop % d, line.end());
                double sum = 0;
                for (double v : line)
                    sum += v * v;
                double const S = sum / (a * a) / d / ((1 - p.decay) * inEnergy[c]) - noise[k];
                salience[k] += std::max(S, 0.0) / nChannels;
            }
        }
        return noise;
    }

    // (period, likelihood) of the K highest peaks; a missing one repeats its predecessor.
    static void candidates(std::vector<double> const& like, std::vector<double> const& per,
                           std::array<double, K>& period, std::array<double, K>& value) {
        std::vector<unsigned int> idx;
        peakPickHeight(like, K, idx);
        for (unsigned int i = 0; i < K; ++i) {
            bool const real = i < idx.size() && idx[i] < like.size();
            period[i] = real ? per[idx[i]] : (i > 0 ? period[i - 1] : 0.0);
            value[i] = real ? like[idx[i]] : (i > 0 ? value[i - 1] : 0.0);
        }
    }

    Row periods(unsigned int step, std::vector<double> const& noise) {
        double const fs = p.accentRate;
        unsigned int const n = p.nPeriods, Nfft = 1024;
        unsigned int const nBins = static_cast<unsigned int>(meterTracker::round(Nfft * 20 / fs));
        double mean = 0;
        for (double v : salience)
            mean += v / n;
        std::vector<double> spectrum(2 * Nfft, 0.0);
        for (unsigned int i = 0; i < n; ++i)
            spectrum[2 * i] = (salience[i] - mean) * (0.5 + 0.5 * std::cos(M_PI * (i + 1) / (n + 1)));
        fft(spectrum, -1);
        std::vector<double> perBin(nBins + 1), Lt(nBins + 1), prior;
        for (unsigned int j = 1; j <= nBins; ++j)
            perBin[j] = Nfft / (j * fs);
        perBin[0] = perBin[1];
        lognPdf(perBin, p.tatumMyy, p.tatumSigma, prior);
        for (unsigned int j = 0; j <= nBins; ++j)
            Lt[j] = std::pow(prior[j], p.tatumPriorExp) * std::sqrt(perBin[j]) *
                    std::hypot(spectrum[2 * j], spectrum[2 * j + 1]) / n;

        std::vector<double> perSec(n), Lb(n), Lp(n), beatPrior, patternPrior;
        for (unsigned int k = 0; k < n; ++k)
            perSec[k] = (k + 1) / fs;
        lognPdf(perSec, p.beatMyy, p.beatSigma, beatPrior);
        lognPdf(perSec, p.patternMyy, p.patternSigma, patternPrior);
        beatyness = 0;
        for (unsigned int k = 0; k < n; ++k) {
            Lb[k] = std::pow(beatPrior[k], p.beatPriorExp) * salience[k] / (1 - noise[k]);
            Lp[k] = std::pow(patternPrior[k], p.patternPriorExp) * salience[k] / (1 - noise[k]);
            beatyness += Lb[k] / n;
        }
        std::array<double, K> tatumPer, tatumLike, beatPer, beatLike, pattPer, pattLike;
        candidates(Lt, perBin, tatumPer, tatumLike);
        candidates(Lb, perSec, beatPer, beatLike);
        candidates(Lp, perSec, pattPer, pattLike);

        auto const ratioScore = [&](std::array<double, K> const& longer, double shorter, unsigned int i) {
            std::vector<double> out;
            beatGivenTatum(std::vector<double>(longer.begin(), longer.end()), shorter, p.ratioSigma,
                           p.ratioWeights, out);
            return std::log(out[i] + p.logFloor);
        };
        auto const logLike = [&](double v) { return std::log(v + p.logFloor); };
        std::vector<double> J(K * K * K);
        for (unsigned int t = 0; t < K; ++t)
            for (unsigned int q = 0; q < K; ++q)
                for (unsigned int b = 0; b < K; ++b)
                    J[(t * K + q) * K + b] = 3 * logLike(tatumLike[t]) + logLike(pattLike[q]) +
                                             logLike(beatLike[b]) + ratioScore(pattPer, beatPer[b], q) +
                                             ratioScore(beatPer, tatumPer[t], b);

        std::copy(&periodCands[1][0][0], &periodCands[1][0][0] + 3 * K, &periodCands[0][0][0]);
        for (unsigned int i = 0; i < K; ++i) {
            periodCands[1][i][0] = beatPer[i];
            periodCands[1][i][1] = pattPer[i];
            periodCands[1][i][2] = tatumPer[i];
        }
        if (step == 0) {
            delta = J;
        } else {
            auto const change = [&](unsigned int level, unsigned int from, unsigned int to) {
                double const z = std::log10(periodCands[1][to][level] / periodCands[0][from][level]) / 0.1;
                return -0.5 * z * z;
            };
            std::vector<double> next(J.size());
            for (unsigned int j = 0; j < J.size(); ++j) {
                double best = -std::numeric_limits<double>::infinity();
                for (unsigned int i = 0; i < J.size(); ++i)
                    best =
                        std::max(best, delta[i] + change(0, i % K, j % K) + change(1, i / K % K, j / K % K) +
                                           change(2, i / (K * K), j / (K * K)));
                next[j] = best + J[j];
            }
            delta = next;
        }
        auto const s =
            static_cast<unsigned int>(std::max_element(delta.begin(), delta.end()) - delta.begin());
        unsigned int const chosen[3] = {s % K, s / K % K, s / (K * K)}; // beat, pattern, tatum
        Row row{};
        for (unsigned int level = 0; level < 3; ++level) {
            double& period = periodCands[1][chosen[level]][level];
            if (period == 0.0)
                period = 7.0;
            row[level][0] = period;
        }
        return row;
    }

    void phases(unsigned int step, unsigned int tLast, Row& row, std::vector<double>& phaseObs) {
        double const fs = p.accentRate;
        for (unsigned int lev = 0; lev < 2; ++lev) {
            unsigned int k = 0;
            for (unsigned int i = 1; i < p.nPeriods; ++i)
                if (std::fabs(row[lev][0] * fs - (i + 1)) < std::fabs(row[lev][0] * fs - (k + 1)))
                    k = i;
            unsigned int const L = k + 1;
            Matrix<double> S(L, nChannels);
            for (unsigned int j = 0; j < L; ++j)
                for (unsigned int c = 0; c < nChannels; ++c)
                    S[j][c] = lines[c][k][j];
            std::vector<double> ph(L, 0.0);
            if (lev == 0) {
                for (unsigned int j = 0; j < L; ++j)
                    ph[j] = 5 * S[j][0] + 4 * S[j][1] + 3 * S[j][2] + 2 * S[j][3];
            } else {
                solvePattPhase(S, ph);
            }
            std::vector<unsigned int> idx;
            peakPickHeight(ph, nPhase, idx);
            if (idx[0] >= L)
                idx.assign(1, static_cast<unsigned int>(std::ceil(L * 0.5)));
            for (unsigned int i = 0; i < idx.size(); ++i)
                if (idx[i] >= L)
                    idx[i] = i > 0 ? idx[i - 1] : 0;
            for (unsigned int i = 0; i < nPhase; ++i)
                phaseCands[0][i][lev] = phaseCands[1][i][lev];
            for (unsigned int i = 0; i < idx.size(); ++i) {
                phaseObs[2 * i + lev] = std::log(std::max(ph[idx[i]], 0.0) + p.logFloor);
                // Position j of the line is absolute accent frame tLast + 1 − L + j.
                phaseCands[1][i][lev] = (tLast + 1.0 - L + idx[i] + 1.5) / fs;
            }
            lag[0][lev] = lag[1][lev];
            lag[1][lev] = L;
            std::vector<double> prevTimes(nPhase), curTimes(nPhase);
            for (unsigned int i = 0; i < nPhase; ++i) {
                prevTimes[i] = phaseCands[0][i][lev];
                curTimes[i] = phaseCands[1][i][lev];
            }
            Matrix<double> P;
            if (step > 0)
                phaLogTransLikes(prevTimes, lag[0][lev] / fs, curTimes, 0.1, P);
            double next[nPhase];
            for (unsigned int j = 0; j < nPhase; ++j) {
                double best = -std::numeric_limits<double>::infinity();
                for (unsigned int i = 0; i < nPhase && step > 0; ++i)
                    best = std::max(best, P[i][j] + phaseDelta[i][lev]);
                next[j] = (step > 0 ? best : 0.0) + phaseObs[2 * j + lev];
            }
            unsigned int jBest = 0;
            for (unsigned int j = 0; j < nPhase; ++j) {
                phaseDelta[j][lev] = next[j];
                if (next[j] > next[jBest])
                    jBest = j;
            }
            row[lev][1] = phaseCands[1][jBest][lev];
        }
        row[2][1] = row[0][1];
    }
};

TEST(TrackerReference, StepsFollowThePlainReadingThroughATempoRamp) {
    synth::MusicSpec music;
    music.bpm = 96;
    music.endBpm = 132;
    music.seconds = 9.0;
    std::vector<double> const audio = synth::renderMusic(music);

    mTracker tracker(44100);
    PlainTracker plain;
    unsigned int stepsCompared = 0;
    for (std::size_t i = 0; i < audio.size(); i += 128) {
        auto const n = static_cast<unsigned int>(std::min<std::size_t>(128, audio.size() - i));
        tracker.addData(audio.data() + i, n);
        plain.onsets.addData(audio.data() + i, n);
        bool const stepped = tracker.process();
        ASSERT_EQ(stepped, plain.process()) << "sample " << i;
        if (!stepped)
            continue;
        ++stepsCompared;
        std::vector<double> const& salience = tracker.getSalience();
        ASSERT_EQ(salience.size(), plain.salience.size());
        for (std::size_t k = 0; k < salience.size(); ++k)
            ASSERT_NEAR(salience[k], plain.salience[k], 1e-12)
                << "step " << plain.steps << " period " << k + 1;
        EXPECT_NEAR(tracker.getBeatyness(), plain.beatyness, 1e-12 * plain.beatyness);
        double est[6];
        tracker.getLatestPeriodEsts(est[0], est[1], est[2], est[3], est[4], est[5]);
        Row const& row = plain.rows.back();
        double const expected[6] = {row[2][0], row[0][0], row[1][0], row[2][1], row[0][1], row[1][1]};
        for (int f = 0; f < 6; ++f)
            ASSERT_NEAR(est[f], expected[f], 1e-12) << "step " << plain.steps << " value " << f;
    }
    EXPECT_GE(stepsCompared, 16u);

    // The tick lists expand the whole history of estimates.
    std::vector<double> const* lists[3] = {&tracker.getBeatTicks(), &tracker.getPatternTicks(),
                                           &tracker.getTatumTicks()};
    for (unsigned int level = 0; level < 3; ++level) {
        std::vector<double> periods, phases, ticks;
        for (Row const& row : plain.rows) {
            periods.push_back(row[level][0]);
            phases.push_back(row[level][1]);
        }
        meterPerPha2Pulse(periods, phases, ticks);
        ASSERT_EQ(lists[level]->size(), ticks.size()) << "level " << level;
        for (std::size_t i = 0; i < ticks.size(); ++i)
            EXPECT_NEAR((*lists[level])[i], ticks[i], 1e-12) << "level " << level << " tick " << i;
    }
}

} // namespace
