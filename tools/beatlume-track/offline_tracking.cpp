#include "offline_tracking.h"

#include "mTracker.h"

#include <memory>

namespace {

constexpr unsigned int blockSize = 128; // the engine's audio block

// Tick times are on the tracker's accent time line, which already is the audio's time
// line: the front end removes its envelope delay, and accent frame n stands for the time
// (n + 1.5) / accentRate. So no offset is applied.
constexpr double tickOffsetSeconds = 0.0;

// Reads a whole tick list: mTracker_get_ticks copies the newest ticks that fit, so the
// capacity grows until the list is no longer cut.
std::vector<double> readTicks(mTrackerHandle* tracker, int level) {
    std::vector<double> buffer(1024);
    for (;;) {
        int n[3] = {0, 0, 0};
        n[level] = static_cast<int>(buffer.size());
        double* lists[3] = {nullptr, nullptr, nullptr};
        lists[level] = buffer.data();
        mTracker_get_ticks(tracker, lists[0], &n[0], lists[1], &n[1], lists[2], &n[2]);
        if (static_cast<std::size_t>(n[level]) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n[level]));
            for (double& t : buffer)
                t += tickOffsetSeconds;
            return buffer;
        }
        buffer.resize(buffer.size() * 4);
    }
}

} // namespace

TrackResult trackOffline(AudioSource& source, std::string const& dumpPath, bool& dumped) {
    dumped = true;
    std::unique_ptr<mTrackerHandle, void (*)(mTrackerHandle*)> tracker(mTracker_init(source.outputRate()),
                                                                       mTracker_close);
    TrackResult result;
    if (!tracker)
        return result;
    double const rate = source.outputRate();
    double block[blockSize];
    for (;;) {
        std::size_t const n = source.read(block, blockSize);
        if (n == 0)
            break;
        result.samples += n;
        mTracker_add_data(tracker.get(), block, static_cast<unsigned int>(n));
        if (mTracker_process(tracker.get()) != 1)
            continue;
        StepEstimate e{};
        e.audioTime = static_cast<double>(result.samples) / rate;
        mTracker_get_period_est(tracker.get(), &e.tatumPeriod, &e.beatPeriod, &e.barPeriod, &e.tatumPhase,
                                &e.beatPhase, &e.barPhase);
        e.tatumPhase += tickOffsetSeconds;
        e.beatPhase += tickOffsetSeconds;
        e.barPhase += tickOffsetSeconds;
        e.beatyness = mTracker_get_beatyness(tracker.get());
        result.steps.push_back(e);
    }
    result.seconds = static_cast<double>(result.samples) / rate;
    // Below about −100 dBFS there is nothing to track: the tracker would follow its own dither.
    result.silent = source.peak() < 1e-5;
    if (!result.steps.empty() && !result.silent) {
        result.tatums = readTicks(tracker.get(), 0);
        result.beats = readTicks(tracker.get(), 1);
        result.downbeats = readTicks(tracker.get(), 2);
    }
    if (!dumpPath.empty())
        dumped = mTracker_dump_metfile(tracker.get(), dumpPath.c_str()) == 0;
    return result;
}
