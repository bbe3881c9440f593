#include "combBank.h"

#include "avx2Clones.h"

#include <algorithm>
#include <cassert>

namespace meterTracker {

namespace {
// Every line is re-summed exactly once in this many blocks (the lines take turns).
constexpr unsigned int resumEvery = 32;
// How many lines ahead of the one being filtered the memory is asked for.
constexpr std::size_t prefetchAhead = 12;
constexpr std::size_t lanes = 8;
} // namespace

CombBank::CombBank(std::vector<unsigned int> const& delays_, std::vector<double> const& feedback_)
    : delays(delays_), feedback(feedback_), start(delays_.size() + 1, 0), writePos(delays_.size(), 0),
      energy(delays_.size(), 0.0) {
    assert(feedback.size() == delays.size());
    for (std::size_t k = 0; k < delays.size(); ++k) {
        assert(delays[k] >= 1);
        start[k + 1] = start[k] + delays[k];
    }
    lines.assign(start.back(), 0.0f);
}

void CombBank::setFeedback(std::vector<double> const& feedback_) {
    if (feedback_.size() == delays.size())
        feedback = feedback_;
}

void CombBank::reset() {
    std::fill(lines.begin(), lines.end(), 0.0f);
    std::fill(writePos.begin(), writePos.end(), 0u);
    std::fill(energy.begin(), energy.end(), 0.0);
    blocks = 0;
}

void CombBank::resum(std::size_t k) {
    float const* line = lines.data() + start[k];
    double s0 = 0.0, s1 = 0.0;
    unsigned int const d = delays[k];
    unsigned int j = 0;
    for (; j + 2 <= d; j += 2) {
        s0 += double(line[j]) * line[j];
        s1 += double(line[j + 1]) * line[j + 1];
    }
    if (j < d)
        s0 += double(line[j]) * line[j];
    energy[k] = s0 + s1;
}

AVX2_CLONES void CombBank::process(double const* x, std::size_t n) {
    if (n == 0)
        return;
    ++blocks;
    input.assign(x, x + n);
    std::size_t const nLines = delays.size();
    for (std::size_t k = 0; k < nLines; ++k) {
        // The lines together outgrow the caches and each block touches only a short stretch of
        // every line, too short for the processor to guess: ask ahead for a later line's.
        if (k + prefetchAhead < nLines) {
            std::size_t const f = k + prefetchAhead;
            float const* base = lines.data() + start[f];
            unsigned int const df = delays[f];
            unsigned int pos = writePos[f];
            for (std::size_t j = 0; j < n + 16; j += 16) {
                __builtin_prefetch(base + pos, 1, 3);
                pos += 16;
                if (pos >= df)
                    pos -= df;
                if (j >= df)
                    break;
            }
        }
        float* line = lines.data() + start[k];
        unsigned int const d = delays[k];
        auto const a = static_cast<float>(feedback[k]);
        float const g = 1.0f - a;
        unsigned int q = writePos[k];
        // Within a stretch that does not wrap, no value written is read again, so the
        // samples do not wait on each other and run in vector lanes, each lane summing its
        // own share of the energy change.
        float acc[lanes] = {};
        for (std::size_t i = 0; i < n;) {
            std::size_t const stretch = std::min<std::size_t>(d - q, n - i);
            float* l = line + q;
            float const* xi = input.data() + i;
            std::size_t p = 0;
            for (; p + lanes <= stretch; p += lanes)
                for (std::size_t j = 0; j < lanes; ++j) {
                    float const o = l[p + j];
                    float const v = a * (g * xi[p + j] + o);
                    l[p + j] = v;
                    acc[j] += v * v - o * o;
                }
            for (; p < stretch; ++p) {
                float const o = l[p];
                float const v = a * (g * xi[p] + o);
                l[p] = v;
                acc[0] += v * v - o * o;
            }
            i += stretch;
            q += static_cast<unsigned int>(stretch);
            if (q == d)
                q = 0;
        }
        double change = 0.0;
        for (float v : acc)
            change += v;
        writePos[k] = q;
        if ((k + blocks) % resumEvery == 0 || n >= d)
            resum(k);
        else
            energy[k] = std::max(0.0, energy[k] + change);
    }
}

void CombBank::copyLine(std::size_t k, std::vector<double>& out) const {
    unsigned int const d = delays[k];
    float const* line = lines.data() + start[k];
    unsigned int const q = writePos[k];
    out.resize(d);
    for (unsigned int j = 0; j < d; ++j) {
        unsigned int const src = q + j < d ? q + j : q + j - d;
        out[j] = line[src];
    }
}

} // namespace meterTracker
