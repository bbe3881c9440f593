// The tracker keeps its state in matrices that it resizes as the analysis window moves: what a
// copy or a resize keeps must be exact.
#include "Matrix.h"

#include <gtest/gtest.h>

#include <vector>

using ARGMathLibrary::Matrix;
using ARGMathLibrary::MatrixBase;

namespace {

std::vector<std::vector<double>> rows(Matrix<double> const& m) {
    std::vector<std::vector<double>> out(m.nRows());
    for (unsigned i = 0; i < m.nRows(); ++i)
        out[i].assign(m[i], m[i] + m.nCols());
    return out;
}
using Rows = std::vector<std::vector<double>>;

} // namespace

TEST(Matrix, CopiesAreDeepAndResizeKeepsTheOverlap) {
    Matrix<double> m(2, 2, 1.5);
    m[0][1] = 2;
    m[1][0] = 3;
    Matrix<double> copy(m), assigned(5, 5);
    assigned = copy;
    copy[0][0] = 9.0;
    assigned = *&assigned; // self-assignment keeps the data
    EXPECT_EQ(rows(m), (Rows{{1.5, 2}, {3, 1.5}}));
    EXPECT_EQ(rows(assigned), rows(m));

    m.resize(3, 1, 7.0);
    EXPECT_EQ(rows(m), (Rows{{1.5}, {3}, {7}}));
    // Through the base interface the new elements are 0; growing both ways.
    MatrixBase& base = m;
    base.resize(4, 3);
    EXPECT_EQ(rows(m), (Rows{{1.5, 0, 0}, {3, 0, 0}, {7, 0, 0}, {0, 0, 0}}));
    m.resize(0, 0);
    EXPECT_EQ(m.begin(), m.end());
}
