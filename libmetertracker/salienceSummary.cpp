// A compact reading of the resonance salience for callers that judge how much evidence of a
// pulse the music gives (the engine's confidence), without exposing the tracker's internals.
#include "mTracker.h"
#include "meterTrackerC.h"

#include <cmath>

extern "C" int mTracker_get_salience_summary(mTrackerHandle* handle, double minPeriod, double maxPeriod,
                                             double period, double* peak, double* mean, double* atPeriod) {
    double best = 0.0, sum = 0.0, near = 0.0;
    unsigned int count = 0;
    if (handle && handle->getStepsDone() > 0) {
        std::vector<double> const& salience = handle->getSalience();
        std::vector<unsigned int> const& delays = handle->parameters().periods;
        double const rate = handle->parameters().accentRate;
        for (std::size_t k = 0; k < salience.size() && k < delays.size(); ++k) {
            double const seconds = delays[k] / rate;
            double const s = std::isfinite(salience[k]) ? salience[k] : 0.0;
            if (std::fabs(seconds - period) <= 0.03 * period && s > near)
                near = s;
            if (!(seconds >= minPeriod && seconds <= maxPeriod))
                continue;
            best = s > best ? s : best;
            sum += s;
            ++count;
        }
    }
    if (peak)
        *peak = best;
    if (mean)
        *mean = count ? sum / count : 0.0;
    if (atPeriod)
        *atPeriod = near;
    return count > 0 ? 1 : 0;
}
