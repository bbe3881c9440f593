/* Signal primitives of the accent front end: an in-place complex FFT and a direct-form
 * IIR/FIR filter whose state can be carried from block to block.
 *
 * Everything works in place on caller-owned vectors and allocates nothing, so the
 * analysis can reuse its buffers step after step.
 */
#ifndef BEATLUME_FFT_AND_FILTER_H
#define BEATLUME_FFT_AND_FILTER_H

#include <vector>

/* In-place complex FFT of nn = data.size()/2 values stored as interleaved (re, im) pairs;
 * nn must be a power of two (not checked). isign = +1 uses the kernel e^{+2πi·jk/nn},
 * isign = −1 the kernel e^{−2πi·jk/nn}. No scaling: a transform and its inverse in a row
 * multiply the data by nn. */
void fft(std::vector<double>& data, short const& isign);

/* Adds the output of the difference equation
 *   y[n] = Σ_k b[k]·x[n−k] − Σ_{k≥1} a[k]·y[n−k]
 * to the initial contents of y (y.size() == x.size() != 0). a[0] is taken as 1 and never
 * read: pass normalised coefficients. |a| and |b| may differ; |a| = 1 is a pure FIR. */
void filter_imp(std::vector<double> const& b, std::vector<double> const& a, std::vector<double> const& x,
                std::vector<double>& y);

/* Zero-state filtering of x into y (y.size() == x.size()). */
void filter(std::vector<double> const& b, std::vector<double> const& a, std::vector<double> const& x,
            std::vector<double>& y);

/* Filtering from the transposed-direct-form-II state zi; on return zi holds the final
 * state, so that a signal filtered block by block with zi carried across gives exactly
 * the output of one pass. The usual state length is max(|a|, |b|) − 1; blocks may be
 * shorter than the state. */
void filter(std::vector<double> const& b, std::vector<double> const& a, std::vector<double> const& x,
            std::vector<double>& y, std::vector<double>& zi);

#endif
