#include "jackmidiport.h"

#include "event_stream.h"

#if LUMACORE_HAVE_JACK

#include <jack/jack.h>
#include <jack/midiport.h>
#include <pthread.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "common.h"
#include "frame_tie.h"
#include "handover.h"

struct JackMidiPort_t {
    /* Null while the server is gone. The audio thread reads it while counted in `noting`; the GUI
       thread swaps in null first and waits for that count to fall to zero before closing. */
    std::atomic<jack_client_t*> client{nullptr};
    std::atomic<int> noting{0};
    /* Set on JACK's thread when the server shuts the client down. */
    std::atomic<int> gone{0};
    jack_port_t* port = nullptr;
    std::string clientName;
    std::string portName;
    std::string name;
    double rate = 44100.0;
    EventOutput_t output;
    lumacore::SpscQueue<TimedEvent_t, 4096> queue;
    lumacore::SpscQueue<TimedEvent_t, 256> direct;
    std::mutex directLock;
    lumacore::TripleBuffer<FrameMapping> tie{FrameMapping{0.0, 0, 0.0, 44100.0, 0}};
    /* Audio thread only, while counted in `noting`; reset by the GUI thread while no client is set. */
    StreamFrameTie tieKeeper{44100.0};
    /* Process callback only. */
    FrameMapping current{0.0, 0, 0.0, 44100.0, 0};
    std::atomic<unsigned long> late{0};
    std::atomic<unsigned long> lost{0};
};

