#include "peakPickHeight.h"

#include <algorithm>
#include <cstddef>

namespace meterTracker {

int compare(void const* a, void const* b) {
    double const x = *static_cast<double const*>(a);
    double const y = *static_cast<double const*>(b);
    if (x > y)
        return 1;
    if (x < y)
        return -1;
    return 0;
}

bool peakPickHeight(std::vector<double> const& x, unsigned int const& K, std::vector<unsigned int>& idx) {
    if (K == 0)
        return false;
    auto const n = static_cast<unsigned int>(x.size());
    idx.assign(K, n);
    if (n == 0)
        return false;

    std::vector<bool> isPeak(n, true);
    for (unsigned int i = 0; i + 1 < n; ++i)
        isPeak[i] = x[i] > x[i + 1];
    for (unsigned int i = 1; i < n; ++i)
        isPeak[i] = isPeak[i] && x[i] > x[i - 1];

    struct Peak {
        double negHeight;
        unsigned int index;
    };
    std::vector<Peak> peaks;
    for (unsigned int i = 0; i < n; ++i)
        if (isPeak[i])
            peaks.push_back({-x[i], i});
    if (peaks.empty())
        return false;

    // Stable, so that equal heights keep their positional order and results are reproducible.
    std::stable_sort(peaks.begin(), peaks.end(),
                     [](Peak const& a, Peak const& b) { return compare(&a.negHeight, &b.negHeight) < 0; });
    std::size_t const count = std::min<std::size_t>(K, peaks.size());
    for (std::size_t i = 0; i < count; ++i)
        idx[i] = peaks[i].index;
    return true;
}

} // namespace meterTracker
