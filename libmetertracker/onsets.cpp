#include "onsets.h"

#include "avx2Clones.h"

#include "fft_and_filter.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

using ARGMathLibrary::Matrix;

namespace {

// 1 / ln(101): maps the loudness ln(1 + 100·E) of a full-scale band to about 1.
constexpr double inverseLog101 = 0.21667906533553166;
// The loudness share of an accent; written as 1 − 0.9 so that loudness and slope shares
// add up to the same 0.9/0.1 split everywhere.
constexpr double loudnessShare = 1 - 0.9;
constexpr double envelopeCutoffHz = 10;
constexpr unsigned int lowpassOrder = 6;
// How far above its floor a band's energy must rise to count: a noise band's smoothed energy
// seldom strays further from its lowest value.
constexpr double floorMargin = 3.0;
// The loudest floor taken as the input's own noise, as the band's energy of a sine at this peak
// level (dBFS): hiss and hum lie far below it, while a steady sound as loud as music is music
// (a drone, a held chord, a test tone), whose bands must come back whole when it stops.
constexpr double loudestFloorDb = -40;

struct RateLayout {
    double rate;
    unsigned int frameLength;
    unsigned int bands;
};

constexpr RateLayout supportedRates[] = {
    {44100, 1024, 36}, {32000, 1024, 36}, {22050, 512, 18}, {16000, 512, 18}, {8000, 256, 9},
};

struct StoredButterworth {
    double cutoff;
    double gain; // b = gain · [1, 6, 15, 20, 15, 6, 1]
    double a[lowpassOrder + 1];
};

// Sixth-order Butterworth low-passes (bilinear transform with pre-warping); the first
// matching cutoff wins. The 0.029 design is kept as it was first measured, slightly off
// the computed one.
constexpr StoredButterworth storedDesigns[] = {
    {0.058,
     4.0866471883391465e-07,
     {1.0, -5.296174790814393, 11.724297472117549, -13.883104720860363, 9.27260533417983, -3.3115809205700772,
      0.4939837804894651}},
    {0.1161,
     1.934821074187553e-05,
     {1.0, -4.592236133523747, 8.918281529847143, -9.353758411594637, 5.578960297450523, -1.791904459442157,
      0.2418954627503554}},
    {0.2322,
     0.000726459723802267,
     {1.0, -3.192209701037845, 4.643421400818108, -3.8026601013381613, 1.8270821279380964,
      -0.48410501922900817, 0.05496471517215622}},
    {0.0871,
     4.005615543621226e-06,
     {1.0, -4.943398513351704, 10.260832024813665, -11.436979626795782, 7.21512374207958, -2.4412778689789834,
      0.3459566016280177}},
    {0.1741,
     0.000166464006530856,
     {1.0, -3.89152083827514, 6.568484249334288, -6.091744729768651, 3.2555832633541537, -0.9469311626006717,
      0.11678291437399574}},
    {0.3483,
     0.005325643052721957,
     {1.0, -1.8031183349212043, 1.9973498736232622, -1.252179051074878, 0.49833052377589615,
      -0.11043930573550598, 0.010897449706635138}},
    {0.08,
     2.4972225268903716e-06,
     {1.0, -5.029438351421608, 10.607042183779681, -11.999315816216692, 7.675474548200199,
      -2.6310551284739474, 0.37745238637408857}},
    {0.16,
     0.0001070688974214216,
     {1.0, -4.061643999213436, 7.099503818750704, -6.785016025397502, 3.723019428891598, -1.108670855343532,
      0.1396600417471391}},
    {0.32,
     0.0035382735778316564,
     {1.0, -2.140755924193053, 2.500582566075432, -1.685599607428541, 0.6975629209793704,
      -0.16177987518017162, 0.016439428728189168}},
    {0.12,
     2.3133049709735806e-05,
     {1.0, -4.545047459119294, 8.746397596943641, -9.098376319852557, 5.386173059399326, -1.718135349469036,
      0.2304689872793438}},
    {0.24,
     0.0008575364450074966,
     {1.0, -3.0985416733657267, 4.416436920795852, -3.556586400823133, 1.6851391370251587,
      -0.44112400909198063, 0.04955835794030941}},
    {0.48,
     0.024410773059137404,
     {1.0, -0.23736615265704467, 0.7987232170149388, -0.11298309067979992, 0.11966544686321152,
      -0.00761298360306212, 0.001863038846549262}},
    {0.029,
     7.561594001989635e-09,
     {1, -5.64771437137408, 13.30008885374319, -16.71646852330947, 11.82650304289333, -4.465362130555159,
      0.7029536125441948}},
};

constexpr double binomial6[lowpassOrder + 1] = {1, 6, 15, 20, 15, 6, 1};

RateLayout const* findRate(std::uint32_t rate) {
    for (RateLayout const& layout : supportedRates)
        if (std::fabs(static_cast<double>(rate) - layout.rate) < 0.01)
            return &layout;
    return nullptr;
}

// A wrong rate is a configuration fault of the caller: continuing would analyse with
// band layouts and filters made for another rate.
[[noreturn]] void unsupportedRate() {
    throw std::invalid_argument("Supported sampling rates: 44.1,32,22.05,16,8 kHz.");
}

// Bands filtered side by side: independent recursions overlap in the processor instead of
// each waiting on its own previous sample.
constexpr unsigned int laneCount = 4;

/* filter(b, a, x, y, zi) of fft_and_filter for laneCount signals at once, with the same
 * operations in the same order for each of them. Sample n of lane l is x[n·laneCount + l]
 * (likewise y), state entry i of lane l is zi[i·laneCount + l]. b and a hold the low-pass's
 * lowpassOrder + 1 coefficients: with their count fixed, the short per-frame runs unroll. */
void filterLanes(std::vector<double> const& bCoefficients, std::vector<double> const& aCoefficients,
                 double const* x, double* y, std::size_t N, double* zi, std::size_t nz) {
    constexpr unsigned int W = laneCount;
    constexpr std::size_t nb = lowpassOrder + 1;
    constexpr std::size_t na = lowpassOrder + 1;
    assert(bCoefficients.size() == nb && aCoefficients.size() == na);
    double const* b = bCoefficients.data();
    double const* a = aCoefficients.data();
    if (N == 0)
        return;
    for (std::size_t n = 0; n < N; ++n)
        for (unsigned int l = 0; l < W; ++l)
            y[n * W + l] = n < nz ? zi[n * W + l] : 0.0;
    for (unsigned int l = 0; l < W; ++l)
        y[l] += b[0] * x[l];
    for (std::size_t n = 1; n < N; ++n) {
        double acc[W];
        for (unsigned int l = 0; l < W; ++l)
            acc[l] = y[n * W + l];
        std::size_t const lastB = std::min(nb - 1, n);
        for (std::size_t k = 0; k <= lastB; ++k)
            for (unsigned int l = 0; l < W; ++l)
                acc[l] += b[k] * x[(n - k) * W + l];
        std::size_t const lastA = na == 0 ? 0 : std::min(na - 1, n);
        for (std::size_t k = 1; k <= lastA; ++k)
            for (unsigned int l = 0; l < W; ++l)
                acc[l] -= a[k] * y[(n - k) * W + l];
        for (unsigned int l = 0; l < W; ++l)
            y[n * W + l] = acc[l];
    }
    for (std::size_t i = 0; i < nz; ++i) {
        if (i >= N)
            for (unsigned int l = 0; l < W; ++l)
                zi[(i - N) * W + l] += zi[i * W + l];
        double st[W] = {};
        for (std::size_t m = 1; m <= N && i + m < nb; ++m)
            for (unsigned int l = 0; l < W; ++l)
                st[l] += b[i + m] * x[(N - m) * W + l];
        for (std::size_t m = 1; m <= N && i + m < na; ++m)
            for (unsigned int l = 0; l < W; ++l)
                st[l] -= a[i + m] * y[(N - m) * W + l];
        for (unsigned int l = 0; l < W; ++l)
            zi[i * W + l] = st[l];
    }
}

/* One stage's butterflies of a transform block: a ← a + w·b, b ← a − w·b, element by
 * element; the four halves never overlap. */
void butterflies(double* __restrict ar, double* __restrict ai, double* __restrict br, double* __restrict bi,
                 double const* __restrict wr, double const* __restrict wi, unsigned int span) {
    for (unsigned int k = 0; k < span; ++k) {
        double const tr = wr[k] * br[k] - wi[k] * bi[k];
        double const ti = wr[k] * bi[k] + wi[k] * br[k];
        br[k] = ar[k] - tr;
        bi[k] = ai[k] - ti;
        ar[k] += tr;
        ai[k] += ti;
    }
}

/* |X[k]|²/N for k < half of a real N-point frame from the half-size transform Z of its
 * even samples (real parts) and odd samples (imaginary parts); c, sn: cos, sin of 2πk/N.
 * Bin 0 apart, so that the rest runs in vector lanes. */
void untanglePowers(double const* __restrict zRe, double const* __restrict zIm, double const* __restrict c,
                    double const* __restrict sn, double inverseN, unsigned int half,
                    double* __restrict power) {
    auto bin = [&](unsigned int k, unsigned int mirror) {
        double const zr = zRe[k], zi = zIm[k];
        double const cr = zRe[mirror], ci = -zIm[mirror]; // conj(Z[N/2 − k])
        // Spectrum of the even samples E = (Z + C)/2, of the odd ones O = (Z − C)/(2i);
        // X[k] = E + e^{−2πik/N}·O.
        double const er = 0.5 * (zr + cr), ei = 0.5 * (zi + ci);
        double const orr = 0.5 * (zi - ci), oi = -0.5 * (zr - cr);
        double const re = er + c[k] * orr + sn[k] * oi;
        double const im = ei + c[k] * oi - sn[k] * orr;
        power[k] = (re * re + im * im) * inverseN;
    };
    bin(0, 0);
    for (unsigned int k = 1; k < half; ++k)
        bin(k, half - k);
}

} // namespace

