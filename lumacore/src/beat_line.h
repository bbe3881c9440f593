/* The beat as one straight line through the tracker's recent beat ticks.
 *
 * Each analysis step reports the latest beat tick, placed on that step's own accents: a drummer
 * who pushes and drags around a steady tempo moves it by tens of milliseconds, in waves of a few
 * bars, and a grid that takes each tick as it comes (even through a slow loop) swings with the
 * waves a beat or more later. While the ticks are explained by one tempo, a line fitted through
 * them (recent ticks weigh most) places the next beats better than any single tick: the waves
 * average out, and the period comes out of the same fit as the phase.
 *
 * The line starts afresh where its ticks are of no use: the tracker's period jumps (another
 * tempo or level) or stays a few per cent off the line's for some estimates (a short glitch of
 * the tracker's period keeps the line), or two ticks in a row lie off its grid (the tracker found
 * another phase); a single tick off the grid is left out. While the tracker's period drifts
 * (rubato, accelerando: the line lags behind, but a drummer's tracked tempo wobbles as much) the
 * grid lies halfway between the line's and the estimate's. The estimate goes through as it is
 * while the line's period disagrees with the tracker's, and until a few ticks have come in after
 * a fresh start.
 *
 * Where the tracker found the played attack of a held tick (mTracker_get_attack_near), the line
 * goes through the attack instead: the tracker places its ticks from the accents of the last
 * bars, smeared over frames, and they wander further than the hits themselves and lie a few
 * milliseconds off them.
 *
 * Pure computation, TIMER THREAD: no allocation, lock, I/O or throw. Times in stream seconds.
 */
#ifndef LUMACORE_BEAT_LINE_H
#define LUMACORE_BEAT_LINE_H

/* The played attacks of recent beat ticks, as the analysis found them for one estimate. */
struct BeatAttacks {
    static constexpr int kMax = 4;
    int count = 0;
    double tick[kMax] = {};   /* the tracker's beat tick */
    double attack[kMax] = {}; /* when its attack sounded */
};

struct BeatLine {
    static constexpr int kCapacity = 64;
    int count = 0;               /* ticks held, oldest first */
    double index[kCapacity] = {}; /* beat numbers, counted from the restart */
    double tick[kCapacity] = {};  /* the tracker's latest tick for each beat */
    double time[kCapacity] = {};  /* the point the line goes through: the attack, else the tick
                                     moved by the ticks' mean distance to their attacks */
    bool onAttack[kCapacity] = {}; /* time holds the tick's attack */
    static constexpr int kRecentPeriods = 9;
    double lastPeriod = 0.0;     /* the tracker's period at the previous estimate */
    int periodAway = 0;          /* estimates in a row whose period lies off the line's */
    double recentPeriods[kRecentPeriods] = {}; /* the tracker's periods at the latest estimates */
    int periodCursor = 0;        /* where the next one goes */
    bool haveStray = false;      /* a tick off the line's grid, waiting for a second one */
    double stray = 0.0;
    bool fitted = false;         /* slope and intercept (at the newest index) hold a line */
    double slope = 0.0, intercept = 0.0;
};

/* Takes the beat grid of a new estimate (the tracker's period and latest beat tick) and the
   attacks found for recent ticks (may be null), and writes the
   grid to predict from: the line's period and its grid point nearest `tick` when the line explains
   the recent ticks (halfway to the estimate's while the tracker's period drifts), else the
   estimate's own. Non-finite or non-positive input restarts the line
   and goes through unchanged. TIMER THREAD: no allocation, lock, I/O or throw. */
void beat_line_take(BeatLine* line, double period, double tick, const BeatAttacks* attacks, double* outPeriod,
                    double* outTick);

/* Forgets every tick (a jump the user or the music asked for). TIMER THREAD. */
void beat_line_restart(BeatLine* line);

#endif
