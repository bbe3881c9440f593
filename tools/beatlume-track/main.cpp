/* beatlume-track: tracks the meter (tatum, beat, bar) of a sound file and writes the ticks.
 *
 * Exit status: 0 on success, 1 when an output file cannot be written, 2 for a usage error, an
 * output that names the input, or an input file that is missing, unreadable, cut short by a read
 * error or in an unsupported format.
 */
#include "audio_source.h"
#include "live_mode.h"
#include "offline_tracking.h"
#include "track_output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr unsigned int trackerRate = 44100;

enum class Mode { Live, Offline };

struct Options {
    Mode mode = Mode::Live;
    std::string input;
    std::string dump, beats, downbeats, tatums, estimates;
    LiveOptions live;
};

// A finite number in [low, high]; false after a message otherwise.
bool parseNumber(std::string const& option, char const* text, double low, double high, double& out) {
    char* end = nullptr;
    double const value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= low && value <= high)) {
        std::fprintf(stderr, "beatlume-track: %s needs a number from %g to %g, not \"%s\"\n", option.c_str(),
                     low, high, text);
        return false;
    }
    out = value;
    return true;
}

void printHelp() {
    std::printf("Usage: beatlume-track FILE [--offline] [options]\n"
                "\n"
                "Tracks the musical meter of a sound file: the tatum (fastest regular pulse), the beat and\n"
                "the bar. Reads anything libsndfile reads (WAV, AIFF, FLAC, Ogg, ...), mixes all channels\n"
                "to mono, resamples to 44100 Hz when needed and feeds the tracker in blocks of 128 samples,\n"
                "as live audio would arrive. One analysis step runs every half second of audio.\n"
                "\n"
                "Modes:\n"
                "  (default)          the live engine in virtual time: blocks of 128 frames enter the\n"
                "                     engine at their stream times, the analysis runs after each block\n"
                "                     and the 1 ms timer at every millisecond, with MIDI clock, notes\n"
                "                     and phase controllers on; the ticks are the times of the notes\n"
                "                     the engine sends (beat 65, bar 64, tatum 66). Faster than real time\n"
                "  --offline          the meter tracker alone, as fast as it runs; the ticks are its\n"
                "                     final tick lists\n"
                "\n"
                "Live mode settings:\n"
                "  --anti-delay SECONDS  the engine's output leads the audio by this much (default 0)\n"
                "  --half-life SECONDS   resonator half-life (default 3)\n"
                "  --tempo-range 0|1|2   prior tempo of the main window's tempo button: 0 about 109 BPM\n"
                "                        (default), 1 140 BPM, 2 80 BPM\n"
                "\n"
                "Outputs (each optional; times in seconds from the start of the file):\n"
                "  --beats FILE       beat times, one per line\n"
                "  --downbeats FILE   bar starts (downbeats), one per line\n"
                "  --tatums FILE      tatum times, one per line\n"
                "  --clock FILE       live: the time of every MIDI Clock, one per line\n"
                "  --events FILE      live: every MIDI message sent, time TAB bytes in hex\n"
                "  --tempo FILE       live: every estimate the engine took over, after a header line:\n"
                "                     time, BPM, bar length in beats (TSV)\n"
                "  --osc-out FILE     live: every OSC message the engine makes (as if OSC were on; nothing\n"
                "                     is sent), one line each: time (the moment it describes, its time\n"
                "                     tag), address, type tags, values (TSV), e.g. \"1.523810\t/beatlume/beat\n"
                "                     \ti\t2\"\n"
                "  --link-out FILE    live: every Ableton Link timeline commit (as if Link were on; no\n"
                "                     session is joined), one line each: time, tempo in BPM, beat number,\n"
                "                     phase (the beat's place in the bar), quantum (beats per bar),\n"
                "                     whether the session plays (1, 0) (TSV)\n"
                "  --confidence FILE  live: every half second after a header line: time, confidence\n"
                "                     (0-1), state (locked, searching, holding, no evidence), the beat\n"
                "                     and bar grids (period and a tick time) in force (TSV)\n"
                "  --estimates FILE   one tab-separated row per analysis step after a header line:\n"
                "                     audio_s (audio analysed when the step completed), tatum, beat and\n"
                "                     bar periods, the latest tatum, beat and bar tick times, beatyness\n"
                "                     (mean beat likelihood, compares steps of one piece)\n"
                "                     (live: one row per estimate taken over; beatyness is nan)\n"
                "  --dump FILE        offline: the tracker's meter dump: \"3\", then for tatum, beat and\n"
                "                     bar the tick count and the ticks\n"
                "  -h, --help         this text\n"
                "\n"
                "A summary (duration, analysis steps, final tempo in BPM and bar length in beats) goes to\n"
                "standard output. A silent file is no error: the summary says that no tempo was found and\n"
                "the tick files stay empty.\n"
                "\n"
                "Exit status: 0 success, 1 an output file cannot be written, 2 usage error, an output\n"
                "that names the input, or an input file that is missing, unreadable, cut short by a\n"
                "read error or in an unsupported format.\n");
}