Onsets::Onsets(unsigned int rate)
    : inputBuffer(1, 0.0), bufferFresh(true), srate(rate), accentHistory(1, -1.0), accentSrate(0),
      filterStates(1, lowpassOrder, 0.0), sampleCount(0), sampleMean(0), sampleVar(0), prevEnvLast(1, 0.0),
      bandEnvHistory(1, 1, 0.0), bandEnvCols(1), boundaryAccent(0), havePrevBlock(false), groupDelay(0),
      newData(false), bandEnvOffset(0), accentOffset(0), envTail(1, 1, 0.0) {
    reset();
    buildWindow();
}

void Onsets::setSrate(unsigned int rate) {
    srate = rate;
    reset();
    buildWindow();
}

void Onsets::reset() {
    accentHistory.assign(1, -1.0);
    inputBuffer.assign(1, 0.0);
    bufferFresh = true;
    bandEnvHistory = Matrix<double>(1, 1, -1.0);
    bandEnvCols = 1;
    sampleCount = sampleMean = sampleVar = 0;
    prevEnvLast.assign(1, 0.0);
    boundaryAccent = 0;
    havePrevBlock = false;
    groupDelay = 0;
    newData = false;
    configureForRate();
    noiseFloor.configure(nBands, static_cast<double>(srate) / hop);
    filterStates = Matrix<double>(nBands, lowpassOrder, 0.0);
    bandEnvOffset = accentOffset = 0;
    envTail = Matrix<double>(1, 1, 0.0);
    tailStale = false;
}

