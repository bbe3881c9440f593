#include "link_output.h"

#ifndef LINK_PLATFORM_LINUX
#define LINK_PLATFORM_LINUX 1
#endif
#include <ableton/Link.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <new>
#include <thread>

#include "latest_value.h"

namespace {

/* What the session should follow, on the stream's time line. */
struct LinkGrid {
    int locked = 0;
    int playing = 0;
    double bpm = 0.0;
    double beatTime = 0.0; /* a beat, already moved by the anti-delay and the latency offset */
    double beat = 0.0;     /* its number; beat mod quantum is its place in the bar */
    double quantum = 4.0;
};

} // namespace

struct LinkOutput_t {
    lc_gettime_fn streamNow = nullptr;
    void* udata = nullptr;
    std::unique_ptr<ableton::Link> link;
    std::atomic<ableton::Link*> running{nullptr}; /* set once Link exists */
    std::atomic<int> enabled{0};
    std::atomic<double> latencyOffset{0.0};
    std::atomic<double> clockOffset{NAN};
    LatestValue<LinkGrid> cell;

    /* Feeder only. */
    LinkGrid published;

    /* Committer only. */
    int sessionPlaying = -1;

    std::thread committer;
    std::atomic<int> stop{0};
};

namespace {

std::chrono::microseconds link_time(LinkOutput_t* out, double streamTime) {
    return std::chrono::microseconds(
        std::llround(streamTime * 1e6 + out->clockOffset.load(std::memory_order_relaxed)));
}

void measure_clock_offset(LinkOutput_t* out) {
    if (!out->streamNow)
        return;
    const double measured =
        static_cast<double>(out->link->clock().micros().count()) - out->streamNow(out->udata) * 1e6;
    if (!std::isfinite(measured))
        return;
    const double offset = out->clockOffset.load(std::memory_order_relaxed);
    /* The two clocks drift slowly; reading them one after the other jitters. */
    out->clockOffset.store(std::isfinite(offset) && std::fabs(measured - offset) < 50000.0
                               ? offset + 0.05 * (measured - offset)
                               : measured,
                           std::memory_order_relaxed);
}

void committer_main(LinkOutput_t* out) {
    while (!out->stop.load(std::memory_order_acquire)) {
        link_output_commit(out);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void stop_committer(LinkOutput_t* out) {
    out->stop.store(1, std::memory_order_release);
    if (out->committer.joinable())
        out->committer.join();
    out->stop.store(0, std::memory_order_relaxed);
}

} // namespace

extern "C" {

LinkOutput_t* link_output_create(lc_gettime_fn streamNow, void* udata) {
    LinkOutput_t* out = new (std::nothrow) LinkOutput_t;
    if (out) {
        out->streamNow = streamNow;
        out->udata = udata;
    }
    return out;
}

void link_output_free(LinkOutput_t* out) {
    if (!out)
        return;
    stop_committer(out);
    if (out->link)
        out->link->enable(false);
    out->running.store(nullptr, std::memory_order_release);
    delete out;
}

int link_output_enable(LinkOutput_t* out, int on, int thread) {
    if (!out)
        return 1;
    if (!on) {
        stop_committer(out);
        out->enabled.store(0, std::memory_order_release);
        if (out->link)
            out->link->enable(false);
        return 0;
    }
    if (out->committer.joinable())
        return 0; /* already on */
    try {
        if (!out->link) {
            out->link = std::make_unique<ableton::Link>(120.0);
            out->link->enableStartStopSync(true);
            out->running.store(out->link.get(), std::memory_order_release);
        }
        out->sessionPlaying = -1;
        out->link->enable(true);
        out->enabled.store(1, std::memory_order_release);
        if (thread && !out->committer.joinable())
            out->committer = std::thread(committer_main, out);
    } catch (const std::exception&) {
        out->enabled.store(0, std::memory_order_release);
        return 1;
    }
    return 0;
}

int link_output_enabled(const LinkOutput_t* out) {
    return out ? out->enabled.load(std::memory_order_relaxed) : 0;
}

int link_output_peers(const LinkOutput_t* out) {
    const ableton::Link* link = out ? out->running.load(std::memory_order_acquire) : nullptr;
    if (!link || !out->enabled.load(std::memory_order_relaxed))
        return 0;
    return static_cast<int>(link->numPeers());
}

void link_output_set_latency_offset(LinkOutput_t* out, double seconds) {
    if (out && std::isfinite(seconds))
        out->latencyOffset.store(std::fmin(1.0, std::fmax(-1.0, seconds)), std::memory_order_relaxed);
}

double link_output_get_latency_offset(const LinkOutput_t* out) {
    return out ? out->latencyOffset.load(std::memory_order_relaxed) : 0.0;
}

void link_output_set_clock_offset(LinkOutput_t* out, double linkMinusStreamMicros) {
    if (out && std::isfinite(linkMinusStreamMicros))
        out->clockOffset.store(linkMinusStreamMicros, std::memory_order_relaxed);
}

double link_output_clock_micros(const LinkOutput_t* out) {
    const ableton::Link* link = out ? out->running.load(std::memory_order_acquire) : nullptr;
    return link ? static_cast<double>(link->clock().micros().count()) : 0.0;
}

void link_output_feed(LinkOutput_t* out, const MeterSnapshot_t* snapshot) {
    if (!out || !snapshot || !out->enabled.load(std::memory_order_acquire))
        return;
    const MeterSnapshot_t& s = *snapshot;
    const double beatPeriod = s.periods[METERLEVEL_BEAT];
    LinkGrid grid = out->published;
    grid.locked = s.state == LC_TRACKING_LOCKED && beatPeriod > 0.0;
    grid.playing = s.clockRunning && !s.outputsSilent ? 1 : 0;
    if (grid.locked) {
        const int perBar = lc_ticks_per_bar(s.periods[METERLEVEL_BAR], beatPeriod);
        const double nextBeat = s.nextTick[METERLEVEL_BEAT];
        /* Counted from the next downbeat, so that the number keeps rising across a bar line
           whichever of the two ticks is reached first. */
        const double fromDownbeat = std::round((nextBeat - s.nextTick[METERLEVEL_BAR]) / beatPeriod);
        grid.bpm = 60.0 / beatPeriod;
        grid.quantum = perBar;
        grid.beatTime = nextBeat - s.antiDelay - out->latencyOffset.load(std::memory_order_relaxed);
        grid.beat = static_cast<double>(s.tickCount[METERLEVEL_BAR] + 1) * perBar +
                    (std::isfinite(fromDownbeat) ? fromDownbeat : 0.0);
    }
    const LinkGrid& old = out->published;
    if (grid.locked != old.locked || grid.playing != old.playing || grid.bpm != old.bpm ||
        grid.beatTime != old.beatTime || grid.beat != old.beat || grid.quantum != old.quantum) {
        out->published = grid;
        out->cell.write(grid);
    }
}

int link_output_commit(LinkOutput_t* out) {
    if (!out || !out->link || !out->enabled.load(std::memory_order_acquire))
        return 0;
    LinkGrid grid;
    if (!out->cell.read(grid))
        return 0;
    measure_clock_offset(out);
    if (!std::isfinite(out->clockOffset.load(std::memory_order_relaxed)))
        return 0;
    ableton::Link::SessionState state = out->link->captureAppSessionState();
    bool changed = false;
    if (grid.locked && grid.bpm > 0.0 && std::isfinite(grid.bpm)) {
        const auto at = link_time(out, grid.beatTime);
        state.setTempo(grid.bpm, at);
        state.forceBeatAtTime(grid.beat, at, grid.quantum);
        changed = true;
    }
    if (grid.playing != out->sessionPlaying) {
        out->sessionPlaying = grid.playing;
        state.setIsPlaying(grid.playing != 0, out->link->clock().micros());
        changed = true;
    }
    if (changed)
        out->link->commitAppSessionState(state);
    return changed ? 1 : 0;
}

} // extern "C"
