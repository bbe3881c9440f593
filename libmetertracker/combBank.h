/* The tracker's bank of feedback comb filters: one filter per candidate period, all fed with
 * the same accent channel, y(t) = (1 − a)·x(t) + a·y(t − d).
 *
 * A filter resonates when its input repeats with its delay. The tracker needs two things from
 * each: the energy of its last period of output (how strongly the channel repeats at that
 * period) and, for the chosen periods only, the last period itself (where in the period the
 * accents fall). So the bank keeps nothing else: no block energies, and the delay lines in
 * single precision, which halves the memory the analysis step streams through — the lines
 * together are far larger than the processor's caches. The line energies are kept up to date
 * as values are replaced (in double precision) and re-summed exactly every few blocks, so
 * rounding cannot pile up over a long run.
 *
 * Delay-line convention: line k holds a·y for the filter's last d = delays[k] outputs; copyLine
 * hands them out oldest first.
 */
#ifndef BEATLUME_COMBBANK_H
#define BEATLUME_COMBBANK_H

#include <cstddef>
#include <vector>

namespace meterTracker {

class CombBank {
public:
    // One filter per delay (in samples, each ≥ 1) with the feedback gain of the same index.
    CombBank(std::vector<unsigned int> const& delays, std::vector<double> const& feedback);

    // New feedback gains (same count as the delays); the lines keep their contents, so the
    // filters carry on with a new memory instead of starting over.
    void setFeedback(std::vector<double> const& feedback);
    // Clears every line.
    void reset();
    // Filters n input samples through every filter.
    void process(double const* x, std::size_t n);

    std::size_t size() const { return delays.size(); }
    unsigned int delay(std::size_t k) const { return delays[k]; }
    double gain(std::size_t k) const { return feedback[k]; }
    // Σ of the squared values of line k.
    double lineEnergy(std::size_t k) const { return energy[k]; }
    // Line k, oldest value first, into out (resized to its delay).
    void copyLine(std::size_t k, std::vector<double>& out) const;

private:
    void resum(std::size_t k);

    std::vector<unsigned int> delays;
    std::vector<double> feedback;
    std::vector<std::size_t> start; // where each line begins in `lines`
    std::vector<float> lines;
    std::vector<unsigned int> writePos; // per line, the oldest value (next to be replaced)
    std::vector<double> energy;
    std::vector<float> input; // the block, in the lines' precision
    unsigned int blocks = 0;
};

} // namespace meterTracker

#endif