void Onsets::configureForRate() {
    RateLayout const* layout = findRate(srate);
    if (!layout)
        unsupportedRate();
    frameLen = layout->frameLength;
    hop = frameLen / 2;
    nBands = layout->bands;

    double const fmax = 0.9 * srate * 0.5;
    edges.assign(nBands + 2, 0.0);
    freqBands(edges, 50, fmax, static_cast<int>(nBands + 1));

    bands.resize(nBands);
    bandWeights.clear();
    bandWeightStart.resize(nBands);
    for (unsigned int b = 0; b < nBands; ++b) {
        double const lo = rintAK(edges[b] * frameLen / srate);
        double const c = rintAK(edges[b + 1] * frameLen / srate);
        double const hi = std::max(rintAK(edges[b + 2] * frameLen / srate), c + 1);
        double const s = std::min(lo, c - 1);
        bands[b] = {static_cast<unsigned int>(s), static_cast<unsigned int>(c),
                    static_cast<unsigned int>(hi)};
        bandWeightStart[b] = static_cast<unsigned int>(bandWeights.size());
        for (double k = s; k <= c; ++k)
            bandWeights.push_back((k - s) / (c - s));
        for (double k = c + 1; k <= hi; ++k)
            bandWeights.push_back(1 - (k - c) / (hi - c));
    }

    double const rate = 4.0 * srate / frameLen;
    double const wn = envelopeCutoffHz / (rate / 2);
    lowpassB.assign(lowpassOrder + 1, 0.0);
    lowpassA.assign(lowpassOrder + 1, 0.0);
    lowpassB[0] = lowpassA[0] = 1;
    int peak = 0;
    if (wn < 1) {
        butter6stored(lowpassB, lowpassA, wn);
        peak = grpDelayAverage(lowpassB, lowpassA, 199);
    }
    // The envelope is upsampled by two, so frame-to-accent alignment takes one sample back.
    lowpassDelay = static_cast<std::uint32_t>(std::max(0, peak + 1 - static_cast<int>(frameLen / hop)));

    spectrumRe.assign(frameLen / 2, 0.0);
    spectrumIm.assign(frameLen / 2, 0.0);
    twiddleCos.resize(frameLen / 2);
    twiddleSin.resize(frameLen / 2);
    for (unsigned int k = 0; k < frameLen / 2; ++k) {
        double const theta = 2 * 3.14159265358979323846 * k / frameLen;
        twiddleCos[k] = std::cos(theta);
        twiddleSin[k] = std::sin(theta);
    }
    unsigned int const half = frameLen / 2;
    unsigned int bits = 0;
    while ((1u << bits) < half)
        ++bits;
    bitReversed.resize(half);
    for (unsigned int i = 0; i < half; ++i) {
        unsigned int r = 0;
        for (unsigned int b = 0; b < bits; ++b)
            r |= ((i >> b) & 1u) << (bits - 1 - b);
        bitReversed[i] = r;
    }
    // Stage after stage from the third (from the first for a 2-point transform), e^{−2πik/len}
    // for k < len/2: entry k·(N/len) of the N-point table.
    stageTwiddleRe.clear();
    stageTwiddleIm.clear();
    for (unsigned int len = half >= 4 ? 8 : 2; len <= half; len <<= 1)
        for (unsigned int k = 0; k < len / 2; ++k) {
            stageTwiddleRe.push_back(twiddleCos[k * (frameLen / len)]);
            stageTwiddleIm.push_back(-twiddleSin[k * (frameLen / len)]);
        }
    binPower.assign(frameLen / 2, 0.0);
    squaredBandWeights.resize(bandWeights.size());
    for (std::size_t i = 0; i < bandWeights.size(); ++i)
        squaredBandWeights[i] = bandWeights[i] * bandWeights[i];
}

