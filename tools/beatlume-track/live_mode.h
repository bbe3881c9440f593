/* The default mode: the live engine in virtual time.
 *
 * The file is played into a Lumacore engine without threads as the capture stream would deliver
 * it: blocks of 128 frames enter lc_process_audio at their stream times, the analysis runs on
 * each block as soon as it is complete, and the timer runs one pass at every millisecond of
 * virtual time, with the MIDI clock, the bar/beat/tatum notes and the phase controllers on. What
 * the engine sends is recorded: beats, downbeats and tatums are the times of the note-ons of
 * notes 65, 64 and 66, i.e. when the engine plays them. The OSC and Link outputs can record
 * what they would send, from the same event stream. Much faster than real time.
 */
#ifndef BEATLUME_TRACK_LIVE_MODE_H
#define BEATLUME_TRACK_LIVE_MODE_H

#include "audio_source.h"
#include "track_result.h"

#include <string>

struct LiveOptions {
    double antiDelay = 0.0; // seconds the engine's output leads the audio
    double halfLife = 3.0;  // resonator half-life in seconds (the program's start value)
    int tempoRange = 0;     // prior medians of the main window's tempo button: 0, 1 or 2
    std::string clock;      // every MIDI Clock: one time per line
    std::string events;     // every MIDI message: time, bytes in hex (TSV)
    std::string tempo;      // every accepted estimate: time, BPM, bar length in beats (TSV)
    std::string confidence; // every half second: time, confidence, state, the beat and bar grids (TSV)
    std::string oscOut;     // every OSC message: time, address, type tags, values (TSV)
    std::string linkOut;    // every Link timeline commit: time, tempo, beat, phase, quantum, playing (TSV)
};

// Prior medians (bar, beat, tatum in seconds) of tempo range 0 (about 109 BPM), 1 (140), 2 (80).
bool tempoRangeMedians(int range, double medians[3]);

// Runs the file through the engine. Returns false (with a one-line reason in error) when the
// engine cannot be created or an output file cannot be written; the result is then partial.
bool trackLive(AudioSource& source, LiveOptions const& options, TrackResult& result, std::string& error);

#endif
