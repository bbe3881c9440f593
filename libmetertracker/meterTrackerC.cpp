#include "meterTrackerC.h"

#include "avx2Clones.h"
#include "beatGivenTatum.h"
#include "fft_and_filter.h"
#include "lognPdf.h"
#include "mTracker.h"
#include "meterLogTransLikes.h"
#include "meterPerPha2Pulse.h"
#include "peakPickHeight.h"
#include "phaLogTransLikes.h"
#include "solvePattPhase.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>

namespace meterTracker {

namespace {

constexpr double pi = 3.14159265358979323846;

// Share of a period (0 to 0.5) by which time t lies off the grid of that period through `grid`.
double offGrid(double t, double grid, double period) {
    double const f = (t - grid) / period;
    return std::fabs(f - std::round(f));
}

// Whether two positive periods differ by less than `share` of the second.
bool withinShare(double a, double b, double share) {
    return a > 0.0 && b > 0.0 && std::fabs(a / b - 1.0) < share;
}

// The beat of a grid through t (period > 0) that has sounded by time `newest`: a peak read at
// or across the end of a resonator's loop belongs to the beat about to come, so the one a whole
// period before is the latest heard. (Holding such a tick at the newest frame put it early by as
// much as the beat's attack still lay ahead.)
double heardBy(double t, double period, double newest) {
    return t > newest && period > 0.0 ? t - std::ceil((t - newest) / period) * period : t;
}

// Periods this close are one tempo: a beat held at it, or a period choice kept on it.
constexpr double sameTempoShare = 0.04;

// A beat phase that falls between the bar's beats by more than this share of a beat
// contradicts the bar; candidates within the tighter share agree with it.
constexpr double offBarShare = 0.25;
constexpr double onBarShare = 0.15;
// How much worse (log score) the best bar-consistent beat phase may be and still be taken;
// the larger margin for a bar that has disagreed with the beat for this many steps running
// (8 s).
constexpr double barAgreementMargin = 3.0;
constexpr double steadyBarAgreementMargin = 5.0;
constexpr int offBarStepsForSteadyMargin = 16;
// A beat phase that has held, step after step, earns a bonus in the phase scores that grows
// with the time it has held, up to this much (log score) after this many steps (24 s): a
// played accent moving onto the "and" for a few bars, a fill or a syncopated section then no
// longer outweighs what the whole piece so far has said. A new tempo restarts the count.
constexpr double heldBeatStake = 1.5;
constexpr int heldBeatFullSteps = 48;
// Share of a beat within which a tick continues the held grid.
constexpr double heldBeatTolerance = 0.1;
// Music begins on a beat, hardly ever on the "and" (see keepBeatOnMusicStart). The grid through
// the music's first onset is judged over its first beats only, where a period 1 % off moves it
// by an eighth of a beat at most; a time within the tolerance (a share of a beat) lies on that
// grid, or half a beat off it. A beat held on that grid keeps its phase for the first minute of
// the music at most: live, a track that follows at the same tempo must not inherit it.
constexpr double startWindowBeats = 12.0;
constexpr double startTolerance = 0.12;
constexpr double startHoldSeconds = 60.0;
// Drums that come in over a pad or after a breakdown begin the music as its first onset after
// silence does, unless a beat has already held 2.5 s there: a filtered beat whose filter opens
// is followed already, and the filter need not open on a downbeat (dev-synth with its first
// 10 s low-passed and the filter opening mid-bar: beat F 0.791 with this gate, 0.736 without).
// Over pads no beat holds long: 1.5 s at most on the dev sets' intros, 2 s over a steady drone.
constexpr int minHeldStepsOverEntry = 5;

// Metrical-level check of the chosen beat (see levelFactor).
constexpr double minMidForHalving = 0.75;
constexpr double maxMidOfHalf = 0.25;
constexpr double minHatsForHalving = 0.7;
constexpr double minMidUnderHats = 0.35;
constexpr double maxMidOfHalfUnderHats = 0.5;
constexpr double maxMidForDoubling = 0.15;
constexpr double maxMidOfDoubled = 0.2;
constexpr double minBackbeat = 0.5;
constexpr double levelHysteresis = 0.1;
constexpr double minShiftedBeat = 0.3; // 200 BPM
constexpr double maxShiftedBeat = 1.2; // 50 BPM
constexpr int levelStepsToShift = 4;
// A fast beat's backbeat in the middle of a beat twice its length (see backbeatInMiddle): the
// snare's band groups hit the middle at least this much harder than the half the kick marks
// (each group alike, so that neither a kick's low thump nor a cymbal's spread counts as a
// snare), the kick hits its half at least this much harder than the middle, the two leans
// together (their product) at least this much, and the cymbals hit the middle at most this
// much harder (a beat whose whole kit leans onto the "and", as a baiao's does, is
// syncopation, not a backbeat). A funk kick on the "and" as often as on the beat, under a
// snare on 2 and 4, leans little either way. Heard on this many steps (8 s) at one tempo, the
// halved beat stays while the tempo does: a half-time bar or a fill hides the backbeat for a
// while without making the music slower.
constexpr unsigned int kickGroup = 0, firstSnareGroup = 1, lastSnareGroup = 3, cymbalGroup = 6;
constexpr double minSnareInMiddle = 1.6;
constexpr double minKickOverMiddle = 1.05;
constexpr double minBackbeatContrast = 2.3;
constexpr double maxCymbalsInMiddle = 1.6;
// A channel or band group whose accents carry less than this share of the strongest one's
// energy hears only rounding: the input has no such frequencies (a phone's band, a dull room
// microphone). Its lines, scaled to their own range, would be noise posing as a pattern, and
// the cymbals' and hi-hats' cues must then come from what the input does carry.
constexpr double silentShare = 1e-4;
constexpr int backbeatHeldSteps = 16;
// In the first seconds after a reset nothing has been followed yet that a wrong shift could
// lose, while each step the music's level waits for is a beat grid at half or double speed:
// there a shift holds after two steps.
constexpr int openingLevelStepsToShift = 2;
constexpr double openingSeconds = 15.0;
// How much more salient three halves of the beat must be than two, six than four and twelve
// than eight before the beat is taken dotted; once taken, each margin is 0.1 lower.
constexpr double threesOverTwos[3] = {1.15, 1.1, 1.05};

// How much of the beat's salience three quarters of it must keep, and how much more salient
// four of those (three of ours) must be than four of ours, two of them than two of ours,
// before the beat is taken three quarters as long; once taken, each bound is 0.1 looser.
constexpr double minThreeQuarterShare = 0.3;
constexpr double barOfThreeOverFour = 1.3;
constexpr double twoThreeQuartersOverTwo = 0.8;
// A shortened beat is dropped at once when the beat it was taken for moves by this share.
constexpr double quartersBeatDrift = 0.1;
// A six-eight beat of two eighths can pass for four thirds of a beat before its halves are
// seen to group in threes (the twelve halves take longer to resonate): only a shortened beat
// that has held this many steps (8 s, counting those where the chooser gave the short beat
// itself) asks the dotted beat, or its own end, for twice the evidence.
constexpr int shortenedHeldSteps = 16;

// A beat the period choice has held this many steps (8 s) stays while another, at two, three
// or four thirds or three quarters of it, outweighs it in the salience by less than this share,
// for this many steps (4 s) at most (see keepLongHeldBeat).
constexpr int longHeldChoiceSteps = 16;
constexpr double keptChoiceShare = 0.8;
constexpr int maxKeptChoiceSteps = 8;

// Memory of the recent-beat reading, a share of the resonators' half-life, and the scatter
// (share of a beat) of its ticks around their line that steady music shows.
constexpr double recentMemory = 0.5;
constexpr double recentScatter = 0.02;
// Observations (half-second steps) after which the recent line alone gives the tick.
constexpr double recentLineGrown = 12.0;
// The resonators' memory fills for about this many half-lives after the music starts (seven
// eighths full): a tick line that began later carries no smear drift, only the music's own.
// A smear share of the period larger than maxSmearShare is the music moving, not smear.
constexpr double smearFillHalfLives = 3.0;
constexpr double maxSmearShare = 0.003;

// While the resonators fill after a (re)start, every step reshapes their salience: a long
// period has rung fewer times than a short one, and peaks come and go from one step to the
// next. Whatever the period choice remembered of those steps held it on a beat at 4/3, 3/2,
// 1/2 or twice the music's that won the first second, for a second or more after the right
// beat had taken the lead. So for the first half-life of analysed audio each step's beat and
// tatum are chosen from that step's evidence alone, and the memory of the steps before regains
// its full weight by the second half-life. The bar keeps its memory throughout: it needs more
// than the first seconds to be heard at all, and a bar of two taken then would stay.
constexpr double pathMemoryFromHalfLives = 1.0;
constexpr double pathMemoryFullHalfLives = 2.0;

// A beat period this close to half or a quarter of the one before is the same music's beat
// at another level (see transitionLag).
constexpr double octaveShare = 0.05;

// Level columns inside the tracker.
constexpr unsigned int beatLevel = 0;
constexpr unsigned int patternLevel = 1;
constexpr unsigned int tatumLevel = 2;

// Scores of "impossible" events (a zero period, a 0/0 ratio) would be NaN or −inf and would
// poison the max-product recursion for good; they count as the floor of a likelihood instead.
inline double finiteScore(double v, double floorScore) {
    return std::isfinite(v) ? v : floorScore;
}

// A state whose score overflowed (only absurd input can do that) is out of the race for good
// without turning the whole recursion into NaN.
constexpr double hopelessScore = -1e300;

// The resonators' output peaks this long before the onset is heard: accents rise on the
// attack, before the sound is at its loudest, and the combs' smoothing spreads each peak
// toward its earlier side. Measured as the mean offset of the beat on rendered and on played
// drums alike (about 6 and 12 ms); this splits the difference.
constexpr double accentLead = 0.009;

// The channel means' longest memory (see process).
constexpr double channelMeanSeconds = 120.0;

// Input samples beyond this magnitude (12 dB above full scale, more than any sound card or
// decoded file delivers) are clipped. The front end scales the audio by its standard deviation
// since the start, so a single block of garbage from a driver, at hundreds or millions times
// full scale, would otherwise turn every later accent to a whisper, for the rest of the night.
constexpr double maxSampleMagnitude = 4.0;

} // namespace

void PriorWeights::update(std::vector<double> const& x, double myy, double sigma, double exponent,
                          bool timesRootPeriod) {
    if (x == periods && myy == median && sigma == shape && exponent == power)
        return;
    periods = x;
    median = myy;
    shape = sigma;
    power = exponent;
    lognPdf(x, myy, sigma, weights);
    for (std::size_t i = 0; i < x.size(); ++i) {
        weights[i] = std::pow(weights[i], exponent);
        if (timesRootPeriod)
            weights[i] *= std::sqrt(x[i]);
    }
}

namespace {

// (period, likelihood) candidates from the peak indices; a missing peak repeats the
// previous candidate (the first one becomes (0, 0)).
void candidatesFromPeaks(std::vector<unsigned int> const& idx, std::vector<double> const& periods,
                         std::vector<double> const& likes, std::vector<double>& candPeriods,
                         std::vector<double>& candLikes) {
    std::size_t const K = idx.size();
    candPeriods.assign(K, 0.0);
    candLikes.assign(K, 0.0);
    for (std::size_t i = 0; i < K; ++i) {
        if (idx[i] < likes.size()) {
            candPeriods[i] = periods[idx[i]];
            candLikes[i] = likes[idx[i]];
        } else if (i > 0) {
            candPeriods[i] = candPeriods[i - 1];
            candLikes[i] = candLikes[i - 1];
        }
    }
}

// A phase salience is a loop (its oldest place is the echo of the place after its newest), while
// the peak picking reads it as a line whose ends need only top their inner neighbour: a peak
// straddling the ends came out twice, once at each end. The newest end creeps along the line at
// the whole-frame delay when the beat's period lies between frames, and a beat won there drifted
// off the music by most of a millisecond per beat. Such a peak is kept at the oldest end, the
// beat heard whole, and a single end stays only where it tops its neighbour across the ends. The
// candidates after a dropped one move up and the list ends in markers (|ph|).
void dropWrapShoulders(std::vector<double> const& ph, std::vector<unsigned int>& idx) {
    auto const L = static_cast<unsigned int>(ph.size());
    if (L < 3)
        return;
    bool const oldestRises = ph[0] > ph[1], newestRises = ph[L - 1] > ph[L - 2];
    auto const dropped = [&](unsigned int j) {
        if (j == 0)
            return !newestRises && ph[L - 1] >= ph[0];
        return j == L - 1 && (oldestRises || ph[0] > ph[L - 1]);
    };
    std::size_t kept = 0;
    for (unsigned int j : idx)
        if (j < L && !dropped(j))
            idx[kept++] = j;
    std::fill(idx.begin() + static_cast<std::ptrdiff_t>(kept), idx.end(), L);
}

std::vector<std::vector<std::vector<double>>> zeroTable(unsigned int rows, unsigned int cols) {
    return std::vector<std::vector<std::vector<double>>>(
        2, std::vector<std::vector<double>>(rows, std::vector<double>(cols, 0.0)));
}

} // namespace

mTracker::mTracker(unsigned int srate_)
    : params(srate_), beatyness(0.0), srate(srate_), updateRate(2.0), onsets(srate_), meterDelta(1, 1),
      lagHistory(2, 2), tatumTicks(1, 0.0), beatTicks(1, 0.0), patternTicks(1, 0.0), nChannels(0),
      channelMean(1, 0.0), framesConsumed(0), pulseCache(1, 1), stepsDone(0), rowsFlushed(0) {
    nChannels = (params.nBands + params.bandsPerChannel - 1) / params.bandsPerChannel;
    channelMean.assign(nChannels, 0.0);
    inEnergy.assign(nChannels, 0.0);
    phaseCands = zeroTable(params.nPhaseCands, 2);
    phaseDelta = zeroTable(params.nPhaseCands, 2);
    periodCands = zeroTable(params.nPeriodCands, 3);
    // Every period up to denseUpTo frames has its filter; above, where a frame is a small
    // share of the period, every other one, and the salience between them is interpolated.
    std::vector<unsigned int> delays;
    for (unsigned int k = 0; k < params.nPeriods; ++k)
        if (params.periods[k] <= denseUpTo || (params.periods[k] - denseUpTo) % 2 == 0 ||
            k + 1 == params.nPeriods) {
            bankPeriodIndex.push_back(k);
            delays.push_back(params.periods[k]);
        }
    for (unsigned int c = 0; c < nChannels; ++c)
        resonators.push_back(std::make_unique<CombBank>(delays, bankFeedback()));
    setSrate(srate_);
}

mTracker::~mTracker() = default;

std::vector<double> mTracker::bankFeedback() const {
    std::vector<double> gains;
    for (unsigned int k : bankPeriodIndex)
        gains.push_back(k < params.feedback.size() ? params.feedback[k] : 0.5);
    return gains;
}

void mTracker::setSrate(unsigned int srate_) {
    srate = srate_;
    updateRate = 2.0;
    onsets.setSrate(srate_);
    params.setSrate(srate_);
    barChooser.configure(params.accentRate, onsets.numBands(), params.srate);
    openingSilence.configure(params.srate);
    attackTimes = AttackTimes(srate_);
    for (auto& bank : resonators)
        bank->setFeedback(bankFeedback());
    reset();
}

void mTracker::reset() {
    onsets.reset();
    attackTimes.reset();
    meterDelta.resize(1, 1);
    meterDelta[0][0] = 0.0;
    tatumTicks.assign(1, 0.0);
    beatTicks.assign(1, 0.0);
    patternTicks.assign(1, 0.0);
    for (auto& bank : resonators)
        bank->reset();
    std::fill(channelMean.begin(), channelMean.end(), 0.0);
    pulseCache = ARGMathLibrary::Matrix<std::complex<double>>(1, 1);
    rowsFlushed = framesConsumed = stepsDone = 0;
    for (auto* table : {&phaseCands, &periodCands, &phaseDelta})
        for (auto& step : *table)
            for (auto& cand : step)
                std::fill(cand.begin(), cand.end(), 0.0);
    lagHistory = ARGMathLibrary::Matrix<double>(2, 2);
    beatGrid.reset();
    recentBeat.reset(nChannels);
    recentGrid.reset();
    recentResonance = {};
    steadyTempo.reset();
    filterPairTempo.reset();
    beatTickSmear = 0.0;
    barChooser.reset();
    openingSilence.reset();
    levelShift = levelVotes = 0;
    leveledBeat = 0.0;
    lastBeatTick = -1.0;
    backbeatSteps = 0;
    backbeatPeriod = 0.0;
    offBarSteps = 0;
    compound = false;
    compoundVotes = 0;
    quartersInThrees = false;
    quartersVotes = 0;
    quartersHeldSteps = 0;
    quartersBeat = 0.0;
    heldChoicePeriod = 0.0;
    heldChoiceSteps = keptChoiceSteps = 0;
    heldBeatSteps = 0;
    heldBeatPeriod = heldBeatTick = 0.0;
    heldBeatFromStart = false;
    favouredCand = -1;
    favouredBonus = 0.0;
    std::fill(inEnergy.begin(), inEnergy.end(), 0.0);
}

void mTracker::restart() {
    OpeningSilence const timeLine = openingSilence; // reset forgets the samples taken
    auto const samplesTaken = attackTimes.samplesTaken();
    reset();
    openingSilence = timeLine;
    attackTimes.continueFrom(samplesTaken);
    openingSilence.restart();
}

AVX2_CLONES void mTracker::addData(double const* samples, unsigned int count) {
    if (samples == nullptr || count == 0)
        return;
    cleanSamples.resize(count);
    // x − x is 0 exactly for finite x and NaN otherwise: the test runs in vector lanes,
    // std::isfinite does not.
    for (unsigned int i = 0; i < count; ++i) {
        double const x = samples[i];
        double const clamped = x < -maxSampleMagnitude  ? -maxSampleMagnitude
                               : maxSampleMagnitude < x ? maxSampleMagnitude
                                                        : x;
        cleanSamples[i] = x - x == 0.0 ? clamped : 0.0;
    }
    auto const analyse = [this](double const* from, unsigned int n) {
        if (n == 0)
            return;
        onsets.addData(from, n);
        barChooser.addAudio(from, n);
    };
    attackTimes.addData(cleanSamples.data(), count);
    auto const split = openingSilence.take(cleanSamples.data(), count);
    analyse(cleanSamples.data(), split.analysedBefore);
    unsigned int const rest = split.analysedBefore + split.skipped;
    analyse(cleanSamples.data() + rest, count - rest);
}

bool mTracker::process() {
    if (!onsets.process())
        return false;
    unsigned int const G = onsets.getGroupDelay();
    auto const hop = static_cast<unsigned int>(round(params.accentRate / updateRate));
    // Most front-end blocks complete no step: find that out before copying the band accents.
    unsigned int const total = onsets.bandEnvEnd();
    if (hop == 0 || total < G + hop || (total - (G + hop)) / hop + 1 <= stepsDone)
        return false;
    if (!onsets.getBandEnvs(bandEnvs, framesConsumed) || framesConsumed + bandEnvs.nCols() != total)
        return false;
    unsigned int const nSteps = (total - (G + hop)) / hop + 1;

    // Bands summed into channels (frames × channels); channels without delivered bands stay 0.
    unsigned int const nFrames = bandEnvs.nCols();
    unsigned int const nBandsDelivered = bandEnvs.nRows();
    if (channels.nRows() != nFrames || channels.nCols() != nChannels)
        channels.resize(nFrames, nChannels);
    for (unsigned int r = 0; r < nFrames; ++r)
        for (unsigned int c = 0; c < nChannels; ++c) {
            double sum = 0.0;
            for (unsigned int b = c * params.bandsPerChannel;
                 b < std::min((c + 1) * params.bandsPerChannel, nBandsDelivered); ++b)
                sum += bandEnvs[b][r];
            channels[r][c] = sum;
        }

    // Running channel means over every delivered frame (the unanalysed tail is counted again
    // next time, as it arrives again), for the last two minutes at most: a mean over hours
    // stands still, and an hour of silence (a break in a night's set) left it a fraction of the
    // music's, so the music after it drove the resonators with a constant for another hour.
    unsigned int const f0 = framesConsumed;
    double const meanFrames = channelMeanSeconds * params.accentRate;
    for (unsigned int c = 0; c < nChannels; ++c) {
        for (unsigned int r = 0; r < nFrames; ++r) {
            double const n = std::min(static_cast<double>(f0 + r), meanFrames);
            channelMean[c] = (channelMean[c] * n + channels[r][c]) / (n + 1);
        }
        for (unsigned int r = 0; r < nFrames; ++r)
            channels[r][c] -= channelMean[c];
    }

    if (pulseCache.nCols() < 3 || pulseCache.nRows() < nSteps - rowsFlushed)
        pulseCache.resize(nSteps - rowsFlushed, 3);

    phaseObs.resize(params.nPhaseCands, 2);
    phaseObs *= 0.0;
    for (unsigned int s = stepsDone; s < nSteps; ++s) {
        computeSalience(s, f0);
        barChooser.addFrames(bandEnvs, s * hop - f0, s * hop, hop);
        admitEntry();
        for (unsigned int i = 0; i < hop; ++i)
            recentBeat.add(s * hop + i, channels[s * hop + i - f0]);
        framesConsumed = s * hop + hop;
        estimatePeriods(s);
        estimatePhases(s);
    }

    stepsDone = nSteps;
    rebuildTicks();
    onsets.clearBandEnvs(framesConsumed, true);
    return true;
}

void mTracker::computeSalience(unsigned int step, unsigned int firstRowFrame) {
    auto const hop = static_cast<unsigned int>(round(params.accentRate / updateRate));
    unsigned int const tLast = step * hop + hop - 1;
    unsigned int const nPer = params.nPeriods;
    auto const nRes = static_cast<unsigned int>(
        std::min<std::size_t>(bankPeriodIndex.size(), resonators.empty() ? 0u : resonators[0]->size()));

    // Output power of each resonator for unit white input after its delay line has been
    // passed m times since reset: what noise alone would show.
    noiseLevel.resize(nPer);
    // Once every line has been passed enough times, its start-up term is below rounding.
    bool const settled = static_cast<double>(tLast + 1) > 80.0 * params.halfTime;
    // a^m changes only when m does, once a period: kept with the m and a it was raised for.
    startupPower.resize(nPer, {-1.0, 0.0, 0.0});
    for (unsigned int k = 0; k < nPer; ++k) {
        double const m = std::ceil(static_cast<double>(tLast + 1) / params.periods[k]);
        double p = 0.0;
        if (!settled) {
            StartupPower& cached = startupPower[k];
            if (cached.passes != m || cached.feedback != params.feedback[k])
                cached = {m, params.feedback[k], std::pow(params.feedback[k], m)};
            p = cached.power;
        }
        noiseLevel[k] = (1.0 - p * p) * params.noiseGains[k].real();
    }

    double const decayPerStep = std::pow(params.decay, static_cast<double>(hop));
    stepInput.resize(hop);
    salience.assign(nPer, 0.0);
    for (unsigned int c = 0; c < nChannels; ++c) {
        for (unsigned int i = 0; i < hop; ++i)
            stepInput[i] = channels[step * hop + i - firstRowFrame][c];
        resonators[c]->process(stepInput.data(), hop);
        double stepEnergy = 0.0;
        for (unsigned int i = 0; i < hop; ++i)
            stepEnergy = params.decay * stepEnergy + stepInput[i] * stepInput[i];
        inEnergy[c] = stepEnergy + decayPerStep * inEnergy[c];
        double const meanInputPower = (1.0 - params.decay) * inEnergy[c];

        // Output energy of every resonator over its last period: the bank sums its delay
        // lines while it runs them.
        for (unsigned int r = 0; r < nRes; ++r) {
            unsigned int const k = bankPeriodIndex[r];
            unsigned int const d = params.periods[k];
            double const fb = params.feedback[k];
            double const P = resonators[c]->lineEnergy(r) / (fb * fb) / d;
            // A channel that has carried nothing but exact zeros has no salience.
            double const S = meanInputPower > 0.0 ? P / meanInputPower - noiseLevel[k] : 0.0;
            salience[k] += S > 0.0 ? S : 0.0;
        }
    }
    for (unsigned int r = 0; r + 1 < nRes; ++r) {
        unsigned int const k0 = bankPeriodIndex[r], k1 = bankPeriodIndex[r + 1];
        for (unsigned int k = k0 + 1; k < k1; ++k)
            salience[k] = salience[k0] + (salience[k1] - salience[k0]) * (k - k0) / (k1 - k0);
    }
    if (nChannels > 1)
        for (unsigned int k = 0; k < nPer; ++k)
            salience[k] /= nChannels;
}

void mTracker::estimatePeriods(unsigned int step) {
    double const fs = params.accentRate;
    double const logFloor = params.logFloor;
    double const floorScore = std::log(logFloor);
    unsigned int const nPer = params.nPeriods;
    unsigned int const K = params.nPeriodCands;

    // 1. Tatum likelihood from the spectrum of the salience over lag.
    unsigned int maxLag = 0;
    for (unsigned int d : params.periods)
        maxLag = std::max(maxLag, d);
    std::vector<double>& r = lagSignal;
    r.assign(maxLag, 0.0);
    for (unsigned int k = 0; k < nPer; ++k)
        r[params.periods[k] - 1] = salience[k];
    auto const Nfft =
        static_cast<unsigned int>(std::pow(2.0, std::ceil(std::log2(static_cast<double>(maxLag)))));
    unsigned int const nBins = fs * 0.5 <= 20.0 ? static_cast<unsigned int>(round(fs * 0.5 * Nfft / fs))
                                                : static_cast<unsigned int>(round(Nfft * 20.0 / fs));
    double mean = 0.0;
    for (double v : r)
        mean += v;
    mean /= maxLag;
    if (lagWindow.size() != maxLag) {
        // The same for every step while the periods stay.
        lagWindow.resize(maxLag);
        for (unsigned int i = 0; i < maxLag; ++i)
            lagWindow[i] = 0.5 + 0.5 * std::cos(pi * (i + 1) / (maxLag + 1));
    }
    for (unsigned int i = 0; i < maxLag; ++i)
        r[i] = (r[i] - mean) * lagWindow[i];
    fftData.assign(2 * static_cast<std::size_t>(Nfft), 0.0);
    for (unsigned int i = 0; i < maxLag; ++i)
        fftData[2 * i] = r[i];
    fft(fftData, -1);
    perBin.resize(nBins + 1);
    for (unsigned int j = 1; j <= nBins; ++j)
        perBin[j] = 1.0 / (j * fs / Nfft);
    perBin[0] = perBin[1];
    tatumPrior.update(perBin, params.tatumMyy, params.tatumSigma, params.tatumPriorExp, true);
    Lt.resize(nBins + 1);
    for (unsigned int j = 0; j <= nBins; ++j) {
        double const spec = std::hypot(fftData[2 * j], fftData[2 * j + 1]) / nPer;
        Lt[j] = tatumPrior.at(j) * spec;
    }
    peakPickHeight(Lt, K, peakIdx);
    if (peakIdx.size() != K)
        peakIdx.assign(K, static_cast<unsigned int>(Lt.size()));
    candidatesFromPeaks(peakIdx, perBin, Lt, candPeriodsTatum, tatumLikes);

    // 2. Beat and 3. pattern likelihoods: prior-weighted salience above the noise floor.
    perSec.resize(nPer);
    for (unsigned int k = 0; k < nPer; ++k)
        perSec[k] = params.periods[k] / fs;
    beatPrior.update(perSec, params.beatMyy, params.beatSigma, params.beatPriorExp);
    patternPrior.update(perSec, params.patternMyy, params.patternSigma, params.patternPriorExp);
    Lb.resize(nPer);
    Lp.resize(nPer);
    double LbSum = 0.0;
    for (unsigned int k = 0; k < nPer; ++k) {
        double const above = salience[k] / (1.0 - noiseLevel[k]);
        Lb[k] = beatPrior.at(k) * above;
        Lp[k] = patternPrior.at(k) * above;
        LbSum += Lb[k];
    }
    beatyness = nPer > 0 ? LbSum / nPer : 0.0;
    peakPickHeight(Lb, K, peakIdx);
    if (peakIdx.size() != K)
        peakIdx.assign(K, nPer);
    candidatesFromPeaks(peakIdx, perSec, Lb, candPeriodsBeat, beatLikes);
    peakPickHeight(Lp, K, peakIdx);
    if (peakIdx.size() != K)
        peakIdx.assign(K, nPer);
    candidatesFromPeaks(peakIdx, perSec, Lp, candPeriodsPattern, patternLikes);

    // 4. Integer-ratio scores: A[p][b] pattern given beat, B[b][t] beat given tatum.
    if (A.nRows() != K || A.nCols() != K) {
        A.resize(K, K);
        B.resize(K, K);
    }
    for (unsigned int b = 0; b < K; ++b) {
        beatGivenTatum(candPeriodsPattern, candPeriodsBeat[b], params.ratioSigma, params.ratioWeights,
                       bgtOut);
        for (unsigned int p = 0; p < K; ++p)
            A[p][b] = finiteScore(std::log(bgtOut[p] + logFloor), floorScore);
    }
    for (unsigned int t = 0; t < K; ++t) {
        beatGivenTatum(candPeriodsBeat, candPeriodsTatum[t], params.ratioSigma, params.ratioWeights, bgtOut);
        for (unsigned int b = 0; b < K; ++b)
            B[b][t] = finiteScore(std::log(bgtOut[b] + logFloor), floorScore);
    }

    // 5. Joint observation score of every (tatum, pattern, beat) state.
    unsigned int const nStates = K * K * K;
    // A bar of about two seconds has rung less than once in the first half-life: its candidates
    // are the prior's shape, and their ratios to the beat would pull it towards a third or a
    // quarter of two seconds. The bar's evidence counts from then on.
    double const barWeight = halfLivesAnalysed(step) < pathMemoryFromHalfLives ? 0.0 : 1.0;
    jointScore.resize(nStates);
    for (unsigned int t = 0; t < K; ++t)
        for (unsigned int p = 0; p < K; ++p)
            for (unsigned int b = 0; b < K; ++b)
                jointScore[(t * K + p) * K + b] =
                    params.tatumObsWeight * std::log(tatumLikes[t] + logFloor) +
                    barWeight * (params.patternObsWeight * std::log(patternLikes[p] + logFloor) + A[p][b]) +
                    params.beatObsWeight * std::log(beatLikes[b] + logFloor) + B[b][t];

    // 6. Candidate memory.
    periodCands[0] = periodCands[1];
    for (unsigned int i = 0; i < K; ++i) {
        periodCands[1][i][beatLevel] = candPeriodsBeat[i];
        periodCands[1][i][patternLevel] = candPeriodsPattern[i];
        periodCands[1][i][tatumLevel] = candPeriodsTatum[i];
    }

    // 7. Tracking: best predecessor of every state under the period-change model.
    if (step == 0) {
        meterDelta.resize(2, nStates);
        for (unsigned int j = 0; j < nStates; ++j) {
            meterDelta[0][j] = 0.0;
            meterDelta[1][j] = finiteScore(jointScore[j], hopelessScore);
        }
    } else {
        prev.resize(K);
        cur.resize(K);
        auto const levelTable = [&](unsigned int level, ARGMathLibrary::Matrix<double>& out) {
            for (unsigned int i = 0; i < K; ++i) {
                prev[i] = periodCands[0][i][level];
                cur[i] = periodCands[1][i][level];
            }
            meterLogTransLikes(prev, cur, params.periodTransSigma[level], out);
            for (double& v : out)
                v = finiteScore(v, floorScore);
        };
        loosenPathMemory(step);
        levelTable(beatLevel, transBeat);
        levelTable(patternLevel, transPattern);
        levelTable(tatumLevel, transTatum);
        if (meterDelta.nCols() != nStates)
            meterDelta.resize(2, nStates);
        // The change model is a sum over the levels, so the best predecessor is found one level
        // at a time (beat, then pattern, then tatum), K times fewer sums per level than over
        // all state pairs (state s = (tatum·K + pattern)·K + beat).
        stageA.resize(nStates);
        stageB.resize(nStates);
        for (unsigned int tp = 0; tp < K * K; ++tp)
            for (unsigned int bj = 0; bj < K; ++bj) {
                double best = -std::numeric_limits<double>::infinity();
                for (unsigned int bi = 0; bi < K; ++bi)
                    best = std::max(best, meterDelta[1][tp * K + bi] + transBeat[bi][bj]);
                stageA[tp * K + bj] = best;
            }
        for (unsigned int t = 0; t < K; ++t)
            for (unsigned int pj = 0; pj < K; ++pj)
                for (unsigned int bj = 0; bj < K; ++bj) {
                    double best = -std::numeric_limits<double>::infinity();
                    for (unsigned int pi = 0; pi < K; ++pi)
                        best = std::max(best, stageA[(t * K + pi) * K + bj] + transPattern[pi][pj]);
                    stageB[(t * K + pj) * K + bj] = best;
                }
        for (unsigned int j = 0; j < nStates; ++j) {
            unsigned int const pb = j % (K * K), tj = j / (K * K);
            double best = -std::numeric_limits<double>::infinity();
            for (unsigned int ti = 0; ti < K; ++ti)
                best = std::max(best, stageB[ti * K * K + pb] + transTatum[ti][tj]);
            meterDelta[0][j] = meterDelta[1][j];
            jointScore[j] += best; // the new row, written once every old value has been read
        }
        for (unsigned int j = 0; j < nStates; ++j)
            meterDelta[1][j] = finiteScore(jointScore[j], hopelessScore);
    }

    // 8. Decision.
    unsigned int sBest = 0;
    for (unsigned int j = 1; j < nStates; ++j)
        if (meterDelta[1][j] > meterDelta[1][sBest])
            sBest = j;
    unsigned int t = 0, p = 0, b = 0;
    decodeState(sBest, K, t, p, b);
    keepLongHeldBeat(t, p, b);

    // 9. A period of 0 (a level without any peak) becomes 7 s.
    static char const* const zeroMessages[3] = {"ERROR: Period estimate for beat zero.",
                                                "ERROR: Period estimate for pattern zero.",
                                                "ERROR: Period estimate for tatum zero."};
    unsigned int const chosen[3] = {b, p, t};
    for (unsigned int level = 0; level < 3; ++level)
        if (periodCands[1][chosen[level]][level] == 0.0) {
            report(zeroMessages[level]);
            periodCands[1][chosen[level]][level] = 7.0;
        }

    // 10. Output, the beat on the metrical level its accents point to.
    unsigned int const row = step - rowsFlushed;
    for (unsigned int level = 0; level < 3; ++level)
        pulseCache[row][level] = std::complex<double>(periodCands[1][chosen[level]][level], 0.0);
    double const beatPeriod = pulseCache[row][beatLevel].real();
    double factor = levelFactor(beatPeriod);
    // A dotted beat's halves group in threes, and so, seen from two of them, do its quarters:
    // only a beat that is not dotted is judged by its quarters. Nor is one with a two-beat bar,
    // the sign of a beat twice too long, which three quarters of it would not mend.
    // The halves of a beat four thirds too long group in threes wherever the music's own beats
    // group in twos (three of them are two of the music's beats), so a beat that has held
    // shortened to three quarters for long gives way to the dotted one only on twice the
    // evidence.
    bool const heldShortened = quartersInThrees && quartersHeldSteps >= shortenedHeldSteps &&
                               withinShare(beatPeriod * factor, quartersBeat, quartersBeatDrift);
    bool const compoundBeat =
        groupsInThrees(beatPeriod * factor, heldShortened ? 2 * levelStepsToShift : levelStepsToShift);
    bool const twoBeatBar = std::round(pulseCache[row][patternLevel].real() / (beatPeriod * factor)) == 2.0;
    if (quartersGroupInThrees(compoundBeat || twoBeatBar ? 0.0 : beatPeriod * factor))
        factor *= 0.75;
    pulseCache[row][beatLevel] = std::complex<double>(beatPeriod * factor, 0.0);
    if (compoundBeat) {
        // The dotted beat: three of the former halves, two of them to the bar.
        double const dotted = 1.5 * beatPeriod * factor;
        pulseCache[row][beatLevel] = std::complex<double>(dotted, 0.0);
        pulseCache[row][patternLevel] = std::complex<double>(2.0 * dotted, 0.0);
        pulseCache[row][tatumLevel] = std::complex<double>(dotted / 3.0, 0.0);
        return;
    }
    // A bar chosen for the twice too long beat spans two bars of the music's beat when it holds
    // an even number of at least six of them.
    double const barBeats = std::round(pulseCache[row][patternLevel].real() / (beatPeriod * factor));
    if (levelShift < 0 && barBeats >= 6.0 && std::fmod(barBeats, 2.0) == 0.0)
        pulseCache[row][patternLevel] = std::complex<double>(pulseCache[row][patternLevel].real() / 2.0, 0.0);
}

double mTracker::halfLivesAnalysed(unsigned int step) const {
    auto const hop = static_cast<unsigned int>(round(params.accentRate / updateRate));
    return (step + 1.0) * hop / params.halfTime;
}

void mTracker::loosenPathMemory(unsigned int step) {
    double const halfLives = halfLivesAnalysed(step);
    double const weight = std::clamp((halfLives - pathMemoryFromHalfLives) /
                                         (pathMemoryFullHalfLives - pathMemoryFromHalfLives),
                                     0.0, 1.0);
    unsigned int const K = params.nPeriodCands;
    if (weight >= 1.0 || meterDelta.nRows() < 2 || meterDelta.nCols() != K * K * K)
        return;
    // State s = (tatum·K + pattern)·K + beat: within each bar candidate, the states move
    // towards its best one.
    barBest.assign(K, -std::numeric_limits<double>::infinity());
    for (unsigned int s = 0; s < K * K * K; ++s)
        barBest[(s / K) % K] = std::max(barBest[(s / K) % K], meterDelta[1][s]);
    for (unsigned int s = 0; s < K * K * K; ++s) {
        double const best = barBest[(s / K) % K];
        meterDelta[1][s] = best + weight * (meterDelta[1][s] - best);
    }
}

void mTracker::keepLongHeldBeat(unsigned int& tatum, unsigned int& pattern, unsigned int& beat) {
    unsigned int const K = params.nPeriodCands;
    double const chosen = candPeriodsBeat[beat];
    auto const near = [](double a, double c) { return withinShare(a, c, sameTempoShare); };
    bool crossRatio = false;
    for (double ratio : {2.0 / 3.0, 0.75, 4.0 / 3.0, 1.5})
        crossRatio = crossRatio || near(chosen, ratio * heldChoicePeriod);
    if (crossRatio && heldChoiceSteps >= longHeldChoiceSteps && keptChoiceSteps < maxKeptChoiceSteps) {
        for (unsigned int i = 0; i < K; ++i) {
            if (!near(candPeriodsBeat[i], heldChoicePeriod) ||
                !(beatLikes[i] >= keptChoiceShare * beatLikes[beat]))
                continue;
            // The best state on the held beat (state s = (tatum·K + pattern)·K + beat).
            unsigned int best = i;
            for (unsigned int s = i; s < K * K * K; s += K)
                if (meterDelta[1][s] > meterDelta[1][best])
                    best = s;
            tatum = best / (K * K);
            pattern = (best / K) % K;
            beat = i;
            heldChoicePeriod = candPeriodsBeat[i];
            ++keptChoiceSteps;
            ++heldChoiceSteps;
            return;
        }
    }
    heldChoiceSteps = near(chosen, heldChoicePeriod) ? heldChoiceSteps + 1 : 1;
    heldChoicePeriod = chosen;
    keptChoiceSteps = 0;
}

void mTracker::decodeState(unsigned int s, unsigned int K, unsigned int& tatum, unsigned int& pattern,
                           unsigned int& beat) {
    unsigned int const q = s + 1;
    unsigned int bq = q % K;
    if (bq == 0)
        bq = K;
    beat = bq - 1;
    pattern = ((q - bq) % (K * K)) / K;
    tatum = ((q - bq) - K * pattern) / (K * K);
}

void mTracker::estimatePhases(unsigned int step) {
    double const fs = params.accentRate;
    double const logFloor = params.logFloor;
    auto const hop = static_cast<unsigned int>(round(params.accentRate / updateRate));
    unsigned int const tLast = step * hop + hop - 1;
    unsigned int const row = step - rowsFlushed;
    unsigned int const nCand = params.nPhaseCands;

    for (unsigned int lev = 0; lev < 2; ++lev) {
        // 1. The resonator whose delay is closest to the chosen period.
        double const per = pulseCache[row][lev].real();
        unsigned int const kBest = nearestResonator(per * fs);
        unsigned int const L = resonators[0]->delay(kBest);

        // 2. Its last period of output in every channel, oldest first.
        if (phaseStates.nRows() != L || phaseStates.nCols() != nChannels)
            phaseStates.resize(L, nChannels);
        for (unsigned int c = 0; c < nChannels; ++c) {
            resonators[c]->copyLine(kBest, lineCopy);
            for (unsigned int j = 0; j < L; ++j)
                phaseStates[j][c] = lineCopy[j];
        }

        // 3. Phase salience: low channels weigh most for the beat; the bar uses accent templates.
        if (lev == beatLevel) {
            // Each channel's line is taken relative to the channel's own input level, so that
            // every band group has an equal say whatever its loudness: a loud off-beat guitar
            // or organ in the middle bands would otherwise outvote the drums. (Weighing the low
            // groups more on top of that lost beats on both development sets.)
            phaseSalience.assign(L, 0.0);
            for (unsigned int c = 0; c < nChannels; ++c) {
                double const weight = beatLineWeight(c);
                for (unsigned int j = 0; j < L; ++j)
                    phaseSalience[j] += weight * phaseStates[j][c];
            }
        } else {
            solvePattPhase(phaseStates, phaseSalience);
        }

        // 4. Candidates; the weakest real peak repeats when fewer exist.
        peakPickHeight(phaseSalience, nCand, peakIdx);
        dropWrapShoulders(phaseSalience, peakIdx);
        if (peakIdx.empty() || peakIdx[0] >= L)
            peakIdx.assign(1, static_cast<unsigned int>(std::ceil(L * 0.5)));
        for (std::size_t i = 0; i < peakIdx.size(); ++i)
            if (peakIdx[i] >= L)
                peakIdx[i] = i > 0 ? peakIdx[i - 1] : 0;
        auto const count = static_cast<unsigned int>(std::min<std::size_t>(peakIdx.size(), nCand));

        // 5. Observation scores.
        for (unsigned int i = 0; i < count; ++i)
            phaseObs[i][lev] = std::log(std::max(phaseSalience[peakIdx[i]], 0.0) + logFloor);

        // 6. Candidate times on the accent time line.
        for (unsigned int i = 0; i < nCand; ++i)
            phaseCands[0][i][lev] = phaseCands[1][i][lev];
        for (unsigned int i = 0; i < count; ++i)
            phaseCands[1][i][lev] = (peakIdx[i] + (tLast + 1.0 - L) + 1.0) / fs + 0.5 / fs + accentLead;

        // 7. Lag memory.
        lagHistory[0][lev] = lagHistory[1][lev];
        lagHistory[1][lev] = L;

        // 8. Scores.
        if (step == 0) {
            for (unsigned int i = 0; i < nCand; ++i) {
                phaseDelta[0][i][lev] = 0.0;
                phaseDelta[1][i][lev] = phaseObs[i][lev];
            }
        } else {
            prevPhaseTimes.resize(nCand);
            curPhaseTimes.resize(nCand);
            for (unsigned int i = 0; i < nCand; ++i) {
                prevPhaseTimes[i] = phaseCands[0][i][lev];
                curPhaseTimes[i] = phaseCands[1][i][lev];
            }
            phaLogTransLikes(prevPhaseTimes, transitionLag(lev) / fs, curPhaseTimes, params.phaseTransSigma,
                             phaseTrans);
            for (unsigned int i = 0; i < nCand; ++i)
                for (unsigned int j = 0; j < nCand; ++j)
                    phaseTrans[i][j] += phaseDelta[1][i][lev];
            for (unsigned int j = 0; j < nCand; ++j) {
                double best = -std::numeric_limits<double>::infinity();
                for (unsigned int i = 0; i < nCand; ++i)
                    if (phaseTrans[i][j] > best)
                        best = phaseTrans[i][j];
                phaseDelta[0][j][lev] = phaseDelta[1][j][lev];
                phaseDelta[1][j][lev] = best;
            }
            for (unsigned int j = 0; j < nCand; ++j)
                phaseDelta[1][j][lev] += phaseObs[j][lev];
            if (lev == beatLevel)
                favourHeldBeat();
        }

        // 9. Decision.
        unsigned int jBest = 0;
        for (unsigned int j = 1; j < nCand; ++j)
            if (phaseDelta[1][j][lev] > phaseDelta[1][jBest][lev])
                jBest = j;
        if (lev == beatLevel)
            jBest = keepBeatOnMusicStart(row, jBest);
        pulseCache[row][lev] = std::complex<double>(pulseCache[row][lev].real(), phaseCands[1][jBest][lev]);
    }
    alignBeatToBar(row, tLast);
    refineBeat(row, tLast);
    smoothGrid(row);
    noteHeldBeat(row);
    chooseBar(row);
    followRecentBeat(row, tLast);
    lastBeatTick = pulseCache[row][beatLevel].imag();
    // The tatum ticks in step with the beat.
    pulseCache[row][tatumLevel] =
        std::complex<double>(pulseCache[row][tatumLevel].real(), pulseCache[row][beatLevel].imag());
}

double mTracker::transitionLag(unsigned int level) const {
    double const previous = lagHistory[0][level], present = lagHistory[1][level];
    if (level != beatLevel || !(present > 0.0) || !(previous > present))
        return previous;
    double const ratio = previous / present;
    return withinShare(ratio, 2.0, octaveShare) || withinShare(ratio, 4.0, octaveShare) ? previous : present;
}

int mTracker::nearestPhaseCand(double grid, double period, double tolerance) const {
    int nearest = -1;
    for (unsigned int j = 0; j < params.nPhaseCands; ++j) {
        double const off = offGrid(phaseCands[1][j][beatLevel], grid, period);
        if (off < tolerance) {
            tolerance = off;
            nearest = static_cast<int>(j);
        }
    }
    return nearest;
}

bool mTracker::onMusicStartGrid(double period, double tick) const {
    double const start = barChooser.musicStart();
    return start >= 0.0 && period > 0.0 && tick - start <= startWindowBeats * period &&
           offGrid(tick, start, period) < startTolerance;
}

void mTracker::admitEntry() {
    double const t = barChooser.takeEntry();
    if (t >= 0.0 && heldBeatSteps < minHeldStepsOverEntry)
        barChooser.beginAgain(t);
}

void mTracker::favourHeldBeat() {
    favouredCand = -1;
    favouredBonus = 0.0;
    if (heldBeatSteps == 0 || !(heldBeatPeriod > 0.0))
        return;
    favouredCand = nearestPhaseCand(heldBeatTick, heldBeatPeriod, heldBeatTolerance);
    if (favouredCand < 0)
        return;
    favouredBonus =
        heldBeatStake * std::min(1.0, heldBeatSteps / static_cast<double>(heldBeatFullSteps));
    phaseDelta[1][static_cast<unsigned int>(favouredCand)][beatLevel] += favouredBonus;
}

unsigned int mTracker::keepBeatOnMusicStart(unsigned int row, unsigned int chosen) {
    keptOnStart = false;
    double const t = phaseCands[1][chosen][beatLevel];
    double period = pulseCache[row][beatLevel].real();
    if (!(period > 0.0))
        return chosen;
    // The grid through the first onset: the held beat while it holds on it (at this tempo),
    // else the onset's own grid during the first seconds.
    double grid = heldBeatTick;
    bool const held = heldBeatFromStart && withinShare(period, heldBeatPeriod, sameTempoShare) &&
                      t - barChooser.musicStart() <= startHoldSeconds;
    if (held) {
        period = heldBeatPeriod;
    } else {
        grid = barChooser.musicStart();
        if (!(grid >= 0.0) || t - grid > startWindowBeats * period)
            return chosen;
    }
    double const off = offGrid(t, grid, period);
    // A beat the accents themselves put on the first onset's grid counts as kept there too.
    keptOnStart = held ? off < heldBeatTolerance : off < startTolerance;
    if (!(std::fabs(off - 0.5) < startTolerance))
        return chosen;
    int const kept = nearestPhaseCand(grid, period, startTolerance);
    if (kept < 0)
        return chosen;
    auto const k = static_cast<unsigned int>(kept);
    // The kept beat's path leads from here on, as if its accents had won.
    phaseDelta[1][k][beatLevel] = std::max(phaseDelta[1][k][beatLevel], phaseDelta[1][chosen][beatLevel]);
    keptOnStart = true;
    return k;
}

void mTracker::noteHeldBeat(unsigned int row) {
    double const period = pulseCache[row][beatLevel].real();
    double const tick = pulseCache[row][beatLevel].imag();
    if (!(period > 0.0) || !std::isfinite(tick)) {
        heldBeatSteps = 0;
        heldBeatFromStart = false;
        return;
    }
    bool same = false;
    if (heldBeatSteps > 0 && withinShare(period, heldBeatPeriod, sameTempoShare))
        same = offGrid(tick, heldBeatTick, period) < heldBeatTolerance;
    heldBeatSteps = same ? heldBeatSteps + 1 : 1;
    heldBeatPeriod = period;
    heldBeatTick = tick;
    heldBeatFromStart = (same && heldBeatFromStart) || onMusicStartGrid(period, tick);
}

void mTracker::smoothGrid(unsigned int row) {
    double const beatPeriod = pulseCache[row][beatLevel].real();
    if (!(beatPeriod > 0.0))
        return;
    double period = 0.0, fitted = 0.0;
    double const tick = pulseCache[row][beatLevel].imag();
    beatGrid.update(beatPeriod, tick, period, fitted);
    if (!(period > 0.0))
        return;
    pulseCache[row][beatLevel] = std::complex<double>(period, tick);
    // Bar and tatum keep their whole number of beats or tatums per beat on the finer beat
    // period; the tatum ticks with the beat, the bar keeps its own downbeat.
    double const barBeats = std::round(pulseCache[row][patternLevel].real() / beatPeriod);
    if (barBeats >= 1.0)
        pulseCache[row][patternLevel] =
            std::complex<double>(barBeats * period, pulseCache[row][patternLevel].imag());
    double const tatumsPerBeat = std::round(beatPeriod / pulseCache[row][tatumLevel].real());
    if (tatumsPerBeat >= 1.0)
        pulseCache[row][tatumLevel] = std::complex<double>(period / tatumsPerBeat, tick);
}

void mTracker::chooseBar(unsigned int row) {
    double const beatPeriod = pulseCache[row][beatLevel].real();
    if (!(beatPeriod > 0.0))
        return;
    // A two-beat bar from the resonators stays two beats long: it tells the engine that the
    // beat may be twice too fast, and half the bars then start on the downbeat.
    double const barBeats = std::round(pulseCache[row][patternLevel].real() / beatPeriod);
    unsigned int beats = 0;
    double downbeat = 0.0;
    if (barChooser.choose(beatPeriod, pulseCache[row][beatLevel].imag(), beats, downbeat))
        pulseCache[row][patternLevel] =
            std::complex<double>((barBeats == 2.0 ? 2.0 : beats) * beatPeriod, downbeat);
}

double mTracker::beatLineWeight(unsigned int channel) const {
    double const rms = std::sqrt((1.0 - params.decay) * inEnergy[channel]);
    return rms > 0.0 ? 1.0 / rms : 0.0;
}

double mTracker::finePeriodFrames(double frames, double* resonance) const {
    if (resonance)
        *resonance = 0.0;
    // Above the dense filters the salience between them is interpolated: no finer there.
    if (!(frames >= 3.0) || frames > denseUpTo - 2.0 || salience.size() < denseUpTo)
        return frames;
    // Salience index k belongs to a delay of k + 1 frames.
    auto k = static_cast<unsigned int>(std::lround(frames)) - 1;
    if (salience[k - 1] > salience[k] && salience[k - 1] >= salience[k + 1])
        --k;
    else if (salience[k + 1] > salience[k])
        ++k;
    double const a = salience[k - 1], b = salience[k], c = salience[k + 1];
    if (!(b >= a && b >= c && a > 0.0 && c > 0.0))
        return frames;
    // A resonance peak is narrow against a frame: a parabola through the logarithms (a
    // Gaussian) places it better than one through the values.
    double const fine = k + 1.0 + parabolicPeakShift(std::log(a), std::log(b), std::log(c));
    // Measured against known tempi, though, its flanks fall about straight in the logarithms,
    // to a cusp, and the parabola is pulled towards the nearest whole frame: by 0.1 % of the
    // period in a piece's mean, against 0.04 % where the lines through the flanks meet. The
    // beat tick's weights keep the parabola, which the phase and bar choices have grown with.
    if (resonance)
        *resonance = k + 1.0 + cuspPeakShift(std::log(a), std::log(b), std::log(c));
    return std::fabs(fine - frames) <= 1.0 ? fine : frames;
}

double mTracker::fineTickInFilter(unsigned int filter, double near, unsigned int tLast) {
    double const fs = params.accentRate;
    unsigned int const L = resonators[0]->delay(filter);
    fineProfile.assign(L, 0.0);
    for (unsigned int c = 0; c < nChannels; ++c) {
        resonators[c]->copyLine(filter, lineCopy);
        double const weight = beatLineWeight(c);
        for (unsigned int j = 0; j < L; ++j)
            fineProfile[j] += weight * lineCopy[j];
    }
    // Line place j (oldest first) sounds at this time, as the phase candidates count it.
    double const firstTime = (tLast + 2.0 - L) / fs + 0.5 / fs + accentLead;
    auto const wrap = [L](long j) {
        return static_cast<unsigned int>(((j % static_cast<long>(L)) + L) % L);
    };
    long const centre = std::lround((near - firstTime) * fs);
    long const reach = std::max(2L, std::lround(0.04 * L));
    long best = centre;
    for (long j = centre - reach; j <= centre + reach; ++j)
        if (fineProfile[wrap(j)] > fineProfile[wrap(best)])
            best = j;
    // The line is a loop: the value before its oldest is its newest, an echo one period on.
    double const a = fineProfile[wrap(best - 1)], b = fineProfile[wrap(best)], c = fineProfile[wrap(best + 1)];
    return firstTime + (static_cast<double>(best) + parabolicPeakShift(a, b, c)) / fs;
}

void mTracker::refineBeat(unsigned int row, unsigned int tLast) {
    double const fs = params.accentRate;
    double const period = pulseCache[row][beatLevel].real();
    double const tick = pulseCache[row][beatLevel].imag();
    beatTickSmear = 0.0;
    resonancePeriod = 0.0;
    if (resonators.empty() || !(period > 0.0) || !std::isfinite(tick))
        return;
    double resonanceFrames = 0.0;
    double const frames = finePeriodFrames(period * fs, &resonanceFrames);
    resonancePeriod = std::fabs(resonanceFrames - frames) <= 1.0 ? resonanceFrames / fs : 0.0;
    auto const shorter = static_cast<unsigned int>(std::floor(frames));
    unsigned int const early = nearestResonator(shorter), late = nearestResonator(shorter + 1.0);
    CombBank const& bank = *resonators[0];
    if (shorter < 4 || bank.delay(early) != shorter || bank.delay(late) != shorter + 1)
        return;
    double const fine = frames / fs;
    // Each filter's peak, moved by whole periods onto the beat nearest the chosen tick.
    auto const onChosenBeat = [&](double t) { return t + std::round((tick - t) / fine) * fine; };
    double const weight = frames - shorter;
    double const earlyPeak = onChosenBeat(fineTickInFilter(early, tick, tLast));
    double const latePeak = onChosenBeat(fineTickInFilter(late, tick, tLast));
    double const refined = (1.0 - weight) * earlyPeak + weight * latePeak;
    // A refinement, never another phase, and no tick after the newest frame analysed.
    if (!std::isfinite(refined) || std::fabs(refined - tick) > 0.08 * period)
        return;
    double const newest = (tLast + 1.5) / fs + accentLead;
    double const heard = heardBy(refined, fine, newest), back = refined - heard;
    pulseCache[row][beatLevel] = std::complex<double>(fine, heard);
    beatTickSmear = filterPairTempo.update(earlyPeak - back, latePeak - back, heard, shorter, fine, fs);
}

void mTracker::followRecentBeat(unsigned int row, unsigned int tLast) {
    double const fs = params.accentRate;
    double const period = pulseCache[row][beatLevel].real();
    double const tick = pulseCache[row][beatLevel].imag();
    if (!(period > 0.0) || !std::isfinite(tick) || inEnergy.size() < nChannels)
        return;
    channelWeights.resize(nChannels);
    for (unsigned int c = 0; c < nChannels; ++c)
        channelWeights[c] = beatLineWeight(c);
    // Frame n sounds at (n + 1.5) / fs + accentLead, as the phase candidates count it.
    double recentPeriod = 0.0, recentTick = 0.0;
    if (!recentBeat.refine(period * fs, (tick - accentLead) * fs - 1.5, tLast, channelWeights.data(),
                           recentMemory * params.halfTime, recentPeriod, recentTick))
        return;
    double const newest = (tLast + 1.5) / fs + accentLead;
    double movedTick = std::min((recentTick + 1.5) / fs + accentLead, newest);
    // Those periods and ticks wobble by the accents' scatter: a line through the moved ticks
    // holds them steady where the tempo holds, as the grid follower does for the resonators'
    // ticks. A tick near the line takes the line's (the scatter would reach every Clock of the
    // engine's grid); one further off is the music moving, and is followed.
    double steadyPeriod = 0.0, lineTick = 0.0;
    recentGrid.update(recentPeriod / fs, movedTick, steadyPeriod, lineTick);
    if (!(steadyPeriod > 0.0) || !std::isfinite(steadyPeriod))
        return;
    // Half the resonators' tick goes into the moved tick, and with it half its smear.
    double const smear = RecentBeat::moveShare * beatTickSmear;
    // The memory fills from the music's first onset after silence, else from the start.
    double const fillStart = std::max(0.0, barChooser.musicStart());
    if (filterPairTempo.firstTick() - fillStart < smearFillHalfLives * params.halfTime / fs &&
        std::fabs(smear) < maxSmearShare * steadyPeriod)
        steadyPeriod -= smear;
    double const linePeriod = steadyTempo.update(movedTick, steadyPeriod);
    std::size_t const lineTicks = steadyTempo.span() > 0 ? steadyTempo.span() : recentGrid.observations();
    double const publishedPeriod =
        withResonancePeriod(linePeriod, lineTicks, recentResonance.mean(resonancePeriod), fs);
    // A young line (just started, or cut back to its newest ticks when the tempo moved) rests
    // on a few ticks and places the beat no better than the moved tick; it takes over as it
    // grows, and steady music, whose lines grow old, keeps the line's steady Clock.
    if (std::isfinite(lineTick) && std::fabs(lineTick - movedTick) < recentScatter * steadyPeriod) {
        double const grown = std::min(1.0, static_cast<double>(recentGrid.observations()) / recentLineGrown);
        movedTick = std::min(lineTick + std::sqrt(1.0 - grown) * (movedTick - lineTick), newest);
    }
    double const ratio = publishedPeriod / period, shift = movedTick - tick;
    pulseCache[row][beatLevel] = std::complex<double>(publishedPeriod, movedTick);
    // The bar keeps its whole number of beats and its downbeat on the moved beat.
    pulseCache[row][patternLevel] = std::complex<double>(pulseCache[row][patternLevel].real() * ratio,
                                                         pulseCache[row][patternLevel].imag() + shift);
    pulseCache[row][tatumLevel] =
        std::complex<double>(pulseCache[row][tatumLevel].real() * ratio, pulseCache[row][tatumLevel].imag());
}

void mTracker::alignBeatToBar(unsigned int row, unsigned int tLast) {
    double const beatPeriod = pulseCache[row][beatLevel].real();
    double const barTime = pulseCache[row][patternLevel].imag();
    if (!(beatPeriod > 0.0))
        return;
    auto const offBar = [&](double t) { return offGrid(t, barTime, beatPeriod); };
    // The music's beginning outweighs the bar's resonators, which the accents that outweigh
    // the beat draw onto the "and" as well.
    if (keptOnStart || !(offBar(pulseCache[row][beatLevel].imag()) > offBarShare)) {
        offBarSteps = 0;
        return;
    }
    unsigned int const nCand = params.nPhaseCands;
    double topScore = -std::numeric_limits<double>::infinity();
    int best = -1;
    for (unsigned int i = 0; i < nCand; ++i) {
        double const score = phaseDelta[1][i][beatLevel];
        topScore = std::max(topScore, score);
        if (offBar(phaseCands[1][i][beatLevel]) < onBarShare &&
            (best < 0 || score > phaseDelta[1][static_cast<unsigned int>(best)][beatLevel]))
            best = static_cast<int>(i);
    }
    if (best < 0) {
        offBarSteps = 0;
        return;
    }
    double const onBar = phaseCands[1][static_cast<unsigned int>(best)][beatLevel];
    double const gap = topScore - phaseDelta[1][static_cast<unsigned int>(best)][beatLevel];
    // The held beat's bonus counts for the ordinary margin (a passing section or fill that puts
    // the bar on the off-beat must not drag a long-held beat with it) but not for the larger
    // one, which exists for a riddim whose off-beat was taken from the start.
    bool const heldOnTop = favouredCand >= 0 &&
                           phaseDelta[1][static_cast<unsigned int>(favouredCand)][beatLevel] >= topScore;
    double const steadyGap = heldOnTop ? std::max(0.0, gap - favouredBonus) : gap;
    // A steady off-beat winner earns the phase scores' whole bonus for keeping a phase, so
    // that the plain margin never lets the bar win over a riddim whose skanks outweigh its
    // beat. A bar of two or four beats on the beat's own level that has put the beats on the
    // other phase for several bars running is that style, not a fill or a passing
    // syncopation, and gets the larger margin, when the cymbals, which keep time above the
    // skanks and the bass, side with the bar (a low skank can draw the bar's template).
    double const barBeats = std::round(pulseCache[row][patternLevel].real() / beatPeriod);
    bool const evenBarOnOwnLevel = levelShift == 0 && (barBeats == 2.0 || barBeats == 4.0);
    offBarSteps = evenBarOnOwnLevel && steadyGap <= steadyBarAgreementMargin ? offBarSteps + 1 : 0;
    bool const steadyBar = offBarSteps >= offBarStepsForSteadyMargin && steadyGap <= steadyBarAgreementMargin &&
                           topChannelAccent(beatPeriod, onBar, tLast) >
                               topChannelAccent(beatPeriod, pulseCache[row][beatLevel].imag(), tLast);
    if (gap <= barAgreementMargin || steadyBar)
        pulseCache[row][beatLevel] = std::complex<double>(beatPeriod, onBar);
}

double mTracker::topChannelAccent(double period, double t, unsigned int tLast) {
    double const fs = params.accentRate;
    if (resonators.empty() || nChannels == 0)
        return 0.0;
    unsigned int const filter = nearestResonator(period * fs);
    resonators[nChannels - 1]->copyLine(filter, lineCopy);
    auto const L = static_cast<long>(lineCopy.size());
    if (L == 0)
        return 0.0;
    // Line place j (oldest first) sounds at (j + tLast + 2 - L) / fs + 0.5 / fs + accentLead,
    // as the phase candidates count it; the strongest value within two frames of t.
    long const at = std::lround((t - accentLead - 0.5 / fs) * fs) - static_cast<long>(tLast) - 2 + L;
    double strongest = -std::numeric_limits<double>::infinity();
    for (long j = at - 2; j <= at + 2; ++j)
        strongest = std::max(strongest, lineCopy[static_cast<std::size_t>(((j % L) + L) % L)]);
    return strongest;
}

unsigned int mTracker::nearestResonator(double delayFrames) const {
    auto const n = static_cast<unsigned int>(
        std::min<std::size_t>(bankPeriodIndex.size(), resonators.empty() ? 0u : resonators[0]->size()));
    if (n == 0)
        return 0;
    // The delays rise with the index: the nearest is the first at or above, or the one before.
    unsigned int lo = 0, hi = n - 1;
    while (lo < hi) {
        unsigned int const m = (lo + hi) / 2;
        if (resonators[0]->delay(m) < delayFrames)
            lo = m + 1;
        else
            hi = m;
    }
    if (lo > 0 && !(std::fabs(delayFrames - resonators[0]->delay(lo - 1)) >
                    std::fabs(resonators[0]->delay(lo) - delayFrames)))
        --lo;
    return lo;
}

double mTracker::levelFactor(double beatPeriod) {
    double const mid = halfPeriodAccent(beatPeriod);
    double const midOfHalf = halfPeriodAccent(beatPeriod / 2.0);
    double const midOfDouble = halfPeriodAccent(2.0 * beatPeriod);
    double const midOfQuadruple = halfPeriodAccent(4.0 * beatPeriod);
    // The chooser moving to twice or half its beat, where the accents ask for the shift that
    // takes it back, is no move of the music's beat: the beat stays without waiting for votes.
    int const keepsBeat = withinShare(beatPeriod, 2.0 * leveledBeat, sameTempoShare)   ? -1
                          : withinShare(beatPeriod, 0.5 * leveledBeat, sameTempoShare) ? 1
                          : withinShare(beatPeriod, leveledBeat, sameTempoShare)       ? 0
                                                                                       : 2;
    // Once a shift holds, or where one keeps the beat, looser bounds keep it, so that a wobble
    // at the edge does not flip the level every other step.
    double const held = levelShift != 0 ? levelHysteresis : 0.0;
    double const halvingSlack = keepsBeat == -1 ? levelHysteresis : held;
    double const doublingSlack = keepsBeat == 1 ? levelHysteresis : held;
    // The low channels accent the middle of the beat as strongly as its start, while the
    // halves of the beat are clean pulses of their own: the music's beat is the half.
    bool const tooSlow = mid >= minMidForHalving - halvingSlack && midOfHalf >= 0.0 &&
                         midOfHalf <= maxMidOfHalf + halvingSlack && beatPeriod / 2.0 >= minShiftedBeat;
    // Hi-hats as loud between the halves of the beat as on them, with the low channels
    // accenting the beat's middle: a backbeat twice per beat under even eighths, which is a
    // fast beat counted in twos.
    double const hatsInHalf =
        std::max(halfPeriodAccent(beatPeriod / 2.0, 3, 4), halfPeriodAccent(beatPeriod / 2.0, 2, 4));
    bool const evenHatsOverBackbeat = hatsInHalf >= minHatsForHalving - halvingSlack &&
                                      mid >= minMidUnderHats - halvingSlack && midOfHalf >= 0.0 &&
                                      midOfHalf <= maxMidOfHalfUnderHats + halvingSlack &&
                                      beatPeriod / 2.0 >= minShiftedBeat;
    // Nothing between the beats nor between pairs of them, but a backbeat between fours:
    // the beat counts eighths of a slow bar, and the music's beat is twice as long.
    bool const tooFast = mid >= 0.0 && mid <= maxMidForDoubling + doublingSlack && midOfDouble >= 0.0 &&
                         midOfDouble <= maxMidOfDoubled + doublingSlack &&
                         midOfQuadruple >= minBackbeat - doublingSlack && 2.0 * beatPeriod <= maxShiftedBeat;
    // The snare hits the middle of the beat, now or, at this tempo, for long: a fast beat's
    // backbeat.
    bool const backbeat =
        beatPeriod / 2.0 >= minShiftedBeat && backbeatInMiddle(beatPeriod, halvingSlack, tooFast);
    int const wanted = tooSlow || evenHatsOverBackbeat || backbeat ? -1 : tooFast ? 1 : 0;
    if (wanted == levelShift) {
        levelVotes = 0;
    } else if (wanted == keepsBeat) {
        levelShift = wanted;
        levelVotes = 0;
    } else if (++levelVotes >= (framesConsumed < openingSeconds * params.accentRate ? openingLevelStepsToShift
                                                                                     : levelStepsToShift)) {
        levelShift = wanted;
        levelVotes = 0;
    }
    double const factor = levelShift < 0 ? 0.5 : levelShift > 0 ? 2.0 : 1.0;
    leveledBeat = beatPeriod * factor;
    return factor;
}

double mTracker::salienceNear(double period) const {
    double const frames = period * params.accentRate;
    if (!(frames > 0.0) || salience.empty())
        return 0.0;
    // Salience index k belongs to a delay of k + 1 frames.
    auto const first = static_cast<long>(std::floor(0.98 * frames)) - 1;
    auto const last =
        std::min(static_cast<long>(std::ceil(1.02 * frames)) - 1, static_cast<long>(salience.size()) - 1);
    double best = 0.0;
    for (long k = std::max(first, 0L); k <= last; ++k)
        best = std::max(best, salience[static_cast<std::size_t>(k)]);
    return best;
}

bool mTracker::groupsInThrees(double beatPeriod, int stepsToShift) {
    double const half = beatPeriod / 2.0;
    bool wanted = false;
    // Twelve halves must lie within the bank (beats up to about 0.65 s, 92 BPM).
    if (beatPeriod > 0.0 && 12.0 * half * params.accentRate < params.nPeriods - 2.0) {
        double const slack = compound ? levelHysteresis : 0.0;
        wanted = true;
        unsigned int const threes[3] = {3, 6, 12}, twos[3] = {2, 4, 8};
        for (unsigned int i = 0; i < 3; ++i)
            wanted = wanted && salienceNear(threes[i] * half) >
                                   (threesOverTwos[i] - slack) * salienceNear(twos[i] * half);
    }
    if (wanted == compound) {
        compoundVotes = 0;
    } else if (++compoundVotes >= stepsToShift) {
        compound = wanted;
        compoundVotes = 0;
    }
    return compound;
}

bool mTracker::quartersGroupInThrees(double beatPeriod) {
    // The chooser taking the shortened beat itself for a while is no move of the music's beat:
    // the shortening waits for the long beat's return, rather than four steps of it.
    if (quartersInThrees && withinShare(beatPeriod, 0.75 * quartersBeat, quartersBeatDrift)) {
        quartersVotes = 0;
        ++quartersHeldSteps;
        return false;
    }
    if (!(beatPeriod > 0.0) ||
        (quartersInThrees && !withinShare(beatPeriod, quartersBeat, quartersBeatDrift))) {
        quartersInThrees = false;
        quartersVotes = 0;
    }
    bool wanted = false;
    // Four beats must lie within the bank (beats up to about 1 s, 60 BPM).
    if (beatPeriod > 0.0 && 4.0 * beatPeriod * params.accentRate < params.nPeriods - 2.0) {
        double const slack = quartersInThrees ? levelHysteresis : 0.0;
        double const beat = salienceNear(beatPeriod);
        wanted =
            beat > 0.0 && salienceNear(0.75 * beatPeriod) >= (minThreeQuarterShare - slack) * beat &&
            salienceNear(3.0 * beatPeriod) >= (barOfThreeOverFour - slack) * salienceNear(4.0 * beatPeriod) &&
            salienceNear(1.5 * beatPeriod) >=
                (twoThreeQuartersOverTwo - slack) * salienceNear(2.0 * beatPeriod);
    }
    quartersHeldSteps = quartersInThrees ? quartersHeldSteps + 1 : 0;
    // A shortening that has held long is dropped, like the dotted beat taken over it, on twice
    // the evidence: a fill or a bar of straight time is no new feel.
    int const stepsToShift =
        quartersHeldSteps > shortenedHeldSteps ? 2 * levelStepsToShift : levelStepsToShift;
    if (wanted == quartersInThrees) {
        quartersVotes = 0;
    } else if (++quartersVotes >= stepsToShift) {
        quartersInThrees = wanted;
        quartersVotes = 0;
        quartersBeat = beatPeriod;
    }
    return quartersInThrees;
}

bool mTracker::backbeatInMiddle(double beatPeriod, double slack, bool contrary) {
    if (contrary || !withinShare(beatPeriod, backbeatPeriod, sameTempoShare))
        backbeatSteps = 0;
    backbeatPeriod = beatPeriod;
    double kickHalf[BarChooser::bandGroups], otherHalf[BarChooser::bandGroups];
    if (lastBeatTick >= 0.0 && barChooser.halvesOfBeat(beatPeriod, lastBeatTick, kickHalf, otherHalf)) {
        auto const ratio = [](double a, double b) { return a / std::max(b, 1e-12); };
        double loudest = 0.0;
        for (unsigned int g = 0; g < BarChooser::bandGroups; ++g)
            loudest = std::max(loudest, kickHalf[g] + otherHalf[g]);
        auto const silent = [&](unsigned int g) {
            return kickHalf[g] + otherHalf[g] < silentShare * loudest;
        };
        double snare = std::numeric_limits<double>::infinity();
        for (unsigned int g = firstSnareGroup; g <= lastSnareGroup; ++g)
            if (!silent(g))
                snare = std::min(snare, ratio(otherHalf[g], kickHalf[g]));
        double const kick = ratio(kickHalf[kickGroup], otherHalf[kickGroup]);
        // Where the input has no cymbal band, their hiss is heard in the highest group it has.
        unsigned int cymbals = cymbalGroup;
        while (cymbals > lastSnareGroup + 1 && silent(cymbals))
            --cymbals;
        if (std::isfinite(snare) && snare >= minSnareInMiddle - slack &&
            kick >= minKickOverMiddle - 0.5 * slack && snare * kick >= minBackbeatContrast - 2.0 * slack &&
            (silent(cymbals) || ratio(otherHalf[cymbals], kickHalf[cymbals]) <= maxCymbalsInMiddle + slack)) {
            ++backbeatSteps;
            return true;
        }
    }
    return backbeatSteps >= backbeatHeldSteps;
}

double mTracker::halfPeriodAccent(double period, unsigned int firstChannel, unsigned int endChannel) {
    if (resonators.empty() || !(period > 0.0))
        return -1.0;
    double const want = period * params.accentRate;
    CombBank const& bank = *resonators[0];
    unsigned int const kBest = nearestResonator(want);
    if (std::fabs(bank.delay(kBest) - want) > 2.0 || bank.delay(kBest) < 4)
        return -1.0;
    unsigned int const L = bank.delay(kBest);
    levelProfile.assign(L, 0.0);
    double const loudest =
        inEnergy.empty() ? 0.0 : *std::max_element(inEnergy.begin(), inEnergy.end());
    for (unsigned int c = firstChannel; c < std::min(endChannel, nChannels); ++c) {
        if (c < inEnergy.size() && inEnergy[c] < silentShare * loudest)
            continue;
        resonators[c]->copyLine(kBest, lineCopy);
        auto const [lo, hi] = std::minmax_element(lineCopy.begin(), lineCopy.end());
        double const range = *hi - *lo;
        if (!(range > 0.0))
            continue;
        for (unsigned int j = 0; j < L; ++j)
            levelProfile[j] += (lineCopy[j] - *lo) / range;
    }
    auto const [lo, hi] = std::minmax_element(levelProfile.begin(), levelProfile.end());
    double const top = *hi - *lo;
    if (!(top > 0.0))
        return -1.0;
    auto const peak = static_cast<unsigned int>(hi - levelProfile.begin());
    // The middle of the period within a frame's rounding either way.
    double mid = 0.0;
    for (unsigned int d : {L / 2, (L + 1) / 2})
        mid = std::max(mid, levelProfile[(peak + d) % L] - *lo);
    return mid / top;
}

void mTracker::rebuildTicks() {
    unsigned int const rows = pulseCache.nRows();
    std::vector<double>* const lists[3] = {&beatTicks, &patternTicks, &tatumTicks};
    pulsePeriods.resize(rows);
    pulsePhases.resize(rows);
    for (unsigned int level = 0; level < 3; ++level) {
        for (unsigned int r = 0; r < rows; ++r) {
            pulsePeriods[r] = pulseCache[r][level].real();
            pulsePhases[r] = pulseCache[r][level].imag();
        }
        meterPerPha2Pulse(pulsePeriods, pulsePhases, *lists[level]);
        for (double& tick : *lists[level])
            tick += openingSilence.skippedSeconds();
    }
}

void mTracker::getLatestPeriodEsts(double& tatumPeriod, double& beatPeriod, double& patternPeriod,
                                   double& tatumPhase, double& beatPhase, double& patternPhase) const {
    if (stepsDone == 0 || pulseCache.nCols() < 3 || pulseCache.nRows() == 0) {
        tatumPeriod = beatPeriod = patternPeriod = tatumPhase = beatPhase = patternPhase = -1.0;
        return;
    }
    auto const* last = pulseCache[pulseCache.nRows() - 1];
    tatumPeriod = last[tatumLevel].real();
    beatPeriod = last[beatLevel].real();
    patternPeriod = last[patternLevel].real();
    double const skipped = openingSilence.skippedSeconds();
    tatumPhase = last[tatumLevel].imag() + skipped;
    beatPhase = last[beatLevel].imag() + skipped;
    patternPhase = last[patternLevel].imag() + skipped;
}

void mTracker::getMeters(std::vector<double>& tatum, std::vector<double>& beat,
                         std::vector<double>& pattern) const {
    tatum = tatumTicks;
    beat = beatTicks;
    pattern = patternTicks;
}

void mTracker::calculateBeatyness(std::vector<double>& likelihoods) {
    double sum = 0.0;
    for (double v : likelihoods)
        sum += v;
    beatyness = likelihoods.empty() ? 0.0 : sum / likelihoods.size();
}

bool mTracker::flushPulseCache(double const& t) {
    if (stepsDone == 0 || pulseCache.nCols() < 3)
        return false;
    auto const N = static_cast<long>(pulseCache.nRows());
    double const skipped = openingSilence.skippedSeconds();
    long r = -1;
    for (long i = 0; i < N; ++i)
        if (pulseCache[static_cast<unsigned int>(i)][tatumLevel].imag() + skipped < t)
            r = i;
    if (r == N - 1)
        --r;
    if (r < 0)
        return false;
    rowsFlushed += static_cast<unsigned int>(r + 1);
    unsigned int const kept = static_cast<unsigned int>(N - 1 - r);
    for (unsigned int i = 0; i < kept; ++i)
        for (unsigned int c = 0; c < 3; ++c)
            pulseCache[i][c] = pulseCache[i + static_cast<unsigned int>(r + 1)][c];
    pulseCache.resize(kept, 3);
    return true;
}

void mTracker::changeMyyValues(double patternMyy, double beatMyy, double tatumMyy) {
    params.patternMyy = patternMyy;
    params.beatMyy = beatMyy;
    params.tatumMyy = tatumMyy;
}

void mTracker::changeHalfTime(double halfLifeSeconds) {
    params.changeHalfTime(halfLifeSeconds);
    for (auto& bank : resonators)
        bank->setFeedback(bankFeedback());
}

} // namespace meterTracker