void Onsets::buildWindow() {
    analysisWindow.resize(frameLen);
    for (unsigned int i = 0; i < frameLen; ++i)
        analysisWindow[i] = 0.5 - 0.5 * std::cos((i + 1) * 6.28318530717958 / (frameLen + 1));
}

double Onsets::getAccentSrate() const {
    if (!findRate(srate))
        unsupportedRate();
    return 4.0 * srate / frameLen;
}

AVX2_CLONES void Onsets::addData(double const* samples, unsigned int const& count) {
    if (bufferFresh) {
        inputBuffer.clear();
        bufferFresh = false;
    }
    std::size_t const start = inputBuffer.size();
    inputBuffer.resize(start + count);
    // x − x is 0 exactly for finite x and NaN otherwise: a finiteness test in vector lanes.
    for (unsigned int i = 0; i < count; ++i) {
        double const x = samples[i];
        inputBuffer[start + i] = x - x == 0.0 ? x : 0.0;
    }
    if (count != 0)
        newData = true;
}

void Onsets::addData(std::vector<double> const& samples) {
    addData(samples.data(), static_cast<unsigned int>(samples.size()));
}

bool Onsets::process() {
    if (bufferFresh || !newData)
        return false;
    std::size_t const available = inputBuffer.size();
    if (available < frameLen)
        return false;
    unsigned int const nFrames = static_cast<unsigned int>((available - frameLen) / hop + 1);
    std::size_t const used = static_cast<std::size_t>(nFrames - 1) * hop + frameLen;

    meterFFTenvs(inputBuffer.data(), nFrames);

    // Keep the second half of the last frame and the unanalysed tail: the next frame
    // starts there.
    inputBuffer.erase(inputBuffer.begin(), inputBuffer.begin() + static_cast<std::ptrdiff_t>(used - hop));
    newData = false;
    return true;
}

