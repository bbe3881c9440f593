#include "beat_line.h"

#include <cmath>

namespace {

/* Recent ticks weigh most: a tick this many beats older counts half. Long enough to average a
   drummer's waves of a few bars, short enough to follow a slow drift of the tempo. */
constexpr double kHalfLifeBeats = 32.0;
/* A scatter this small (seconds) counts as this much: points exactly on a line get no infinite
   weight. */
constexpr double kScatterFloor = 0.0005;
/* Ticks before the line is trusted: fewer leave its slope to the ticks' own wobble. */
constexpr int kMinTicks = 4;
/* A tick this far (share of the period) from the line's grid is off it. */
constexpr double kOffGrid = 0.1;
/* A tick this close (share of the period) to the newest one is a new estimate of the same beat. */
constexpr double kSameTick = 0.25;
/* The tracker's period moving by more than this from one estimate to the next, or away from the
   line's, is a change of tempo or level: the ticks before it are of no use. */
constexpr double kPeriodStep = 0.03;
/* A step away from the line's period smaller than this is as often a glitch of the tracker's
   period (a few per cent, taken back by the next estimates) as a change of tempo: the line keeps
   its ticks until the period has stayed away for kStepPersists estimates in a row. A restart
   costs the opening's seconds again, where the estimate goes through as it is. */
constexpr double kGlitchStep = 0.08;
constexpr int kStepPersists = 3;
/* Within the last few estimates (4 s) the tracker's period has moved by more than this: the tempo
   drifts or the music speeds up, and a line through the ticks of the last bars would lag behind.
   A drummer's tempo around a click moves by less than 1 % in most 4 s stretches, a rubato by
   2 % or more. */
constexpr double kPeriodDrift = 0.02;
/* While the tracker's period drifts, the grid lies halfway between the line's and the estimate's:
   measured two beats ahead, the line misses a drummer's click by less than the estimate does
   (it averages the waves of the last bars; the estimate's period glitches) and a rubato's beat
   by more (it lags), and their mean misses both by less than either alone. */
constexpr double kLineShareWhileDrifting = 0.5;
/* The line's period must lie this close to the tracker's to be used. */
constexpr double kPeriodAgreement = 0.02;

void start_at(BeatLine* line, double tick) {
    line->count = 1;
    line->index[0] = 0.0;
    line->tick[0] = line->time[0] = tick;
    line->onAttack[0] = false;
    line->haveStray = false;
    line->fitted = false;
}

/* Records the tracker's period; true when it moved by more than kPeriodDrift within the periods
   recorded. */
bool period_drifts(BeatLine* line, double period) {
    line->recentPeriods[line->periodCursor] = period;
    line->periodCursor = (line->periodCursor + 1) % BeatLine::kRecentPeriods;
    bool drifts = false;
    for (double recent : line->recentPeriods)
        drifts = drifts || (recent > 0.0 && std::fabs(period / recent - 1.0) > kPeriodDrift);
    return drifts;
}

void append(BeatLine* line, double index, double tick) {
    if (line->count == BeatLine::kCapacity) {
        for (int i = 1; i < line->count; ++i) {
            line->index[i - 1] = line->index[i];
            line->tick[i - 1] = line->tick[i];
            line->time[i - 1] = line->time[i];
            line->onAttack[i - 1] = line->onAttack[i];
        }
        --line->count;
    }
    line->index[line->count] = index;
    line->tick[line->count] = line->time[line->count] = tick;
    line->onAttack[line->count] = false;
    ++line->count;
}

/* Ticks without an attack yet (the newest, whose hit may not have been heard whole) move by the
   mean distance from the held ticks to their attacks: the tracker places its ticks a few
   milliseconds off the hits. Returns the number of attacks held. */
int place_ticks_without_attack(BeatLine* line) {
    double lag = 0.0;
    int attacks = 0;
    for (int i = 0; i < line->count; ++i)
        if (line->onAttack[i]) {
            lag += line->time[i] - line->tick[i];
            ++attacks;
        }
    lag = attacks > 0 ? lag / attacks : 0.0;
    for (int i = 0; i < line->count; ++i)
        if (!line->onAttack[i])
            line->time[i] = line->tick[i] + lag;
    return attacks;
}

/* Weighted least squares through the held beats at the points `y`, each of weight `decay` (left
   out where attacksOnly and the beat has no attack): slope, intercept at the newest index and the
   weighted RMS of the points around the line. False when no line fits. */
bool fit_points(const BeatLine* line, const double* y, const double* decay, bool attacksOnly, double* slope,
                double* intercept, double* scatter) {
    const double newest = line->index[line->count - 1];
    double weight[BeatLine::kCapacity];
    double sw = 0.0, sx = 0.0, sy = 0.0;
    for (int i = 0; i < line->count; ++i) {
        const double w = weight[i] = attacksOnly && !line->onAttack[i] ? 0.0 : decay[i];
        sw += w;
        sx += w * (line->index[i] - newest);
        sy += w * y[i];
    }
    const double mx = sx / sw, my = sy / sw;
    double sxx = 0.0, sxy = 0.0;
    for (int i = 0; i < line->count; ++i) {
        const double dx = line->index[i] - newest - mx;
        sxx += weight[i] * dx * dx;
        sxy += weight[i] * dx * (y[i] - my);
    }
    if (!(sxx > 0.0))
        return false;
    *slope = sxy / sxx;
    *intercept = my - *slope * mx;
    double squares = 0.0;
    for (int i = 0; i < line->count; ++i) {
        const double miss = y[i] - (*intercept + *slope * (line->index[i] - newest));
        squares += weight[i] * miss * miss;
    }
    *scatter = std::sqrt(squares / sw);
    return std::isfinite(*slope) && std::isfinite(*intercept) && *slope > 0.0;
}

/* Two lines, one through the attacks alone (until a few are held, through the ticks moved onto
   them), one through the ticks alone, averaged with the inverse of each one's squared scatter as
   its weight. The newest tick, whose hit has not been heard whole, stays out of the first: its
   own wobble would move the grid at every estimate, the Clock's intervals with it. A drum
   hit's attack is sharper than the tracker's tick, which the accents of whole bars place, but
   the attack of an arpeggio's or a pad's note is found a few milliseconds apart from one note to
   the next, and a line through such points would move the Clock with every estimate. The
   weights change as smoothly as the scatters: the grid never jumps from one line to the other. */
void fit(BeatLine* line) {
    line->fitted = false;
    if (line->count < kMinTicks)
        return;
    const int attacks = place_ticks_without_attack(line);
    /* Recent beats weigh most, in both lines. */
    double decay[BeatLine::kCapacity];
    const double newest = line->index[line->count - 1];
    for (int i = 0; i < line->count; ++i)
        decay[i] = std::exp2((line->index[i] - newest) / kHalfLifeBeats);
    double slope = 0.0, intercept = 0.0, scatter = 0.0, tickSlope = 0.0, tickIntercept = 0.0, tickScatter = 0.0;
    const bool onAttacks =
        fit_points(line, line->time, decay, attacks >= kMinTicks, &slope, &intercept, &scatter);
    const bool onTicks = fit_points(line, line->tick, decay, false, &tickSlope, &tickIntercept, &tickScatter);
    if (onAttacks && onTicks) {
        const double wa = 1.0 / (scatter * scatter + kScatterFloor * kScatterFloor);
        const double wt = 1.0 / (tickScatter * tickScatter + kScatterFloor * kScatterFloor);
        slope = (wa * slope + wt * tickSlope) / (wa + wt);
        intercept = (wa * intercept + wt * tickIntercept) / (wa + wt);
    } else if (onTicks) {
        slope = tickSlope;
        intercept = tickIntercept;
    }
    line->fitted = onAttacks || onTicks;
    line->slope = slope;
    line->intercept = intercept;
}

double grid_share(double distance, double period) {
    const double x = distance / period;
    return std::fabs(x - std::round(x));
}

/* A tick off the line's grid: kept aside; a second one on the first one's grid restarts the line
   there (the tracker has moved to another phase). */
void take_stray(BeatLine* line, double tick, double period) {
    if (line->haveStray && grid_share(tick - line->stray, period) < kOffGrid) {
        const double beats = std::round((tick - line->stray) / period);
        const double first = line->stray;
        start_at(line, first);
        if (beats >= 1.0)
            append(line, beats, tick);
        else
            line->tick[0] = line->time[0] = tick;
        return;
    }
    line->haveStray = true;
    line->stray = tick;
}

/* True when the tracker's period has left the line's: a step too large for a glitch, or one that
   persisted. Before the line is fitted, against the period of the previous estimate. */
bool period_left_line(BeatLine* line, double period) {
    const double previous = line->lastPeriod;
    line->lastPeriod = period;
    if (!line->fitted) {
        line->periodAway = 0;
        return previous > 0.0 && std::fabs(period / previous - 1.0) > kPeriodStep;
    }
    const double step = std::fabs(period / line->slope - 1.0);
    if (step <= kPeriodStep) {
        line->periodAway = 0;
        return false;
    }
    return step > kGlitchStep || ++line->periodAway >= kStepPersists;
}

void take_tick(BeatLine* line, double period, double tick) {
    if (period_left_line(line, period) || line->count == 0) {
        line->periodAway = 0;
        start_at(line, tick);
        return;
    }
    const int newest = line->count - 1;
    const double newestTime = line->tick[newest];
    const double newestIndex = line->index[newest];
    if (std::fabs(tick - newestTime) < kSameTick * period) {
        line->tick[newest] = tick;
        if (!line->onAttack[newest])
            line->time[newest] = tick;
        return;
    }
    const double beats = std::round((tick - newestTime) / period);
    double offLine = 0.0;
    if (line->fitted)
        offLine = (tick - (line->intercept + line->slope * beats)) / period;
    if (beats < 1.0 || grid_share(tick - newestTime, period) > kOffGrid || std::fabs(offLine) > kOffGrid) {
        take_stray(line, tick, period);
        return;
    }
    line->haveStray = false;
    append(line, newestIndex + beats, tick);
}

/* The line goes through each attack instead of the held tick it belongs to (the nearest, within
   kSameTick of the period). An attack further than kOffGrid from the tick is another hit: a
   fill, a flam, a push that is not the beat. */
void take_attacks(BeatLine* line, double period, const BeatAttacks* attacks) {
    for (int a = 0; attacks && a < attacks->count && a < BeatAttacks::kMax; ++a) {
        const double attack = attacks->attack[a];
        if (!std::isfinite(attack) || std::fabs(attack - attacks->tick[a]) > kOffGrid * period)
            continue;
        for (int i = line->count - 1; i >= 0; --i)
            if (std::fabs(line->tick[i] - attacks->tick[a]) < kSameTick * period) {
                line->time[i] = attack;
                line->onAttack[i] = true;
                break;
            }
    }
}

} // namespace

void beat_line_restart(BeatLine* line) {
    *line = BeatLine{};
}

void beat_line_take(BeatLine* line, double period, double tick, const BeatAttacks* attacks, double* outPeriod,
                    double* outTick) {
    *outPeriod = period;
    *outTick = tick;
    if (!(period > 0.0) || !std::isfinite(period) || !std::isfinite(tick)) {
        beat_line_restart(line);
        return;
    }
    const bool drifts = period_drifts(line, period);
    take_tick(line, period, tick);
    take_attacks(line, period, attacks);
    fit(line);
    if (!line->fitted || std::fabs(line->slope / period - 1.0) > kPeriodAgreement)
        return;
    const double onLine = line->intercept + std::round((tick - line->intercept) / line->slope) * line->slope;
    const double lineShare = drifts ? kLineShareWhileDrifting : 1.0;
    if (std::isfinite(onLine)) {
        *outPeriod = lineShare * line->slope + (1.0 - lineShare) * period;
        *outTick = lineShare * onLine + (1.0 - lineShare) * tick;
    }
}
