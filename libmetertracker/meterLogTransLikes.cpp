#include "meterLogTransLikes.h"

#include <cmath>

namespace meterTracker {

void meterLogTransLikes(std::vector<double> const& prev, std::vector<double> const& cur, double const& sigma,
                        ARGMathLibrary::Matrix<double>& out) {
    auto const rows = static_cast<unsigned int>(prev.size());
    auto const cols = static_cast<unsigned int>(cur.size());
    if (out.nRows() != rows || out.nCols() != cols)
        out.resize(rows, cols);
    for (unsigned int i = 0; i < rows; ++i)
        for (unsigned int j = 0; j < cols; ++j) {
            double const z = std::log10(cur[j] / prev[i]) / sigma;
            out[i][j] = -0.5 * z * z;
        }
}

} // namespace meterTracker
