#include "beat_loop.h"

#include <cmath>

namespace {

/* Beyond this period ratio the estimate is another metrical level or the music changed tempo:
   following it gradually would leave the grid on the old beat for many bars. */
constexpr double kJumpPeriodRatio = 0.04;
/* A phase error beyond this share of the period would take many beats to slew away: the tracker
   has found another phase (the off-beat, a new track), not a wobble. */
constexpr double kJumpPhaseShare = 0.08;
/* Share of the estimate's period change taken over per beat. */
constexpr double kPeriodEasing = 0.5;
/* Share of the phase error removed per beat: smaller while the errors are the estimates' own
   wobble, larger for errors that stand out from it. Where the tempo moves (a drift, rubato, a
   drummer pushing) the estimates' beat moves by milliseconds per beat: a loop that removes a
   third of the error per beat trails it by several beats, until the error grows large enough
   for the far gain and the grid lurches after it. */
constexpr double kGainLocked = 0.6, kGainFar = 0.8;
constexpr double kFarLow = 0.015, kFarHigh = 0.04; /* phase errors, shares of the period */
/* Beats after a jump that take the larger gain whatever the error: the grid jumped onto an
   estimate of a few seconds of music, and the next ones place the beat better. */
constexpr int kFreshBeats = 2;
/* Per beat, the phase correction changes by at most this share of the period (5 ms at 120 BPM:
   the Clocks of one beat then keep a steady spacing and the kink between two beats is smaller
   than the trailing error it saves) and stays within the second share. */
constexpr double kMaxCorrectionStep = 0.01, kMaxCorrection = 0.04;
/* The integral: its gain per beat and its bound, shares of the period. */
constexpr double kIntegralGain = 0.01, kMaxIntegral = 0.005;
/* A beat under way re-aimed at a fresh estimate changes its Clocks' pace by at most this share:
   enough to take up most of a drummer's or a rubato's drift within the beat (5 % of the rest of
   a beat at 120 BPM moves the beat up to 12 ms), little enough that a receiver following the
   Clock sees a bend, not a step. */
constexpr double kMaxBendShare = 0.05;
/* Errors below this share of the period are left to the loop: at a steady tempo the estimates
   wobble by a millisecond or two (an arpeggio's, a waltz's), and bending after each would shake
   the Clock for nothing; a drummer's drift soon exceeds it. */
constexpr double kBendDeadShare = 0.005;

double clamp(double x, double limit) {
    return x > limit ? limit : (x < -limit ? -limit : x);
}

double ramp(double x, double low, double high) {
    if (!(x > low))
        return 0.0;
    return x >= high ? 1.0 : (x - low) / (high - low);
}

bool same_tempo(double a, double b) {
    return a > 0.0 && b > 0.0 && std::fabs(a / b - 1.0) <= kJumpPeriodRatio;
}

} // namespace

double beat_loop_grid_offset(double time, double period, double ref) {
    if (!(period > 0.0))
        return 0.0;
    const double offset = ref + std::round((time - ref) / period) * period - time;
    return std::isfinite(offset) ? offset : 0.0;
}

double beat_loop_advance(BeatLoop* loop, double reached, double estPeriod, double estRef, bool jump, TimeMap* map,
                         bool* jumped) {
    const double error = beat_loop_grid_offset(reached, estPeriod, estRef);
    *map = TimeMap{};
    const bool slew = !jump && loop->running && same_tempo(estPeriod, loop->basePeriod) &&
                      std::fabs(error) <= kJumpPhaseShare * estPeriod && std::isfinite(estRef);
    *jumped = !slew;
    if (!slew) {
        /* The estimate's grid point nearest one period after the tick just reached. */
        double next = reached + estPeriod + beat_loop_grid_offset(reached + estPeriod, estPeriod, estRef);
        if (!std::isfinite(next) || !(next > reached))
            next = reached + (estPeriod > 0.0 ? estPeriod : 0.5);
        const bool usable = estPeriod > 0.0 && std::isfinite(estPeriod);
        *loop = BeatLoop{usable, usable ? estPeriod : 0.0, 0.0, 0.0, next - reached};
        return next;
    }
    const double base = loop->basePeriod + kPeriodEasing * (estPeriod - loop->basePeriod);
    loop->basePeriod = base;
    loop->integral = clamp(loop->integral + kIntegralGain * error, kMaxIntegral * base);
    const double far = loop->beatsSinceJump++ < kFreshBeats ? 1.0 : ramp(std::fabs(error) / base, kFarLow, kFarHigh);
    const double gain = kGainLocked + (kGainFar - kGainLocked) * far;
    const double target = clamp(gain * error, kMaxCorrection * base);
    loop->correction += clamp(target - loop->correction, kMaxCorrectionStep * base + far * std::fabs(error));
    loop->interval = base + loop->integral + loop->correction;
    *map = TimeMap{reached + error, reached, estPeriod, loop->interval / estPeriod,
                   (base + loop->integral) / estPeriod};
    return reached + loop->interval;
}

TimeMap beat_loop_map(BeatLoop* loop, double prevTick, double nextTick, double estPeriod, double estRef) {
    const double interval = nextTick - prevTick;
    const double error = beat_loop_grid_offset(prevTick, estPeriod, estRef);
    if (!loop->running || !same_tempo(estPeriod, loop->basePeriod) || !(interval > 0.0) ||
        std::fabs(error) > kJumpPhaseShare * estPeriod) {
        loop->running = false;
        return TimeMap{};
    }
    return TimeMap{prevTick + error, prevTick, estPeriod, interval / estPeriod,
                   (loop->basePeriod + loop->integral) / estPeriod};
}

double beat_loop_bend(const BeatLoop* loop, double from, double left, double pace, double nextTick,
                      double estPeriod, double estRef) {
    const double error = beat_loop_grid_offset(nextTick, estPeriod, estRef);
    if (!loop->running || !same_tempo(estPeriod, loop->basePeriod) ||
        std::fabs(error) > kJumpPhaseShare * estPeriod || std::fabs(error) < kBendDeadShare * estPeriod ||
        !(left > 0.0 && left <= 1.0) || !(pace > 0.0) || !(nextTick > from))
        return nextTick;
    const double wanted = (nextTick + error - from) / left;
    const double bent =
        std::fmin(pace * (1.0 + kMaxBendShare), std::fmax(pace * (1.0 - kMaxBendShare), wanted));
    const double end = from + bent * left;
    return std::isfinite(end) && end > from ? end : nextTick;
}
