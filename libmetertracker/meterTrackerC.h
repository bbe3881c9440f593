/* The meter tracker: mono audio in, periods and phases of tatum, beat and bar out.
 *
 * The front end (Onsets) turns audio into band accents; every hop of accent frames (about
 * half a second) one analysis step sums the bands into channels, drives one comb-filter
 * resonator bank per channel, measures how much stronger than chance the signal repeats at
 * every candidate period (the resonance salience), chooses the three periods jointly with a
 * causal max-product recursion over candidate changes, finds the latest beat and bar start
 * in the resonators' delay lines, and expands the per-step estimates into tick lists.
 *
 * Times are seconds on the accent time line: absolute accent frame n (counted from the first
 * sample analysed) is the time (n + 1.5) / accentRate. A long silence the stream opens with is
 * analysed only in part (OpeningSilence); the times reported (phases, ticks, and the time
 * flushPulseCache takes) count all of it, so they are seconds from reset. Level order inside the tracker: beat, pattern (bar),
 * tatum. No locking: one thread at a time; nothing here is meant for an audio callback.
 */
#ifndef BEATLUME_METERTRACKERC_H
#define BEATLUME_METERTRACKERC_H

#include "Matrix.h"
#include "attackTimes.h"
#include "barChooser.h"
#include "combBank.h"
#include "filterPairTempo.h"
#include "gridFollower.h"
#include "steadyTempo.h"
#include "onsets.h"
#include "openingSilence.h"
#include "params.h"
#include "recentBeat.h"

#include <complex>
#include <memory>
#include <vector>

namespace meterTracker {

// A level's prior weight of every candidate period, pdf^exponent of a log-normal density, kept
// until the periods or the prior change (user settings change it rarely, steps run often).
class PriorWeights {
public:
    // With timesRootPeriod each weight is also multiplied by the period's square root.
    void update(std::vector<double> const& periods, double median, double sigma, double exponent,
                bool timesRootPeriod = false);
    double at(std::size_t i) const { return weights[i]; }

private:
    std::vector<double> periods, weights;
    double median = 0.0, shape = 0.0, power = 0.0;
};

class mTracker {
public:
    explicit mTracker(unsigned int srate);
    virtual ~mTracker();
    mTracker(mTracker const&) = delete;
    mTracker& operator=(mTracker const&) = delete;

    // New sample rate for the front end and the parameters; the resonator banks keep the
    // delays they were built with. Resets the tracker.
    void setSrate(unsigned int srate);
    // Forgets all audio, tracking state and ticks (beatyness keeps its value).
    void reset();
    // As reset, but the time line goes on: for the next piece after the music went away.
    void restart();
    // Appends mono samples (copied). Non-finite samples are taken as 0.
    void addData(double const* samples, unsigned int count);
    // Analyses every step the accent signal allows; true when at least one new step was
    // completed (then estimates and tick lists are new).
    bool process();

    // The latest step's periods and phase times in seconds; −1 each before the first step.
    void getLatestPeriodEsts(double& tatumPeriod, double& beatPeriod, double& patternPeriod,
                             double& tatumPhase, double& beatPhase, double& patternPhase) const;
    // The strongest attack played within halfWidth seconds of `tick`, or −1 (AttackTimes).
    double attackNear(double tick, double halfWidth) { return attackTimes.attackNear(tick, halfWidth); }
    // Copies of the tick lists.
    void getMeters(std::vector<double>& tatum, std::vector<double>& beat, std::vector<double>& pattern) const;
    std::vector<double> const& getTatumTicks() const { return tatumTicks; }
    std::vector<double> const& getBeatTicks() const { return beatTicks; }
    std::vector<double> const& getPatternTicks() const { return patternTicks; }
    // Sets beatyness to the mean of the likelihoods (0 for none).
    void calculateBeatyness(std::vector<double>& likelihoods);
    double getBeatyness() const { return beatyness; }
    // Removes the cache rows (analysis steps) whose tatum phase lies before t, keeping the
    // newest row; true when rows were removed. The tick lists lose those steps at the next
    // successful process().
    bool flushPulseCache(double const& t);

