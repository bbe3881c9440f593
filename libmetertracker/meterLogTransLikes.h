/* Period-change model between consecutive analysis steps. */
#ifndef BEATLUME_METERLOGTRANSLIKES_H
#define BEATLUME_METERLOGTRANSLIKES_H

#include "Matrix.h"

#include <vector>

namespace meterTracker {

/* out[i][j] = −0.5 · (log10(cur[j] / prev[i]) / sigma)²: the log-likelihood (up to a
   constant) of a period moving from prev[i] to cur[j], Gaussian in the logarithm of the
   ratio so that doubling and halving cost the same. out is resized to |prev| × |cur|
   when its shape differs. */
void meterLogTransLikes(std::vector<double> const& prev, std::vector<double> const& cur, double const& sigma,
                        ARGMathLibrary::Matrix<double>& out);

} // namespace meterTracker

#endif