void Onsets::updateStatistics(double const* x, std::size_t count) {
    if (count == 0)
        return;
    double c = sampleCount;
    std::size_t i = 0;
    if (c == 0) { // the first sample sets the mean; its variance is 0
        sampleMean = x[0];
        sampleVar = 0;
        c = 1;
        i = 1;
    }
    // The block's own mean and squared deviations, then merged with the running ones
    // (Chan et al.): two plain passes instead of a division per sample.
    std::size_t const n = count - i;
    double mean = sampleMean;
    double m2 = sampleVar * (c - 1);
    if (n > 0) {
        // Four partial sums each, so that the additions overlap.
        double s[4] = {0.0, 0.0, 0.0, 0.0};
        std::size_t j = i;
        for (; j + 4 <= count; j += 4)
            for (std::size_t l = 0; l < 4; ++l)
                s[l] += x[j + l];
        for (; j < count; ++j)
            s[0] += x[j];
        double const blockMean = ((s[0] + s[1]) + (s[2] + s[3])) / static_cast<double>(n);
        double d[4] = {0.0, 0.0, 0.0, 0.0};
        for (j = i; j + 4 <= count; j += 4)
            for (std::size_t l = 0; l < 4; ++l)
                d[l] += (x[j + l] - blockMean) * (x[j + l] - blockMean);
        for (; j < count; ++j)
            d[0] += (x[j] - blockMean) * (x[j] - blockMean);
        double const blockM2 = (d[0] + d[1]) + (d[2] + d[3]);
        double const total = c + static_cast<double>(n);
        double const delta = blockMean - mean;
        mean += delta * static_cast<double>(n) / total;
        m2 += blockM2 + delta * delta * c * static_cast<double>(n) / total;
        c = total;
    }
    sampleCount = c;
    sampleMean = mean;
    sampleVar = c > 1 ? m2 / (c - 1) : 0.0;
}

void Onsets::getMeanAndStd(double& mean, double& stdDev, std::vector<double> const& x) {
    updateStatistics(x.data(), x.size());
    mean = sampleMean;
    stdDev = std::sqrt(sampleVar);
}

AVX2_CLONES void Onsets::meterFFTenvs(double const* block, unsigned int nFrames) {
    std::size_t const used = static_cast<std::size_t>(nFrames - 1) * hop + frameLen;

    // The carried half frame is counted again, so the statistics follow the frames.
    updateStatistics(block, used);
    double stdDev = std::sqrt(sampleVar);
    if (stdDev == 0) {
        // Nothing but a constant so far: a fixed, tiny dither keeps the normalisation finite
        // and makes every silent start analyse alike.
        std::srand(13);
        ditherBlock.resize(used);
        for (double& x : ditherBlock)
            x = (-std::rand() / 2147483648.0 - 0.5) * 0.00001;
        updateStatistics(ditherBlock.data(), used);
        stdDev = std::sqrt(sampleVar);
        block = ditherBlock.data();
    }
    double const mean = sampleMean;
    // Products instead of a division per sample and a square root and division per bin:
    // the band energies need only the squared magnitudes |X[k]|²/N.
    double const inverseStd = 1 / stdDev;
    double const variance = stdDev * stdDev;
    double const inverseVariance = inverseStd * inverseStd;
    frameEnergy.resize(nBands);
    // A band's energy for a sine of amplitude A is about 3N/32 · A² (Hann window).
    double const loudestFloor = 3.0 * frameLen / 32 * std::pow(10.0, loudestFloorDb / 10);
    double const inverseN = 1.0 / frameLen;

    // The frame is real: its N-point spectrum comes from one N/2-point complex transform of
    // the even samples (real parts) and odd samples (imaginary parts), untangled below.
    unsigned int const half = frameLen / 2;
    loudness.resize(static_cast<std::size_t>(nBands) * nFrames);
    for (unsigned int f = 0; f < nFrames; ++f) {
        double const* frame = block + static_cast<std::size_t>(f) * hop;
        // Even samples are the real parts, odd ones the imaginary parts, stored in the
        // transform's input order.
        double* zRe = spectrumRe.data();
        double* zIm = spectrumIm.data();
        for (unsigned int j = 0; j < half; ++j) {
            unsigned int const i = 2 * j;
            zRe[bitReversed[j]] = (frame[i] - mean) * analysisWindow[i] * inverseStd;
            zIm[bitReversed[j]] = (frame[i + 1] - mean) * analysisWindow[i + 1] * inverseStd;
        }
        halfSizeTransform();
        untanglePowers(zRe, zIm, twiddleCos.data(), twiddleSin.data(), inverseN, half, binPower.data());
        for (unsigned int b = 0; b < nBands; ++b) {
            BandBins const& bins = bands[b];
            double const* weight = &squaredBandWeights[bandWeightStart[b]];
            double energy = 0;
            for (unsigned int k = bins.first; k <= bins.last; ++k, ++weight)
                energy += *weight * binPower[k];
            frameEnergy[b] = energy * variance;
        }
        // Only what rises clearly above the band's floor is music: the floor's own flicker
        // would pass for accents once the band is scaled up.
        std::vector<double> const& floors = noiseFloor.addFrame(frameEnergy.data());
        for (unsigned int b = 0; b < nBands; ++b) {
            double const floor = std::min(floors[b], loudestFloor);
            double const energy = std::max(0.0, frameEnergy[b] - floorMargin * floor) * inverseVariance;
            loudness[static_cast<std::size_t>(b) * nFrames + f] = std::log(1 + 100 * energy) * inverseLog101;
        }
    }
    appendBandLoudness(loudness.data(), nFrames);
}