    // Prior medians in seconds, used from the next step on.
    void changeMyyValues(double patternMyy, double beatMyy, double tatumMyy);
    // Resonator half-life in seconds: new feedback gains for every comb filter and the
    // matching salience normalisation.
    void changeHalfTime(double halfLifeSeconds);

    Params const& parameters() const { return params; }
    unsigned int getStepsDone() const { return stepsDone; }
    unsigned int getFramesConsumed() const { return framesConsumed; }
    unsigned int getRowsFlushed() const { return rowsFlushed; }
    unsigned int getPulseCacheRows() const { return stepsDone == 0 ? 0 : pulseCache.nRows(); }
    // Summary salience of every candidate period at the latest step (for diagnostics).
    std::vector<double> const& getSalience() const { return salience; }

    // Where remarks about the analysis go (a level without any period, a failed step): the
    // tracker itself prints nothing. The handler runs on the thread calling process().
    using MessageHandler = void (*)(void* udata, char const* message);
    void setMessageHandler(MessageHandler handler, void* udata) {
        messageHandler = handler;
        messageUdata = udata;
    }
    void report(char const* message) const {
        if (messageHandler)
            messageHandler(messageUdata, message);
    }

    // Joint period state s = (tatum·K + pattern)·K + beat, decoded from its 1-based number.
    static void decodeState(unsigned int s, unsigned int K, unsigned int& tatum, unsigned int& pattern,
                            unsigned int& beat);

private:
    void computeSalience(unsigned int step, unsigned int firstRowFrame);
    void estimatePeriods(unsigned int step);
    void estimatePhases(unsigned int step);
    // Before a step's period choice in the first two half-lives after a (re)start: shrinks how
    // far each state's score trails the best one with the same bar, so that the steps before
    // count little or nothing for the beat and tatum (see pathMemoryFromHalfLives).
    void loosenPathMemory(unsigned int step);
    // Resonator half-lives of audio analysed since the (re)start when step `step` completes.
    double halfLivesAnalysed(unsigned int step) const;
    // After the period choice: a swing's two thirds of the beat, a drummer's figure in threes
    // against the beat (three quarters) or four thirds of it can outweigh the beat for a few
    // bars in the salience, and the choice follows them. A beat that the choice has held for long
    // is kept (with the best tatum and bar that go with it) while it still nearly matches the
    // new one, for a few seconds at most: a real change of tempo soon outweighs it by more, or
    // outlasts the hold. Octaves are left to levelFactor.
    void keepLongHeldBeat(unsigned int& tatum, unsigned int& pattern, unsigned int& beat);
    // Off-beat accents (skanks, open hats, syncopated kicks) can outweigh the beat in the
    // beat resonator while the bar templates still find the downbeat: a beat phase between
    // the bar's beats gives way to the best phase candidate on them, when that one scores
    // nearly as well, or, once the bar has disagreed for several bars running, clearly
    // less well.
    void alignBeatToBar(unsigned int row, unsigned int tLast);
    // The highest channel's resonator line at the beat period, its strongest value within two
    // frames of time t (the line's last period ends with frame tLast).
    double topChannelAccent(double period, double t, unsigned int tLast);
    // Runs the beat through the grid follower: the beat takes its finer, steadier period
    // (the phase stays the step's own, which follows expressive timing without lag), and
    // bar and tatum their whole multiples and fractions of it.
    void smoothGrid(unsigned int row);
    // After the phase scores of a step: the beat candidate that continues the grid held over
    // the last steps gets a bonus growing with how long it has held (see heldBeatStake).
    void favourHeldBeat();
    // After the beat phase decision (candidate `chosen`): music begins on a beat, hardly ever
    // on the "and", while accents on the "and" (a baiao's or a punk beat's snare and cymbals,
    // a bossa's bass) can outweigh the beat in the resonators for a whole piece. Where the
    // audio opened in silence, a choice half a beat off the grid through the music's first
    // onset gives way to the candidate on it during the first beats, and a beat held on that
    // grid ever since keeps its phase while it holds, for the first minute at most. Returns the
    // candidate taken.
    unsigned int keepBeatOnMusicStart(unsigned int row, unsigned int chosen);
    // Drums come in after a stretch without them: their first hit begins the music.
    void admitEntry();
    // The period (accent frames) on which the phase scores carry the previous step's ticks
    // over to this step's: the previous one's, but for a beat that has just become shorter
    // other than by half or a quarter (another tempo, as after a change of track), where the
    // old grid says nothing about where the new beats fall and the ticks carry on at the new
    // period. A halved beat keeps the old grid, whose beats are the new one's too.
    double transitionLag(unsigned int level) const;
    // The beat phase candidate nearest the grid of `period` through `grid`, closer than
    // `tolerance` (a share of the period); −1 when none is.
    int nearestPhaseCand(double grid, double period, double tolerance) const;
    // True when a beat at `tick` lies on the grid through the music's first onset, within the
    // music's first beats.
    bool onMusicStartGrid(double period, double tick) const;
    // After the grid follower: counts the steps whose beat continues the held grid.
    void noteHeldBeat(unsigned int row);
    // Bars of three or four beats take the chooser's length and downbeat on the beat grid;
    // two-beat bars only its downbeat (they mostly come with a slow or halved beat, where the
    // engine reads them as a sign of the wrong metrical level).
    void chooseBar(unsigned int row);
    // Last, the beat moves towards where the last seconds of accents put it (RecentBeat),
    // through a grid follower of its own; bar and tatum move with it. The bar chooser and the
    // resonators' grid follower keep reading the resonators' beat, whose long memory suits them.
    // The published period is that line's, less the share of the resonators' smear its ticks
    // carry while the memory fills after the music starts, weighed with the period where the
    // beat's resonance peaks while the line is young (withResonancePeriod).
    void followRecentBeat(unsigned int row, unsigned int tLast);
    // After the choice, finer than a frame: the beat period from the salience peak around
    // the chosen one, and the beat tick read in the two filters whose delays enclose that
    // period, weighed by how near each delay lies to it. A filter whose delay misses the
    // period lets the echoes of older beats drift across its line and pulls its peak early
    // (delay too short) or late by the miss times the echoes' mean age: about 20 ms for half
    // a frame at a 3 s half-life, so that the tick jumped by twice that whenever the nearest
    // filter changed. The two misses have opposite signs and cancel in the weighed mean.
    // Changes neither the chosen level nor the phase candidate. Also measures how much the
    // filling memory's smear steepens the ticks' line (FilterPairTempo).
    void refineBeat(unsigned int row, unsigned int tLast);
    // Beat period in frames, finer than a frame, from the salience peak nearest `frames`;
    // `frames` itself where the salience has no such peak. `resonance`, when given, receives
    // the peak placed where its flanks meet (0 where there is no peak): the period to measure
    // the tempo by.
    double finePeriodFrames(double frames, double* resonance = nullptr) const;
    // Weight of a channel's resonator line in the beat phase salience: the inverse of the
    // channel's input level, so that every band group has an equal say.
    double beatLineWeight(unsigned int channel) const;
    // Time of the beat phase peak of filter `filter` nearest time `near`, between frames.
    double fineTickInFilter(unsigned int filter, double near, unsigned int tLast);
    void rebuildTicks();
    // How strongly channels firstChannel … endChannel − 1 (by default the low two) accent the
    // middle of a period against its strongest point, 0-1, for the resonator nearest to
    // `period` seconds (−1 when there is none); channels the input leaves silent do not count.
    double halfPeriodAccent(double period, unsigned int firstChannel = 0, unsigned int endChannel = 2);
    // The bank filter whose delay lies closest to a delay in accent frames (ties: the shorter).
    unsigned int nearestResonator(double delayFrames) const;
    // 0.5, 1 or 2: the factor that moves the chosen beat period onto the music's beat, judged
    // from where the low channels put their accents inside the beat and the periods around it,
    // and from where the snare hits it.
    // Called once per step; a change must hold for a few steps before it is taken (two in the
    // first seconds after a reset, four later), unless it keeps the beat of the step before
    // where the chooser moved to twice or half of it.
    double levelFactor(double beatPeriod);
    // True when the halves of `beatPeriod` group in threes at every level the salience shows
    // (three halves over two, six over four, twelve over eight): compound meter, whose beat is
    // the dotted one, 1.5 times as long, and whose bar holds two of them. Two-tatum beats win
    // the prior there, while a clave's three-three-two repeats at three halves but not beyond.
    // Called once per step; a change must hold for `stepsToShift` steps before it is taken.
    bool groupsInThrees(double beatPeriod, int stepsToShift);
    // True when the beat's quarters group in threes up to the bar: a beat three quarters as
    // long still resonates, and four of it (three of ours) repeat more strongly than four of
    // ours, while two of it keep up with two of ours. The beat was taken four thirds too long,
    // as where a drummer's triplet feel puts the strongest pulse at two thirds of the beat and
    // the resonators take two of those; a waltz's bar of three leaves three quarters of its beat
    // silent. Called once per step; a change must hold for a few steps before it is taken (twice
    // as many to drop a shortening that has held long), and the shortened beat goes at once when
    // the beat it was taken for moves (a move onto the shortened beat itself only suspends it
    // until the long beat returns).
    bool quartersGroupInThrees(double beatPeriod);
    // True when the snare's band groups hit the middle of the beat clearly harder than the
    // half the kick marks, under cymbals even over both halves (a backbeat, so the music's beat
    // is half as long), or when they have done so long enough at this tempo. `slack` loosens the
    // bounds for a shift already taken; `contrary` (the beat asks to be doubled) or another
    // tempo forgets what was heard. Called once per step.
    bool backbeatInMiddle(double beatPeriod, double slack, bool contrary);
    // Largest summary salience within 2 % of a period in seconds (0 outside the bank).
    double salienceNear(double period) const;

