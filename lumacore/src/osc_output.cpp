#include "osc_output.h"

#include "lumacore.h"

#include <lo/lo.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

namespace {

enum OscKind { OSC_BAR, OSC_BEAT, OSC_TATUM, OSC_TEMPO, OSC_PHASE, OSC_STATE };

const char* const kPaths[] = {"/beatlume/bar",   "/beatlume/beat",  "/beatlume/tatum",
                              "/beatlume/tempo", "/beatlume/phase", "/beatlume/state"};

struct OscEvent {
    double time; /* stream time the message describes */
    int kind;
    int number;
    float values[3];
};

constexpr size_t kQueueLength = 1024; /* far more than a few passes' worth at any tempo */
constexpr double kTwoTo32 = 4294967296.0;
/* A tick found this much later than it was due (the output was off, or a pass came very late) is
   news no receiver wants any more. */
constexpr double kStaleSeconds = 0.1;
/* Seconds from 1900 (OSC time tags) to 1970 (the system clock). */
constexpr double kUnixToNtp = 2208988800.0;

double wall_tag_now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count() + kUnixToNtp;
}

lo_timetag to_timetag(double seconds) {
    lo_timetag tag{0, 1};
    if (!(seconds >= 0.0) || !(seconds < kTwoTo32))
        return tag; /* "immediately" */
    const double whole = std::floor(seconds);
    const double fraction = std::floor((seconds - whole) * kTwoTo32);
    tag.sec = static_cast<uint32_t>(whole);
    tag.frac = static_cast<uint32_t>(fraction >= kTwoTo32 ? kTwoTo32 - 1 : fraction);
    return tag;
}

/* Fraction of the way from `prev` to `next` at `time`, continued along the period past `next`;
   in [0, 1). */
float phase_fraction(double prev, double next, double period, double time) {
    double fraction = 0.0;
    if (next > prev && time < next)
        fraction = (time - prev) / (next - prev);
    else if (period > 0.0)
        fraction = std::fmod((time - next) / period, 1.0);
    if (!(fraction >= 0.0) || !(fraction < 1.0))
        fraction = 0.0;
    return static_cast<float>(fraction);
}

} // namespace

struct OscOutput_t {
    lc_gettime_fn streamNow = nullptr;
    void* udata = nullptr;
    std::atomic<int> enabled{0};
    std::atomic<int> bundles{1};
    std::atomic<double> phaseRate{30.0};
    std::atomic<double> latencyOffset{0.0};
    std::atomic<double> tagBase{NAN};
    std::atomic<unsigned long> dropped{0};
    /* Set when switched on: the next feed announces state and tempo again. */
    std::atomic<int> announce{1};

    /* Queue: the feeder writes events and `head`, the sender reads them and writes `tail`. */
    OscEvent queue[kQueueLength]{};
    std::atomic<size_t> head{0};
    std::atomic<size_t> tail{0};

    /* Feeder only. */
    double lastTick[METERLEVEL_COUNT] = {-INFINITY, -INFINITY, -INFINITY};
    int barNumber = -1;
    unsigned long lastEstimateCount = 0;
    int lastState = -1;
    double nextPhaseTime = -INFINITY;

    /* Sender and settings: the destination is read and replaced under `destinationLock`. */
    std::mutex destinationLock;
    lo_address destination = nullptr;

    std::mutex threadLock; /* settings threads only */
    std::thread sender;
    std::atomic<int> stop{0};
};