AVX2_CLONES void Onsets::halfSizeTransform() {
    // The forward transform of fft() (kernel e^{−2πi·jk/M}, M = N/2, no scaling) on real and
    // imaginary parts kept apart, already in bit-reversed order, with each stage's twiddles
    // side by side in a table: the same products and sums as fft(), but every butterfly
    // loop runs in vector lanes.
    unsigned int const M = frameLen / 2;
    double* re = spectrumRe.data();
    double* im = spectrumIm.data();
    unsigned int firstLen = 2;
    if (M >= 4) {
        // The first two stages together: their twiddles are 1 and −i, no products needed.
        for (unsigned int start = 0; start < M; start += 4) {
            double* r = re + start;
            double* i = im + start;
            double const t0r = r[0] + r[1], t0i = i[0] + i[1];
            double const t1r = r[0] - r[1], t1i = i[0] - i[1];
            double const t2r = r[2] + r[3], t2i = i[2] + i[3];
            double const t3r = r[2] - r[3], t3i = i[2] - i[3];
            r[0] = t0r + t2r;
            i[0] = t0i + t2i;
            r[2] = t0r - t2r;
            i[2] = t0i - t2i;
            r[1] = t1r + t3i; // t1 + (−i)·t3
            i[1] = t1i - t3r;
            r[3] = t1r - t3i;
            i[3] = t1i + t3r;
        }
        firstLen = 8;
    }
    double const* wr = stageTwiddleRe.data();
    double const* wi = stageTwiddleIm.data();
    for (unsigned int len = firstLen; len <= M; len <<= 1) {
        unsigned int const span = len / 2;
        for (unsigned int start = 0; start < M; start += len)
            butterflies(re + start, im + start, re + start + span, im + start + span, wr, wi, span);
        wr += span;
        wi += span;
    }
}

