/* MIDI output: one output port of the system (through RtMidi) or a capture sink that records what
 * would have been sent, for tests and tools.
 *
 * One writer: only the output's own sender thread touches the port. Timed messages of the event
 * stream arrive through a single-producer queue filled by the timer pass and leave at their
 * stream time; immediate sends of other threads arrive through a second queue. Port changes (GUI thread) only ever
 * make the sender thread wait, never the producer. A capture sink records at once instead. A
 * send never throws and never ends the program: an error of the MIDI service (a device
 * unplugged) is logged at level 3 and the message is dropped.
 *
 * C-compatible; the structure is opaque. */
#ifndef LUMACORE_MIDIOUTPUT_H
#define LUMACORE_MIDIOUTPUT_H

#include <stddef.h>

#include "sequencer.h" /* lc_gettime_fn */

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MidiOut_t MidiOut_t;

/* Creates the port object (client name "RtMidi Output Client") on the platform's default MIDI API,
 * falling back to every other compiled API when the default yields no port object or no ports (e.g.
 * JACK where the ALSA sequencer is absent). Logs "MIDI out#%d: %s" at level 1 for every port. Null,
 * with "Midi output initialization failed" or "No MIDI ports" at level 3, when no API offers a port.
 * No port is open yet. */
MidiOut_t* midioutput_init(void);

struct JackMidiPort_t;
/* Like midioutput_init, but with Beatlume's own port listed first (index 0): `own`, a JACK MIDI
 * port that stays the caller's, or without one a virtual port named "Beatlume" of the MIDI service
 * (ALSA sequencer, CoreMIDI) where it offers them. The system's ports follow. Succeeds without any
 * system port; null only when neither an own port nor any MIDI service exists. Where the system's
 * ports are JACK's, the own port's client lists them and RtMidi's JACK client ("RtMidi Output
 * Client") joins the server only while one of them is open. */
MidiOut_t* midioutput_init_own(struct JackMidiPort_t* own);

/* Creates a capture sink: one port named "Capture" (closed until opened like a real one) that records
 * every message sent while open, with the time of `gettime(udata)` at an immediate send (0 when
 * gettime is null) or the event's own time when it comes through the event stream, into a buffer of `capacity` entries allocated here. The send path never allocates; once the
 * buffer is full further messages are counted as overflow, not stored. Null when capacity is 0 or
 * allocation fails. */
MidiOut_t* midioutput_init_capture(size_t capacity, lc_gettime_fn gettime, void* udata);

/* Closes the port if one is open and frees everything. Null is ignored. */
void midioutput_free(MidiOut_t* m);

/* Opens port `port` (negative: port 0) with the port name "RtMidi Output", closing the open one first.
 * Logs "midioutput: opening port %d: %s" at level 0. 0 on success; 1 after logging "Could not open
 * midi output: %s" at level 3 when the port does not exist or cannot be opened (then no port is
 * open). GUI thread. */
int midioutput_open(MidiOut_t* m, int port);

/* Logs "midioutput: closing port" and closes the open port; later sends are skipped. GUI thread. */
void midioutput_close(MidiOut_t* m);

/* 1 while RtMidi's JACK client is open (the system's ports are a JACK server's, reached through
   it), else 0. */
int midioutput_uses_jack(const MidiOut_t* m);

/* Changes whenever a port is opened or closed. Any thread. */
unsigned midioutput_port_generation(const MidiOut_t* m);

/* Index of the open port; -1 while none is open. */
int midioutput_open_port(const MidiOut_t* m);

/* Enumerates the ports again (logging "MIDI out#%d: %s" at level 1 each) and replaces the port-name
 * array; the open port stays open. Returns the number of ports. GUI thread. */
int midioutput_reinitialize_devices(MidiOut_t* m);

/* Names of the ports found at the last enumeration, in port order, followed by null. Owned by `m`,
 * valid until the next enumeration or midioutput_free. */
char** midioutput_port_names(const MidiOut_t* m);
int midioutput_port_count(const MidiOut_t* m);

/* Time source of the sender thread (stream seconds), against which queued messages are timed.
 * Without one every message leaves at once. Set it before messages flow. */
void midioutput_set_clock(MidiOut_t* m, lc_gettime_fn gettime, void* udata);

/* Waits until the sender thread has sent (or dropped) everything queued so far, sending it without
 * waiting for its time; at most `timeoutSeconds`. 0 when the queue emptied. Not on the producer
 * thread while it produces; returns at once for a capture sink. */
int midioutput_flush(MidiOut_t* m, double timeoutSeconds);

/* Messages handed to the sender thread that it did not send: the queue was full or no port was
 * open when their time came. */
unsigned long midioutput_dropped(const MidiOut_t* m);

/* Immediate sends from threads other than the timer's: queued for the sender thread, which sends
 * them ahead of timed events (a capture sink records them with the time source's reading).
 * Callers take turns on a short lock; no allocation, I/O or throw. Not for the timer thread, whose
 * messages go through the event stream. Skipped while no port is open. Channel is masked to 4 bits (17 -> 1), data bytes are the low 8
 * bits of the arguments. */
void midioutput_send_msg(MidiOut_t* m, const unsigned char* bytes, int size);
void midioutput_send_note_on(MidiOut_t* m, int channel, int note, int velocity);  /* 0x90|ch n v */
void midioutput_send_note_off(MidiOut_t* m, int channel, int note, int velocity); /* 0x80|ch n v */
void midioutput_send_ctrl(MidiOut_t* m, int channel, int controller, int value);  /* 0xB0|ch c v */
void midioutput_send_clock(MidiOut_t* m);                                         /* 0xF8 */
void midioutput_send_start(MidiOut_t* m);                                         /* 0xFA */
void midioutput_send_stop(MidiOut_t* m);                                          /* 0xFC */

/* ---- Capture sink read-out (tests and tools) ---- */

/* One recorded message: the first `size` bytes of `bytes` (a longer message keeps its first 3). */
typedef struct MidiCaptureEntry_t {
    double time;
    unsigned char bytes[3];
    unsigned char size;
} MidiCaptureEntry_t;

/* 1 for a capture sink, 0 for a real port object. */
int midioutput_is_capture(const MidiOut_t* m);

/* Number of recorded entries (at most the capacity). */
size_t midioutput_capture_count(const MidiOut_t* m);

/* Number of messages not recorded because the buffer was full. */
size_t midioutput_capture_overflow(const MidiOut_t* m);

/* Copies entry `index` (in the order in which sends claimed their entries) to `out`; 0 on success,
 * 1 when the index is out of range or the entry is still being written by a concurrent send. */
int midioutput_capture_get(const MidiOut_t* m, size_t index, MidiCaptureEntry_t* out);

/* Forgets every entry and the overflow count. Not concurrently with sends. */
void midioutput_capture_clear(MidiOut_t* m);

#ifdef __cplusplus
}

struct EventOutput_t;
/* The output's end of the event stream (see event_stream.h): MIDI events are queued for the
 * sender thread with their time (a capture sink records them with it), other kinds are ignored. */
EventOutput_t* midioutput_event_output(MidiOut_t* m);
#endif

#endif