    Params params;
    MessageHandler messageHandler = nullptr;
    void* messageUdata = nullptr;
    double beatyness;
    unsigned int srate;
    double updateRate;
    Onsets onsets;
    ARGMathLibrary::Matrix<double> meterDelta;
    ARGMathLibrary::Matrix<double> lagHistory;
    std::vector<double> inEnergy;
    std::vector<std::vector<std::vector<double>>> phaseDelta;  // [prev/cur][candidate][beat, pattern]
    std::vector<std::vector<std::vector<double>>> periodCands; // [prev/cur][rank][beat, pattern, tatum]
    std::vector<std::vector<std::vector<double>>> phaseCands;  // [prev/cur][candidate][beat, pattern]
    std::vector<double> tatumTicks;
    std::vector<double> beatTicks;
    std::vector<double> patternTicks;
    std::vector<std::unique_ptr<CombBank>> resonators;
    static constexpr unsigned int denseUpTo = 256; // accent frames (about 1.5 s)
    std::vector<unsigned int> bankPeriodIndex;     // per filter, its index in params.periods
    std::vector<double> bankFeedback() const;      // the filters' gains at the current half-life
    unsigned int nChannels;
    std::vector<double> channelMean;
    unsigned int framesConsumed;
    ARGMathLibrary::Matrix<std::complex<double>> pulseCache; // step rows × (beat, pattern, tatum)
    unsigned int stepsDone;
    unsigned int rowsFlushed;
    GridFollower beatGrid;
    RecentBeat recentBeat;
    GridFollower recentGrid;
    SteadyTempo steadyTempo;
    FilterPairTempo filterPairTempo;
    double beatTickSmear = 0.0; // this step's smear share of the beat ticks' slope (s per beat)
    double resonancePeriod = 0.0; // this step's beat period where its resonance peaks (s), 0: none
    ResonanceMean recentResonance;
    std::vector<double> channelWeights;
    BarChooser barChooser;
    int levelShift = 0;    // −1 the beat is halved, 1 doubled, 0 kept
    int levelVotes = 0;    // successive steps that asked for another shift
    double leveledBeat = 0.0; // the beat after the level shift at the latest step
    double lastBeatTick = -1.0; // the beat tick published at the latest step
    int backbeatSteps = 0;      // steps that heard a backbeat in the middle of this beat
    double backbeatPeriod = 0.0;
    int offBarSteps = 0;   // successive steps whose beat phase lay between the bar's beats
    bool compound = false; // the beat is taken dotted (see groupsInThrees)
    int compoundVotes = 0;
    bool quartersInThrees = false; // the beat is taken three quarters as long
    int quartersVotes = 0;
    double quartersBeat = 0.0; // the beat it was taken for
    int quartersHeldSteps = 0; // successive steps it has held
    double heldChoicePeriod = 0.0; // the beat period the period choice took last
    int heldChoiceSteps = 0;       // successive steps it has taken that period (see keepLongHeldBeat)
    int keptChoiceSteps = 0;       // successive steps it was kept against the choice
    int heldBeatSteps = 0; // successive steps whose beat continued the one before
    double heldBeatPeriod = 0.0, heldBeatTick = 0.0;
    bool heldBeatFromStart = false; // the held beat lay on the music's first onset
    int favouredCand = -1; // the phase candidate that got the held beat's bonus this step
    double favouredBonus = 0.0;
    bool keptOnStart = false; // this step's beat phase lies on the music's first onset