void Onsets::appendBandLoudness(double const* bandLoudness, unsigned int nFrames) {
    unsigned int const L = 2 * nFrames;
    double const fr = 2.0 * srate / hop;
    accentSrate = fr;
    groupDelay = lowpassDelay;
    unsigned int const G = groupDelay;
    double const w = slopeWeight(fr);
    double const k = fr * 0.5 / 10;
    bool const firstBlock = !havePrevBlock;

    if (envTail.nRows() != nBands || envTail.nCols() != G)
        envTail = Matrix<double>(nBands, G, 0.0);

    unsigned int const oldCols = firstBlock ? 0 : bandEnvCols;
    if (firstBlock || bandEnvHistory.nCols() < oldCols + L) {
        // Room for a few steps of columns, so that most blocks neither allocate nor copy.
        Matrix<double> grown(nBands, std::max(2 * (oldCols + L), 512u), 0.0);
        for (unsigned int b = 0; b < nBands && oldCols > 0; ++b)
            std::copy(bandEnvHistory[b], bandEnvHistory[b] + oldCols, grown[b]);
        bandEnvHistory = grown;
    }
    bandEnvCols = oldCols + L;

    constexpr unsigned int W = laneCount;
    blockAccent.assign(L, 0.0);
    prevEnvLast.resize(nBands, 0.0);
    upsampled.resize(std::size_t(L) * W);
    filteredLanes.resize(std::size_t(L) * W);
    stateLanes.resize(std::size_t(lowpassOrder) * W);
    double boundarySum = 0;

    for (unsigned int b = 0; b < nBands; ++b) {
        unsigned int const lane = b % W;
        if (lane == 0) {
            // Filter this band and the next ones together (spare lanes run on zeros).
            std::fill(upsampled.begin(), upsampled.end(), 0.0);
            std::fill(stateLanes.begin(), stateLanes.end(), 0.0);
            for (unsigned int l = 0; l < W && b + l < nBands; ++l) {
                double const* z = bandLoudness + static_cast<std::size_t>(b + l) * nFrames;
                for (unsigned int f = 0; f < nFrames; ++f)
                    upsampled[std::size_t(2 * f) * W + l] = 2 * z[f];
                double const* stateRow = filterStates[b + l];
                for (unsigned int i = 0; i < lowpassOrder; ++i)
                    stateLanes[i * W + l] = stateRow[i];
            }
            filterLanes(lowpassB, lowpassA, upsampled.data(), filteredLanes.data(), L, stateLanes.data(),
                        lowpassOrder);
            for (unsigned int l = 0; l < W && b + l < nBands; ++l) {
                double* stateRow = filterStates[b + l];
                for (unsigned int i = 0; i < lowpassOrder; ++i)
                    stateRow[i] = stateLanes[i * W + l];
            }
        }
        // The band's envelope, clipped at 0, straight from its lane.
        double const* laneOut = filteredLanes.data() + lane;
        auto const filtered = [laneOut](unsigned int n) {
            return std::max(laneOut[std::size_t(n) * W], 0.0);
        };

        if (!firstBlock) {
            // The previous block's last accent was computed from its look-ahead; now the
            // real next envelope value is known.
            double const v = 0.1 * prevEnvLast[b] + 0.9 * k * std::max(0.0, filtered(0) - prevEnvLast[b]);
            bandEnvHistory[b][oldCols - 1] = v;
            boundarySum += v;
        }
        prevEnvLast[b] = filtered(L - 1);

        double* u = bandEnvHistory[b] + oldCols;
        // The look-ahead's first value is the carried state alone (its input is zero).
        double const next = G > 0 ? std::max(filterStates[b][0] + lowpassB[0] * 0.0, 0.0) : filtered(L - 1);
        double current = filtered(0);
        for (unsigned int n = 0; n < L; ++n) {
            double const following = n + 1 < L ? filtered(n + 1) : next;
            u[n] = loudnessShare * current + w * std::max(0.0, following - current);
            blockAccent[n] += u[n];
            current = following;
        }
    }
    tailStale = G > 0;

    if (!firstBlock) {
        boundaryAccent = boundarySum;
        accentHistory.back() = boundaryAccent;
        accentHistory.insert(accentHistory.end(), blockAccent.begin(), blockAccent.end());
    } else {
        accentHistory = blockAccent;
    }
    havePrevBlock = true;
}

void Onsets::settleLookAhead() {
    if (!tailStale)
        return;
    tailStale = false;
    // Zero-input continuation of every band's low-pass from its carried state: the filter's
    // own prediction of the coming samples. Only read at analysis steps, so it is worked out
    // then rather than after every frame.
    constexpr unsigned int W = laneCount;
    unsigned int const G = groupDelay;
    double const w = slopeWeight(accentSrate);
    stateLanes.resize(std::size_t(lowpassOrder) * W);
    zeros.assign(std::size_t(G) * W, 0.0);
    tailLanes.resize(std::size_t(G) * W);
    tail.resize(G);
    for (unsigned int group = 0; group < nBands; group += W) {
        std::fill(stateLanes.begin(), stateLanes.end(), 0.0);
        for (unsigned int l = 0; l < W && group + l < nBands; ++l)
            for (unsigned int i = 0; i < lowpassOrder; ++i)
                stateLanes[i * W + l] = filterStates[group + l][i];
        filterLanes(lowpassB, lowpassA, zeros.data(), tailLanes.data(), G, stateLanes.data(), lowpassOrder);
        for (unsigned int l = 0; l < W && group + l < nBands; ++l) {
            for (unsigned int n = 0; n < G; ++n)
                tail[n] = std::max(tailLanes[std::size_t(n) * W + l], 0.0);
            double* tailRow = envTail[group + l];
            for (unsigned int n = 0; n + 1 < G; ++n)
                tailRow[n] = loudnessShare * tail[n] + w * std::max(0.0, tail[n + 1] - tail[n]);
            tailRow[G - 1] = loudnessShare * tail[G - 1];
        }
    }
}

