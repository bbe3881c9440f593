/* Peak picking on a likelihood curve: the positions of its highest local maxima. */
#ifndef BEATLUME_PEAKPICKHEIGHT_H
#define BEATLUME_PEAKPICKHEIGHT_H

#include <algorithm>
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

/* How far from the middle of three samples a, b, c (b the highest) the peak they sample lies, in
   samples (−0.5 to 0.5): the vertex of the parabola through them, 0 where they do not curve down. */
inline double parabolicPeakShift(double a, double b, double c) {
    double const curve = a - 2.0 * b + c;
    return curve < 0.0 ? std::clamp(0.5 * (a - c) / curve, -0.5, 0.5) : 0.0;
}

/* The same for a peak whose two flanks fall along straight lines of one slope (a cusp, not a
   rounded top): where those lines through a, b, c meet. */
inline double cuspPeakShift(double a, double b, double c) {
    if (a >= c)
        return b > c ? std::clamp(0.5 * (b - a) / (b - c) - 0.5, -0.5, 0.5) : 0.0;
    return b > a ? std::clamp(0.5 - 0.5 * (b - c) / (b - a), -0.5, 0.5) : 0.0;
}

} // namespace meterTracker

#endif
