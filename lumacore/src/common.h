/* Shared pieces of the Lumacore engine: metrical levels, the creation status and logging.
 * C-compatible: the engine's interface is a set of free functions with unmangled names. */
#ifndef LUMACORE_COMMON_H
#define LUMACORE_COMMON_H

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Metrical levels; every per-level array and phase triple of the engine uses this order. */
typedef enum MeterLevelID {
    METERLEVEL_BAR = 0,
    METERLEVEL_BEAT = 1,
    METERLEVEL_TATUM = 2,
    METERLEVEL_COUNT = 3
} MeterLevelID;

/* What the engine makes of the music it hears (lc_get_tracking_state):
   searching   - music with a pulse, but the estimates are not yet consistent (confidence < 0.7);
   locked      - confidence >= 0.7;
   holding     - the music went away (silence, a break, a steady tone): the clock carries on at the
                 last good tempo and phase for a set number of bars;
   no evidence - nothing to follow, before any music or after holding ran out: no tempo is taken. */
typedef enum LcTrackingState {
    LC_TRACKING_SEARCHING = 0,
    LC_TRACKING_LOCKED = 1,
    LC_TRACKING_HOLDING = 2,
    LC_TRACKING_NO_EVIDENCE = 3
} LcTrackingState;

/* Log levels. */
enum { LC_LOG_PROGRESS = 0, LC_LOG_NOTICE = 1, LC_LOG_WARNING = 2, LC_LOG_ERROR = 3 };

/* Reasons recorded by a failed engine creation. */
enum { LC_STATUS_GENERAL = 1, LC_STATUS_NO_MIDI = 3 };

/* Reason of the last failed engine creation: 1 general failure, 3 no MIDI output; 0 until one fails. */
extern int LUMACORE_ERROR_STATUS;

/* Receives every engine log message: level, the installed user data, printf format and arguments.
 * A handler is called from every engine thread, including the audio thread (the drop message) and
 * the timer thread (MIDI send errors): it must be thread-safe, and a handler meant for live use
 * should not block. */
typedef void (*lc_logmsg_handler_fn)(int level, void* udata, const char* format, va_list args);

/* The installed handler (null: messages are discarded) and its user data. Read them freely; change
 * them only through lc_set_logmsg_handler, which publishes the pair safely to running threads. */
extern lc_logmsg_handler_fn lc_logmsg_handler;
extern void* lc_logmsg_handler_udata;

/* Installs a handler (null to silence the engine). Messages logged concurrently with the change go
 * either to the old or to the new handler; udata is published before the handler. */
void lc_set_logmsg_handler(lc_logmsg_handler_fn handler, void* udata);

/* Formats nothing itself: passes the message to the installed handler, if any. Safe on every
 * thread; on the audio thread it costs nothing beyond what the handler does. */
void lc_logmsg(int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* A ready handler: "Lumacore: " (" Warning" / " Error" after the name for levels 2 / 3), the
 * message and a line feed on standard error. Does I/O: not for the audio thread in live use. */
void lc_logmsg_stderr(int level, void* udata, const char* format, va_list args);

#ifdef __cplusplus
}
#endif

#endif
