#include "evidence.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 44100.0;
constexpr int kHop = 512;
/* Energy rises smaller than this are the wobble of noise and of beating partials, not onsets. */
constexpr double kRiseAllowanceDb = 2.0;
/* Onset activity at which a step counts as full evidence; below the floor there is no music. */
constexpr double kFullActivity = 0.15;
constexpr double kActivityFloor = 0.02;
/* Salience peaks of music stand out: noise and dither reach about 0.07 and five times the mean. */
constexpr double kPeakLow = 0.06, kPeakHigh = 0.18;
constexpr double kSharpLow = 4.0, kSharpHigh = 8.0;
/* Salience evidence at which two steps with onsets in the last four make music. */
constexpr double kClearSalience = 0.5;
/* The first seconds of salience after onsets begin are dominated by the resonators filling up:
   not judged then. A full drum kit repeats at many periods at once, and the resonators take
   longer to single one out (peak over mean still about 3 after 4 s, 5 after 6 s): a grid already
   followed is kept on its onsets alone that much longer, rather than falling silent mid-song. */
constexpr int kWarmUpSteps = 8;
constexpr int kFollowingWarmUpSteps = 12;
constexpr int kQuietStepsBeforeEntry = 4;
/* Two estimates agree when their beat periods differ by less than this share ... */
constexpr double kPeriodAgreement = 0.03;
/* ... and the newer tick lies this close (share of a period) to the older grid. */
constexpr double kPhaseAgreement = 0.1;
/* A hinted tempo is followed when the tracker's beat is within this ratio of a simple multiple. */
constexpr double kHintRatioTolerance = 1.06;
constexpr double kHintContradictionSeconds = 4.0;
constexpr double kLikelyBeatLow = 0.33, kLikelyBeatHigh = 0.7;
constexpr double kUnlikelyLevelFactor = 0.6;
constexpr double kThreeHalvesShare = 0.7, kWeakBeatShare = 0.5;
/* A grid worth holding through a break. */
constexpr double kTrustedConfidence = 0.5;
/* Seconds of doubtful music after which the last trusted grid is no longer held. */
constexpr double kTrustedGridLife = 10.0;

double ramp(double x, double low, double high) {
    if (!(x > low))
        return 0.0;
    return x >= high ? 1.0 : (x - low) / (high - low);
}

double clamp01(double x) {
    return x > 1.0 ? 1.0 : (x > 0.0 ? x : 0.0);
}

/* Distance of `time` from the nearest point of the grid ref + k * period, as a share of period. */
double grid_distance(double time, double ref, double period) {
    const double x = (time - ref) / period;
    return std::fabs(x - std::round(x));
}

} // namespace

/* ---------------- onset meter ---------------- */

double OnsetMeter::Biquad::run(double x) {
    const double y = b0 * x + z1;
    z1 = b1 * x - a1 * y + z2;
    z2 = b2 * x - a2 * y;
    return y;
}

OnsetMeter::OnsetMeter() {
    /* Second-order sections as in the audio EQ cookbook. */
    auto make = [](int kind, double f0, double q) {
        const double w = 2.0 * kPi * f0 / kRate;
        const double alpha = std::sin(w) / (2.0 * q), c = std::cos(w), a0 = 1.0 + alpha;
        Biquad b{};
        if (kind == 0) { /* low-pass */
            b.b0 = (1.0 - c) / 2.0 / a0;
            b.b1 = (1.0 - c) / a0;
            b.b2 = b.b0;
        } else if (kind == 1) { /* band-pass, 0 dB at the centre */
            b.b0 = alpha / a0;
            b.b1 = 0.0;
            b.b2 = -alpha / a0;
        } else { /* high-pass */
            b.b0 = (1.0 + c) / 2.0 / a0;
            b.b1 = -(1.0 + c) / a0;
            b.b2 = b.b0;
        }
        b.a1 = -2.0 * c / a0;
        b.a2 = (1.0 - alpha) / a0;
        return b;
    };
    bands_[0] = make(0, 150.0, 0.7071);
    bands_[1] = make(1, 387.0, 387.0 / 850.0);
    bands_[2] = make(1, 2000.0, 2000.0 / 3000.0);
    bands_[3] = make(2, 4000.0, 0.7071);
}

