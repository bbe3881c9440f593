/* Dense matrices for the meter analysis.
 *
 * Elements live in one contiguous row-major block; a row table gives M[i][j] with a single
 * indirection, and whole-matrix operations run as one loop over the block. Only the storage
 * itself is allocated; violated preconditions are assertions naming the failed expression.
 * Instantiated for double and std::complex<double> (Matrix.cpp).
 */
#ifndef BEATLUME_MATRIX_H
#define BEATLUME_MATRIX_H

#include <algorithm>
#include <cassert>
#include <complex>
#include <cstdint>
#include <iomanip>
#include <ostream>
#include <string>
#include <utility>

namespace ARGMathLibrary {

// The shape of a matrix, shared by every element type.
class MatrixBase {
public:
    MatrixBase(unsigned int const& rows, unsigned int const& cols) : m_(rows), n_(cols) {}
    virtual ~MatrixBase() = default;

    // New shape; elements inside the old shape keep their values, every other one becomes 0.
    virtual void resize(unsigned int const& rows, unsigned int const& cols) = 0;

    unsigned int nRows() const { return m_; }
    unsigned int nCols() const { return n_; }
    unsigned int nElems() const { return m_ * n_; }
    bool legalIndices(unsigned int const& row, unsigned int const& col) const { return row < m_ && col < n_; }
    bool isSquare() const { return m_ == n_; }
    bool equalSized(MatrixBase const& other) const { return m_ == other.m_ && n_ == other.n_; }

protected:
    MatrixBase(MatrixBase const&) = default;
    MatrixBase& operator=(MatrixBase const&) = default;

