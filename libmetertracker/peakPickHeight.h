/* Peak picking on a likelihood curve: the positions of its highest local maxima. */
#ifndef BEATLUME_PEAKPICKHEIGHT_H
#define BEATLUME_PEAKPICKHEIGHT_H

#include <vector>

namespace meterTracker {

/* Writes the indices of the K highest local maxima of x to idx (resized to K), highest
   first. Entries without a peak hold |x|, an index past the end. An inner element is a
   peak when strictly higher than both neighbours; the end elements need only be
   strictly higher than their one neighbour. Returns false (idx untouched) for K = 0 and
   false (idx all markers) when x has no peak. */
bool peakPickHeight(std::vector<double> const& x, unsigned int const& K, std::vector<unsigned int>& idx);

/* Three-way comparison of two doubles behind the pointers: 1, −1 or 0 for greater,
   smaller, equal. The ordering the peak sort uses (on negated heights). */
int compare(void const* a, void const* b);

} // namespace meterTracker

#endif
