/* The accent front end of the meter tracker.
 *
 * Onsets turns mono audio into band accents: for each band of an ERB-spaced filter bank,
 * a non-negative signal at the accent rate (two values per analysis hop) that rises where
 * the band gets louder. The tracker pushes audio with addData, analyses it with process,
 * reads the delay-compensated accents with getBandEnvs from the first index it has not
 * consumed yet, and releases what it consumed with clearBandEnvs.
 *
 * Supported sample rates (Hz) and what follows from them:
 *   44100: frame 1024, 36 bands, 172.265625 accents/s, group delay 11
 *   32000: frame 1024, 36 bands, 125 accents/s,        group delay 8
 *   22050: frame  512, 18 bands, 172.265625 accents/s, group delay 11
 *   16000: frame  512, 18 bands, 125 accents/s,        group delay 8
 *    8000: frame  256,  9 bands, 125 accents/s,        group delay 8
 * Any other rate is a configuration error: std::invalid_argument naming the list above.
 *
 * Time indices are absolute accent indices counted from the last reset. Index n carries the
 * envelope computed for n + groupDelay, so the envelope low-pass delay is removed; the
 * newest groupDelay values are a look-ahead predicted from the low-pass's zero-input
 * response and are revised when the next block arrives.
 *
 * No locking: one thread at a time. Nothing here is meant for an audio callback — addData
 * and process may allocate.
 */
#ifndef BEATLUME_ONSETS_H
#define BEATLUME_ONSETS_H

#include "Matrix.h"
#include "bandNoiseFloor.h"

#include <cstdint>
#include <vector>

class Onsets {
public:
    // FFT bins of one band's triangular weighting: rising from `first` (weight 0) to `peak`
    // (weight 1), falling to `last` (weight 0).
    struct BandBins {
        unsigned int first;
        unsigned int peak;
        unsigned int last;
    };

    explicit Onsets(unsigned int srate);
    virtual ~Onsets() = default;

    // New sample rate: forgets all history and rebuilds the analysis window.
    void setSrate(unsigned int srate);
    // Forgets all audio, statistics and accent history.
    void reset();

    // Buffers the samples (copied); non-finite samples are taken as 0.
    void addData(double const* samples, unsigned int const& count);
    void addData(std::vector<double> const& samples);

    // Analyses every complete frame in the buffer; true when a block was analysed.
    bool process();

    // Band accents (nBands rows × columns) from absolute index t to the newest; the last
    // groupDelay columns are the provisional look-ahead. False, with `out` untouched, when t
    // lies outside the kept history or nothing has been analysed yet.
    bool getBandEnvs(ARGMathLibrary::Matrix<double>& out, unsigned int t);
    // Discards band accents (and, with alsoAccents, summed accents) before index t.
    // False when t lies at or after the newest band accent.
    bool clearBandEnvs(unsigned int t, bool alsoAccents);
    unsigned int getGroupDelay() const { return groupDelay; }
    // Band-summed accents from absolute index t to the newest, delay-compensated like
    // getBandEnvs.
    bool getAccents(std::vector<double>& out, unsigned int t);
    double getAccentSrate() const;

    // Folds x into the running input statistics and returns the mean and standard deviation.
    void getMeanAndStd(double& mean, double& std, std::vector<double> const& x);

    // n + 1 band edges from fmin to fmax, equally spaced on the ERB-rate scale. edges is
    // enlarged to n + 1 values when smaller.
    static void freqBands(std::vector<double>& edges, double fmin, double fmax, int n);
    static double hz2erb(double f);
    static double erb2hz(double e);
    // Rounds halves up.
    static double rintAK(double x);
    // Sixth-order Butterworth low-pass for the cutoff wn (relative to half the sample rate),
    // from a list of stored designs; an unknown cutoff gives the identity filter.
    static void butter6stored(std::vector<double>& b, std::vector<double>& a, double wn);
    // Index of the peak of the filter's impulse response over n samples.
    static int grpDelayAverage(std::vector<double> const& b, std::vector<double> const& a, int n);
    // Weight of an envelope's rise in the accent at the given accent rate.
    static double slopeWeight(double accentRate) { return 0.9 * accentRate * 0.5 / 10; }

