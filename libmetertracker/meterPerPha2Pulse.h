/* Expansion of one level's per-step (period, phase) estimates into pulse times. */
#ifndef BEATLUME_METERPERPHA2PULSE_H
#define BEATLUME_METERPERPHA2PULSE_H

#include <vector>

namespace meterTracker {

/* Each accepted phase time becomes a pulse, and the gap to the next accepted phase is
   filled with pulses at the step's period, stopping half a period before that phase. A
   phase that has not moved on by at least half of the preceding step's period is
   skipped. pulses is cut to (or grown to) one element first; with no phases it keeps
   that element. periods and phases have equal lengths. */
void meterPerPha2Pulse(std::vector<double> const& periods, std::vector<double> const& phases,
                       std::vector<double>& pulses);

} // namespace meterTracker

#endif
