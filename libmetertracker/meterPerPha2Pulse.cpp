#include "meterPerPha2Pulse.h"

#include <cassert>
#include <cstddef>

namespace meterTracker {

void meterPerPha2Pulse(std::vector<double> const& periods, std::vector<double> const& phases,
                       std::vector<double>& pulses) {
    assert(periods.size() == phases.size() && "periods.size() == phases.size()");
    pulses.resize(1);
    std::size_t const n = phases.size();
    if (n == 0)
        return;

    pulses[0] = phases[0];
    std::size_t i = 0;
    for (;;) {
        if (i + 1 < n) {
            double const limit = phases[i + 1] - 0.5 * periods[i];
            // A non-positive period would never reach the limit.
            if (periods[i] > 0.0)
                for (double m = 1.0;; m += 1.0) {
                    double const t = phases[i] + m * periods[i];
                    if (!(t < limit))
                        break;
                    pulses.push_back(t);
                }
        }
        std::size_t j = i + 1;
        while (j < n && phases[j] < phases[j - 1] + 0.5 * periods[j - 1])
            ++j;
        if (j >= n)
            return;
        pulses.push_back(phases[j]);
        i = j;
    }
}

} // namespace meterTracker