    // Absolute index one past the newest band accent (0 before the first block).
    unsigned int bandEnvEnd() const { return havePrevBlock ? bandEnvOffset + bandEnvCols : 0; }
    unsigned int numBands() const { return nBands; }
    unsigned int frameLength() const { return frameLen; }
    std::vector<double> const& window() const { return analysisWindow; }
    std::vector<double> const& bandEdges() const { return edges; }
    BandBins bandBins(unsigned int band) const { return bands[band]; }
    // Samples waiting for the next frame.
    std::vector<double> const& bufferedSamples() const { return inputBuffer; }

protected:
    // The envelope stage of the block analysis, from the compressed band loudness on:
    // loudness[b * nFrames + f] is band b in frame f. Appends 2 · nFrames accent columns.
    void appendBandLoudness(double const* loudness, unsigned int nFrames);

private:
    void meterFFTenvs(double const* block, unsigned int nFrames);
    void updateStatistics(double const* x, std::size_t count);
    // Forward complex transform of the N/2 values in spectrumRe/Im (given in bit-reversed
    // order), in place.
    void halfSizeTransform();
    // Validates srate and sets frame length, band count, band layout and the low-pass.
    void configureForRate();
    void buildWindow();
    // Fills envTail from the carried low-pass states when a block has come since.
    void settleLookAhead();

    std::vector<double> inputBuffer;
    bool bufferFresh;
    std::uint32_t srate;
    std::vector<double> accentHistory;
    double accentSrate;
    ARGMathLibrary::Matrix<double> filterStates;
    double sampleCount;
    double sampleMean;
    double sampleVar;
    std::vector<double> prevEnvLast;
    ARGMathLibrary::Matrix<double> bandEnvHistory; // columns beyond bandEnvCols are spare room
    unsigned int bandEnvCols;
    double boundaryAccent;
    bool havePrevBlock;
    std::uint32_t groupDelay;
    bool newData;
    std::uint32_t bandEnvOffset;
    std::uint32_t accentOffset;
    ARGMathLibrary::Matrix<double> envTail;
    bool tailStale = false;
    std::vector<double> analysisWindow;

    // Fixed per sample rate.
    unsigned int frameLen = 0;
    unsigned int hop = 0;
    unsigned int nBands = 0;
    std::vector<double> edges;
    std::vector<BandBins> bands;
    std::vector<double> bandWeights; // triangular weights of bins first…last, band after band
    std::vector<double> squaredBandWeights;
    std::vector<unsigned int> bandWeightStart;
    std::vector<double> twiddleCos; // cos, sin of 2πk/N, k < N/2: untangling the half-size transform
    std::vector<double> twiddleSin;
    std::vector<unsigned int> bitReversed; // the transform's input order, N/2 entries
    std::vector<double> stageTwiddleRe;    // the transform's twiddles, stage after stage
    std::vector<double> stageTwiddleIm;
    std::vector<double> lowpassB;
    std::vector<double> lowpassA;
    std::uint32_t lowpassDelay = 0;

    // Scratch buffers reused from block to block.
    std::vector<double> ditherBlock;
    std::vector<double> spectrumRe;
    std::vector<double> spectrumIm;
    std::vector<double> binPower;    // |X[k]|² / N
    std::vector<double> frameEnergy; // one frame's band energies, unscaled
    meterTracker::BandNoiseFloor noiseFloor;
    std::vector<double> loudness;
    std::vector<double> upsampled; // the following …Lanes buffers hold a group of bands side by side
    std::vector<double> filteredLanes;
    std::vector<double> stateLanes;
    std::vector<double> zeros;
    std::vector<double> tailLanes;
    std::vector<double> tail; // one band's look-ahead
    std::vector<double> blockAccent;
};

#endif
