/* Log-normal density, the shape of the tracker's period priors. */
#ifndef BEATLUME_LOGNPDF_H
#define BEATLUME_LOGNPDF_H

#include <vector>

namespace meterTracker {

/* out[i] = exp(−ln(x[i]/myy)² / (2·sigma²)) / (x[i]·sigma·√(2π)): the log-normal density
   with median myy, for every x[i] (out is resized to |x|). */
void lognPdf(std::vector<double> const& x, double const& myy, double const& sigma, std::vector<double>& out);

/* The same density for a single value. */
void lognPdf(double const& x, double const& myy, double const& sigma, double& out);

} // namespace meterTracker

#endif
