/* The sequencer: decouples the audio thread from the analysis.
 *
 * The audio entry copies every captured mono block into one ring of 16384 samples, without locking
 * or allocating, and wakes the consumers. Each consumer is called with every stretch of samples that
 * has arrived since its previous call, either on a thread of its own or, in manual mode, whenever its
 * owner calls sequencer_consume (tools that drive audio in virtual time).
 *
 * Time line of the consumers: every frame that reaches the audio entry, accepted or discarded, has a
 * stream-frame index counted from the first frame the sequencer ever received. The time handed to a
 * consumer is the stream-frame index of the first delivered sample divided by 44100. A delivery never
 * spans a discarded block: the stretch after a drop starts a new delivery, whose time has jumped
 * forward by the discarded duration, so a consumer can fill the gap (e.g. with zeros) and keep its own
 * time line on the stream's. A consumer added to a running sequencer receives only audio that arrives
 * after it was added; its first time is then not 0.
 *
 * Drop points are kept per consumer slot in a fixed record of SEQUENCER_DROP_RECORDS entries (no
 * allocation on the audio thread). If a slot's record is full (its consumer lags behind more drop
 * points than that), further blocks are discarded as if that consumer were out of ring space, with a
 * drop message, until the consumer catches up; the time line therefore never becomes wrong.
 *
 * C-compatible; the structure is opaque. */
#ifndef LUMACORE_SEQUENCER_H
#define LUMACORE_SEQUENCER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SEQUENCER_SAMPLE_RATE 44100
#define SEQUENCER_RING_LENGTH 16384
#define SEQUENCER_MAX_CONSUMERS 16
#define SEQUENCER_DROP_RECORDS 64

/* Current time of the capture stream in seconds since the stream started. Double precision: single
 * precision cannot tell milliseconds apart after a few hours. Called from the timer and GUI threads. */
typedef double (*lc_gettime_fn)(void* udata);

/* A consumer: `samples` points into the ring, `count` >= 1, `time` as described above. Return 0 to
 * go on; any other value ends the consumer. */
typedef int (*lc_audio_consumer_fn)(const float* samples, int count, void* udata, double time);

typedef struct Sequencer_t Sequencer_t;

/* Allocates a zeroed sequencer with its ring; null (and a level-3 message) on failure. */
Sequencer_t* init_sequencer(void);

/* Logs "sequencer started"; returns 0. */
int start_sequencer(Sequencer_t* seq);

/* Time bookkeeping at a stop of the capture stream. The stream itself belongs to the shell. */
void stop_sequencer(Sequencer_t* seq);

/* Frees the sequencer. Consumers still present are stopped first (with a level-2 message); the
 * capture stream must already be stopped. Null is ignored. */
void close_sequencer(Sequencer_t* seq);

/* Adds a consumer running on its own thread. 0 on success; 1 when no slot is free (all 16 in use)
 * or the thread cannot be created (or fn is null). Slots freed by sequencer_audio_cons_rem are reused. */
int sequencer_audio_cons_add(Sequencer_t* seq, lc_audio_consumer_fn fn, void* udata);

/* Adds a consumer without a thread: nothing is delivered until its owner calls sequencer_consume
 * with the returned slot. Returns the slot (0 .. 15), or -1 when no slot is free or fn is null. */
int sequencer_audio_cons_add_manual(Sequencer_t* seq, lc_audio_consumer_fn fn, void* udata);

/* Slot of the first active or ended (not yet removed) consumer with this callback and user data;
 * -1 when there is none. */
int sequencer_audio_cons_find(Sequencer_t* seq, lc_audio_consumer_fn fn, void* udata);

/* Stops (and joins the threads of) every consumer registered with exactly this callback and user
 * data; their slots become free. Not to be called from a consumer callback. */
void sequencer_audio_cons_rem(Sequencer_t* seq, lc_audio_consumer_fn fn, void* udata);

/* Delivers to the slot's consumer everything that had arrived when the call began, without waiting:
 * in several calls of the callback where the stretch wraps at the end of the ring or crosses a drop
 * point. Returns the number of samples delivered (0: nothing to read), or -1 when the slot holds no
 * active consumer, or when its callback returned non-zero (now or before; the value is logged and
 * the consumer has ended). This is the whole work of a consumer thread; call it yourself only for
 * manual slots (or for a threaded slot whose thread is stopped). */
long sequencer_consume(Sequencer_t* seq, int slot);

/* The audio entry. AUDIO THREAD: no allocation, no lock, no I/O except through the log handler, no
 * throw. Copies `frames` samples into the ring (in two pieces where they wrap at its end) and wakes
 * the consumers. A block is discarded for every consumer, with one message "Dropping audio,
 * processing thread %d too slow" per slow consumer, when it does not fit into some consumer's free
 * space (at most 16383 samples; blocks larger than that are always discarded, with "Dropping audio,
 * block of %lu samples is larger than the ring"). Blocks of 0 samples are accepted. Returns 1 when
 * the block was discarded, else 0. Null samples with frames > 0 are discarded; a non-finite
 * streamTime is replaced by the end time of the previous block. */
int sequencer_audio_cb(const float* samples, unsigned long frames, Sequencer_t* seq, double streamTime);

/* Installs the time source (may be changed while other threads read the time). */
void sequencer_register_gettime_cb(Sequencer_t* seq, void* udata, lc_gettime_fn fn);

/* The time source's current time; without a time source, the stream time at the end of the last
 * block received by the audio entry (0 before the first). Lock-free; timer and GUI threads. */
double LCSeq_get_current_time(Sequencer_t* seq);

/* Sleeps `ms` milliseconds. */
void LCSleep(unsigned int ms);

/* Read-outs for tools, tests and diagnostics (any thread). */
int sequencer_write_pos(const Sequencer_t* seq);           /* next ring index the entry writes */
int sequencer_read_pos(const Sequencer_t* seq, int slot);  /* next ring index the slot reads */
uint64_t sequencer_stream_frames(const Sequencer_t* seq);  /* frames received, kept or not */
uint64_t sequencer_dropped_frames(const Sequencer_t* seq); /* frames discarded */
const float* sequencer_ring(const Sequencer_t* seq);       /* the ring's 16384 samples */

#ifdef __cplusplus
}
#endif

#endif
