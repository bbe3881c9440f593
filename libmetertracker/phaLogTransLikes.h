/* Phase-change model between consecutive analysis steps. */
#ifndef BEATLUME_PHALOGTRANSLIKES_H
#define BEATLUME_PHALOGTRANSLIKES_H

#include "Matrix.h"

#include <vector>

namespace meterTracker {

/* For previous candidate times prev[i] and current ones cur[j] (seconds), the difference
   is wrapped into one period T around 0 and expressed in periods, D; out[i][j] is the
   Gaussian density of D with standard deviation sigma (a density, not a logarithm).
   Two times a whole number of periods apart are the most likely. out is resized to
   |prev| × |cur| (zeroed). */
void phaLogTransLikes(std::vector<double> const& prev, double const& T, std::vector<double> const& cur,
                      double const& sigma, ARGMathLibrary::Matrix<double>& out);

} // namespace meterTracker

#endif