void OnsetMeter::add(const double* samples, int count) {
    for (int i = 0; i < count; ++i) {
        const double x = std::isfinite(samples[i]) ? samples[i] : 0.0;
        squareSum_ += x * x;
        ++samples_;
        for (int b = 0; b < kBands; ++b) {
            /* The tiny offset keeps decaying filter states out of subnormal numbers. */
            const double y = bands_[b].run(x + 1e-18);
            hopEnergy_[b] += y * y;
        }
        if (++hopFill_ < kHop)
            continue;
        /* Windows of two hops: a partial whose period does not divide the hop wobbles less. */
        double rise = 0.0;
        for (int b = 0; b < kBands; ++b) {
            const double db = 10.0 * std::log10((hopEnergy_[b] + lastHopEnergy_[b]) / (2.0 * kHop) + 1e-10);
            const double r = db - lastDb_[b] - kRiseAllowanceDb;
            rise += r > 0.0 ? r : 0.0;
            lastDb_[b] = db;
            lastHopEnergy_[b] = hopEnergy_[b];
            hopEnergy_[b] = 0.0;
        }
        riseSum_ += std::isfinite(rise) ? rise : 0.0;
        ++hops_;
        hopFill_ = 0;
    }
}

void OnsetMeter::takeStep(double& activity, double& meanSquare) {
    activity = hops_ > 0 ? riseSum_ / hops_ : 0.0;
    meanSquare = samples_ > 0 ? squareSum_ / static_cast<double>(samples_) : 0.0;
    riseSum_ = 0.0;
    hops_ = 0;
    squareSum_ = 0.0;
    samples_ = 0;
}

/* ---------------- judge ---------------- */

bool EvidenceJudge::make_plausible(double periods[METERLEVEL_COUNT], double refTimes[METERLEVEL_COUNT]) {
    for (int level = 0; level < METERLEVEL_COUNT; ++level)
        if (!std::isfinite(periods[level]) || !(periods[level] > 0.0) || !std::isfinite(refTimes[level]))
            return false;
    const double beat = periods[METERLEVEL_BEAT];
    if (!(beat >= kMinBeatPeriod && beat <= kMaxBeatPeriod))
        return false;
    double& tatum = periods[METERLEVEL_TATUM];
    if (tatum < kMinTatumPeriod || tatum > beat) {
        double divisions = tatum > beat ? 1.0 : std::round(beat / tatum);
        while (divisions > 1.0 && beat / divisions < kMinTatumPeriod)
            divisions -= 1.0;
        tatum = beat / divisions;
        refTimes[METERLEVEL_TATUM] = refTimes[METERLEVEL_BEAT];
    }
    if (periods[METERLEVEL_BAR] < beat) {
        periods[METERLEVEL_BAR] = beat;
        refTimes[METERLEVEL_BAR] = refTimes[METERLEVEL_BEAT];
    }
    return true;
}