namespace {

/* JACK PROCESS THREAD: no allocation, lock, I/O or throw. An empty period costs this code about
   a microsecond; the thread's CPU (profiled: over 80 % in the kernel) is JACK's wake-up of this
   client, 344 times a second at 128 frames, and this client's wake-up of the port's reader, which
   runs after it in the graph. Only fewer clients would save it. */
int process(jack_nframes_t nframes, void* arg) {
    JackMidiPort_t* p = static_cast<JackMidiPort_t*>(arg);
    jack_client_t* client = p->client.load(std::memory_order_acquire);
    if (!client)
        return 0;
    void* buffer = jack_port_get_buffer(p->port, nframes);
    jack_midi_clear_buffer(buffer);
    p->tie.read(p->current);
    const jack_nframes_t cycleStart = jack_last_frame_time(client);
    while (const TimedEvent_t* event = p->direct.front()) {
        if (jack_midi_event_write(buffer, 0, event->bytes, event->size) != 0)
            p->lost.fetch_add(1, std::memory_order_relaxed);
        p->direct.pop();
    }
    long last = 0;
    while (const TimedEvent_t* event = p->queue.front()) {
        bool late = false;
        last = frame_in_period(p->current, event->time, cycleStart, nframes, last, &late);
        if (last < 0)
            break;
        if (late)
            p->late.fetch_add(1, std::memory_order_relaxed);
        if (jack_midi_event_write(buffer, static_cast<jack_nframes_t>(last), event->bytes, event->size) != 0)
            p->lost.fetch_add(1, std::memory_order_relaxed);
        p->queue.pop();
    }
    return 0;
}

bool offer(EventOutput_t* self, const TimedEvent_t* event) {
    JackMidiPort_t* p = static_cast<JackMidiPort_t*>(self->context);
    if (event->kind != EVENT_MIDI || event->size == 0)
        return true;
    if (p->queue.push(*event))
        return true;
    p->lost.fetch_add(1, std::memory_order_relaxed);
    return false;
}

/* JACK's process thread of this client, once before its first cycle. */
void name_process_thread(void*) {
    pthread_setname_np(pthread_self(), "jack-midi-out");
}

void on_shutdown(void* arg) {
    static_cast<JackMidiPort_t*>(arg)->gone.store(1, std::memory_order_release);
}

/* Joins the server with a fresh client and the port; false when no server answers. */
bool join(JackMidiPort_t* p) {
    jack_status_t status{};
    jack_client_t* client = jack_client_open(p->clientName.c_str(), JackNoStartServer, &status);
    if (!client)
        return false;
    p->rate = static_cast<double>(jack_get_sample_rate(client));
    p->tieKeeper = StreamFrameTie(p->rate);
    p->port = jack_port_register(client, p->portName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    p->gone.store(0, std::memory_order_release);
    p->client.store(client, std::memory_order_release);
    jack_on_shutdown(client, on_shutdown, p);
    jack_set_thread_init_callback(client, name_process_thread, nullptr);
    if (!p->port || jack_set_process_callback(client, process, p) != 0 || jack_activate(client) != 0) {
        lc_logmsg(LC_LOG_WARNING, "JACK MIDI port %s could not be opened", p->portName.c_str());
        p->client.store(nullptr, std::memory_order_release);
        jack_client_close(client);
        return false;
    }
    p->name = jack_port_name(p->port);
    return true;
}

/* Leaves the server (also one that has gone): afterwards neither the audio thread nor the process
   callback touch the client. */
void leave(JackMidiPort_t* p) {
    jack_client_t* client = p->client.exchange(nullptr, std::memory_order_seq_cst);
    if (!client)
        return;
    while (p->noting.load(std::memory_order_seq_cst) != 0)
        std::this_thread::yield();
    jack_deactivate(client);
    jack_client_close(client);
}

} // namespace

JackMidiPort_t* jackmidiport_open(const char* clientName, const char* portName) {
    JackMidiPort_t* p = new (std::nothrow) JackMidiPort_t;
    if (!p)
        return nullptr;
    p->clientName = clientName;
    p->portName = portName;
    p->output.offer = offer;
    p->output.context = p;
    if (!join(p)) {
        delete p;
        return nullptr;
    }
    lc_logmsg(LC_LOG_NOTICE, "Own MIDI port: %s", p->name.c_str());
    return p;
}

void jackmidiport_close(JackMidiPort_t* p) {
    if (!p)
        return;
    leave(p);
    delete p;
}

int jackmidiport_check(JackMidiPort_t* p, int mayJoin) {
    if (!p)
        return 0;
    if (p->client.load(std::memory_order_acquire) && !p->gone.load(std::memory_order_acquire))
        return 0;
    if (p->client.load(std::memory_order_acquire)) {
        leave(p);
        lc_logmsg(LC_LOG_ERROR, "The JACK server has gone: MIDI port %s is lost until it returns",
                  p->name.c_str());
    }
    if (!mayJoin)
        return 1;
    /* Whatever waited for the server would now come out at once, long after its time. */
    while (p->queue.front())
        p->queue.pop();
    while (p->direct.front())
        p->direct.pop();
    if (!join(p))
        return 1;
    lc_logmsg(LC_LOG_NOTICE, "The JACK server is back: MIDI port %s", p->name.c_str());
    return 0;
}

std::vector<std::string> jackmidiport_midi_inputs(JackMidiPort_t* p) {
    std::vector<std::string> names;
    jack_client_t* client = p ? p->client.load(std::memory_order_acquire) : nullptr;
    if (!client || p->gone.load(std::memory_order_acquire))
        return names;
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
    for (const char** port = ports; port && *port; ++port)
        names.emplace_back(*port);
    if (ports)
        jack_free(ports);
    return names;
}

const char* jackmidiport_name(const JackMidiPort_t* p) {
    return p ? p->name.c_str() : nullptr;
}

void jackmidiport_note_block(JackMidiPort_t* p, double streamTime) {
    if (!p || !std::isfinite(streamTime))
        return;
    /* Counted in before the client is read (see leave). */
    p->noting.fetch_add(1, std::memory_order_seq_cst);
    if (jack_client_t* client = p->client.load(std::memory_order_seq_cst)) {
        const jack_nframes_t frame = jack_last_frame_time(client);
        p->tieKeeper.observe(streamTime, frame);
        p->tie.write(p->tieKeeper.mapping());
    }
    p->noting.fetch_sub(1, std::memory_order_release);
}

EventOutput_t* jackmidiport_event_output(JackMidiPort_t* p) {
    return p ? &p->output : nullptr;
}

int jackmidiport_send_now(JackMidiPort_t* p, const unsigned char* bytes, int size) {
    if (!p || !bytes || size <= 0)
        return 1;
    TimedEvent_t event{};
    event.kind = EVENT_MIDI;
    event.size = static_cast<unsigned char>(size < 3 ? size : 3);
    for (int i = 0; i < event.size; ++i)
        event.bytes[i] = bytes[i];
    std::lock_guard<std::mutex> guard(p->directLock);
    if (p->direct.push(event))
        return 0;
    p->lost.fetch_add(1, std::memory_order_relaxed);
    return 1;
}

unsigned long jackmidiport_late(const JackMidiPort_t* p) {
    return p ? p->late.load(std::memory_order_relaxed) : 0;
}

unsigned long jackmidiport_lost(const JackMidiPort_t* p) {
    return p ? p->lost.load(std::memory_order_relaxed) : 0;
}

#else

JackMidiPort_t* jackmidiport_open(const char*, const char*) {
    return nullptr;
}
void jackmidiport_close(JackMidiPort_t*) {}
int jackmidiport_check(JackMidiPort_t*, int) {
    return 0;
}
std::vector<std::string> jackmidiport_midi_inputs(JackMidiPort_t*) {
    return {};
}
const char* jackmidiport_name(const JackMidiPort_t*) {
    return nullptr;
}
void jackmidiport_note_block(JackMidiPort_t*, double) {}
EventOutput_t* jackmidiport_event_output(JackMidiPort_t*) {
    return nullptr;
}
int jackmidiport_send_now(JackMidiPort_t*, const unsigned char*, int) {
    return 1;
}
unsigned long jackmidiport_late(const JackMidiPort_t*) {
    return 0;
}
unsigned long jackmidiport_lost(const JackMidiPort_t*) {
    return 0;
}

#endif
