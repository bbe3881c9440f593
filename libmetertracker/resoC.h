/* A bank of feedback comb filters ("resonators"), one per candidate period, all fed with
 * the same accent channel. A filter resonates when its input repeats with its delay; per
 * block the bank reports the leaky-integrated energy of every filter's output, and its
 * delay lines hold the most recent period of each output for the phase estimator.
 *
 * Delay-line convention: after every block the first d = delays[k] entries of row k of the
 * state hold feedback[k] · y_k for the filter's last d outputs, oldest first (entry d − 1 is
 * the newest). The delay lines carry the filter state across blocks exactly, so feeding a
 * signal in blocks of any sizes gives the same filter outputs as feeding it at once; the
 * energy integrators restart with every block.
 */
#ifndef BEATLUME_RESOC_H
#define BEATLUME_RESOC_H

#include "Matrix.h"

#include <vector>

namespace meterTracker {

class Resonators {
public:
    Resonators(std::vector<unsigned int> const& delays, std::vector<double> const& feedback,
               double const& decay, int const& outStep);
    virtual ~Resonators() = default;

    /* Filters one block x through every comb filter. With 0 < decay < 1 and outStep < 1 (the
     * tracker's case) inputEnergy becomes { Σ decay^(n−1−i)·x(i)² } and outputEnergy a
     * 1 × nResonators matrix of Σ decay^(n−1−i)·y_k(i)². With decay ≤ 0 the raw outputs are
     * returned instead: outputEnergy is n × nResonators (row i = sample i) and inputEnergy = x.
     * Allocates its work arrays once per block. */
    void process(std::vector<double> const& x, std::vector<double>& inputEnergy,
                 ARGMathLibrary::Matrix<double>& outputEnergy);

    // Clears every delay line.
    void reset();

    // The delay lines themselves: row k starts at k · maxDelay. Valid while the bank lives.
    double* getState() { return state.data(); }
    // A copy of the delay lines as an nResonators × maxDelay matrix.
    void getState(ARGMathLibrary::Matrix<double>& stateCopy) const;

    /* The filtering kernel; uses only its arguments. For each filter k (delay line at
     * state + k·maxDelay) runs y(t) = (1 − a)·x(t) + a·y(t − d) over the n samples of x, then
     * squares and integrates y according to decay and outStep and writes nOut values to
     * out + k·nOut (n raw outputs when decay ≤ 0). inputOut, when not null, receives x
     * squared and integrated the same way. Gains ±1 make the filter the feed-forward comb
     * x(t) + a·x(t − d), gain 0 the lag product x(t)·x(t − d). variant is reserved (pass 0). */
    void realResonators(double* out, double* state, double* inputOut, double* delays, double* feedback,
                        int nResonators, int maxDelay, double* x, int n, double decay, int outStep, int nOut,
                        int variant);

    unsigned int nResonators;
    unsigned int maxDelay;
    std::vector<unsigned int> delays;
    std::vector<double> feedback;
    double decay;
    int outStep;

private:
    std::vector<double> state; // nResonators × maxDelay delay lines
};

} // namespace meterTracker

#endif