double EvidenceJudge::evidence_of(const StepObservation& step) {
    for (int i = 1; i < 4; ++i)
        recentActivity_[i - 1] = recentActivity_[i];
    recentActivity_[3] = std::isfinite(step.onsetActivity) ? step.onsetActivity : 0.0;
    const double activity = std::fmax(recentActivity_[2], recentActivity_[3]);
    activeSteps_ = 0;
    for (double a : recentActivity_)
        activeSteps_ += a > kActivityFloor ? 1 : 0;
    const bool audible = step.meanSquare > silentMeanSquare_;
    /* Counted from the start of the sound, and again from strong onsets after two seconds without
       any: when drums come in after an intro of pads, the resonators fill up with them as they do
       at the start. */
    const bool strongOnsets = recentActivity_[3] >= kFullActivity;
    if (!audible || (strongOnsets && quietSteps_ >= kQuietStepsBeforeEntry))
        stepsSinceEntry_ = 0;
    else
        ++stepsSinceEntry_;
    quietSteps_ = strongOnsets ? 0 : quietSteps_ + 1;
    const double sharpness = step.salienceMean > 0.0 ? step.saliencePeak / step.salienceMean : 0.0;
    /* Far above what noise reaches, a peak needs less sharpness: when a full drum kit comes in, its
       hits repeat at many periods at once, and the resonators take seconds to single one out. */
    const double sharpnessScale = std::fmax(1.0, step.saliencePeak / kPeakHigh);
    salienceEvidence_ = ramp(step.saliencePeak, kPeakLow, kPeakHigh) *
                        ramp(sharpness * sharpnessScale, kSharpLow, kSharpHigh);
    activity_ = activity;
    audible_ = audible;
    if (!audible)
        return 0.0;
    return std::fmin(clamp01(activity / kFullActivity), salienceEvidence_);
}

bool EvidenceJudge::music_present() const {
    /* Music keeps its evidence through a second without onsets; it earns it with onsets in most
       of the last two seconds, so that the single onset of a drone or a tone starting is not music. */
    const bool following = haveGrid_ && state_ != LC_TRACKING_NO_EVIDENCE;
    /* Slow music may leave every other step without an onset; two steps with onsets are enough
       when the resonators already single out a period, which a lone onset never makes them do. */
    const bool onsets = following ? activity_ > kActivityFloor
                                  : activeSteps_ >= 3 || (activeSteps_ >= 2 && salienceEvidence_ >= kClearSalience);
    const int warmUp = following ? kFollowingWarmUpSteps : kWarmUpSteps;
    return audible_ && onsets && (stepsSinceEntry_ < warmUp || salienceEvidence_ > 0.1);
}

double EvidenceJudge::stability(const double periods[METERLEVEL_COUNT],
                                const double refTimes[METERLEVEL_COUNT]) const {
    const double period = periods[METERLEVEL_BEAT], ref = refTimes[METERLEVEL_BEAT];
    const int compared = kHistory - 1;
    int agreeing = 0;
    for (int i = historyCount_ - 1; i >= 0 && i >= historyCount_ - compared; --i)
        if (std::fabs(period / historyPeriod_[i] - 1.0) < kPeriodAgreement &&
            grid_distance(ref, historyRef_[i], historyPeriod_[i]) < kPhaseAgreement)
            ++agreeing;
    return static_cast<double>(agreeing) / compared;
}

double EvidenceJudge::level_plausibility(const StepObservation& step, const double periods[METERLEVEL_COUNT]) {
    /* Signs of the wrong metrical level; none is impossible music, so each lowers the confidence
       below "locked" rather than refusing the estimate. Most music's beat lies between about 86
       and 180 BPM: slower tracked beats are mostly half the music's tempo, two-beat bars mostly a
       beat twice too fast. A strong pulse at 1.5 times the tracked beat means the tracked beat spans
       two of the music's beats (three of those make that pulse); a tracked beat much weaker
       than the strongest pulse is a guess between levels. */
    const double beat = periods[METERLEVEL_BEAT];
    double factor = beat >= kLikelyBeatLow && beat <= kLikelyBeatHigh ? 1.0 : kUnlikelyLevelFactor;
    if (std::fabs(periods[METERLEVEL_BAR] / beat - 2.0) < 0.25)
        factor *= kUnlikelyLevelFactor;
    if (step.saliencePeak > 0.0) {
        if (step.salienceAtThreeHalves >= kThreeHalvesShare * step.saliencePeak)
            factor *= kUnlikelyLevelFactor;
        if (step.salienceAtBeat <= kWeakBeatShare * step.saliencePeak)
            factor *= kUnlikelyLevelFactor;
    }
    return factor;
}

