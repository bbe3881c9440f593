#include "kron.h"

namespace meterTracker {

void kron(ARGMathLibrary::Matrix<double> const& A, ARGMathLibrary::Matrix<double> const& B,
          ARGMathLibrary::Matrix<double>& out) {
    unsigned int const rowsA = A.nRows(), colsA = A.nCols();
    unsigned int const rowsB = B.nRows(), colsB = B.nCols();
    unsigned int const rows = rowsA * rowsB, cols = colsA * colsB;
    if (out.nRows() != rows || out.nCols() != cols)
        out.resize(rows, cols);
    for (unsigned int i = 0; i < rowsA; ++i)
        for (unsigned int j = 0; j < colsA; ++j) {
            double const a = A[i][j];
            for (unsigned int k = 0; k < rowsB; ++k) {
                double* outRow = out[i * rowsB + k] + j * colsB;
                double const* bRow = B[k];
                for (unsigned int l = 0; l < colsB; ++l)
                    outRow[l] = a * bRow[l];
            }
        }
}

} // namespace meterTracker
