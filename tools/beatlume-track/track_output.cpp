#include "track_output.h"

#include <cmath>

namespace {

bool closeChecked(std::FILE* f) {
    bool const ok = std::ferror(f) == 0;
    return std::fclose(f) == 0 && ok;
}

} // namespace

bool writeTimes(std::string const& path, std::vector<double> const& times) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    for (double t : times)
        std::fprintf(f, "%.6f\n", t);
    return closeChecked(f);
}

bool writeEstimates(std::string const& path, std::vector<StepEstimate> const& steps) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    std::fprintf(f, "audio_s\ttatum_period_s\tbeat_period_s\tbar_period_s\ttatum_phase_s\tbeat_phase_s\t"
                    "bar_phase_s\tbeatyness\n");
    for (StepEstimate const& e : steps)
        std::fprintf(f, "%.6f\t%.6f\t%.6f\t%.6f\t%.6f\t%.6f\t%.6f\t%.6g\n", e.audioTime, e.tatumPeriod,
                     e.beatPeriod, e.barPeriod, e.tatumPhase, e.beatPhase, e.barPhase, e.beatyness);
    return closeChecked(f);
}

void printSummary(std::FILE* out, std::string const& name, AudioSource const& source,
                  TrackResult const& result) {
    std::fprintf(out, "%s: %.2f s of audio (%u channel%s at %u Hz", name.c_str(), result.seconds,
                 source.channels(), source.channels() == 1 ? "" : "s", source.fileRate());
    if (source.resampling())
        std::fprintf(out, ", resampled to %u Hz", source.outputRate());
    std::fprintf(out, "), %zu analysis step%s.", result.steps.size(), result.steps.size() == 1 ? "" : "s");
    if (result.steps.empty()) {
        std::fprintf(out, " The file is too short for one analysis step: no tempo was found.\n");
        return;
    }
    if (result.silent) {
        std::fprintf(out, " The file is silent: no tempo was found.\n");
        return;
    }
    StepEstimate const& last = result.steps.back();
    if (!(last.beatPeriod > 0.0)) {
        std::fprintf(out, " No tempo was found.\n");
        return;
    }
    std::fprintf(
        out,
        " Final tempo %.1f BPM (beat %.3f s), bar of %.2f beats (%.3f s), tatum %.3f s; %zu beats and %zu "
        "downbeats.\n",
        60.0 / last.beatPeriod, last.beatPeriod, last.barPeriod / last.beatPeriod, last.barPeriod,
        last.tatumPeriod, result.beats.size(), result.downbeats.size());
}
