/* Kronecker product of two matrices. */
#ifndef BEATLUME_KRON_H
#define BEATLUME_KRON_H

#include "Matrix.h"

namespace meterTracker {

/* out[i·rows(B) + k][j·cols(B) + l] = A[i][j] · B[k][l]; out is resized to
   (rows(A)·rows(B)) × (cols(A)·cols(B)) when its shape differs. */
void kron(ARGMathLibrary::Matrix<double> const& A, ARGMathLibrary::Matrix<double> const& B,
          ARGMathLibrary::Matrix<double>& out);

} // namespace meterTracker

#endif
