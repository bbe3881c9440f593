/* Phase salience of the bar (pattern) level from one period of resonator output. */
#ifndef BEATLUME_SOLVEPATTPHASE_H
#define BEATLUME_SOLVEPATTPHASE_H

#include "Matrix.h"

#include <vector>

namespace meterTracker {

/* S holds one bar period (rows, oldest first) of each channel's resonator output
   (columns, lowest band group first). For every candidate bar start j, ph[j] is the
   better of two accent templates: accents a quarter and three quarters of a bar later
   with a low-band hit at j, or accents half and three quarters of a bar later with a
   stronger low-band hit at j. ph is resized to rows(S). Returns the index of the largest
   value of ph. */
unsigned int solvePattPhase(ARGMathLibrary::Matrix<double> const& S, std::vector<double>& ph);

} // namespace meterTracker

#endif
