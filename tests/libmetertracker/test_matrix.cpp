#include "Matrix.h"

#include <gtest/gtest.h>

#include <complex>
#include <sstream>
#include <vector>

using ARGMathLibrary::Matrix;
using ARGMathLibrary::MatrixBase;

namespace {

// Rows of a 3 × 3 matrix 1 … 9.
Matrix<double> counting(unsigned rows, unsigned cols) {
    Matrix<double> m(rows, cols);
    double v = 1.0;
    for (unsigned i = 0; i < rows; ++i)
        for (unsigned j = 0; j < cols; ++j)
            m[i][j] = v++;
    return m;
}

// The whole matrix row by row, so one comparison pins its shape and every element.
std::vector<std::vector<double>> rows(Matrix<double> const& m) {
    std::vector<std::vector<double>> out(m.nRows());
    for (unsigned i = 0; i < m.nRows(); ++i)
        out[i].assign(m[i], m[i] + m.nCols());
    return out;
}
using Rows = std::vector<std::vector<double>>;

} // namespace

TEST(Matrix, ShapeFillAndDeepCopy) {
    Matrix<double> m(2, 3, 1.5);
    EXPECT_EQ(m.nRows(), 2u);
    EXPECT_EQ(m.nCols(), 3u);
    EXPECT_EQ(m.nElems(), 6u);
    EXPECT_FALSE(m.isSquare());
    EXPECT_TRUE(m.legalIndices(1, 2));
    EXPECT_FALSE(m.legalIndices(2, 0));
    EXPECT_FALSE(m.legalIndices(0, 3));
    EXPECT_TRUE(m == 1.5);
    EXPECT_TRUE(Matrix<double>(0, 4) == 3.0); // vacuously

    Matrix<double> copy(m);
    copy[1][2] = -1.0;
    EXPECT_EQ(m[1][2], 1.5);
    Matrix<double> assigned(5, 5);
    assigned = copy;
    EXPECT_TRUE(assigned.equalSized(copy));
    copy[0][0] = 9.0;
    EXPECT_EQ(assigned[0][0], 1.5);
    EXPECT_EQ(assigned[1][2], -1.0);
    assigned = *&assigned; // self-assignment keeps the data
    EXPECT_EQ(assigned[1][2], -1.0);
}

TEST(Matrix, ResizeKeepsOverlapAndFillsTheRest) {
    Matrix<double> m = counting(2, 2);
    m.resize(3, 1, 7.0);
    EXPECT_EQ(rows(m), (Rows{{1}, {3}, {7}}));

    // Through the base interface the new elements are 0; growing both ways.
    MatrixBase& base = m;
    base.resize(4, 3);
    EXPECT_EQ(rows(m), (Rows{{1, 0, 0}, {3, 0, 0}, {7, 0, 0}, {0, 0, 0}}));

    m.resize(0, 0);
    EXPECT_EQ(m.nElems(), 0u);
    EXPECT_EQ(m.begin(), m.end());
}

TEST(Matrix, TransposeSubMatrixAndProduct) {
    Matrix<double> m = counting(2, 3);
    Matrix<double> t = m.getTranspose();
    m.transpose();
    EXPECT_EQ(rows(m), (Rows{{1, 4}, {2, 5}, {3, 6}}));
    EXPECT_TRUE(m == t);
    Matrix<double> square = counting(3, 3);
    square.transpose();
    EXPECT_EQ(rows(square), (Rows{{1, 4, 7}, {2, 5, 8}, {3, 6, 9}}));

    EXPECT_EQ(rows(counting(3, 3).subMatrix(1, 1, 0, 2)), (Rows{{4, 5, 6}}));
    EXPECT_EQ(rows(counting(3, 3).subMatrix(1, 2, 1, 2)), (Rows{{5, 6}, {8, 9}}));

    Matrix<double> product = counting(2, 3) % counting(3, 2);
    EXPECT_EQ(rows(product), (Rows{{22, 28}, {49, 64}}));
    Matrix<double> into(2, 2, -1.0);
    counting(2, 3).matrixMultiply(counting(3, 2), into);
    EXPECT_TRUE(into == product);
}

TEST(MatrixDeathTest, ViolatedPreconditionsNameTheExpression) {
#ifdef NDEBUG
    GTEST_SKIP() << "assertions are compiled out";
#else
    Matrix<double> m(2, 2);
    EXPECT_DEATH(m[2], "row_index < nRows\\(\\)");
    Matrix<double> other(2, 3);
    EXPECT_DEATH(m += other, "equalSized\\( rh_matrix \\)");
    EXPECT_DEATH(m % Matrix<double>(3, 1), "n_ == rh_matrix.m_");
    EXPECT_DEATH(m.subMatrix(1, 0, 0, 1), "end_row >= start_row");
    EXPECT_DEATH(m.subMatrix(0, 2, 0, 1), "legalIndices\\( end_row, end_col \\)");
#endif
}
