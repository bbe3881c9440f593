#include "solvePattPhase.h"

#include "params.h"

#include <algorithm>

namespace meterTracker {

unsigned int solvePattPhase(ARGMathLibrary::Matrix<double> const& S, std::vector<double>& ph) {
    unsigned int const L = S.nRows();
    unsigned int const nCh = S.nCols();
    ph.resize(L);
    if (L == 0)
        return 0;

    unsigned int q[4];
    for (unsigned int u = 0; u < 4; ++u)
        q[u] = static_cast<unsigned int>(round(u * L * 0.25));

    // Accent summed over channels, the higher band groups (snare, hats) weighted more.
    std::vector<double> a(L, 0.0);
    for (unsigned int j = 0; j < L; ++j)
        for (unsigned int c = 0; c < nCh; ++c)
            a[j] += (c + 1) * S[j][c];
    double W = 0.0;
    for (unsigned int c = 1; c <= nCh; ++c)
        W += c;

    unsigned int best = 0;
    for (unsigned int j = 0; j < L; ++j) {
        unsigned int const j1 = (q[1] + j) % L;
        unsigned int const j2 = (q[2] + j) % L;
        unsigned int const j3 = (q[3] + j) % L;
        double const low = nCh > 0 ? S[j][0] : 0.0;
        double const low3 = nCh > 0 ? S[j3][0] : 0.0;
        double const y1 = 2.1 * (a[j1] + a[j3] + W * (0.4738 * low3 + 1.1665 * low));
        double const y2 = 3.0314 * a[j2] + 0.8123 * a[j3] + W * (0.19 * low3 + 2.1496 * low);
        ph[j] = std::max(y1, y2);
        if (ph[j] > ph[best])
            best = j;
    }
    return best;
}

} // namespace meterTracker
