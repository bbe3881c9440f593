#pragma once

#include "HeadlessOptions.h"

// Runs the engine without a window, as the command line asks: audio from a device, a file or
// the demo; MIDI to the chosen port; a status line on standard output a few times a second
// (one line each when standard output is not a terminal); engine messages to the log file.
// Returns the exit status: 0 after Ctrl+C or SIGTERM (MIDI Stop and note-offs sent first) or at
// the end of a file, 1 when the engine or the input cannot start, 2 for a bad port or device.
int runHeadless(const HeadlessOptions& options);

// Prints the audio inputs and MIDI ports (--list); the exit status.
int listDevices();
