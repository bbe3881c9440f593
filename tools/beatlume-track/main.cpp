/* beatlume-track: tracks the meter (tatum, beat, bar) of a sound file and writes the ticks.
 *
 * Exit status: 0 on success, 1 when an output file cannot be written, 2 for a usage error or
 * an input file that is missing, unreadable or in an unsupported format.
 */
#include "audio_source.h"
#include "offline_tracking.h"
#include "track_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr unsigned int trackerRate = 44100;

enum class Mode { Offline };

struct Options {
    Mode mode = Mode::Offline;
    std::string input;
    std::string dump, beats, downbeats, tatums, estimates;
};

void printHelp() {
    std::printf("Usage: beatlume-track FILE [--offline] [options]\n"
                "\n"
                "Tracks the musical meter of a sound file: the tatum (fastest regular pulse), the beat and\n"
                "the bar. Reads anything libsndfile reads (WAV, AIFF, FLAC, Ogg, ...), mixes all channels\n"
                "to mono, resamples to 44100 Hz when needed and feeds the tracker in blocks of 128 samples,\n"
                "as live audio would arrive. One analysis step runs every half second of audio.\n"
                "\n"
                "Modes:\n"
                "  --offline          the meter tracker alone, as fast as it runs (currently the only\n"
                "                     mode, and the default)\n"
                "\n"
                "Outputs (each optional; times in seconds from the start of the file):\n"
                "  --beats FILE       beat times, one per line\n"
                "  --downbeats FILE   bar starts (downbeats), one per line\n"
                "  --tatums FILE      tatum times, one per line\n"
                "  --estimates FILE   one tab-separated row per analysis step after a header line:\n"
                "                     audio_s (audio analysed when the step completed), tatum, beat and\n"
                "                     bar periods, the latest tatum, beat and bar tick times, beatyness\n"
                "                     (mean beat likelihood, compares steps of one piece)\n"
                "  --dump FILE        the tracker's meter dump: \"3\", then for tatum, beat and bar the\n"
                "                     tick count and the ticks\n"
                "  -h, --help         this text\n"
                "\n"
                "A summary (duration, analysis steps, final tempo in BPM and bar length in beats) goes to\n"
                "standard output. A silent file is no error: the summary says that no tempo was found and\n"
                "the tick files stay empty.\n"
                "\n"
                "Exit status: 0 success, 1 an output file cannot be written, 2 usage error or an input\n"
                "file that is missing, unreadable or in an unsupported format.\n");
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
    return true;
}

// Creates (truncates) every requested output file up front, so that a long run does not end
// in an unwritable path.
bool outputsWritable(Options const& options) {
    for (std::string const* path :
         {&options.dump, &options.beats, &options.downbeats, &options.tatums, &options.estimates}) {
        if (path->empty())
            continue;
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

    AudioSource source;
    std::string error;
    if (!source.open(options.input, trackerRate, error)) {
        std::fprintf(stderr, "beatlume-track: cannot read %s: %s\n", options.input.c_str(), error.c_str());
        return 2;
    }
    if (!outputsWritable(options))
        return 1;

    TrackResult result;
    switch (options.mode) {
    case Mode::Offline:
        result = trackOffline(source, options.dump);
        break;
    }
    if (!source.readError().empty())
        std::fprintf(stderr, "beatlume-track: %s: read error after %.2f s: %s\n", options.input.c_str(),
                     result.seconds, source.readError().c_str());

    std::string name = options.input;
    if (auto const slash = name.find_last_of('/'); slash != std::string::npos)
        name = name.substr(slash + 1);
    printSummary(stdout, name, source, result);
    return writeOutputs(options, result) ? 0 : 1;
}