bool EvidenceJudge::apply_tempo_hint(double periods[METERLEVEL_COUNT], double refTimes[METERLEVEL_COUNT]) const {
    const double beat = periods[METERLEVEL_BEAT];
    static const double kMultiples[] = {0.25, 1.0 / 3.0, 0.5, 1.0, 2.0, 3.0, 4.0};
    double best = 0.0, bestError = HUGE_VAL;
    for (double k : kMultiples) {
        const double error = std::fabs(std::log(hintPeriod_ / (beat * k)));
        if (error < bestError) {
            bestError = error;
            best = k;
        }
    }
    if (!(bestError < std::log(kHintRatioTolerance)))
        return false;
    const double period = beat * best;
    double ref = refTimes[METERLEVEL_BEAT];
    if (best > 1.0) {
        /* Several of the tracker's beats could start the slower beat: keep the one the grid already
           follows, else one on the tracker's bar. */
        const int choices = static_cast<int>(std::lround(best));
        const bool sameGrid = haveGrid_ && std::fabs(grid_[METERLEVEL_BEAT] / period - 1.0) < 0.06;
        double bestDistance = HUGE_VAL;
        const double origin = ref;
        for (int j = 0; j < choices; ++j) {
            const double candidate = origin + j * beat;
            const double d = sameGrid ? grid_distance(candidate, gridRefs_[METERLEVEL_BEAT], grid_[METERLEVEL_BEAT])
                                      : grid_distance(candidate, refTimes[METERLEVEL_BAR], periods[METERLEVEL_BAR]);
            if (d < bestDistance) {
                bestDistance = d;
                ref = candidate;
            }
        }
    }
    periods[METERLEVEL_BEAT] = period;
    refTimes[METERLEVEL_BEAT] = ref;
    double& tatum = periods[METERLEVEL_TATUM];
    double divisions = std::round(period / tatum);
    if (!(divisions >= 1.0))
        divisions = 1.0;
    while (divisions > 1.0 && period / divisions < kMinTatumPeriod)
        divisions -= 1.0;
    tatum = period / divisions;
    refTimes[METERLEVEL_TATUM] = ref;
    double beatsPerBar = std::round(periods[METERLEVEL_BAR] / period);
    if (!(beatsPerBar >= 1.0))
        beatsPerBar = 1.0;
    refTimes[METERLEVEL_BAR] = ref + std::round((refTimes[METERLEVEL_BAR] - ref) / period) * period;
    periods[METERLEVEL_BAR] = beatsPerBar * period;
    return true;
}

void EvidenceJudge::apply_bar_hint(double periods[METERLEVEL_COUNT], double refTimes[METERLEVEL_COUNT]) {
    const double beat = periods[METERLEVEL_BEAT], ref = refTimes[METERLEVEL_BEAT];
    double beatsPerBar = std::round(periods[METERLEVEL_BAR] / beat);
    if (!(beatsPerBar >= 1.0))
        beatsPerBar = 1.0;
    const double n = std::round((ref - hintBarTime_) / beat);
    const double offset = n - beatsPerBar * std::floor(n / beatsPerBar);
    periods[METERLEVEL_BAR] = beatsPerBar * beat;
    refTimes[METERLEVEL_BAR] = ref - offset * beat;
    /* Counting from the newest downbeat keeps a slowly changing tempo from shifting the count. */
    hintBarTime_ = refTimes[METERLEVEL_BAR];
}

void EvidenceJudge::hint_beat_period(double period) {
    if (!(period >= kMinBeatPeriod && period <= kMaxBeatPeriod))
        return;
    hintPeriod_ = period;
    hintTempoLeft_ = kHintSeconds;
    hintContradicted_ = 0.0;
}

void EvidenceJudge::hint_bar_start(double time) {
    if (!std::isfinite(time))
        return;
    hintBarTime_ = time;
    hintBarLeft_ = kHintSeconds;
}

