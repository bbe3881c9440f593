/* MIDI output: one output port of the system (through RtMidi) or a capture sink that records what
 * would have been sent, for tests and tools.
 *
 * Sends come from the timer thread and from the GUI thread at the same time; port changes come from
 * the GUI thread only. A send never throws and never ends the program: an error of the MIDI service
 * (a device unplugged) is logged at level 3 and the send is dropped.
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

/* Creates a capture sink: one port named "Capture" (closed until opened like a real one) that records
 * every message sent while open, with the time of `gettime(udata)` at the send (0 when gettime is
 * null), into a buffer of `capacity` entries allocated here. The send path never allocates; once the
 * buffer is full further messages are counted as overflow, not stored. Null when capacity is 0 or
 * allocation fails. */
MidiOut_t* midioutput_init_capture(size_t capacity, lc_gettime_fn gettime, void* udata);

/* Closes the port if one is open and frees everything. Null is ignored. */
void midioutput_free(MidiOut_t* m);

/* Opens port `port` (negative: port 0) with the port name "RtMidi Output", closing the open one first.
 * Prints "midioutput: opening port %d: %s\n" to standard output. 0 on success; 1 after printing
 * "Could not open midi output: %s\n" when the port does not exist or cannot be opened (then no port
 * is open). GUI thread. */
int midioutput_open(MidiOut_t* m, int port);

/* Logs "midioutput: closing port" and closes the open port; later sends are skipped. GUI thread. */
void midioutput_close(MidiOut_t* m);

/* Index of the open port; -1 while none is open. */
int midioutput_open_port(const MidiOut_t* m);

/* Enumerates the ports again (logging "MIDI out#%d: %s" at level 1 each) and replaces the port-name
 * array; the open port stays open. Returns the number of ports. GUI thread. */
int midioutput_reinitialize_devices(MidiOut_t* m);

/* Names of the ports found at the last enumeration, in port order, followed by null. Owned by `m`,
 * valid until the next enumeration or midioutput_free. */
char** midioutput_port_names(const MidiOut_t* m);
int midioutput_port_count(const MidiOut_t* m);

/* Sends. TIMER THREAD and GUI thread: no allocation, no I/O except the level-3 log line on a send
 * error, no throw. Skipped while no port is open. Channel is masked to 4 bits (17 -> 1), data bytes
 * are the low 8 bits of the arguments. */
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
#endif

#endif
