/* The meter tracker's plain function interface.
 *
 * Callers (the engine, tools, any C program) reach the tracker only through an opaque
 * handle. All times and periods are seconds on the tracker's time line, which counts
 * seconds of audio handed to mTracker_add_data since the last reset; −1 before the
 * first analysis step. Level order in every argument list: tatum, beat, pattern (bar).
 *
 * The tracker has no locking: one thread at a time per handle. None of these functions
 * is meant for an audio callback — mTracker_add_data copies (and may allocate) and
 * mTracker_process runs a whole analysis step.
 */
#ifndef BEATLUME_MTRACKER_H
#define BEATLUME_MTRACKER_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mTrackerHandle mTrackerHandle;

/* New tracker for the given sample rate (44100 in the engine); the caller owns it. Null for a
   rate without front-end filters (44100, 32000, 22050, 16000 and 8000 Hz have them) or when
   memory runs out. */
mTrackerHandle* mTracker_init(unsigned int srate);
/* Receives the tracker's remarks (a level without any period, a failed step); without a
   handler they are dropped: the tracker never prints. Called on the thread calling the
   tracker. */
typedef void (*mTracker_message_fn)(void* udata, char const* message);
void mTracker_set_message_handler(mTrackerHandle* handle, mTracker_message_fn handler, void* udata);
/* Destroys the tracker; a null handle is ignored. */
void mTracker_close(mTrackerHandle* handle);
/* Forgets all audio, tracking state and ticks. */
void mTracker_reset(mTrackerHandle* handle);
/* Forgets all audio, tracking state and ticks as reset does, but times go on counting from the
   first sample: for the next piece after the music went away, which is then tracked as from a
   stream's start (a silence before it skipped but for its first 1.5 s). */
void mTracker_restart(mTrackerHandle* handle);
/* Appends count mono samples (copied). Non-finite samples are taken as 0. Returns 0, or −1 when
   the samples could not be taken in (memory ran out; a null handle): the tracker has then
   been reset and the message handler told. No exception leaves this or any other function. */
int mTracker_add_data(mTrackerHandle* handle, double* samples, unsigned int count);
/* Runs every analysis step the buffered audio allows: 1 when at least one new step
   was completed (new estimates and ticks), 0 when none was, −1 when a step failed (memory ran
   out): the tracker has then been reset and the message handler told. */
int mTracker_process(mTrackerHandle* handle);
/* The latest step's periods and phase (tick) times; −1 each before the first step. */
void mTracker_get_period_est(mTrackerHandle* handle, double* tatumPeriod, double* beatPeriod,
                             double* patternPeriod, double* tatumPhase, double* beatPhase,
                             double* patternPhase);
/* Per level: *n is the capacity on entry; the newest min(*n, length) ticks are copied,
   oldest first, the rest of the array is zeroed, and *n becomes the number copied. */
void mTracker_get_ticks(mTrackerHandle* handle, double* tatum, int* nTatum, double* beat, int* nBeat,
                        double* pattern, int* nPattern);
/* The played attack that belongs to a tick at `tick`: the time of the strongest rise of the
   spectrum (log-spectral flux, 2.9 ms hop, its peak interpolated) within halfWidth seconds of it
   (at most 0.5). −1 when the audio around the tick has not all come yet or lies more than about
   4 s back, when no rise there stands clearly above the rest, or for arguments out of range.
   Reads the audio afresh at each call (about fifty short transforms): not for an audio callback. */
double mTracker_get_attack_near(mTrackerHandle* handle, double tick, double halfWidth);
double mTracker_get_beatyness(mTrackerHandle* handle);
/* Medians of the period priors, used from the next analysis step on. */
void mTracker_change_myyValues(mTrackerHandle* handle, double patternMyy, double beatMyy, double tatumMyy);
/* Resonator half-life in seconds: the comb filters' memory and the salience's
   normalisation change together; the filters keep what they hold. Values that are not
   positive finite numbers are ignored. */
void mTracker_change_half_time(mTrackerHandle* handle, double halfLifeSeconds);
/* Writes the three tick lists to a text file; a null path does nothing. 0 when written (or
   nothing to do), −1 when the file could not be created or written completely. */
int mTracker_dump_metfile(mTrackerHandle* handle, char const* path);
/* Removes the analysis steps whose tatum phase lies before time t (the newest step is
   always kept), so that memory and the cost of a step stay flat in a long run.
   Returns 1 when rows were removed, else 0. */
int mTracker_flush_pulse_cache(mTrackerHandle* handle, double t);

/* How clearly the latest step's resonance salience shows a regular pulse among the periods from
   minPeriod to maxPeriod seconds: the largest salience there, the mean there, and the largest
   within 3 % of `period` (wherever it lies; each may be null). All 0, and the result 0, before
   the first step or for an empty range; else 1. Not for an audio callback. */
int mTracker_get_salience_summary(mTrackerHandle* handle, double minPeriod, double maxPeriod, double period,
                                  double* peak, double* mean, double* atPeriod);

#ifdef __cplusplus
}
#endif

#endif