// Fills options from the command line; false (after a message) for a usage error.
bool parseArguments(int argc, char** argv, Options& options, bool& help) {
    help = false;
    for (int i = 1; i < argc; ++i) {
        std::string const arg = argv[i];
        std::string* target = nullptr;
        if (arg == "-h" || arg == "--help") {
            help = true;
            return true;
        } else if (arg == "--offline") {
            options.mode = Mode::Offline;
            continue;
        } else if (arg == "--anti-delay" || arg == "--half-life" || arg == "--tempo-range") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "beatlume-track: %s needs a value\n", arg.c_str());
                return false;
            }
            char const* text = argv[++i];
            double range = 0.0;
            if (arg == "--anti-delay" && !parseNumber(arg, text, -1.0, 1.0, options.live.antiDelay))
                return false;
            if (arg == "--half-life" && !parseNumber(arg, text, 0.1, 60.0, options.live.halfLife))
                return false;
            if (arg == "--tempo-range") {
                if (!parseNumber(arg, text, 0, 2, range) || range != static_cast<int>(range)) {
                    std::fprintf(stderr, "beatlume-track: --tempo-range is 0, 1 or 2\n");
                    return false;
                }
                options.live.tempoRange = static_cast<int>(range);
            }
            continue;
        } else if (arg == "--clock") {
            target = &options.live.clock;
        } else if (arg == "--events") {
            target = &options.live.events;
        } else if (arg == "--tempo") {
            target = &options.live.tempo;
        } else if (arg == "--osc-out") {
            target = &options.live.oscOut;
        } else if (arg == "--link-out") {
            target = &options.live.linkOut;
        } else if (arg == "--confidence") {
            target = &options.live.confidence;
        } else if (arg == "--dump") {
            target = &options.dump;
        } else if (arg == "--beats") {
            target = &options.beats;
        } else if (arg == "--downbeats") {
            target = &options.downbeats;
        } else if (arg == "--tatums") {
            target = &options.tatums;
        } else if (arg == "--estimates") {
            target = &options.estimates;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "beatlume-track: unknown option %s (try --help)\n", arg.c_str());
            return false;
        } else {
            if (!options.input.empty()) {
                std::fprintf(stderr, "beatlume-track: more than one input file (try --help)\n");
                return false;
            }
            options.input = arg;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "beatlume-track: %s needs a file name\n", arg.c_str());
            return false;
        }
        *target = argv[++i];
    }
    if (options.input.empty()) {
        std::fprintf(stderr, "beatlume-track: no input file (try --help)\n");
        return false;
    }
    if (options.mode == Mode::Live && !options.dump.empty()) {
        std::fprintf(stderr, "beatlume-track: --dump needs --offline\n");
        return false;
    }
    return true;
}

std::vector<std::string const*> outputPaths(Options const& options) {
    std::vector<std::string const*> paths;
    for (std::string const* path :
         {&options.dump, &options.beats, &options.downbeats, &options.tatums, &options.estimates,
          &options.live.clock, &options.live.events, &options.live.tempo, &options.live.confidence,
          &options.live.oscOut, &options.live.linkOut})
        if (!path->empty())
            paths.push_back(path);
    return paths;
}

// An output that names the input (by any path or link) would be truncated before it is read.
bool outputsSpareTheInput(Options const& options) {
    struct stat input {};
    if (::stat(options.input.c_str(), &input) != 0)
        return true; // the input is not a file on disk; nothing to overwrite
    for (std::string const* path : outputPaths(options)) {
        struct stat output {};
        if (::stat(path->c_str(), &output) == 0 && output.st_dev == input.st_dev &&
            output.st_ino == input.st_ino) {
            std::fprintf(stderr, "beatlume-track: refusing to write over the input file %s\n", path->c_str());
            return false;
        }
    }
    return true;
}

// Creates (truncates) every requested output file up front, so that a long run does not end
// in an unwritable path.
bool outputsWritable(Options const& options) {
    for (std::string const* path : outputPaths(options)) {
        std::FILE* f = std::fopen(path->c_str(), "w");
        if (f == nullptr) {
            std::fprintf(stderr, "beatlume-track: cannot write %s: %s\n", path->c_str(),
                         std::strerror(errno));
            return false;
        }
        std::fclose(f);
    }
    return true;
}

bool writeOutputs(Options const& options, TrackResult const& result) {
    bool ok = true;
    auto const check = [&ok](bool written, std::string const& path) {
        if (!written) {
            std::fprintf(stderr, "beatlume-track: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
            ok = false;
        }
    };
    if (!options.beats.empty())
        check(writeTimes(options.beats, result.beats), options.beats);
    if (!options.downbeats.empty())
        check(writeTimes(options.downbeats, result.downbeats), options.downbeats);
    if (!options.tatums.empty())
        check(writeTimes(options.tatums, result.tatums), options.tatums);
    if (!options.estimates.empty())
        check(writeEstimates(options.estimates, result.steps), options.estimates);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    if (!parseArguments(argc, argv, options, help))
        return 2;
    if (help) {
        printHelp();
        return 0;
    }

    if (!outputsSpareTheInput(options))
        return 2;
    AudioSource source;
    std::string error;
    if (!source.open(options.input, trackerRate, error)) {
        std::fprintf(stderr, "beatlume-track: cannot read %s: %s\n", options.input.c_str(), error.c_str());
        return 2;
    }
    if (!outputsWritable(options))
        return 1;

    TrackResult result;
    bool dumped = true;
    switch (options.mode) {
    case Mode::Offline:
        result = trackOffline(source, options.dump, dumped);
        if (!dumped)
            std::fprintf(stderr, "beatlume-track: cannot write %s\n", options.dump.c_str());
        break;
    case Mode::Live:
        if (!trackLive(source, options.live, result, error)) {
            std::fprintf(stderr, "beatlume-track: %s\n", error.c_str());
            return 1;
        }
        break;
    }
    std::string name = options.input;
    if (auto const slash = name.find_last_of('/'); slash != std::string::npos)
        name = name.substr(slash + 1);
    printSummary(stdout, name, source, result);
    bool const written = writeOutputs(options, result) && dumped;
    // What was read is still tracked and written, but the file did not end where it should.
    if (!source.readError().empty()) {
        std::fprintf(stderr, "beatlume-track: %s: read error after %.2f s: %s\n", options.input.c_str(),
                     result.seconds, source.readError().c_str());
        return 2;
    }
    return written ? 0 : 1;
}