// ---------------------------------------------------------------------------------------
// The plain function interface (mTracker.h); the handle is the tracker itself.

extern "C" {

mTrackerHandle* mTracker_init(unsigned int srate) {
    // The front end refuses a rate it has no filters for; a plain-function caller gets a null
    // handle instead.
    bool supported = false;
    for (unsigned int rate : {44100u, 32000u, 22050u, 16000u, 8000u})
        supported = supported || srate == rate;
    if (!supported)
        return nullptr;
    try {
        return new mTrackerHandle(srate);
    } catch (...) {
        return nullptr;
    }
}

void mTracker_set_message_handler(mTrackerHandle* handle, mTracker_message_fn handler, void* udata) {
    if (handle)
        handle->setMessageHandler(handler, udata);
}

void mTracker_close(mTrackerHandle* handle) {
    delete handle;
}

void mTracker_reset(mTrackerHandle* handle) {
    if (handle)
        handle->reset();
}

void mTracker_restart(mTrackerHandle* handle) {
    if (handle)
        handle->restart();
}

namespace {
// Nothing may cross the C boundary as an exception. A step that failed half way (in practice:
// memory ran out) leaves the tracking state half updated, so the tracker starts afresh, which
// is what its callers already handle; the caller hears of it through the result and the
// message handler.
int afterFailure(mTrackerHandle* handle, char const* what) {
    handle->report(what);
    try {
        handle->reset();
    } catch (...) {
    }
    return -1;
}
} // namespace

int mTracker_add_data(mTrackerHandle* handle, double* samples, unsigned int count) {
    if (!handle)
        return -1;
    try {
        handle->addData(samples, count);
        return 0;
    } catch (...) {
        return afterFailure(handle, "metertracker: audio could not be taken in; the tracker was reset");
    }
}

int mTracker_process(mTrackerHandle* handle) {
    if (!handle)
        return 0;
    try {
        return handle->process() ? 1 : 0;
    } catch (...) {
        return afterFailure(handle, "metertracker: an analysis step failed; the tracker was reset");
    }
}

void mTracker_get_period_est(mTrackerHandle* handle, double* tatumPeriod, double* beatPeriod,
                             double* patternPeriod, double* tatumPhase, double* beatPhase,
                             double* patternPhase) {
    double v[6] = {-1.0, -1.0, -1.0, -1.0, -1.0, -1.0};
    if (handle)
        handle->getLatestPeriodEsts(v[0], v[1], v[2], v[3], v[4], v[5]);
    double* const out[6] = {tatumPeriod, beatPeriod, patternPeriod, tatumPhase, beatPhase, patternPhase};
    for (int i = 0; i < 6; ++i)
        if (out[i])
            *out[i] = v[i];
}

double mTracker_get_attack_near(mTrackerHandle* handle, double tick, double halfWidth) {
    return handle ? handle->attackNear(tick, halfWidth) : -1.0;
}

namespace {
// The newest min(capacity, |ticks|) ticks, oldest first; the rest of the array zeroed.
void copyNewestTicks(std::vector<double> const& ticks, double* out, int* n) {
    if (n == nullptr)
        return;
    if (out == nullptr || *n <= 0) {
        *n = 0;
        return;
    }
    auto const capacity = static_cast<std::size_t>(*n);
    std::size_t const count = std::min(capacity, ticks.size());
    std::copy(ticks.end() - static_cast<std::ptrdiff_t>(count), ticks.end(), out);
    std::fill(out + count, out + capacity, 0.0);
    *n = static_cast<int>(count);
}
} // namespace

void mTracker_get_ticks(mTrackerHandle* handle, double* tatum, int* nTatum, double* beat, int* nBeat,
                        double* pattern, int* nPattern) {
    static std::vector<double> const none;
    copyNewestTicks(handle ? handle->getTatumTicks() : none, tatum, nTatum);
    copyNewestTicks(handle ? handle->getBeatTicks() : none, beat, nBeat);
    copyNewestTicks(handle ? handle->getPatternTicks() : none, pattern, nPattern);
}

double mTracker_get_beatyness(mTrackerHandle* handle) {
    return handle ? handle->getBeatyness() : 0.0;
}

void mTracker_change_myyValues(mTrackerHandle* handle, double patternMyy, double beatMyy, double tatumMyy) {
    if (handle)
        handle->changeMyyValues(patternMyy, beatMyy, tatumMyy);
}

void mTracker_change_half_time(mTrackerHandle* handle, double halfLifeSeconds) {
    if (handle)
        handle->changeHalfTime(halfLifeSeconds);
}

int mTracker_dump_metfile(mTrackerHandle* handle, char const* path) {
    if (handle == nullptr || path == nullptr)
        return 0;
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr)
        return -1;
    std::fprintf(file, "3\n");
    for (auto const* list : {&handle->getTatumTicks(), &handle->getBeatTicks(), &handle->getPatternTicks()}) {
        std::fprintf(file, "%d\n", static_cast<int>(list->size()));
        for (double t : *list)
            std::fprintf(file, "%.9f\n", t);
    }
    bool const written = std::ferror(file) == 0;
    return std::fclose(file) == 0 && written ? 0 : -1;
}

int mTracker_flush_pulse_cache(mTrackerHandle* handle, double t) {
    return handle && handle->flushPulseCache(t) ? 1 : 0;
}

} // extern "C"
