/* Integer-ratio model between a shorter and a longer metrical period. */
#ifndef BEATLUME_BEATGIVENTATUM_H
#define BEATLUME_BEATGIVENTATUM_H

#include <vector>

namespace meterTracker {

/* Likelihood that each longer period x[i] is an integer multiple (1 … 9) of the shorter
   period t: a mixture of Gaussians centred on t·r with standard deviation sigma·t, mixed
   by weights[r − 1] normalised to sum 1. out is resized to |x|. Serves beat given tatum
   and pattern given beat alike. */
void beatGivenTatum(std::vector<double> const& x, double const& t, double const& sigma,
                    std::vector<double> const& weights, std::vector<double>& out);

} // namespace meterTracker

#endif
