#pragma once

#include <string>
#include <vector>

// What the command line asks of the program, for the window and for headless mode alike.
struct HeadlessOptions {
    enum class Action { Window, Headless, Help, Version, List, Error };
    Action action = Action::Window;
    std::string input;              // device name or list position; empty: the default input
    std::vector<int> channels;      // 1-based; empty: the first
    std::string midiPort;           // port name (or a part of it); empty: the engine's default
    std::string file;               // play this sound file instead of a device
    bool demo = false;              // play the demo instead of a device
    bool clock = true;              // MIDI clock
    bool notes = true;              // bar/beat/tatum notes
    bool phase = false;             // phase controllers (64, 65: sustain and portamento on a synthesiser)
    double antiDelay = 0.0;         // seconds the output leads the audio
    bool link = false;              // join the Ableton Link session
    std::string oscHost;            // OSC destination; empty: no OSC
    int oscPort = 0;
    bool oscBundles = true;         // time-tagged bundles, else bare messages
    double linkOffset = 0.0;        // seconds Link / OSC run ahead of the other outputs
    double oscOffset = 0.0;
    int tempoRange = 0;             // 0 about 109 BPM, 1 about 140, 2 about 80 (the window's button)
    double halfLife = 3.0;          // seconds
    std::string logFile;            // empty: the default place
    std::string error;              // why the command line was refused
};

// Reads the program's arguments. Headless mode and --help, --version and --list are decided here,
// before any GUI toolkit starts; without --headless every other argument is left to the window.
HeadlessOptions parseCommandLine(int argc, const char* const* argv);

// The --help text.
std::string usageText(const char* program);

// Prior medians (bar, beat, tatum in seconds) of a tempo range; false for an unknown one.
bool tempoRangeMedians(int range, double medians[3]);