namespace {

void push(OscOutput_t* out, const OscEvent& event) {
    const size_t head = out->head.load(std::memory_order_relaxed);
    if (head - out->tail.load(std::memory_order_acquire) >= kQueueLength) {
        out->dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    out->queue[head % kQueueLength] = event;
    out->head.store(head + 1, std::memory_order_release);
}

/* Every tick of `level` due by `due` (engine time) that was not sent yet: the one last reached
   and the one predicted next. A grid that moved by a later estimate moves a tick by far less
   than half a period, so that test keeps a tick from going out twice. */
void feed_ticks(OscOutput_t* out, const MeterSnapshot_t& s, int level, double due, double shift) {
    const double period = s.periods[level];
    const double candidates[2] = {s.tickCount[level] > 0 ? s.prevTick[level] : -INFINITY, s.nextTick[level]};
    const int perBar = lc_ticks_per_bar(s.periods[METERLEVEL_BAR], period);
    for (double tick : candidates) {
        if (!std::isfinite(tick) || tick > due || !(tick > out->lastTick[level] + 0.5 * period))
            continue;
        out->lastTick[level] = tick;
        if (tick - shift < s.now - kStaleSeconds)
            continue;
        OscEvent e{tick - shift, level, 0, {0.0f, 0.0f, 0.0f}};
        if (level == METERLEVEL_BAR)
            e.number = ++out->barNumber;
        else
            e.number = lc_position_in_bar(tick, s.nextTick[METERLEVEL_BAR], period, perBar);
        push(out, e);
    }
}

void send_event(OscOutput_t* out, const OscEvent& e, double tagBase) {
    lo_message message = lo_message_new();
    if (!message) {
        out->dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    switch (e.kind) {
    case OSC_TEMPO:
        lo_message_add_float(message, e.values[0]);
        lo_message_add_int32(message, e.number);
        break;
    case OSC_PHASE:
        for (float value : e.values)
            lo_message_add_float(message, value);
        break;
    case OSC_STATE: lo_message_add_string(message, lc_tracking_state_name(static_cast<LcTrackingState>(e.number))); break;
    default: lo_message_add_int32(message, e.number); break;
    }
    int sent = -1;
    if (out->bundles.load(std::memory_order_relaxed)) {
        lo_bundle bundle = lo_bundle_new(to_timetag(e.time + tagBase));
        if (bundle && lo_bundle_add_message(bundle, kPaths[e.kind], message) == 0) {
            sent = lo_send_bundle(out->destination, bundle);
            lo_bundle_free_recursive(bundle);
            message = nullptr;
        } else if (bundle) {
            lo_bundle_free(bundle);
        }
    } else {
        sent = lo_send_message(out->destination, kPaths[e.kind], message);
    }
    if (message)
        lo_message_free(message);
    if (sent < 0)
        out->dropped.fetch_add(1, std::memory_order_relaxed);
}

void sender_main(OscOutput_t* out) {
    while (!out->stop.load(std::memory_order_acquire)) {
        osc_output_flush(out);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void stop_sender(OscOutput_t* out) {
    std::lock_guard<std::mutex> guard(out->threadLock);
    out->stop.store(1, std::memory_order_release);
    if (out->sender.joinable())
        out->sender.join();
    out->stop.store(0, std::memory_order_relaxed);
}

} // namespace

extern "C" {

OscOutput_t* osc_output_create(lc_gettime_fn streamNow, void* udata) {
    OscOutput_t* out = new (std::nothrow) OscOutput_t;
    if (out) {
        out->streamNow = streamNow;
        out->udata = udata;
    }
    return out;
}

void osc_output_free(OscOutput_t* out) {
    if (!out)
        return;
    stop_sender(out);
    if (out->destination)
        lo_address_free(out->destination);
    delete out;
}

int osc_output_set_destination(OscOutput_t* out, const char* host, int port) {
    if (!out || !host || !*host || std::strlen(host) > 255 || std::strpbrk(host, " \t\r\n") || port < 1 ||
        port > 65535)
        return 1;
    const std::string portText = std::to_string(port);
    /* Nothing is resolved here: a name is looked up when the first message goes out. */
    lo_address address = lo_address_new_with_proto(LO_UDP, host, portText.c_str());
    if (!address)
        return 1;
    std::lock_guard<std::mutex> guard(out->destinationLock);
    if (out->destination)
        lo_address_free(out->destination);
    out->destination = address;
    return 0;
}

void osc_output_set_bundles(OscOutput_t* out, int on) {
    if (out)
        out->bundles.store(on ? 1 : 0, std::memory_order_relaxed);
}

void osc_output_set_phase_rate(OscOutput_t* out, double perSecond) {
    if (out && std::isfinite(perSecond))
        out->phaseRate.store(std::fmin(1000.0, std::fmax(0.5, perSecond)), std::memory_order_relaxed);
}

void osc_output_set_latency_offset(OscOutput_t* out, double seconds) {
    if (out && std::isfinite(seconds))
        out->latencyOffset.store(std::fmin(1.0, std::fmax(-1.0, seconds)), std::memory_order_relaxed);
}

double osc_output_get_latency_offset(const OscOutput_t* out) {
    return out ? out->latencyOffset.load(std::memory_order_relaxed) : 0.0;
}

void osc_output_set_time_base(OscOutput_t* out, double tagMinusStream) {
    if (out && std::isfinite(tagMinusStream))
        out->tagBase.store(tagMinusStream, std::memory_order_relaxed);
}

int osc_output_enable(OscOutput_t* out, int on, int thread) {
    if (!out)
        return 1;
    if (!on) {
        out->enabled.store(0, std::memory_order_release);
        stop_sender(out);
        return 0;
    }
    out->announce.store(1, std::memory_order_release);
    out->enabled.store(1, std::memory_order_release);
    if (!thread)
        return 0;
    std::lock_guard<std::mutex> guard(out->threadLock);
    if (out->sender.joinable())
        return 0;
    try {
        out->sender = std::thread(sender_main, out);
    } catch (const std::system_error&) {
        out->enabled.store(0, std::memory_order_release);
        return 1;
    }
    return 0;
}

int osc_output_enabled(const OscOutput_t* out) {
    return out ? out->enabled.load(std::memory_order_relaxed) : 0;
}

void osc_output_feed(OscOutput_t* out, const MeterSnapshot_t* snapshot) {
    if (!out || !snapshot || !out->enabled.load(std::memory_order_acquire))
        return;
    const MeterSnapshot_t& s = *snapshot;
    const double offset = out->latencyOffset.load(std::memory_order_relaxed);
    if (out->announce.exchange(0, std::memory_order_acquire)) {
        out->lastState = -1;
        out->lastEstimateCount = 0;
    }
    if (s.state != out->lastState) {
        out->lastState = s.state;
        push(out, OscEvent{s.now, OSC_STATE, s.state, {0.0f, 0.0f, 0.0f}});
    }
    const double beatPeriod = s.periods[METERLEVEL_BEAT];
    if (s.estimateCount != out->lastEstimateCount && beatPeriod > 0.0) {
        out->lastEstimateCount = s.estimateCount;
        const float bpm = static_cast<float>(60.0 / beatPeriod);
        push(out, OscEvent{s.now, OSC_TEMPO, lc_ticks_per_bar(s.periods[METERLEVEL_BAR], beatPeriod),
                           {bpm, 0.0f, 0.0f}});
    }
    /* Engine time t is sent at output time t - antiDelay - offset. */
    const double shift = s.antiDelay + offset;
    if (s.outputsSilent)
        return;
    for (int level = 0; level < METERLEVEL_COUNT; ++level)
        if (s.periods[level] > 0.0)
            feed_ticks(out, s, level, s.now + shift, shift);

    if (s.now >= out->nextPhaseTime) {
        const double interval = 1.0 / out->phaseRate.load(std::memory_order_relaxed);
        out->nextPhaseTime =
            s.now - out->nextPhaseTime < interval ? out->nextPhaseTime + interval : s.now + interval;
        OscEvent e{s.now, OSC_PHASE, 0, {0.0f, 0.0f, 0.0f}};
        for (int level = 0; level < METERLEVEL_COUNT; ++level)
            e.values[METERLEVEL_TATUM - level] =
                phase_fraction(s.prevTick[level], s.nextTick[level], s.periods[level], s.now + shift);
        push(out, e);
    }
}

int osc_output_flush(OscOutput_t* out) {
    if (!out)
        return 0;
    size_t tail = out->tail.load(std::memory_order_relaxed);
    const size_t head = out->head.load(std::memory_order_acquire);
    if (tail == head)
        return 0;
    double base = out->tagBase.load(std::memory_order_relaxed);
    if (out->streamNow) {
        const double measured = wall_tag_now() - out->streamNow(out->udata);
        /* Smooth the jitter of reading two clocks one after the other. */
        if (std::isfinite(measured)) {
            base = std::isfinite(base) && std::fabs(measured - base) < 0.05 ? base + 0.1 * (measured - base)
                                                                            : measured;
            out->tagBase.store(base, std::memory_order_relaxed);
        }
    }
    if (!std::isfinite(base))
        base = 0.0;
    int sent = 0;
    std::lock_guard<std::mutex> guard(out->destinationLock);
    const bool live = out->destination && out->enabled.load(std::memory_order_acquire);
    for (; tail != head; ++tail) {
        if (live) {
            send_event(out, out->queue[tail % kQueueLength], base);
            ++sent;
        }
        out->tail.store(tail + 1, std::memory_order_release);
    }
    return sent;
}

unsigned long osc_output_dropped(const OscOutput_t* out) {
    return out ? out->dropped.load(std::memory_order_relaxed) : 0;
}

} // extern "C"
