#include "resoC.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

namespace meterTracker {

namespace {

/* Squares y (unless the values are already products) and integrates it in place according
 * to decay, then writes the decimated outputs. Returns nothing; writes nOut values to out,
 * or all n raw values when decay ≤ 0. */
void integrateInto(double* y, int n, double decay, int outStep, int nOut, bool square, double* out) {
    if (decay <= 0.0) {
        std::copy(y, y + n, out);
        return;
    }
    if (square)
        for (int i = 0; i < n; ++i)
            y[i] *= y[i];
    if (n == 0) {
        std::fill(out, out + nOut, 0.0);
        return;
    }
    if (decay < 1.0) {
        for (int i = 1; i < n; ++i)
            y[i] = decay * y[i - 1] + y[i];
        if (outStep < 1) {
            out[0] = y[n - 1];
        } else {
            for (int j = 0; j < nOut; ++j)
                out[j] = y[outStep - 1 + j * outStep];
        }
        return;
    }
    // Moving sum over the w newest squared values (a block shorter than w sums all of it).
    int const w = std::min(n, static_cast<int>(std::floor(decay)));
    double sum = 0.0;
    for (int i = 0; i < w; ++i)
        sum += y[i];
    for (int i = 0; i + w <= n; ++i) {
        double const leaving = y[i];
        double const entering = i + w < n ? y[i + w] : 0.0;
        y[i] = sum;
        sum += entering - leaving;
    }
    if (outStep < 1) {
        out[0] = y[n - w];
    } else {
        for (int j = 0; j < nOut; ++j)
            out[j] = y[j * outStep];
    }
}

} // namespace

Resonators::Resonators(std::vector<unsigned int> const& delays_, std::vector<double> const& feedback_,
                       double const& decay_, int const& outStep_)
    : nResonators(static_cast<unsigned int>(delays_.size())),
      maxDelay(delays_.empty() ? 0u : *std::max_element(delays_.begin(), delays_.end())), delays(delays_),
      feedback(feedback_), decay(decay_), outStep(outStep_), state(std::size_t(nResonators) * maxDelay, 0.0),
      oldest(nResonators, 0u), lineEnergy(nResonators, 0.0),
      chunksPerLine((maxDelay + energyChunk - 1) / energyChunk),
      chunkEnergy(std::size_t(nResonators) * chunksPerLine, 0.0), chunksValid(nResonators, 1),
      plainCombs(true) {
    assert(feedback.size() == delays.size());
    for (unsigned int k = 0; k < nResonators; ++k)
        if (delays[k] == 0 || feedback[k] == 0.0 || feedback[k] == 1.0 || feedback[k] == -1.0)
            plainCombs = false;
}

void Resonators::reset() {
    std::fill(state.begin(), state.end(), 0.0);
    std::fill(oldest.begin(), oldest.end(), 0u);
    std::fill(lineEnergy.begin(), lineEnergy.end(), 0.0);
    std::fill(chunkEnergy.begin(), chunkEnergy.end(), 0.0);
    std::fill(chunksValid.begin(), chunksValid.end(), 1);
}

void Resonators::putInOrder(unsigned int k) {
    unsigned int const h = oldest[k];
    if (h == 0)
        return;
    double* line = state.data() + std::size_t(k) * maxDelay;
    std::rotate(line, line + h, line + delays[k]);
    oldest[k] = 0;
    chunksValid[k] = 0; // the chunk energies belong to the old positions
}

double* Resonators::getState() {
    for (unsigned int k = 0; k < nResonators; ++k)
        putInOrder(k);
    // The caller may write through the pointer (the kernel does): re-sum every line next time.
    std::fill(chunksValid.begin(), chunksValid.end(), 0);
    return state.data();
}

double const* Resonators::delayLine(unsigned int k) {
    assert(k < nResonators);
    putInOrder(k);
    return state.data() + std::size_t(k) * maxDelay;
}

void Resonators::getState(ARGMathLibrary::Matrix<double>& stateCopy) const {
    stateCopy.resize(nResonators, maxDelay, 0.0);
    for (unsigned int k = 0; k < nResonators; ++k) {
        double const* line = state.data() + std::size_t(k) * maxDelay;
        std::copy(line, line + maxDelay, stateCopy[k]);
        std::rotate_copy(line, line + oldest[k], line + delays[k], stateCopy[k]);
    }
}

void Resonators::process(std::vector<double> const& x, std::vector<double>& inputEnergy,
                         ARGMathLibrary::Matrix<double>& outputEnergy) {
    int const n = static_cast<int>(x.size());

    int nOut = 1;
    if (outStep >= 1) {
        double const m = decay >= 1.0 ? n - decay : static_cast<double>(n - outStep);
        nOut = std::max(0, static_cast<int>(std::floor(m / outStep + 1.0)));
    }
    // Without integration every filter yields its n raw outputs.
    int const perFilter = decay > 0.0 ? nOut : n;
    outWork.resize(std::size_t(nResonators) * perFilter);
    inputWork.resize(perFilter);

    if (plainCombs && decay > 0.0 && decay < 1.0 && outStep < 1) {
        processCircular(x, outWork.data(), inputWork.data());
    } else {
        for (unsigned int k = 0; k < nResonators; ++k)
            putInOrder(k);
        std::fill(chunksValid.begin(), chunksValid.end(), 0);
        work.assign(x.begin(), x.end());
        std::vector<double> delaysAsDouble(delays.begin(), delays.end());
        realResonators(outWork.data(), state.data(), inputWork.data(), delaysAsDouble.data(), feedback.data(),
                       static_cast<int>(nResonators), static_cast<int>(maxDelay), work.data(), n, decay,
                       outStep, nOut, 0);
        for (unsigned int k = 0; k < nResonators; ++k) {
            double const* line = state.data() + std::size_t(k) * maxDelay;
            double sum = 0.0;
            for (unsigned int j = 0; j < delays[k]; ++j)
                sum += line[j] * line[j];
            lineEnergy[k] = sum;
        }
    }

    inputEnergy.assign(inputWork.begin(), inputWork.end());
    if (outputEnergy.nRows() != static_cast<unsigned int>(perFilter) || outputEnergy.nCols() != nResonators)
        outputEnergy.resize(perFilter, nResonators, 0.0);
    for (unsigned int k = 0; k < nResonators; ++k)
        for (int j = 0; j < perFilter; ++j)
            outputEnergy[j][k] = outWork[std::size_t(k) * perFilter + j];
}

void Resonators::updateLineEnergy(unsigned int k, unsigned int firstWritten, unsigned int written) {
    double const* line = state.data() + std::size_t(k) * maxDelay;
    double* chunks = chunkEnergy.data() + std::size_t(k) * chunksPerLine;
    unsigned int const d = delays[k];
    unsigned int const nChunks = (d + energyChunk - 1) / energyChunk;
    auto sumChunk = [&](unsigned int c) {
        unsigned int const end = std::min(d, (c + 1) * energyChunk);
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0; // four partial sums overlap
        unsigned int j = c * energyChunk;
        for (; j + 4 <= end; j += 4) {
            s0 += line[j] * line[j];
            s1 += line[j + 1] * line[j + 1];
            s2 += line[j + 2] * line[j + 2];
            s3 += line[j + 3] * line[j + 3];
        }
        for (; j < end; ++j)
            s0 += line[j] * line[j];
        chunks[c] = (s0 + s1) + (s2 + s3);
    };
    if (!chunksValid[k] || written >= d) {
        for (unsigned int c = 0; c < nChunks; ++c)
            sumChunk(c);
        chunksValid[k] = 1;
    } else if (written > 0) {
        unsigned int const last = firstWritten + written - 1; // may lie past the wrap
        if (last < d) {
            for (unsigned int c = firstWritten / energyChunk; c <= last / energyChunk; ++c)
                sumChunk(c);
        } else {
            for (unsigned int c = firstWritten / energyChunk; c < nChunks; ++c)
                sumChunk(c);
            for (unsigned int c = 0; c <= (last - d) / energyChunk; ++c)
                sumChunk(c);
        }
    }
    double t0 = 0.0, t1 = 0.0;
    unsigned int c = 0;
    for (; c + 2 <= nChunks; c += 2) {
        t0 += chunks[c];
        t1 += chunks[c + 1];
    }
    if (c < nChunks)
        t0 += chunks[c];
    lineEnergy[k] = t0 + t1;
}

/* The tracker's case (feedback combs, leaky integration, one output per filter), with the
 * same arithmetic per filter as realResonators. Filters run in groups of eight whose energy
 * integrators (serial chains) are interleaved so that they overlap in the processor instead
 * of waiting on each other; each line's energy is brought up to date right after the line
 * is written, while it is in cache. The delay lines stay circular: writing n values moves
 * the oldest one n places on. */
void Resonators::processCircular(std::vector<double> const& x, double* out, double* inputOut) {
    constexpr unsigned int group = 8; // the code below names its eight lanes
    int const n = static_cast<int>(x.size());
    double const* xs = x.data();
    work.assign(std::size_t(std::max(n, 0)) * group, 0.0); // sample-major: work[i·group + f]

    for (unsigned int k0 = 0; k0 < nResonators; k0 += group) {
        unsigned int const R = std::min(group, nResonators - k0);

        // The banks together outgrow the processor's caches, so the lines come from far away
        // every block; ask now for what the next group will touch (its oldest values and the
        // chunks around them) so that it arrives while this group is being worked on.
        for (unsigned int k = k0 + group; k < std::min(k0 + 2 * group, nResonators); ++k) {
            double const* line = state.data() + std::size_t(k) * maxDelay;
            unsigned int const d = delays[k];
            unsigned int const span = std::min(d, static_cast<unsigned int>(n) + 2 * energyChunk);
            unsigned int pos = oldest[k] / energyChunk * energyChunk;
            for (unsigned int j = 0; j < span; j += 8) {
                __builtin_prefetch(line + pos, 1, 2);
                pos += 8;
                if (pos >= d)
                    pos -= d;
            }
        }

        // y(t) = (1 − a)·x(t) + a·y(t − d), in stretches without a wrap of the line.
        for (unsigned int f = 0; f < R; ++f) {
            unsigned int const k = k0 + f;
            double* line = state.data() + std::size_t(k) * maxDelay;
            unsigned int const d = delays[k];
            double const a = feedback[k];
            double const inputGain = 1.0 - a;
            unsigned int const firstWritten = oldest[k];
            unsigned int q = firstWritten;
            for (int i = 0; i < n;) {
                int const stretch = std::min(static_cast<int>(d - q), n - i);
                double* l = line + q;
                double const* xi = xs + i;
                double* y = work.data() + std::size_t(i) * group + f;
                for (int p = 0; p < stretch; ++p) {
                    double const yi = inputGain * xi[p] + l[p];
                    y[std::size_t(p) * group] = yi;
                    l[p] = a * yi;
                }
                i += stretch;
                q += static_cast<unsigned int>(stretch);
                if (q == d)
                    q = 0;
            }
            oldest[k] = q;
            updateLineEnergy(k, firstWritten, static_cast<unsigned int>(n));
        }

        // Block energies: square, then integrate leakily, each filter in its own lane.
        if (n == 0) {
            std::fill(out + k0, out + k0 + R, 0.0);
            continue;
        }
        double const* y = work.data();
        double a0 = y[0] * y[0], a1 = y[1] * y[1], a2 = y[2] * y[2], a3 = y[3] * y[3], a4 = y[4] * y[4],
               a5 = y[5] * y[5], a6 = y[6] * y[6], a7 = y[7] * y[7];
        for (int i = 1; i < n; ++i) {
            y += group;
            a0 = decay * a0 + y[0] * y[0];
            a1 = decay * a1 + y[1] * y[1];
            a2 = decay * a2 + y[2] * y[2];
            a3 = decay * a3 + y[3] * y[3];
            a4 = decay * a4 + y[4] * y[4];
            a5 = decay * a5 + y[5] * y[5];
            a6 = decay * a6 + y[6] * y[6];
            a7 = decay * a7 + y[7] * y[7];
        }
        double const acc[group] = {a0, a1, a2, a3, a4, a5, a6, a7};
        std::copy(acc, acc + R, out + k0);
    }

    if (inputOut != nullptr) {
        work.assign(x.begin(), x.end());
        integrateInto(work.data(), n, decay, outStep, 1, true, inputOut);
    }
}

void Resonators::realResonators(double* out, double* stateLines, double* inputOut, double* delayList,
                                double* gains, int count, int lineLength, double* x, int n,
                                double decayFactor, int step, int nOut, int /*variant*/) {
    std::vector<double> y(static_cast<std::size_t>(std::max(n, 0)));
    std::vector<double> head(static_cast<std::size_t>(std::max(lineLength, 0))); // rotation scratch
    int const perFilter = decayFactor > 0.0 ? nOut : n;

    for (int k = 0; k < count; ++k) {
        double* line = stateLines + std::size_t(k) * lineLength;
        int const d = static_cast<int>(delayList[k]);
        double const a = gains[k];
        bool const lagProduct = a == 0.0;

        if (d <= 0) {
            // No delay line: nothing to resonate with.
            for (int i = 0; i < n; ++i)
                y[i] = lagProduct ? 0.0 : (a == 1.0 || a == -1.0 ? x[i] : (1.0 - a) * x[i]);
        } else if (a == 1.0 || a == -1.0) {
            // Feed-forward comb x(t) + a·x(t − d); the line holds a·x.
            for (int i = 0, p = 0; i < n; ++i) {
                y[i] = x[i] + line[p];
                line[p] = a * x[i];
                if (++p == d)
                    p = 0;
            }
        } else if (lagProduct) {
            // x(t)·x(t − d); the line holds x.
            for (int i = 0, p = 0; i < n; ++i) {
                y[i] = x[i] * line[p];
                line[p] = x[i];
                if (++p == d)
                    p = 0;
            }
        } else {
            // y(t) = (1 − a)·x(t) + a·y(t − d): unit gain at the resonance frequencies.
            // Run in stretches of at most one period so the inner loop has no wrap test and,
            // for delays longer than the block (most of them), no dependency between samples.
            double const inputGain = 1.0 - a;
            for (int i = 0; i < n; i += d) {
                int const stretch = std::min(d, n - i);
                double const* xs = x + i;
                double* ys = y.data() + i;
                for (int p = 0; p < stretch; ++p) {
                    double const yi = inputGain * xs[p] + line[p];
                    ys[p] = yi;
                    line[p] = a * yi;
                }
            }
        }
        // The write position ended at n mod d, the oldest value: rotate it to the front.
        // (Block moves; an element-wise rotation would cost more than the filtering.)
        int const r = d > 0 ? n % d : 0;
        if (r != 0) {
            std::copy(line, line + r, head.begin());
            std::memmove(line, line + r, sizeof(double) * std::size_t(d - r));
            std::copy(head.begin(), head.begin() + r, line + (d - r));
        }

        integrateInto(y.data(), n, decayFactor, step, nOut, !lagProduct, out + std::size_t(k) * perFilter);
    }

    if (inputOut != nullptr) {
        std::copy(x, x + n, y.begin());
        integrateInto(y.data(), n, decayFactor, step, nOut, true, inputOut);
    }
}

} // namespace meterTracker
