#include "barChooser.h"

#include <algorithm>
#include <cmath>

namespace meterTracker {

namespace {

// Seconds of music judged: enough bars for a fill or a crash not to decide alone, few enough
// to follow a new section.
constexpr double judgedSeconds = 12.0;
// Two bars of four already tell more than the resonators' bar template.
constexpr unsigned int minBeats = 8;
// A beat's attack: the strongest accent of each band from 4 frames before the beat time to 2
// after (the accents rise ahead of the heard onset).
constexpr int attackBefore = 4, attackAfter = 2;

// The bands in seven groups from the kick's fundamental to the cymbals (36-band layout).
constexpr unsigned int layoutBands = 36;
constexpr unsigned int nGroups = 7;
constexpr unsigned int groupEdges[nGroups + 1] = {0, 3, 6, 9, 14, 20, 27, 36};

// Weight of each group's share of the attacks on the downbeat and on the 2nd, 3rd and 4th
// beat after it (a log ratio to the group's mean over the beats of the bar). Fitted as a
// choice among the four rotations of 4/4 bars: the downbeat takes the lowest bands without
// the snare's body, the backbeats the snare and the cymbals.
constexpr double barTemplate[4][nGroups] = {
    {0.92, -0.33, -0.36, -0.06, -0.08, -0.12, 0.0},
    {-0.47, 0.2, 0.02, -0.06, -0.02, 0.29, 0.25},
    {-0.13, -0.11, 0.14, -0.19, -0.27, -0.31, -0.16},
    {-0.32, 0.24, 0.2, 0.32, 0.37, 0.14, -0.09},
};

// How much better (in template score) another downbeat must be before the bar moves; twice
// that to move a four-beat bar by half, between the two kick beats the template tells
// apart least well.
constexpr double moveMargin = 0.3;
constexpr double halfBarMoveMargin = 0.6;
// How much more alike (mean cosine) beats three and six apart must sound than beats four and
// eight apart before four-beat bars become three-beat ones, and the reverse.
constexpr double lengthMargin = 0.03;

long positiveMod(long a, long n) {
    long const m = a % n;
    return m < 0 ? m + n : m;
}

} // namespace

void BarChooser::configure(double accentRate, unsigned int bands) {
    rate = accentRate;
    nBands = bands;
    usable = bands == layoutBands && accentRate > 0.0 && accentRate < 1000.0;
    ring.resize(usable ? static_cast<unsigned int>(std::ceil(judgedSeconds * accentRate)) + 32 : 1,
                usable ? bands : 1);
    auto const maxBeats = static_cast<std::size_t>(judgedSeconds * 5.0) + 2; // up to 300 BPM
    attacks.reserve(maxBeats * nBands);
    present.reserve(maxBeats);
    reset();
}

void BarChooser::reset() {
    framesStored = 0;
    keptBeats = 0;
    keptDownbeat = 0.0;
}

void BarChooser::addFrames(ARGMathLibrary::Matrix<double> const& bands, unsigned int firstColumn,
                           unsigned int first, unsigned int count) {
    if (!usable || bands.nRows() < nBands || firstColumn + count > bands.nCols() || first != framesStored)
        return;
    unsigned int const n = ring.nRows();
    for (unsigned int i = 0; i < count; ++i) {
        double* const row = ring[(first + i) % n];
        for (unsigned int b = 0; b < nBands; ++b)
            row[b] = bands[b][firstColumn + i];
    }
    framesStored = first + count;
}

bool BarChooser::choose(double beatPeriod, double beatTime, unsigned int& beatsPerBar, double& downbeatTime) {
    if (!usable || !(beatPeriod > 0.0) || !std::isfinite(beatPeriod) || !std::isfinite(beatTime) ||
        framesStored == 0)
        return false;
    long const oldest = static_cast<long>(framesStored) - static_cast<long>(ring.nRows()) + 1;
    long const newest = static_cast<long>(framesStored) - 1;

    // Each beat's attack in every band, newest beat first; beats whose attack is not wholly
    // heard (yet, or any more) are marked absent but keep their place in the count.
    auto const nBeats =
        static_cast<unsigned int>(std::min(judgedSeconds / beatPeriod, judgedSeconds * 5.0)) + 1;
    attacks.assign(static_cast<std::size_t>(nBeats) * nBands, 0.0);
    present.assign(nBeats, 0.0);
    unsigned int heard = 0;
    for (unsigned int k = 0; k < nBeats; ++k) {
        long const at = std::lround((beatTime - k * beatPeriod) * rate - 1.5);
        if (at - attackBefore < std::max(oldest, 0L) || at + attackAfter > newest)
            continue;
        present[k] = 1.0;
        ++heard;
        double* const attack = &attacks[k * nBands];
        for (long f = at - attackBefore; f <= at + attackAfter; ++f) {
            double const* const row = ring[static_cast<unsigned int>(f) % ring.nRows()];
            for (unsigned int b = 0; b < nBands; ++b)
                attack[b] = std::max(attack[b], row[b]);
        }
    }
    if (heard < minBeats)
        return false;

    // Bar length from repetition: how alike the attacks of beats `lag` apart are.
    auto const likeness = [&](unsigned int lag) {
        double sum = 0.0;
        unsigned int pairs = 0;
        for (unsigned int k = 0; k + lag < nBeats; ++k) {
            if (present[k] == 0.0 || present[k + lag] == 0.0)
                continue;
            double dot = 0.0, n1 = 0.0, n2 = 0.0;
            for (unsigned int b = 0; b < nBands; ++b) {
                double const x = attacks[k * nBands + b], y = attacks[(k + lag) * nBands + b];
                dot += x * y;
                n1 += x * x;
                n2 += y * y;
            }
            if (n1 > 0.0 && n2 > 0.0) {
                sum += dot / std::sqrt(n1 * n2);
                ++pairs;
            }
        }
        return pairs > 0 ? sum / pairs : 0.0;
    };
    // A bar changes its length only for a clear difference (a waltz hardly ever turns into
    // 4/4 for a few seconds; a busy 4/4 bar may briefly repeat at three).
    double const need = keptBeats == 3 ? -lengthMargin : lengthMargin;
    unsigned int const N = likeness(3) - likeness(4) > need && likeness(6) - likeness(8) > need ? 3 : 4;

    // Each group's attacks per beat of the bar, as log ratios to their mean over the bar.
    double share[4][nGroups] = {};
    for (unsigned int k = 0; k < nBeats; ++k) {
        if (present[k] == 0.0)
            continue;
        for (unsigned int g = 0; g < nGroups; ++g)
            for (unsigned int b = groupEdges[g]; b < groupEdges[g + 1]; ++b)
                share[k % N][g] += attacks[k * nBands + b];
    }
    for (unsigned int g = 0; g < nGroups; ++g) {
        double mean = 0.0;
        for (unsigned int p = 0; p < N; ++p)
            mean += share[p][g] / N;
        for (unsigned int p = 0; p < N; ++p)
            share[p][g] = std::log((share[p][g] + 1e-6) / (mean + 1e-6));
    }

    // The downbeat `r` beats before beatTime scores the template over the bar that starts
    // there; a three-beat bar has no third beat of the template (its last beat is the one
    // before a downbeat, like the fourth).
    static constexpr int offsets4[4] = {0, 1, 2, 3};
    static constexpr int offsets3[4] = {0, 1, -1, -1};
    static constexpr unsigned int rows3[3] = {0, 1, 3};
    double score[4] = {};
    for (unsigned int r = 0; r < N; ++r)
        for (unsigned int j = 0; j < N; ++j) {
            unsigned int const row = N == 4 ? j : rows3[j];
            int const after = N == 4 ? offsets4[j] : offsets3[j];
            auto const p = static_cast<unsigned int>(positiveMod(static_cast<long>(r) - after, N));
            for (unsigned int g = 0; g < nGroups; ++g)
                score[r] += barTemplate[row][g] * share[p][g];
        }
    unsigned int best = 0;
    for (unsigned int r = 1; r < N; ++r)
        if (score[r] > score[best])
            best = r;
    if (keptBeats == N) {
        double const back = std::round((beatTime - keptDownbeat) / beatPeriod);
        if (std::fabs(back) < 1e9) {
            auto const kept = static_cast<unsigned int>(positiveMod(static_cast<long>(back), N));
            bool const byHalfBar = N == 4 && (best + 4 - kept) % 4 == 2;
            if (score[best] - score[kept] < (byHalfBar ? halfBarMoveMargin : moveMargin))
                best = kept;
        }
    }
    beatsPerBar = N;
    downbeatTime = beatTime - best * beatPeriod;
    keptBeats = N;
    keptDownbeat = downbeatTime;
    return true;
}

} // namespace meterTracker
