#include "osc_output.h"

#include "bar_position.h"
#include "handover.h"
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

#include <pthread.h>

namespace {

enum OscKind { OSC_BAR, OSC_BEAT, OSC_TATUM, OSC_TEMPO, OSC_PHASE, OSC_STATE };

const char* const kPaths[] = {"/beatlume/bar",   "/beatlume/beat",  "/beatlume/tatum",
                              "/beatlume/tempo", "/beatlume/phase", "/beatlume/state"};
const char* const kTypes[] = {"i", "i", "i", "fi", "fff", "s"};

struct OscMessage {
    double time; /* stream time the message describes */
    int kind;
    int number;
    float values[3];
};

constexpr size_t kQueueLength = 1024; /* far more than a few passes' worth at any tempo */
constexpr double kTwoTo32 = 4294967296.0;
/* Seconds from 1900 (OSC time tags) to 1970 (the system clock). */
constexpr double kUnixToNtp = 2208988800.0;
/* Phase messages resume from the present after a gap this long (the output was off). */
constexpr double kPhaseGapSeconds = 1.0;

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

/* The latest tick of one level the stream brought. */
struct LastTick {
    double time = NAN;
    double period = 0.0;
};

/* Fraction of the way from the tick along its period at `time`, continued past the next tick
   until that arrives; in [0, 1). */
float phase_fraction(const LastTick& tick, double time) {
    double fraction = tick.period > 0.0 ? std::fmod((time - tick.time) / tick.period, 1.0) : 0.0;
    if (!(fraction >= 0.0) || !(fraction < 1.0))
        fraction = 0.0;
    return static_cast<float>(fraction);
}

} // namespace

struct OscOutput_t {
    lc_gettime_fn streamNow = nullptr;
    void* udata = nullptr;
    EventOutput_t stream;
    std::atomic<int> enabled{0};
    std::atomic<FILE*> record{nullptr};
    std::atomic<int> bundles{1};
    std::atomic<double> phaseRate{30.0};
    std::atomic<double> tagBase{NAN};
    std::atomic<unsigned long> dropped{0};
    /* Set when switched on: state and tempo are announced again. */
    std::atomic<int> announce{1};

    lumacore::SpscQueue<OscMessage, kQueueLength> queue;

    /* Timer pass only: what the stream said so far. */
    int state = -1;
    float bpm = 0.0f;
    int beatsPerBar = 0;
    bool music = true;
    LastTick ticks[METERLEVEL_COUNT];
    double nextPhaseTime = NAN;
    bool stateSent = false, tempoSent = false; /* since the output was switched on */

    /* Sender and settings: the destination is read and replaced under `destinationLock`. */
    std::mutex destinationLock;
    lo_address destination = nullptr;

    std::mutex threadLock; /* settings threads only */
    std::thread sender;
    std::atomic<int> stop{0};
};