    // Work space, kept between steps so that a step allocates little.
    ARGMathLibrary::Matrix<double> bandEnvs; // bands × frames from the front end
    ARGMathLibrary::Matrix<double> channels; // frames × channels, mean removed
    ARGMathLibrary::Matrix<double> phaseObs; // nPhaseCands × 2, zeroed per process() call
    std::vector<double> salience;            // per period, mean over channels
    std::vector<double> noiseLevel;          // per period, start-up noise floor
    std::vector<double> stepInput;           // one channel's frames of a step
    std::vector<double> lineCopy, levelProfile, fineProfile;
    std::vector<double> cleanSamples; // addData's copy with non-finite values replaced
    OpeningSilence openingSilence;
    AttackTimes attackTimes{44100}; // every sample taken, for the attack of a beat tick
    std::vector<double> lagSignal;    // salience over lag for the tatum spectrum
    std::vector<double> lagWindow;    // its half-cosine taper
    struct StartupPower {
        double passes;
        double feedback;
        double power; // feedback^passes
    };
    std::vector<StartupPower> startupPower; // per period, for the noise level of computeSalience
    std::vector<double> barBest; // per bar candidate, its best state's score (loosenPathMemory)
    std::vector<double> fftData;
    std::vector<double> perBin, perSec;
    PriorWeights tatumPrior, beatPrior, patternPrior;
    std::vector<double> Lt, Lb, Lp;
    std::vector<unsigned int> peakIdx;
    std::vector<double> bgtOut, candPeriodsBeat, candPeriodsPattern, candPeriodsTatum;
    std::vector<double> jointScore;
    std::vector<double> tatumLikes, beatLikes, patternLikes, prev, cur;
    ARGMathLibrary::Matrix<double> A, B; // ratio scores: pattern given beat, beat given tatum
    ARGMathLibrary::Matrix<double> transBeat, transPattern, transTatum;
    std::vector<double> stageA, stageB; // best predecessor scores over the beat, then also the pattern
    ARGMathLibrary::Matrix<double> phaseStates, phaseTrans;
    std::vector<double> phaseSalience, prevPhaseTimes, curPhaseTimes, pulsePeriods, pulsePhases;
};

} // namespace meterTracker

/* The opaque handle of the function interface (mTracker.h) is the tracker itself, so C++
   callers may use a handle as an mTracker. */
struct mTrackerHandle : meterTracker::mTracker {
    using meterTracker::mTracker::mTracker;
};

#endif
