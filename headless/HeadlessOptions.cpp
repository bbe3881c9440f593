#include "HeadlessOptions.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

bool parseNumber(const std::string& text, double low, double high, double& out) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value) || value < low || value > high)
        return false;
    out = value;
    return true;
}

bool parseSwitch(const std::string& text, bool& out) {
    if (text == "on" || text == "1" || text == "yes") {
        out = true;
        return true;
    }
    if (text == "off" || text == "0" || text == "no") {
        out = false;
        return true;
    }
    return false;
}

bool parseChannels(const std::string& text, std::vector<int>& out) {
    out.clear();
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        double channel = 0;
        if (!parseNumber(item, 1, 1024, channel) || channel != std::floor(channel))
            return false;
        out.push_back(static_cast<int>(channel));
    }
    return !out.empty();
}

} // namespace

bool tempoRangeMedians(int range, double medians[3]) {
    static const double table[3][3] = {{2.1, 0.55, 0.18},
                                       {1.5, 0.42857142857142855, 0.12244897959183673},
                                       {2.6246719160104988, 0.75, 0.21428571428571427}};
    if (range < 0 || range > 2)
        return false;
    for (int i = 0; i < 3; ++i)
        medians[i] = table[range][i];
    return true;
}

HeadlessOptions parseCommandLine(int argc, const char* const* argv) {
    HeadlessOptions o;
    bool headless = false, list = false;
    std::string refused;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            o.action = HeadlessOptions::Action::Help;
            return o;
        }
        if (arg == "--version") {
            o.action = HeadlessOptions::Action::Version;
            return o;
        }
        if (arg == "--headless") {
            headless = true;
            continue;
        }
        if (arg == "--list") {
            list = true;
            continue;
        }
        if (arg == "--link") {
            o.link = true;
            continue;
        }
        if (arg == "--demo") {
            o.demo = true;
            continue;
        }
        static const char* const valued[] = {"--input",      "--channels",    "--midi-port", "--file",
                                             "--clock",      "--notes",       "--phase",     "--anti-delay",
                                             "--tempo-range", "--half-life",  "--log",       "--osc",
                                             "--osc-bundles", "--osc-offset", "--link-offset"};
        bool known = false;
        for (const char* name : valued)
            known = known || arg == name;
        if (!known) {
            if (refused.empty())
                refused = "unknown option " + arg;
            continue;
        }
        if (i + 1 >= argc) {
            refused = arg + " needs a value";
            break;
        }
        const std::string value = argv[++i];
        bool ok = true;
        if (arg == "--input")
            o.input = value;
        else if (arg == "--channels")
            ok = parseChannels(value, o.channels);
        else if (arg == "--midi-port")
            o.midiPort = value;
        else if (arg == "--file")
            o.file = value;
        else if (arg == "--clock")
            ok = parseSwitch(value, o.clock);
        else if (arg == "--notes")
            ok = parseSwitch(value, o.notes);
        else if (arg == "--phase")
            ok = parseSwitch(value, o.phase);
        else if (arg == "--anti-delay")
            ok = parseNumber(value, -1.0, 1.0, o.antiDelay);
        else if (arg == "--half-life")
            ok = parseNumber(value, 0.1, 60.0, o.halfLife);
        else if (arg == "--log")
            o.logFile = value;
        else if (arg == "--osc") {
            const size_t colon = value.rfind(':');
            double port = 0.0;
            ok = colon != std::string::npos && colon > 0 && parseNumber(value.substr(colon + 1), 1, 65535, port) &&
                 port == std::floor(port);
            o.oscHost = ok ? value.substr(0, colon) : std::string();
            o.oscPort = ok ? static_cast<int>(port) : 0;
        } else if (arg == "--osc-bundles")
            ok = parseSwitch(value, o.oscBundles);
        else if (arg == "--osc-offset")
            ok = parseNumber(value, -1.0, 1.0, o.oscOffset);
        else if (arg == "--link-offset")
            ok = parseNumber(value, -1.0, 1.0, o.linkOffset);
        else if (arg == "--tempo-range") {
            o.tempoRange = value == "medium" ? 0 : value == "fast" ? 1 : value == "slow" ? 2 : -1;
            ok = o.tempoRange >= 0;
        }
        if (!ok && refused.empty())
            refused = "bad value \"" + value + "\" for " + arg;
    }
    if (list)
        o.action = HeadlessOptions::Action::List;
    else if (headless)
        o.action = HeadlessOptions::Action::Headless;
    if (o.action != HeadlessOptions::Action::Window && !refused.empty()) {
        o.action = HeadlessOptions::Action::Error;
        o.error = refused;
    } else if (o.action == HeadlessOptions::Action::Headless && o.demo && !o.file.empty()) {
        o.action = HeadlessOptions::Action::Error;
        o.error = "--demo and --file exclude each other";
    }
    return o;
}

std::string usageText(const char* program) {
    std::string text = "Usage: ";
    text += program;
    text += R"( [--headless [options]] | --list | --help | --version

Tracks the meter of music in real time and sends it as MIDI (clock, notes, phase controllers).
Without --headless the window opens (it needs a display).

  --headless            run without a window; a status line shows tempo, bar.beat, state,
                        confidence and level; Ctrl+C or SIGTERM stops (MIDI Stop, notes off)
  --input NAME|N        audio input device by name or list position (default: the system's)
  --channels 1,2        input channels mixed to mono (default: the first)
  --file SONG           play a sound file (anything libsndfile reads) instead of a device
  --demo                play the built-in demo (a 120 BPM drum machine) instead of a device
  --midi-port NAME      MIDI output port by name or part of it (default: the engine's own)
  --clock on|off        MIDI clock (default on)
  --notes on|off        bar, beat and tatum notes (default on)
  --phase on|off        phase controllers 64 and 65 on channel 1 (default off)
  --anti-delay S        seconds the output runs ahead of the audio (default 0)
  --link                join the Ableton Link session on the network (tempo, bar phase, start/stop)
  --osc HOST:PORT       send OSC over UDP (/beatlume/bar, beat, tatum, tempo, phase, state)
  --osc-bundles on|off  time-tagged bundles (default on); off: bare messages when due
  --osc-offset S        seconds OSC runs ahead of the other outputs (default 0)
  --link-offset S       seconds Link runs ahead of the other outputs (default 0)
  --tempo-range R       medium (about 109 BPM, default), fast (140) or slow (80)
  --half-life S         how long the tracker remembers, in seconds (default 3)
  --log FILE            log file (default $XDG_STATE_HOME/beatlume/beatlume.log)
  --list                list the audio inputs and MIDI ports and exit
)";
    return text;
}
