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
#include <optional>
#include <thread>

#include <pthread.h>

#include "handover.h"

namespace {

/* One timeline commit, on the stream's time line (already moved by this output's latency). */
struct LinkCommit {
    double time;
    double bpm;     /* 0: no tempo and beat, only the transport */
    double beat;    /* its number; beat mod quantum is its place in the bar */
    double quantum;
    int playing;
};

constexpr size_t kCommitQueueLength = 256; /* beats of several passes at any tempo */

} // namespace

struct LinkOutput_t {
    lc_gettime_fn streamNow = nullptr;
    void* udata = nullptr;
    EventOutput_t stream;
    std::unique_ptr<ableton::Link> link;
    std::atomic<ableton::Link*> running{nullptr}; /* set once Link exists */
    std::atomic<int> enabled{0};
    std::atomic<FILE*> record{nullptr};
    std::atomic<double> clockOffset{NAN};
    std::atomic<int> announce{0};
    lumacore::SpscQueue<LinkCommit, kCommitQueueLength> queue;
    std::atomic<unsigned long> dropped{0};

    /* Timer pass only: what the stream said so far. */
    bool locked = false;
    int playing = 0;
    double bpm = 0.0;
    double quantum = 4.0;
    double beat = NAN; /* the number of the last beat committed */
    bool transportSent = false; /* since the output was switched on */

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
    pthread_setname_np(pthread_self(), "lc-link-commit");
    while (!out->stop.load(std::memory_order_acquire)) {
        link_output_commit(out);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool active(const LinkOutput_t* out) {
    return out->enabled.load(std::memory_order_acquire) || out->record.load(std::memory_order_acquire);
}

void push(LinkOutput_t* out, const LinkCommit& commit) {
    if (!out->queue.push(commit))
        out->dropped.fetch_add(1, std::memory_order_relaxed);
}

/* The transport alone, when it changed or the session is new. TIMER THREAD. */
void push_transport(LinkOutput_t* out, double time) {
    out->transportSent = true;
    push(out, LinkCommit{time, 0.0, 0.0, out->quantum, out->playing});
}

/* Whether the output takes commits now; a session switched on since the last call hears the
   transport again. TIMER THREAD. */
bool take_commits(LinkOutput_t* out) {
    if (!active(out)) {
        out->transportSent = false;
        return false;
    }
    if (out->announce.exchange(0, std::memory_order_acq_rel))
        out->transportSent = false;
    return true;
}

/* TIMER THREAD: no allocation, lock, I/O or throw. */
bool offer(EventOutput_t* self, const TimedEvent_t* event) {
    LinkOutput_t* out = static_cast<LinkOutput_t*>(self->context);
    if (event->kind == EVENT_MIDI)
        return true;
    const bool on = take_commits(out);
    switch (event->kind) {
    case EVENT_STATE: out->locked = event->count == LC_TRACKING_LOCKED; break;
    case EVENT_TEMPO:
        if (event->period > 0.0 && event->count > 0) {
            out->bpm = 60.0 / event->period;
            out->quantum = event->count;
        }
        break;
    case EVENT_TRANSPORT: {
        const int playing = event->count == (TRANSPORT_CLOCK_ON | TRANSPORT_MUSIC) ? 1 : 0;
        if (playing != out->playing || !out->transportSent) {
            out->playing = playing;
            if (on)
                push_transport(out, event->time);
        }
        break;
    }
    case EVENT_TICK: {
        if (event->level != METERLEVEL_BEAT || !out->locked || !(out->bpm > 0.0))
            break;
        /* The next beat number above the last whose place in the bar is the tick's, so that the
           count keeps rising across bar lines and moved downbeats alike. */
        const double q = out->quantum;
        double beat = event->position;
        if (std::isfinite(out->beat)) {
            beat = std::floor(out->beat / q) * q + event->position;
            while (beat <= out->beat)
                beat += q;
        }
        out->beat = beat;
        if (on)
            push(out, LinkCommit{event->time, out->bpm, beat, q, out->playing});
        break;
    }
    default: break;
    }
    return true;
}

/* TIMER THREAD: no allocation, lock, I/O or throw. */
void advance(EventOutput_t* self, double until) {
    LinkOutput_t* out = static_cast<LinkOutput_t*>(self->context);
    if (take_commits(out) && !out->transportSent)
        push_transport(out, until);
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
        out->stream.context = out;
        out->stream.offer = offer;
        out->stream.advance = advance;
    }
    return out;
}

EventOutput_t* link_output_event_output(LinkOutput_t* out) {
    return out ? &out->stream : nullptr;
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
        out->announce.store(1, std::memory_order_release);
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
        out->stream.latency.store(std::fmin(1.0, std::fmax(-1.0, seconds)), std::memory_order_relaxed);
}

double link_output_get_latency_offset(const LinkOutput_t* out) {
    return out ? out->stream.latency.load(std::memory_order_relaxed) : 0.0;
}

void link_output_set_clock_offset(LinkOutput_t* out, double linkMinusStreamMicros) {
    if (out && std::isfinite(linkMinusStreamMicros))
        out->clockOffset.store(linkMinusStreamMicros, std::memory_order_relaxed);
}

double link_output_clock_micros(const LinkOutput_t* out) {
    const ableton::Link* link = out ? out->running.load(std::memory_order_acquire) : nullptr;
    return link ? static_cast<double>(link->clock().micros().count()) : 0.0;
}

void link_output_record(LinkOutput_t* out, FILE* file) {
    if (!out)
        return;
    out->announce.store(1, std::memory_order_release);
    out->record.store(file, std::memory_order_release);
}

int link_output_commit(LinkOutput_t* out) {
    if (!out || !out->queue.front())
        return 0;
    FILE* file = out->record.load(std::memory_order_acquire);
    ableton::Link* link = out->enabled.load(std::memory_order_acquire) ? out->link.get() : nullptr;
    if (link)
        measure_clock_offset(out);
    if (link && !std::isfinite(out->clockOffset.load(std::memory_order_relaxed)))
        link = nullptr;
    std::optional<ableton::Link::SessionState> state;
    if (link)
        state.emplace(link->captureAppSessionState());
    bool changed = false;
    int taken = 0;
    LinkCommit c;
    while (out->queue.pop(c)) {
        ++taken;
        if (file)
            std::fprintf(file, "%.6f\t%.3f\t%.0f\t%.0f\t%.0f\t%d\n", c.time, c.bpm, c.beat,
                         c.bpm > 0.0 ? std::fmod(c.beat, c.quantum) : 0.0, c.quantum, c.playing);
        if (!link)
            continue;
        if (c.bpm > 0.0) {
            const auto at = link_time(out, c.time);
            state->setTempo(c.bpm, at);
            state->forceBeatAtTime(c.beat, at, c.quantum);
            changed = true;
        }
        if (c.playing != out->sessionPlaying) {
            out->sessionPlaying = c.playing;
            state->setIsPlaying(c.playing != 0, link->clock().micros());
            changed = true;
        }
    }
    if (changed)
        link->commitAppSessionState(*state);
    return taken;
}

} // extern "C"