namespace {

bool active(const OscOutput_t* out) {
    return out->enabled.load(std::memory_order_acquire) || out->record.load(std::memory_order_acquire);
}

void push(OscOutput_t* out, double time, int kind, int number, float a = 0.0f, float b = 0.0f, float c = 0.0f) {
    if (!out->queue.push(OscMessage{time, kind, number, {a, b, c}}))
        out->dropped.fetch_add(1, std::memory_order_relaxed);
}

/* Phase messages due before `limit` (up to it with `inclusive`). TIMER THREAD. */
void push_phases(OscOutput_t* out, double limit, bool inclusive) {
    if (!out->music || !(out->ticks[METERLEVEL_BEAT].period > 0.0)) {
        out->nextPhaseTime = NAN;
        return;
    }
    const double interval = 1.0 / out->phaseRate.load(std::memory_order_relaxed);
    if (!(out->nextPhaseTime > limit - kPhaseGapSeconds))
        out->nextPhaseTime = limit;
    while (inclusive ? out->nextPhaseTime <= limit : out->nextPhaseTime < limit) {
        const double time = out->nextPhaseTime;
        push(out, time, OSC_PHASE, 0, phase_fraction(out->ticks[METERLEVEL_TATUM], time),
             phase_fraction(out->ticks[METERLEVEL_BEAT], time), phase_fraction(out->ticks[METERLEVEL_BAR], time));
        out->nextPhaseTime += interval;
    }
}

/* TIMER THREAD: no allocation, lock, I/O or throw. */
bool offer(EventOutput_t* self, const TimedEvent_t* event) {
    OscOutput_t* out = static_cast<OscOutput_t*>(self->context);
    if (event->kind == EVENT_MIDI)
        return true;
    const bool on = active(out);
    if (on) {
        if (out->announce.exchange(0, std::memory_order_acquire))
            out->stateSent = out->tempoSent = false;
        push_phases(out, event->time, false);
    }
    switch (event->kind) {
    case EVENT_STATE:
        out->state = event->count;
        if ((out->stateSent = on))
            push(out, event->time, OSC_STATE, out->state);
        break;
    case EVENT_TEMPO:
        out->bpm = static_cast<float>(60.0 / event->period);
        out->beatsPerBar = event->count;
        if ((out->tempoSent = on))
            push(out, event->time, OSC_TEMPO, out->beatsPerBar, out->bpm);
        break;
    case EVENT_TRANSPORT: out->music = (event->count & TRANSPORT_MUSIC) != 0; break;
    case EVENT_TICK:
        if (event->level >= METERLEVEL_COUNT)
            break;
        out->ticks[event->level] = LastTick{event->time, event->period};
        if (on)
            push(out, event->time, event->level, event->level == METERLEVEL_BAR ? event->count - 1 : event->position);
        break;
    default: break;
    }
    return true;
}

/* TIMER THREAD: no allocation, lock, I/O or throw. */
void advance(EventOutput_t* self, double until) {
    OscOutput_t* out = static_cast<OscOutput_t*>(self->context);
    self->paced = active(out);
    if (!self->paced) {
        out->nextPhaseTime = NAN;
        out->stateSent = out->tempoSent = false;
        return;
    }
    if (out->announce.exchange(0, std::memory_order_acquire))
        out->stateSent = out->tempoSent = false;
    push_phases(out, until, true);
    if (!out->stateSent && out->state >= 0) {
        out->stateSent = true;
        push(out, until, OSC_STATE, out->state);
    }
    if (!out->tempoSent && out->beatsPerBar > 0) {
        out->tempoSent = true;
        push(out, until, OSC_TEMPO, out->beatsPerBar, out->bpm);
    }
}

const char* state_name(int state) {
    return lc_tracking_state_name(static_cast<LcTrackingState>(state));
}

void record_message(FILE* file, const OscMessage& m) {
    std::fprintf(file, "%.6f\t%s\t%s", m.time, kPaths[m.kind], kTypes[m.kind]);
    switch (m.kind) {
    case OSC_TEMPO: std::fprintf(file, "\t%.3f\t%d\n", static_cast<double>(m.values[0]), m.number); break;
    case OSC_PHASE:
        std::fprintf(file, "\t%.4f\t%.4f\t%.4f\n", static_cast<double>(m.values[0]), static_cast<double>(m.values[1]),
                     static_cast<double>(m.values[2]));
        break;
    case OSC_STATE: std::fprintf(file, "\t%s\n", state_name(m.number)); break;
    default: std::fprintf(file, "\t%d\n", m.number); break;
    }
}

void send_message(OscOutput_t* out, const OscMessage& m, double tagBase) {
    lo_message message = lo_message_new();
    if (!message) {
        out->dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    switch (m.kind) {
    case OSC_TEMPO:
        lo_message_add_float(message, m.values[0]);
        lo_message_add_int32(message, m.number);
        break;
    case OSC_PHASE:
        for (float value : m.values)
            lo_message_add_float(message, value);
        break;
    case OSC_STATE: lo_message_add_string(message, state_name(m.number)); break;
    default: lo_message_add_int32(message, m.number); break;
    }
    int sent = -1;
    if (out->bundles.load(std::memory_order_relaxed)) {
        lo_bundle bundle = lo_bundle_new(to_timetag(m.time + tagBase));
        if (bundle && lo_bundle_add_message(bundle, kPaths[m.kind], message) == 0) {
            sent = lo_send_bundle(out->destination, bundle);
            lo_bundle_free_recursive(bundle);
            message = nullptr;
        } else if (bundle) {
            lo_bundle_free(bundle);
        }
    } else {
        sent = lo_send_message(out->destination, kPaths[m.kind], message);
    }
    if (message)
        lo_message_free(message);
    if (sent < 0)
        out->dropped.fetch_add(1, std::memory_order_relaxed);
}

void sender_main(OscOutput_t* out) {
    pthread_setname_np(pthread_self(), "lc-osc-send");
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
        out->stream.context = out;
        out->stream.offer = offer;
        out->stream.advance = advance;
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

EventOutput_t* osc_output_event_output(OscOutput_t* out) {
    return out ? &out->stream : nullptr;
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
        out->stream.latency.store(std::fmin(1.0, std::fmax(-1.0, seconds)), std::memory_order_relaxed);
}

double osc_output_get_latency_offset(const OscOutput_t* out) {
    return out ? out->stream.latency.load(std::memory_order_relaxed) : 0.0;
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

void osc_output_record(OscOutput_t* out, FILE* file) {
    if (!out)
        return;
    out->announce.store(1, std::memory_order_release);
    out->record.store(file, std::memory_order_release);
}

int osc_output_flush(OscOutput_t* out) {
    if (!out || !out->queue.front())
        return 0;
    double base = out->tagBase.load(std::memory_order_relaxed);
    double now = INFINITY; /* without a time source everything queued is due */
    if (out->streamNow) {
        now = out->streamNow(out->udata);
        const double measured = wall_tag_now() - now;
        /* Smooth the jitter of reading two clocks one after the other. */
        if (std::isfinite(measured)) {
            base = std::isfinite(base) && std::fabs(measured - base) < 0.05 ? base + 0.1 * (measured - base)
                                                                            : measured;
            out->tagBase.store(base, std::memory_order_relaxed);
        }
        if (!std::isfinite(now))
            now = INFINITY;
    }
    if (!std::isfinite(base))
        base = 0.0;
    int taken = 0;
    FILE* file = out->record.load(std::memory_order_acquire);
    std::lock_guard<std::mutex> guard(out->destinationLock);
    const bool live = out->destination && out->enabled.load(std::memory_order_acquire);
    const bool bundles = out->bundles.load(std::memory_order_relaxed) != 0;
    while (const OscMessage* m = out->queue.front()) {
        /* Bare messages carry no time: they leave when due. Bundles leave early, tagged. */
        if (live && !bundles && m->time > now)
            break;
        if (file)
            record_message(file, *m);
        if (live)
            send_message(out, *m, base);
        out->queue.pop();
        ++taken;
    }
    return taken;
}

unsigned long osc_output_dropped(const OscOutput_t* out) {
    return out ? out->dropped.load(std::memory_order_relaxed) : 0;
}

} // extern "C"
