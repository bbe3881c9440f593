/* Constants of the meter tracker and the values derived from the sample rate and from the
 * resonator half-life.
 *
 * The tracker owns one Params; the resonator banks, the period and the phase estimators read
 * it. The three prior medians (beatMyy, patternMyy, tatumMyy) are public data that the
 * tracker's function interface writes directly; the half-life changes via changeHalfTime.
 */
#ifndef BEATLUME_PARAMS_H
#define BEATLUME_PARAMS_H

#include <complex>
#include <vector>

namespace meterTracker {

// Nearest integer with halves rounded up, also for negative numbers (−2.5 gives −2).
int round(double x);

class Params {
public:
    explicit Params(unsigned int const& srate);
    Params(Params const&) = default;
    Params& operator=(Params const&) = default;
    virtual ~Params() = default;

    // New sample rate; the half-life returns to 3 s.
    void setSrate(unsigned int const& srate);
    // New resonator half-life in seconds at the stored sample rate; constants and the prior
    // medians are untouched. A half-life that is not a positive finite number would make the
    // integrators grow instead of decay: it is ignored and the previous values stay.
    void changeHalfTime(double halfLifeSeconds);

    double accentRate;         // accent samples per second (Hz)
    unsigned int frameLen;     // analysis frame in audio samples
    unsigned int hopLen;       // analysis hop in audio samples: ≥ 10 ms, a power of two
    unsigned int accentPerHop; // accent values per hop
    unsigned int nBands;       // accent bands expected from the front end
    unsigned int bandsPerChannel;
    double halfTime; // resonator half-life in accent samples

    std::vector<unsigned int> periods; // resonator delays 1 … nPeriods in accent samples (up to 4 s)
    unsigned int nPeriods;
    std::vector<double> feedback; // comb gain per delay: the impulse response halves in halfTime
    // real: output power for unit-power white input; imag: squared gain at the anti-resonances
    std::vector<std::complex<double>> noiseGains;
    double halfTimeCopy;
    double decay;   // per-sample factor of the leaky energy integrators
    double resStep; // resonator output decimation; 0 = one output per block

    // Log-normal period priors: medians in seconds and shapes.
    double beatMyy;
    double beatSigma;
    double patternMyy;
    double patternSigma;
    double tatumMyy;
    double tatumSigma;

    double ratioSigma;                // width of the integer-ratio model between levels
    std::vector<double> ratioWeights; // prior weights of the ratios 1 … 9 (not normalised)
    unsigned int nPeriodCands;
    std::vector<double> periodTransSigma; // beat, pattern, tatum
    unsigned int nPhaseCands;
    double phaseTransSigma; // in periods
    unsigned int beatObsWeight;
    unsigned int patternObsWeight;
    unsigned int tatumObsWeight;
    double beatPriorExp;
    double patternPriorExp;
    double tatumPriorExp;
    double logFloor; // added to every likelihood before its logarithm

    double srate; // audio sample rate in Hz

private:
    void derive(double srateHz, double halfLifeSeconds);
};

} // namespace meterTracker

#endif
