#include "fft_and_filter.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <utility>

void fft(std::vector<double>& data, short const& isign) {
    std::size_t const n = data.size();
    if (n < 2)
        return;
    std::size_t const nn = n / 2;

    // Bit-reversal permutation of the complex values (indices of the real parts).
    std::size_t j = 0;
    for (std::size_t i = 0; i < n; i += 2) {
        if (j > i) {
            std::swap(data[j], data[i]);
            std::swap(data[j + 1], data[i + 1]);
        }
        std::size_t m = nn;
        while (m >= 2 && j >= m) {
            j -= m;
            m >>= 1;
        }
        j += m;
    }

    // Danielson-Lanczos butterflies; the twiddle advances by a recurrence so that each
    // stage costs only two sine evaluations.
    std::size_t mmax = 2;
    while (n > mmax) {
        std::size_t const istep = mmax << 1;
        double const theta = isign * (6.28318530717959 / static_cast<double>(mmax));
        double const halfSine = std::sin(0.5 * theta);
        double const wpr = -2.0 * halfSine * halfSine;
        double const wpi = std::sin(theta);
        double wr = 1.0;
        double wi = 0.0;
        for (std::size_t m = 0; m < mmax; m += 2) {
            for (std::size_t i = m; i < n; i += istep) {
                std::size_t const k = i + mmax;
                double const tempr = wr * data[k] - wi * data[k + 1];
                double const tempi = wr * data[k + 1] + wi * data[k];
                data[k] = data[i] - tempr;
                data[k + 1] = data[i + 1] - tempi;
                data[i] += tempr;
                data[i + 1] += tempi;
            }
            double const wrOld = wr;
            wr = wr * wpr - wi * wpi + wr;
            wi = wi * wpr + wrOld * wpi + wi;
        }
        mmax = istep;
    }
}

void filter_imp(std::vector<double> const& b, std::vector<double> const& a, std::vector<double> const& x,
                std::vector<double>& y) {
    std::size_t const x_size = x.size();
    assert(x_size == y.size());
    assert(x_size != 0);
    std::size_t const nb = b.size();
    std::size_t const na = a.size();

    y[0] += b[0] * x[0];
    for (std::size_t n = 1; n < x_size; ++n) {
        double acc = y[n];
        std::size_t const lastB = std::min(nb - 1, n);
        for (std::size_t k = 0; k <= lastB; ++k)
            acc += b[k] * x[n - k];
        std::size_t const lastA = na == 0 ? 0 : std::min(na - 1, n);
        for (std::size_t k = 1; k <= lastA; ++k)
            acc -= a[k] * y[n - k];
        y[n] = acc;
    }
}

void filter(std::vector<double> const& b, std::vector<double> const& a, std::vector<double> const& x,
            std::vector<double>& y) {
    std::fill(y.begin(), y.end(), 0.0);
    filter_imp(b, a, x, y);
}

void filter(std::vector<double> const& b, std::vector<double> const& a, std::vector<double> const& x,
            std::vector<double>& y, std::vector<double>& zi) {
    std::size_t const x_size = x.size();
    assert(x_size == y.size());
    std::size_t const nz = zi.size();

    // The initial state enters the output directly at its own lag.
    for (std::size_t n = 0; n < x_size; ++n)
        y[n] = n < nz ? zi[n] : 0.0;
    filter_imp(b, a, x, y);

    // Final state. State entries a short block could not consume move down by N; they are
    // read before being overwritten because i runs upwards.
    std::size_t const N = x_size;
    for (std::size_t i = 0; i < nz; ++i) {
        if (i >= N)
            zi[i - N] += zi[i];
        double state = 0.0;
        for (std::size_t m = 1; m <= N && i + m < b.size(); ++m)
            state += b[i + m] * x[N - m];
        for (std::size_t m = 1; m <= N && i + m < a.size(); ++m)
            state -= a[i + m] * y[N - m];
        zi[i] = state;
    }
}