bool Onsets::getBandEnvs(Matrix<double>& out, unsigned int t) {
    unsigned int const G = groupDelay;
    unsigned int const cols = bandEnvCols;
    unsigned int const T = cols + bandEnvOffset;
    if (!havePrevBlock || G >= cols || t >= T || t < bandEnvOffset)
        return false;
    settleLookAhead();
    unsigned int const width = T - t;
    if (out.nRows() != nBands || out.nCols() != width)
        out = Matrix<double>(nBands, width, 0.0);
    for (unsigned int b = 0; b < nBands; ++b) {
        double* row = out[b];
        double const* tailRow = envTail[b];
        if (t + G <= T) {
            double const* history = bandEnvHistory[b] + (t + G - bandEnvOffset);
            unsigned int const settled = T - G - t;
            std::copy(history, history + settled, row);
            std::copy(tailRow, tailRow + G, row + settled);
        } else {
            // A start inside the look-ahead: the matching end of the tail.
            std::copy(tailRow + (G - width), tailRow + G, row);
        }
    }
    return true;
}

bool Onsets::getAccents(std::vector<double>& out, unsigned int t) {
    unsigned int const G = groupDelay;
    std::size_t const total = accentHistory.size() + accentOffset;
    if (!havePrevBlock || total <= G || t >= total)
        return false;
    settleLookAhead();
    out.resize(total - t);
    std::size_t const settledEnd = total - G;
    for (std::size_t i = t; i < total; ++i) {
        double v;
        if (i < settledEnd) {
            std::size_t const source = i + G;
            v = source < accentOffset ? 0.0 : accentHistory[source - accentOffset];
        } else {
            unsigned int const column = static_cast<unsigned int>(i - settledEnd);
            v = 0;
            for (unsigned int b = 0; b < envTail.nRows(); ++b)
                v += envTail[b][column];
        }
        out[i - t] = v;
    }
    return true;
}

bool Onsets::clearBandEnvs(unsigned int t, bool alsoAccents) {
    if (alsoAccents && accentOffset < t && t < accentHistory.size() + accentOffset) {
        accentHistory.erase(accentHistory.begin(), accentHistory.begin() + (t - accentOffset));
        accentOffset = t;
    }
    unsigned int const cols = bandEnvCols;
    if (!(t < cols + bandEnvOffset))
        return false;
    if (t > bandEnvOffset) {
        // Shift the kept columns to the front in place; the room behind them stays.
        unsigned int const drop = t - bandEnvOffset;
        for (unsigned int b = 0; b < bandEnvHistory.nRows(); ++b)
            std::copy(bandEnvHistory[b] + drop, bandEnvHistory[b] + cols, bandEnvHistory[b]);
        bandEnvCols = cols - drop;
        bandEnvOffset = t;
    }
    return true;
}

double Onsets::hz2erb(double f) {
    return 21.365541873789756 * std::log10(4.368 * f / 1000 + 1);
}

double Onsets::erb2hz(double e) {
    return (std::pow(10.0, e / 21.365541873789756) - 1) * 1000 / 4.368;
}

void Onsets::freqBands(std::vector<double>& bandEdges, double fmin, double fmax, int n) {
    if (n < 0)
        return;
    if (bandEdges.size() < static_cast<std::size_t>(n) + 1)
        bandEdges.resize(static_cast<std::size_t>(n) + 1);
    double const lo = hz2erb(fmin);
    double const hi = hz2erb(fmax);
    for (int k = 0; k < n; ++k)
        bandEdges[k] = erb2hz(lo + k * (hi - lo) / n);
    bandEdges[n] = erb2hz(hi);
}

double Onsets::rintAK(double x) {
    double const down = std::floor(x);
    return x - down < 0.5 ? down : std::ceil(x);
}

void Onsets::butter6stored(std::vector<double>& b, std::vector<double>& a, double wn) {
    b.assign(lowpassOrder + 1, 0.0);
    a.assign(lowpassOrder + 1, 0.0);
    for (StoredButterworth const& design : storedDesigns) {
        if (std::fabs(wn - design.cutoff) < 0.01) {
            for (unsigned int i = 0; i <= lowpassOrder; ++i) {
                b[i] = design.gain * binomial6[i];
                a[i] = design.a[i];
            }
            return;
        }
    }
    b[0] = a[0] = 1;
}

int Onsets::grpDelayAverage(std::vector<double> const& b, std::vector<double> const& a, int n) {
    if (n <= 0)
        return 0;
    std::vector<double> impulse(static_cast<std::size_t>(n), 0.0);
    impulse[0] = 1;
    std::vector<double> response(impulse.size(), 0.0);
    filter(b, a, impulse, response);
    int peak = 0;
    double best = 0;
    for (int i = 0; i < n; ++i) {
        if (response[i] > best) {
            best = response[i];
            peak = i;
        }
    }
    return peak;
}
