#include "Matrix.h"

#include <gtest/gtest.h>

#include <complex>
#include <sstream>

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
    ASSERT_EQ(m.nRows(), 3u);
    ASSERT_EQ(m.nCols(), 1u);
    EXPECT_EQ(m[0][0], 1.0);
    EXPECT_EQ(m[1][0], 3.0);
    EXPECT_EQ(m[2][0], 7.0);

    // Through the base interface the new elements are 0; growing both ways.
    MatrixBase& base = m;
    base.resize(4, 3);
    EXPECT_EQ(m[1][0], 3.0);
    EXPECT_EQ(m[2][0], 7.0);
    EXPECT_EQ(m[0][2], 0.0);
    EXPECT_EQ(m[3][2], 0.0);

    m.resize(0, 0);
    EXPECT_EQ(m.nElems(), 0u);
    EXPECT_EQ(m.begin(), m.end());
}

TEST(Matrix, TransposeSubMatrixAndProduct) {
    Matrix<double> m = counting(2, 3);
    Matrix<double> t = m.getTranspose();
    m.transpose();
    ASSERT_EQ(m.nRows(), 3u);
    ASSERT_EQ(m.nCols(), 2u);
    EXPECT_TRUE(m == t);
    EXPECT_EQ(m[0][1], 4.0);
    EXPECT_EQ(m[2][0], 3.0);

    Matrix<double> square = counting(3, 3);
    square.transpose();
    EXPECT_EQ(square[0][2], 7.0);
    EXPECT_EQ(square[2][0], 3.0);
    EXPECT_EQ(square[1][1], 5.0);

    Matrix<double> one(1, 1, 4.0);
    one.transpose();
    EXPECT_EQ(one.nRows(), 1u);
    EXPECT_EQ(one[0][0], 4.0);

    Matrix<double> middle = counting(3, 3).subMatrix(1, 1, 0, 2);
    ASSERT_EQ(middle.nRows(), 1u);
    ASSERT_EQ(middle.nCols(), 3u);
    EXPECT_EQ(middle[0][0], 4.0);
    EXPECT_EQ(middle[0][2], 6.0);
    Matrix<double> corner = counting(3, 3).subMatrix(1, 2, 1, 2);
    EXPECT_EQ(corner[1][1], 9.0);

    // [1 2 3; 4 5 6] · [1 2; 3 4; 5 6] = [22 28; 49 64]
    Matrix<double> product = counting(2, 3) % counting(3, 2);
    ASSERT_EQ(product.nRows(), 2u);
    ASSERT_EQ(product.nCols(), 2u);
    EXPECT_EQ(product[0][0], 22.0);
    EXPECT_EQ(product[0][1], 28.0);
    EXPECT_EQ(product[1][0], 49.0);
    EXPECT_EQ(product[1][1], 64.0);
    Matrix<double> into(2, 2, -1.0);
    counting(2, 3).matrixMultiply(counting(3, 2), into);
    EXPECT_TRUE(into == product);
}

TEST(Matrix, ElementWiseAndScalarOperators) {
    Matrix<double> a = counting(2, 2);
    Matrix<double> b(2, 2, 2.0);
    Matrix<double> c = a;
    c *= b; // element-wise, not a matrix product
    EXPECT_EQ(c[1][1], 8.0);
    c /= b;
    EXPECT_TRUE(c == a);
    c += b;
    c -= a;
    EXPECT_TRUE(c == 2.0);
    c += 1.0;
    c *= 3.0;
    c -= 1.0;
    c /= 4.0;
    EXPECT_TRUE(c == 2.0);

    Matrix<double> sum = a + b;
    EXPECT_EQ(sum[1][0], 5.0);
    Matrix<double> half = a / 2.0;
    EXPECT_EQ(half[0][1], 1.0);
    Matrix<double> negated = -a;
    EXPECT_EQ(negated[1][1], -4.0);
    EXPECT_TRUE(+a == a);
    EXPECT_FALSE(negated == a);

    Matrix<std::complex<double>> z(1, 2, {1.0, 1.0});
    z *= std::complex<double>(0.0, 1.0);
    EXPECT_EQ(z[0][1], std::complex<double>(-1.0, 1.0));
}

TEST(Matrix, PrintFormat) {
    Matrix<double> m = counting(2, 2);
    std::ostringstream out;
    m.print(out, " ", 3);
    EXPECT_EQ(out.str(), "m: 2\tn:2\n(   1) [  1   2 \t]\n(   2) [  3   4 \t]\n\n");

    std::ostringstream wide;
    Matrix<double>(1, 11, 0.0).print(wide, ",", 1);
    EXPECT_EQ(wide.str(), "m: 1\tn:11\n(   1) [0,0,0,0,0,0,0,0,0,0,*10* 0,\t]\n\n");
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
