/* Evidence of a pulse in the music, and what the engine makes of each analysis step.
 *
 * The tracker always answers with some periods, even for silence, noise or a drone. Before an
 * estimate reaches the predicted grid, the judge asks whether there is music to follow at all
 * (level, note onsets, how clearly the resonators single out a period), whether the periods are
 * ones music has (beats of 30 to 300 BPM, tatums of 60 ms or more), and applies the user's hints.
 * From the same evidence and the agreement of successive estimates it derives a confidence in 0-1
 * and the tracking state.
 *
 * Pure computation on the analysis thread: no threads, clocks, locks or allocation after
 * construction. Times are seconds on the tracker's time line; level order bar, beat, tatum.
 */
#ifndef LUMACORE_EVIDENCE_H
#define LUMACORE_EVIDENCE_H

#include "common.h"

/* Rises of the signal's energy in four bands (below 150 Hz, 150 Hz-1 kHz, 1-4 kHz, above
   4 kHz), measured over hops of 512 samples at 44.1 kHz: what note onsets and drum hits leave and a
   steady tone, a drone or silence does not. */
class OnsetMeter {
public:
    OnsetMeter();
    /* ANALYSIS THREAD: no allocation. Non-finite samples count as 0. */
    void add(const double* samples, int count);
    /* Mean rise per hop (dB above a 2 dB allowance, summed over the bands) since the last call, and
       the mean square of those samples (0 when none came); both restart. */
    void takeStep(double& activity, double& meanSquare);

private:
    struct Biquad {
        double b0, b1, b2, a1, a2, z1 = 0.0, z2 = 0.0;
        double run(double x);
    };
    static constexpr int kBands = 4;
    Biquad bands_[kBands];
    double hopEnergy_[kBands] = {};
    double lastHopEnergy_[kBands] = {};
    double lastDb_[kBands] = {-100.0, -100.0, -100.0, -100.0};
    int hopFill_ = 0;
    double riseSum_ = 0.0;
    int hops_ = 0;
    double squareSum_ = 0.0;
    long samples_ = 0;
};

/* One analysis step as the judge sees it. */
struct StepObservation {
    double periods[METERLEVEL_COUNT];  /* the tracker's, bar, beat, tatum */
    double refTimes[METERLEVEL_COUNT]; /* latest tick of each level */
    double seconds;                    /* audio analysed since the previous step */
    double meanSquare;                 /* of that audio */
    double onsetActivity;              /* OnsetMeter::takeStep */
    double saliencePeak, salienceMean; /* over beat periods of 30 to 300 BPM */
    /* Largest salience within 3 % of the tracker's beat period, and of 1.5 times it. */
    double salienceAtBeat, salienceAtThreeHalves;
};

struct StepVerdict {
    bool accept; /* take periods and refTimes over as the new grid */
    double periods[METERLEVEL_COUNT];
    double refTimes[METERLEVEL_COUNT];
};

class EvidenceJudge {
public:
    static constexpr double kMinBeatPeriod = 0.2; /* 300 BPM */
    static constexpr double kMaxBeatPeriod = 2.0; /* 30 BPM */
    static constexpr double kMinTatumPeriod = 0.06;
    static constexpr double kHintSeconds = 30.0; /* of music */

    /* Periods music can have: beat within 30-300 BPM, all finite and positive. A tatum shorter than
       60 ms or longer than the beat becomes the finest division of the beat of at least 60 ms, a bar
       shorter than the beat becomes one beat; false when the estimate cannot be used. */
    static bool make_plausible(double periods[METERLEVEL_COUNT], double refTimes[METERLEVEL_COUNT]);

    /* ANALYSIS THREAD. */
    StepVerdict judge(const StepObservation& step);

    /* Hints, applied from the next step on and kept for kHintSeconds of music unless the music
       clearly contradicts them. A beat period to follow (the tracker's tempo folded onto its
       level); the time of a beat that starts a bar. ANALYSIS THREAD. */
    void hint_beat_period(double period);
    void hint_bar_start(double time);

    void set_hold_bars(int bars) { holdBars_ = bars < 0 ? 0 : bars; }
    /* Audio whose mean square stays at or below this is silence, whatever else it holds. */
    void set_silent_mean_square(double meanSquare) { silentMeanSquare_ = meanSquare; }
    int hold_bars() const { return holdBars_; }
    double confidence() const { return confidence_; }
    LcTrackingState state() const { return state_; }
    /* The last grid handed out (zeros before any). */
    const double* periods() const { return grid_; }
    const double* ref_times() const { return gridRefs_; }

private:
    bool music_present() const;
    double evidence_of(const StepObservation& step);
    double stability(const double periods[METERLEVEL_COUNT], const double refTimes[METERLEVEL_COUNT]) const;
    static double level_plausibility(const StepObservation& step, const double periods[METERLEVEL_COUNT]);
    bool apply_tempo_hint(double periods[METERLEVEL_COUNT], double refTimes[METERLEVEL_COUNT]) const;
    void apply_bar_hint(double periods[METERLEVEL_COUNT], double refTimes[METERLEVEL_COUNT]);

    static constexpr int kHistory = 6;
    int holdBars_ = 8;
    double silentMeanSquare_ = 1e-6; /* -60 dBFS: a silent room */
    LcTrackingState state_ = LC_TRACKING_NO_EVIDENCE;
    double confidence_ = 0.0;
    double holdLeft_ = 0.0;
    /* Onset activity of the latest steps, newest last. */
    double recentActivity_[4] = {0.0, 0.0, 0.0, 0.0};
    double activity_ = 0.0;         /* the larger of the last two steps' onset activity */
    int activeSteps_ = 0;           /* of the last four, those with onsets */
    double salienceEvidence_ = 0.0; /* 0-1: how clearly one period stands out */
    bool audible_ = false;
    int stepsSinceEntry_ = 0; /* audible steps since the sound began or strong onsets came in */
    int quietSteps_ = 0;      /* steps in a row without strong onsets */
    bool haveGrid_ = false;
    double grid_[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    double gridRefs_[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    /* Beat periods and ticks of the latest accepted steps, newest at historyCount_ - 1. */
    /* The last grid taken over with some confidence: what holding carries on. */
    bool haveGoodGrid_ = false, lastGridTrusted_ = false;
    double goodGridAge_ = 0.0; /* seconds of music since the good grid was taken */
    double goodGrid_[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    double goodRefs_[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    double historyPeriod_[kHistory] = {};
    double historyRef_[kHistory] = {};
    int historyCount_ = 0;
    double hintPeriod_ = 0.0, hintTempoLeft_ = 0.0, hintContradicted_ = 0.0;
    double hintBarTime_ = 0.0, hintBarLeft_ = 0.0;
};

#endif