    std::uint32_t m_; // rows
    std::uint32_t n_; // columns
};

template <typename T> class Matrix : public MatrixBase {
public:
    explicit Matrix(unsigned int const& rows = 0, unsigned int const& cols = 0, T const& fill = T(0))
        : MatrixBase(rows, cols) {
        allocate();
        for (T* p = data_; p != end_; ++p)
            *p = fill;
    }

    Matrix(Matrix const& other) : MatrixBase(other.m_, other.n_) {
        allocate();
        std::copy(other.data_, other.end_, data_);
    }

    Matrix& operator=(Matrix const& other) {
        if (this == &other)
            return *this;
        release();
        m_ = other.m_;
        n_ = other.n_;
        allocate();
        std::copy(other.data_, other.end_, data_);
        return *this;
    }

    ~Matrix() override { release(); }

    T* operator[](unsigned int const& row_index) {
        assert(row_index < nRows());
        return rows_[row_index];
    }
    T const* operator[](unsigned int const& row_index) const {
        assert(row_index < nRows());
        return rows_[row_index];
    }

    void resize(unsigned int const& rows, unsigned int const& cols) override { resize(rows, cols, T(0)); }

    // Elements (i, j) inside both shapes keep their values; all others become fill.
    void resize(unsigned int const& rows, unsigned int const& cols, T const& fill) {
        Matrix resized(rows, cols, fill);
        unsigned int const keepRows = std::min<unsigned int>(rows, m_);
        unsigned int const keepCols = std::min<unsigned int>(cols, n_);
        for (unsigned int i = 0; i < keepRows; ++i)
            for (unsigned int j = 0; j < keepCols; ++j)
                resized.rows_[i][j] = rows_[i][j];
        swap(resized); // the old block is freed with `resized`
    }

    Matrix& operator+=(Matrix const& rh_matrix) {
        return elementWise(rh_matrix, [](T& a, T b) { a += b; });
    }
    Matrix& operator-=(Matrix const& rh_matrix) {
        return elementWise(rh_matrix, [](T& a, T b) { a -= b; });
    }
    // Element-wise product, not the matrix product (that is operator%).
    Matrix& operator*=(Matrix const& rh_matrix) {
        return elementWise(rh_matrix, [](T& a, T b) { a *= b; });
    }
    Matrix& operator/=(Matrix const& rh_matrix) {
        return elementWise(rh_matrix, [](T& a, T b) { a /= b; });
    }

    Matrix& operator+=(T const& s) {
        return scalarWise([s](T& a) { a += s; });
    }
    Matrix& operator-=(T const& s) {
        return scalarWise([s](T& a) { a -= s; });
    }
    Matrix& operator*=(T const& s) {
        return scalarWise([s](T& a) { a *= s; });
    }
    Matrix& operator/=(T const& s) {
        return scalarWise([s](T& a) { a /= s; });
    }

    bool operator==(Matrix const& rh_matrix) const {
        // clang-format off
        assert(equalSized( rh_matrix ));
        // clang-format on
        for (T const *p = data_, *q = rh_matrix.data_; p != end_; ++p, ++q)
            if (!(*p == *q))
                return false;
        return true;
    }
    bool operator==(T const& s) const {
        for (T const* p = data_; p != end_; ++p)
            if (!(*p == s))
                return false;
        return true;
    }

    Matrix operator+() const { return *this; }
    Matrix operator-() const {
        Matrix negated(*this);
        for (T* p = negated.data_; p != negated.end_; ++p)
            *p = -*p;
        return negated;
    }

    // Matrix product this · rh_matrix.
    Matrix operator%(Matrix const& rh_matrix) const {
        assert(n_ == rh_matrix.m_);
        Matrix result(m_, rh_matrix.n_);
        multiplyInto(rh_matrix, result);
        return result;
    }

    void matrixMultiply(Matrix const& rh_matrix, Matrix& result) const {
        assert(result.m_ == m_ && result.n_ == rh_matrix.n_);
        assert(this != &result);
        assert(n_ == rh_matrix.m_);
        multiplyInto(rh_matrix, result);
    }

    void transpose() {
        if (isSquare()) {
            for (unsigned int i = 0; i < m_; ++i)
                for (unsigned int j = i + 1; j < n_; ++j)
                    std::swap(rows_[i][j], rows_[j][i]);
            return;
        }
        *this = getTranspose();
    }

    void setTranspose(Matrix& transpose_result) const {
        assert(transpose_result.n_ == m_ && transpose_result.m_ == n_);
        for (unsigned int i = 0; i < m_; ++i)
            for (unsigned int j = 0; j < n_; ++j)
                transpose_result.rows_[j][i] = rows_[i][j];
    }

    Matrix getTranspose() const {
        Matrix result(n_, m_);
        setTranspose(result);
        return result;
    }

    // Rows start_row..end_row and columns start_col..end_col, both ends included.
    Matrix subMatrix(unsigned int const& start_row, unsigned int const& end_row,
                     unsigned int const& start_col, unsigned int const& end_col) const {
        // clang-format off
        assert(legalIndices( start_row, start_col ));
        assert(legalIndices( end_row, end_col ));
        // clang-format on
        assert(end_row >= start_row);
        assert(end_col >= start_col);
        Matrix result(end_row - start_row + 1, end_col - start_col + 1);
        for (unsigned int i = start_row; i <= end_row; ++i)
            for (unsigned int j = start_col; j <= end_col; ++j)
                result.rows_[i - start_row][j - start_col] = rows_[i][j];
        return result;
    }

    // Text dump: a shape line, then one bracketed line per row; every tenth column is marked *j*.
    void print(std::ostream& stream, std::string const& separator = " ", int width = 10) const {
        stream << std::dec << "m: " << m_ << "\tn:" << n_ << "\n";
        for (unsigned int i = 0; i < m_; ++i) {
            stream << "(" << std::setw(4) << i + 1 << ") [";
            for (unsigned int j = 0; j < n_; ++j) {
                if (j != 0 && j % 10 == 0)
                    stream << "*" << j << "* ";
                stream << std::setw(width) << rows_[i][j] << separator;
            }
            stream << "\t]\n";
        }
        stream << "\n";
    }

    // The contiguous element block, row-major; empty matrices have none.
    T* begin() { return data_; }
    T* end() { return end_; }
    T const* begin() const { return data_; }
    T const* end() const { return end_; }

private:
    void allocate() {
        std::size_t const count = std::size_t(m_) * n_;
        if (count == 0) {
            rows_ = nullptr;
            data_ = end_ = nullptr;
            return;
        }
        data_ = new T[count];
        try {
            rows_ = new T*[m_];
        } catch (...) {
            delete[] data_;
            data_ = end_ = nullptr;
            throw;
        }
        for (unsigned int i = 0; i < m_; ++i)
            rows_[i] = data_ + std::size_t(i) * n_;
        end_ = data_ + count;
    }

    void release() {
        delete[] rows_;
        delete[] data_;
        rows_ = nullptr;
        data_ = end_ = nullptr;
    }

    void swap(Matrix& other) {
        std::swap(m_, other.m_);
        std::swap(n_, other.n_);
        std::swap(rows_, other.rows_);
        std::swap(data_, other.data_);
        std::swap(end_, other.end_);
    }

    template <typename Op> Matrix& elementWise(Matrix const& rh_matrix, Op op) {
        // clang-format off
        assert(equalSized( rh_matrix ));
        // clang-format on
        T const* q = rh_matrix.data_;
        for (T* p = data_; p != end_; ++p, ++q)
            op(*p, *q);
        return *this;
    }

    template <typename Op> Matrix& scalarWise(Op op) {
        for (T* p = data_; p != end_; ++p)
            op(*p);
        return *this;
    }

    void multiplyInto(Matrix const& rh_matrix, Matrix& result) const {
        for (unsigned int i = 0; i < m_; ++i)
            for (unsigned int j = 0; j < rh_matrix.n_; ++j) {
                T sum = T(0);
                for (unsigned int k = 0; k < n_; ++k)
                    sum += rows_[i][k] * rh_matrix.rows_[k][j];
                result.rows_[i][j] = sum;
            }
    }

    T** rows_ = nullptr; // row i -> element (i, 0)
    T* data_ = nullptr;  // m_ × n_ elements, row-major
    T* end_ = nullptr;   // one past the last element
};

template <typename T> Matrix<T> operator+(Matrix<T> const& a, Matrix<T> const& b) {
    Matrix<T> sum(a);
    sum += b;
    return sum;
}

template <typename T> Matrix<T> operator/(Matrix<T> const& a, T const& s) {
    Matrix<T> quotient(a);
    quotient /= s;
    return quotient;
}

extern template class Matrix<double>;
extern template class Matrix<std::complex<double>>;

} // namespace ARGMathLibrary

#endif
