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
      feedback(feedback_), decay(decay_), outStep(outStep_), state(std::size_t(nResonators) * maxDelay, 0.0) {
    assert(feedback.size() == delays.size());
}

void Resonators::reset() {
    std::fill(state.begin(), state.end(), 0.0);
}

void Resonators::getState(ARGMathLibrary::Matrix<double>& stateCopy) const {
    stateCopy.resize(nResonators, maxDelay, 0.0);
    std::copy(state.begin(), state.end(), stateCopy.begin());
}

void Resonators::process(std::vector<double> const& x, std::vector<double>& inputEnergy,
                         ARGMathLibrary::Matrix<double>& outputEnergy) {
    std::vector<double> work(x);
    int const n = static_cast<int>(work.size());

    int nOut = 1;
    if (outStep >= 1) {
        double const m = decay >= 1.0 ? n - decay : static_cast<double>(n - outStep);
        nOut = std::max(0, static_cast<int>(std::floor(m / outStep + 1.0)));
    }
    // Without integration every filter yields its n raw outputs.
    int const perFilter = decay > 0.0 ? nOut : n;

    std::vector<double> delaysAsDouble(delays.begin(), delays.end());
    std::vector<double> gains(feedback);
    std::vector<double> out(std::size_t(nResonators) * perFilter);
    std::vector<double> inputOut(perFilter);

    realResonators(out.data(), state.data(), inputOut.data(), delaysAsDouble.data(), gains.data(),
                   static_cast<int>(nResonators), static_cast<int>(maxDelay), work.data(), n, decay, outStep,
                   nOut, 0);

    inputEnergy.assign(inputOut.begin(), inputOut.end());
    outputEnergy.resize(perFilter, nResonators, 0.0);
    for (unsigned int k = 0; k < nResonators; ++k)
        for (int j = 0; j < perFilter; ++j)
            outputEnergy[j][k] = out[std::size_t(k) * perFilter + j];
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
