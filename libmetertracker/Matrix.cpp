#include "Matrix.h"

namespace ARGMathLibrary {

template class Matrix<double>;
template class Matrix<std::complex<double>>;

} // namespace ARGMathLibrary
