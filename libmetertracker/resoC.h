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
 *
 * Inside, process() keeps every delay line circular (the oldest entry sits wherever the
 * block's last write ended) instead of moving the whole line each block; getState() and
 * delayLine() bring lines back to the oldest-first order above before handing them out.
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
     * Also computes every delay line's energy (see lineEnergies). Reuses its work arrays
     * from block to block. */
    void process(std::vector<double> const& x, std::vector<double>& inputEnergy,
                 ARGMathLibrary::Matrix<double>& outputEnergy);

    // Clears every delay line.
    void reset();

    // The delay lines themselves, oldest first: row k starts at k · maxDelay. Valid while the
    // bank lives and until the next process(). Puts every line in order first, which moves
    // most of the bank; the tracker reads single lines through delayLine().
    double* getState();
    // A copy of the delay lines (oldest first) as an nResonators × maxDelay matrix.
    void getState(ARGMathLibrary::Matrix<double>& stateCopy) const;
    // Delay line k (delays[k] values, oldest first), valid until the next process().
    double const* delayLine(unsigned int k);
    // Per filter, Σ_j line_k[j]² over its delay line after the latest process()
    // (j = 0 … delays[k] − 1); all 0 before the first block. Summed in chunks that are kept
    // from block to block, so it can differ from the plain sum in the last bits.
    std::vector<double> const& lineEnergies() const { return lineEnergy; }

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
    void processCircular(std::vector<double> const& x, double* out, double* inputOut);
    // Rotates line k so that its oldest value comes first.
    void putInOrder(unsigned int k);
    // Re-sums the chunks of line k that `written` values from position firstWritten on
    // changed (all of them when the chunk energies are stale), then the line's energy.
    void updateLineEnergy(unsigned int k, unsigned int firstWritten, unsigned int written);

    std::vector<double> state;        // nResonators × maxDelay delay lines
    std::vector<unsigned int> oldest; // per line, index of its oldest value (0 = in order)
    std::vector<double> lineEnergy;   // per line, Σ of its squared values
    // Line energies are kept per chunk of energyChunk positions, so that a block re-sums only
    // the chunks it wrote into instead of the whole line.
    static constexpr unsigned int energyChunk = 32;
    unsigned int chunksPerLine;
    std::vector<double> chunkEnergy;        // nResonators × chunksPerLine
    std::vector<unsigned char> chunksValid; // per line: its chunk energies match its positions
    bool plainCombs;                        // every filter is a feedback comb (the tracker's banks)
    std::vector<double> work;               // per block: filter outputs of a group, sample-major
    std::vector<double> outWork;            // per block: one output per filter
    std::vector<double> inputWork;          // per block: the input's own energy
};

} // namespace meterTracker

#endif