StepVerdict EvidenceJudge::judge(const StepObservation& step) {
    StepVerdict verdict{};
    const double seconds = std::isfinite(step.seconds) && step.seconds > 0.0 ? step.seconds : 0.0;
    const double evidence = evidence_of(step);
    const bool present = music_present();
    for (int level = 0; level < METERLEVEL_COUNT; ++level) {
        verdict.periods[level] = step.periods[level];
        verdict.refTimes[level] = step.refTimes[level];
    }
    const bool plausible = make_plausible(verdict.periods, verdict.refTimes);
    if (!present) {
        confidence_ = 0.0;
        if (!haveGoodGrid_ || state_ == LC_TRACKING_NO_EVIDENCE || goodGridAge_ > kTrustedGridLife) {
            /* Nothing to hold: a grid never trusted (noise, a first onset) is not carried on, nor
               one trusted long ago and doubted ever since, which is not what the music just did. */
            state_ = LC_TRACKING_NO_EVIDENCE;
        } else {
            if (state_ != LC_TRACKING_HOLDING) {
                state_ = LC_TRACKING_HOLDING;
                holdLeft_ = holdBars_ * goodGrid_[METERLEVEL_BAR];
                /* When the last steps before the music went were doubtful, hold the last
                   trusted grid instead. */
                if (!lastGridTrusted_) {
                    verdict.accept = true;
                    for (int level = 0; level < METERLEVEL_COUNT; ++level) {
                        verdict.periods[level] = grid_[level] = goodGrid_[level];
                        verdict.refTimes[level] = gridRefs_[level] = goodRefs_[level];
                    }
                    lastGridTrusted_ = true;
                }
            }
            holdLeft_ -= seconds;
            if (holdLeft_ <= 0.0)
                state_ = LC_TRACKING_NO_EVIDENCE;
        }
        return verdict;
    }
    if (!plausible) {
        /* Music, but periods no music has: keep the grid, trust it less. */
        confidence_ *= 0.5;
        state_ = haveGrid_ ? LC_TRACKING_SEARCHING : LC_TRACKING_NO_EVIDENCE;
        return verdict;
    }

    if (hintTempoLeft_ > 0.0) {
        if (apply_tempo_hint(verdict.periods, verdict.refTimes))
            hintContradicted_ = 0.0;
        else if (evidence > 0.5 && (hintContradicted_ += seconds) >= kHintContradictionSeconds)
            hintTempoLeft_ = 0.0;
        hintTempoLeft_ -= seconds;
    }
    if (hintBarLeft_ > 0.0) {
        apply_bar_hint(verdict.periods, verdict.refTimes);
        hintBarLeft_ -= seconds;
    }

    confidence_ = clamp01(evidence * stability(verdict.periods, verdict.refTimes) * level_plausibility(step, verdict.periods));
    if (historyCount_ == kHistory) {
        for (int i = 1; i < kHistory; ++i) {
            historyPeriod_[i - 1] = historyPeriod_[i];
            historyRef_[i - 1] = historyRef_[i];
        }
        --historyCount_;
    }
    historyPeriod_[historyCount_] = verdict.periods[METERLEVEL_BEAT];
    historyRef_[historyCount_] = verdict.refTimes[METERLEVEL_BEAT];
    ++historyCount_;
    for (int level = 0; level < METERLEVEL_COUNT; ++level) {
        grid_[level] = verdict.periods[level];
        gridRefs_[level] = verdict.refTimes[level];
    }
    haveGrid_ = true;
    lastGridTrusted_ = confidence_ >= kTrustedConfidence;
    goodGridAge_ = lastGridTrusted_ ? 0.0 : goodGridAge_ + seconds;
    if (lastGridTrusted_) {
        haveGoodGrid_ = true;
        for (int level = 0; level < METERLEVEL_COUNT; ++level) {
            goodGrid_[level] = grid_[level];
            goodRefs_[level] = gridRefs_[level];
        }
    }
    state_ = confidence_ >= 0.7 ? LC_TRACKING_LOCKED : LC_TRACKING_SEARCHING;
    verdict.accept = true;
    return verdict;
}
