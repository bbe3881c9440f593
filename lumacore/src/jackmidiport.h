/* Beatlume's own JACK MIDI output port, written in the JACK process callback at each event's
 * frame inside the period.
 *
 * Stream time and frame offsets count the same frames: the audio thread notes, for each JACK
 * cycle, the stream time of the block it hands to the engine (jackmidiport_note_block), which
 * ties the stream's time line to JACK's frame time. The tie is kept steady (frame_tie.h): a
 * capture callback that runs late moves no event by a period, and a lasting change (a cycle the
 * capture missed) is followed smoothly. The process callback turns each queued event's stream time into a
 * frame through that tie and writes the events due in its period at their offsets, in queue
 * order; an event whose frame has passed goes out at the start of the period (counted as late).
 * Where the audio does not come through the same JACK server, the tie follows the average of the
 * cycles the audio thread saw, so the events' spacing stays even while their place is only as
 * good as the audio thread's timing.
 *
 * Threads: the timer pass fills the event queue (single producer), other threads send
 * immediately through a second queue (taking turns on a short lock), the JACK process thread
 * drains both; opening, checking and closing are for the GUI thread. Without JACK at build time every
 * function is a stub and jackmidiport_open returns null. */
#ifndef LUMACORE_JACKMIDIPORT_H
#define LUMACORE_JACKMIDIPORT_H

#include <string>
#include <vector>

struct EventOutput_t;
struct JackMidiPort_t;

/* Joins the running JACK server (never starts one) as client `clientName` with one MIDI output
   port `portName`, and activates it. Null when no server answers. GUI thread. */
JackMidiPort_t* jackmidiport_open(const char* clientName, const char* portName);
/* Deactivates and leaves the server, then frees everything. Null is ignored. GUI thread. */
void jackmidiport_close(JackMidiPort_t* p);

/* Keeps the port joined to a JACK server, the GUI thread's part: once the server has gone, the
   client is closed (logged as an error) and the port sends nothing; with `mayJoin`, one attempt
   to join a server that answers again, under the same names (logged). Every client of a gone
   server must be closed before any client of this process tries to join one: the JACK library
   does not survive it otherwise, hence `mayJoin`. 1 while the port is lost, else 0. */
int jackmidiport_check(JackMidiPort_t* p, int mayJoin);

/* Full names of the server's MIDI input ports (other programs' ports this one could feed), in the
   server's order, read through this port's own client, so that listing them opens no other
   client; empty while the server is gone. GUI thread. */
std::vector<std::string> jackmidiport_midi_inputs(JackMidiPort_t* p);

/* The port's full name, "client:port", as other programs see it. */
const char* jackmidiport_name(const JackMidiPort_t* p);

/* AUDIO THREAD, inside a JACK cycle: the block handed to the engine now starts at stream time
   `streamTime`. Only the first call of each cycle counts; a non-finite time is ignored. No
   allocation, lock, I/O or throw. */
void jackmidiport_note_block(JackMidiPort_t* p, double streamTime);

/* The port's end of the event stream: MIDI events go into its queue with their times. */
EventOutput_t* jackmidiport_event_output(JackMidiPort_t* p);

/* Any thread but the timer's: sends at the start of the next period. 0 when queued. */
int jackmidiport_send_now(JackMidiPort_t* p, const unsigned char* bytes, int size);

/* Events written after their frame had passed, and events lost (queue or period buffer full). */
unsigned long jackmidiport_late(const JackMidiPort_t* p);
unsigned long jackmidiport_lost(const JackMidiPort_t* p);

#endif
