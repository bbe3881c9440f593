#include "midioutput.h"

#include <RtMidi.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>
#include <time.h>

#include "common.h"
#include "event_stream.h"
#include "handover.h"
#include "jackmidiport.h"

#if LUMACORE_HAVE_JACK
#include <jack/jack.h>
#endif

namespace {

const char* const kClientName = "RtMidi Output Client";
const char* const kPortName = "RtMidi Output";
const char* const kCapturePortName = "Capture";
const char* const kOwnPortName = "Beatlume";

// What RtMidi reported during one call made on this thread. With an error callback installed RtMidi
// neither throws nor writes to standard error (which a send on the timer thread must not do); each
// call states where its reports go and decides what they mean.
struct CallReport {
    bool reported = false; // anything, warnings included
    bool failed = false;   // an error proper
    char text[256] = {};
};

thread_local CallReport* currentReport = nullptr;

void on_rtmidi_error(RtMidiError::Type type, const std::string& text, void* /*udata*/) {
    const bool warning = type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING;
    CallReport* report = currentReport;
    if (report == nullptr) {
        lc_logmsg(warning ? LC_LOG_WARNING : LC_LOG_ERROR, "midioutput: %s", text.c_str());
        return;
    }
    report->reported = true;
    report->failed = report->failed || !warning;
    std::snprintf(report->text, sizeof report->text, "%s", text.c_str());
}

class ReportScope {
public:
    explicit ReportScope(CallReport& report) { currentReport = &report; }
    ~ReportScope() { currentReport = nullptr; }
    ReportScope(const ReportScope&) = delete;
    ReportScope& operator=(const ReportScope&) = delete;
};

struct CaptureSlot {
    std::atomic<int> ready{0}; // set once the entry is completely written
    MidiCaptureEntry_t entry{};
};

} // namespace

struct MidiOut_t {
    // Null for a capture sink, where only the own JACK port exists, and while `jackOnDemand` holds
    // and no system port is open. Replaced under sendLock.
    RtMidiOut* port = nullptr;
    // Beatlume's own port, listed first: a JACK MIDI port (not owned) or an RtMidi virtual port.
    JackMidiPort_t* ownJack = nullptr;
    bool ownVirtual = false;
    // The system's ports are JACK's and the own JACK port's client lists them: RtMidi's JACK client
    // exists only while one of them is open. Open and idle it would be one more client the server
    // wakes every period, one more chance on a busy machine to finish a cycle late.
    bool jackOnDemand = false;
    std::atomic<int> rtmidiJackClient{0}; // RtMidi's JACK client is open
    // Set while the own JACK port is the open one: the event stream goes there.
    std::atomic<int> routeOwn{0};
    char** portNames = nullptr;
    int portCount = 0;
    std::atomic<int> openPort{-1};
    // Taken by the sender thread around each send and by a port change (GUI thread), so that no
    // send reaches a port being closed. Never taken by the producer of the queue.
    std::mutex sendLock;
    unsigned long failedSends = 0; // consecutive sends that failed; under sendLock

    // The event stream (timer thread) -> sender thread.
    lumacore::SpscQueue<TimedEvent_t, 4096> queue;
    // Immediate sends of other threads -> sender thread; those producers take directLock among
    // themselves (the timer thread never does).
    lumacore::SpscQueue<TimedEvent_t, 256> direct;
    std::mutex directLock;
    EventOutput_t output;
    std::thread sender;
    std::atomic<int> stopSender{0};
    // Bumped at every port change and at the end: wakes a sender that has nothing to send.
    std::atomic<uint32_t> portChanges{0};
    std::atomic<int> flushing{0};
    std::atomic<unsigned long> dropped{0};
    std::atomic<lc_gettime_fn> clock{nullptr};
    std::atomic<void*> clockData{nullptr};

    bool capture = false;
    CaptureSlot* slots = nullptr;
    size_t capacity = 0;
    std::atomic<size_t> claimed{0};
    std::atomic<size_t> overflow{0};
    lc_gettime_fn gettime = nullptr;
    void* gettimeData = nullptr;
};

namespace {

void free_port_names(MidiOut_t* m) {
    if (m->portNames != nullptr) {
        for (char** name = m->portNames; *name != nullptr; ++name)
            std::free(*name);
        delete[] m->portNames;
    }
    m->portNames = nullptr;
    m->portCount = 0;
}

char* copy_string(const char* text) {
    const size_t length = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy != nullptr)
        std::memcpy(copy, text, length + 1);
    return copy;
}

int own_count(const MidiOut_t* m) {
    return m->ownJack != nullptr || m->ownVirtual ? 1 : 0;
}

int enumerate_ports(MidiOut_t* m) {
    std::vector<std::string> names;
    if (own_count(m))
        names.emplace_back(m->ownJack ? jackmidiport_name(m->ownJack) : kOwnPortName);
    if (m->capture) {
        names.emplace_back(kCapturePortName);
    } else if (m->jackOnDemand) {
        for (std::string& name : jackmidiport_midi_inputs(m->ownJack))
            names.push_back(std::move(name));
    } else if (m->port != nullptr) {
        CallReport report;
        try {
            ReportScope scope(report);
            const unsigned count = m->port->getPortCount();
            for (unsigned i = 0; i < count; ++i)
                names.push_back(m->port->getPortName(i));
        } catch (const RtMidiError& error) {
            std::snprintf(report.text, sizeof report.text, "%s", error.getMessage().c_str());
            report.reported = true;
        }
        if (report.reported)
            lc_logmsg(LC_LOG_WARNING, "midioutput: port enumeration: %s", report.text);
    }
    free_port_names(m);
    m->portNames = new char*[names.size() + 1];
    int stored = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        lc_logmsg(LC_LOG_NOTICE, "MIDI out#%d: %s", static_cast<int>(i), names[i].c_str());
        char* copy = copy_string(names[i].c_str());
        if (copy == nullptr)
            break;
        m->portNames[stored++] = copy;
    }
    m->portNames[stored] = nullptr;
    m->portCount = stored;
    return stored;
}

// Creates the port object on `api`; null when the API cannot be used here.
RtMidiOut* open_api(RtMidi::Api api) {
    try {
        RtMidiOut* port = new RtMidiOut(api, kClientName);
        port->setErrorCallback(on_rtmidi_error, nullptr);
        return port;
    } catch (const RtMidiError& error) {
        lc_logmsg(LC_LOG_PROGRESS, "midioutput: %s not usable: %s", RtMidi::getApiDisplayName(api).c_str(),
                  error.getMessage().c_str());
    } catch (const std::bad_alloc&) {
    }
    return nullptr;
}

// RtMidi's JACK back end leaks its ring buffer when no server answers, so ask the server first.
bool api_reachable(RtMidi::Api api) {
#if LUMACORE_HAVE_JACK
    if (api == RtMidi::UNIX_JACK) {
        jack_client_t* probe = jack_client_open("beatlume-probe", JackNoStartServer, nullptr);
        if (probe == nullptr)
            return false;
        jack_client_close(probe);
    }
#else
    (void)api;
#endif
    return true;
}

void capture_append(MidiOut_t* m, const unsigned char* bytes, int size, double time) {
    const size_t index = m->claimed.fetch_add(1, std::memory_order_relaxed);
    if (index >= m->capacity) {
        m->overflow.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    CaptureSlot& slot = m->slots[index];
    slot.entry.time = time;
    slot.entry.size = static_cast<unsigned char>(size < 3 ? size : 3);
    for (int i = 0; i < 3; ++i)
        slot.entry.bytes[i] = i < size ? bytes[i] : 0;
    slot.ready.store(1, std::memory_order_release);
}

double clock_now(const MidiOut_t* m) {
    const lc_gettime_fn clock = m->clock.load(std::memory_order_acquire);
    return clock != nullptr ? clock(m->clockData.load(std::memory_order_acquire)) : INFINITY;
}

// The port's actual send. SENDER THREAD: waits only for a port change in progress.
void send_now(MidiOut_t* m, const unsigned char* bytes, int size) {
    std::lock_guard<std::mutex> guard(m->sendLock);
    // No port object: the own JACK port took over before this message left.
    if (m->openPort.load(std::memory_order_relaxed) < 0 || m->port == nullptr) {
        m->dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    CallReport report;
    try {
        ReportScope scope(report);
        m->port->sendMessage(bytes, static_cast<size_t>(size));
    } catch (const RtMidiError& error) {
        std::snprintf(report.text, sizeof report.text, "%s", error.getMessage().c_str());
        report.reported = true;
    } catch (...) {
        std::snprintf(report.text, sizeof report.text, "unknown error");
        report.reported = true;
    }
    // A vanished device fails every send: say so once, and once more when sending works again.
    if (report.reported) {
        if (m->failedSends++ == 0)
            lc_logmsg(LC_LOG_ERROR, "midioutput: sending failed: %s", report.text);
    } else if (m->failedSends != 0) {
        lc_logmsg(LC_LOG_NOTICE, "midioutput: sending works again after %lu failed messages", m->failedSends);
        m->failedSends = 0;
    }
}

void sleep_seconds(double seconds) {
    timespec pause{0, static_cast<long>(seconds * 1e9)};
    nanosleep(&pause, nullptr);
}

constexpr double kSenderNap = 0.005;

// Wakes the sender after a change of `openPort`, `routeOwn` or `stopSender`.
void ports_changed(MidiOut_t* m) {
    m->portChanges.fetch_add(1, std::memory_order_release);
    m->portChanges.notify_all();
}

// Sends every queued message at its stream time, in queue order.
void sender_main(MidiOut_t* m) {
    pthread_setname_np(pthread_self(), "lc-midi-send");
    while (!m->stopSender.load(std::memory_order_acquire)) {
        if (const TimedEvent_t* now = m->direct.front()) {
            send_now(m, now->bytes, now->size);
            m->direct.pop();
            continue;
        }
        const uint32_t ports = m->portChanges.load(std::memory_order_acquire);
        const TimedEvent_t* event = m->queue.front();
        if (event == nullptr) {
            // While the own JACK port (or no port) is in use nothing comes this way at all: asleep
            // until a port change. Otherwise the timer pass queues events 20 ms ahead of their
            // time, so a nap of a few milliseconds costs no timing.
            if (m->openPort.load(std::memory_order_acquire) < 0 ||
                m->routeOwn.load(std::memory_order_acquire) != 0) {
                if (!m->stopSender.load(std::memory_order_acquire)) // set before its bump
                    m->portChanges.wait(ports, std::memory_order_acquire);
            } else
                sleep_seconds(kSenderNap);
            continue;
        }
        if (!m->flushing.load(std::memory_order_acquire)) {
            const double wait = event->time - clock_now(m);
            // Asleep until shortly before the time (a message of another thread waits no longer
            // than a nap), then closely up to it.
            if (wait > 0.0) {
                sleep_seconds(wait > 0.002 ? std::fmin(wait - 0.001, kSenderNap)
                                           : (wait > 0.0002 ? wait - 0.0001 : 0.00005));
                continue;
            }
        }
        send_now(m, event->bytes, event->size);
        m->queue.pop();
    }
}

template <size_t N>
bool enqueue(MidiOut_t* m, lumacore::SpscQueue<TimedEvent_t, N>& queue, double time, const unsigned char* bytes,
             int size) {
    TimedEvent_t event{};
    event.time = time;
    event.kind = EVENT_MIDI;
    event.size = static_cast<unsigned char>(size < 3 ? size : 3);
    for (int i = 0; i < event.size; ++i)
        event.bytes[i] = bytes[i];
    if (queue.push(event))
        return true;
    m->dropped.fetch_add(1, std::memory_order_relaxed);
    return false;
}

bool offer_event(EventOutput_t* self, const TimedEvent_t* event) {
    MidiOut_t* m = static_cast<MidiOut_t*>(self->context);
    if (event->kind != EVENT_MIDI || event->size == 0)
        return true;
    if (m->openPort.load(std::memory_order_acquire) < 0)
        return true;
    if (m->capture) {
        capture_append(m, event->bytes, event->size, event->time);
        return true;
    }
    if (m->routeOwn.load(std::memory_order_acquire)) {
        EventOutput_t* own = jackmidiport_event_output(m->ownJack);
        return own->offer(own, event);
    }
    return enqueue(m, m->queue, event->time, event->bytes, event->size);
}

void send3(MidiOut_t* m, int status, int channel, int data1, int data2) {
    const unsigned char bytes[3] = {static_cast<unsigned char>(status | (channel & 0x0F)),
                                    static_cast<unsigned char>(data1 & 0xFF),
                                    static_cast<unsigned char>(data2 & 0xFF)};
    midioutput_send_msg(m, bytes, 3);
}

void send1(MidiOut_t* m, unsigned char status) {
    midioutput_send_msg(m, &status, 1);
}

} // namespace

extern "C" {

namespace {

// The system's MIDI service: RtMidi's port object on it, or none where `own` lists its ports
// (JACK, with the own port joined to the server).
struct ChosenApi {
    RtMidiOut* port = nullptr;
    RtMidi::Api api = RtMidi::UNSPECIFIED;
};

// The first API that offers ports (or, with `keepEmpty`, the first usable one); no API when none
// can be used.
ChosenApi choose_api(bool keepEmpty, bool* anyPortObject, JackMidiPort_t* own) {
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    ChosenApi empty;
    // The first compiled API is the platform's default; the others are tried when it offers nothing
    // (e.g. JACK on a system without the ALSA sequencer).
    for (RtMidi::Api api : apis) {
        if (api == RtMidi::RTMIDI_DUMMY)
            continue;
        const bool onDemand = api == RtMidi::UNIX_JACK && own != nullptr;
        if (!onDemand && !api_reachable(api))
            continue;
        RtMidiOut* candidate = onDemand ? nullptr : open_api(api);
        if (candidate == nullptr && !onDemand)
            continue;
        *anyPortObject = true;
        size_t count = 0;
        if (onDemand) {
            count = jackmidiport_midi_inputs(own).size();
        } else {
            CallReport report;
            try {
                ReportScope scope(report);
                count = candidate->getPortCount();
            } catch (const RtMidiError&) {
            }
        }
        if (count > 0) {
            delete empty.port;
            return ChosenApi{candidate, api};
        }
        if (keepEmpty && empty.api == RtMidi::UNSPECIFIED)
            empty = ChosenApi{candidate, api};
        else
            delete candidate;
    }
    return empty;
}

MidiOut_t* create_output(ChosenApi chosen, JackMidiPort_t* own) {
    MidiOut_t* m = new (std::nothrow) MidiOut_t;
    if (m == nullptr) {
        delete chosen.port;
        lc_logmsg(LC_LOG_ERROR, "Midi output initialization failed");
        return nullptr;
    }
    m->port = chosen.port;
    m->jackOnDemand = chosen.api == RtMidi::UNIX_JACK && chosen.port == nullptr;
    m->rtmidiJackClient.store(chosen.api == RtMidi::UNIX_JACK && chosen.port != nullptr ? 1 : 0);
    m->ownJack = own;
    m->output.offer = offer_event;
    m->output.context = m;
    try {
        m->sender = std::thread(sender_main, m);
    } catch (const std::system_error&) {
        delete chosen.port;
        delete m;
        lc_logmsg(LC_LOG_ERROR, "Midi output initialization failed");
        return nullptr;
    }
    if (chosen.api != RtMidi::UNSPECIFIED)
        lc_logmsg(LC_LOG_PROGRESS, "midioutput: using %s%s", RtMidi::getApiDisplayName(chosen.api).c_str(),
                  m->jackOnDemand ? " (its client opened with a port of it)" : "");
    return m;
}

// Opens RtMidi's JACK client with its port connected to the system port `name` (jackOnDemand, no
// port open). RtMidi reports into the caller's ReportScope. GUI thread.
bool open_jack_on_demand(MidiOut_t* m, const std::string& name, const CallReport& report) {
    const std::vector<std::string> listed = jackmidiport_midi_inputs(m->ownJack);
    if (std::find(listed.begin(), listed.end(), name) == listed.end())
        throw RtMidiError("no such port", RtMidiError::INVALID_PARAMETER);
    std::unique_ptr<RtMidiOut> client(open_api(RtMidi::UNIX_JACK));
    if (client == nullptr)
        throw RtMidiError("RtMidi's JACK client cannot be opened", RtMidiError::DRIVER_ERROR);
    // RtMidi counts the ports afresh: find the listed one again by its name.
    const unsigned count = client->getPortCount();
    unsigned index = 0;
    while (index < count && client->getPortName(index) != name)
        ++index;
    if (index == count)
        throw RtMidiError("no such port", RtMidiError::INVALID_PARAMETER);
    client->openPort(index, kPortName);
    if (report.failed || !client->isPortOpen())
        return false;
    std::lock_guard<std::mutex> guard(m->sendLock);
    m->port = client.release();
    m->rtmidiJackClient.store(1, std::memory_order_release);
    m->failedSends = 0;
    return true;
}

} // namespace

MidiOut_t* midioutput_init(void) {
    bool anyPortObject = false;
    const ChosenApi chosen = choose_api(false, &anyPortObject, nullptr);
    if (chosen.port == nullptr) {
        lc_logmsg(LC_LOG_ERROR, anyPortObject ? "No MIDI ports" : "Midi output initialization failed");
        return nullptr;
    }
    MidiOut_t* m = create_output(chosen, nullptr);
    if (m != nullptr && enumerate_ports(m) == 0) {
        lc_logmsg(LC_LOG_ERROR, "No MIDI ports");
        midioutput_free(m);
        return nullptr;
    }
    return m;
}

MidiOut_t* midioutput_init_own(JackMidiPort_t* own) {
    bool anyPortObject = false;
    const ChosenApi chosen = choose_api(true, &anyPortObject, own);
    if (chosen.api == RtMidi::UNSPECIFIED && own == nullptr) {
        lc_logmsg(LC_LOG_ERROR, "Midi output initialization failed");
        return nullptr;
    }
    MidiOut_t* m = create_output(chosen, own);
    if (m == nullptr)
        return nullptr;
    if (own == nullptr) {
        // No JACK server: the own port is a virtual port of the MIDI service, where it has them.
        const RtMidi::Api api = chosen.api;
        m->ownVirtual = api == RtMidi::LINUX_ALSA || api == RtMidi::UNIX_JACK || api == RtMidi::MACOSX_CORE;
    }
    enumerate_ports(m);
    return m;
}

MidiOut_t* midioutput_init_capture(size_t capacity, lc_gettime_fn gettime, void* udata) {
    if (capacity == 0)
        return nullptr;
    MidiOut_t* m = new (std::nothrow) MidiOut_t;
    if (m == nullptr)
        return nullptr;
    m->capture = true;
    m->slots = new (std::nothrow) CaptureSlot[capacity];
    if (m->slots == nullptr) {
        delete m;
        return nullptr;
    }
    m->capacity = capacity;
    m->gettime = gettime;
    m->gettimeData = udata;
    m->output.offer = offer_event;
    m->output.context = m;
    enumerate_ports(m);
    return m;
}

void midioutput_free(MidiOut_t* m) {
    if (m == nullptr)
        return;
    if (m->openPort.load(std::memory_order_acquire) >= 0)
        midioutput_close(m);
    m->stopSender.store(1, std::memory_order_release);
    ports_changed(m);
    if (m->sender.joinable())
        m->sender.join();
    delete m->port;
    free_port_names(m);
    delete[] m->slots;
    delete m;
}

int midioutput_open(MidiOut_t* m, int port) {
    if (port < 0)
        port = 0;
    if (m->openPort.load(std::memory_order_acquire) >= 0)
        midioutput_close(m);
    std::string name;
    CallReport report;
    bool opened = false;
    try {
        ReportScope scope(report);
        const bool own = port < own_count(m);
        const unsigned index = static_cast<unsigned>(port - own_count(m));
        if (m->capture || own || m->jackOnDemand) {
            if (port >= m->portCount)
                throw RtMidiError("no such port", RtMidiError::INVALID_PARAMETER);
            name = m->portNames[port];
        } else {
            if (m->port == nullptr || index >= m->port->getPortCount())
                throw RtMidiError("no such port", RtMidiError::INVALID_PARAMETER);
            name = m->port->getPortName(index);
        }
        lc_logmsg(LC_LOG_PROGRESS, "midioutput: opening port %d: %s", port, name.c_str());
        if (m->capture) {
            opened = true;
        } else if (own && m->ownJack != nullptr) {
            m->routeOwn.store(1, std::memory_order_release);
            opened = true;
        } else if (m->jackOnDemand) {
            opened = open_jack_on_demand(m, name, report);
        } else if (own) {
            std::lock_guard<std::mutex> guard(m->sendLock);
            m->port->openVirtualPort(kOwnPortName);
            opened = !report.failed && m->port->isPortOpen();
            m->failedSends = 0;
        } else {
            std::lock_guard<std::mutex> guard(m->sendLock);
            m->port->openPort(index, kPortName);
            opened = !report.failed && m->port->isPortOpen();
            m->failedSends = 0;
        }
    } catch (const RtMidiError& error) {
        std::snprintf(report.text, sizeof report.text, "%s", error.getMessage().c_str());
    }
    if (!opened) {
        lc_logmsg(LC_LOG_ERROR, "Could not open midi output: %s",
                  report.text[0] != '\0' ? report.text : "port not opened");
        return 1;
    }
    if (report.reported)
        lc_logmsg(LC_LOG_WARNING, "midioutput: %s", report.text);
    m->openPort.store(port, std::memory_order_release);
    ports_changed(m);
    return 0;
}

void midioutput_close(MidiOut_t* m) {
    lc_logmsg(LC_LOG_PROGRESS, "midioutput: closing port");
    m->openPort.store(-1, std::memory_order_release);
    m->routeOwn.store(0, std::memory_order_release);
    ports_changed(m);
    if (m->capture || m->port == nullptr)
        return;
    std::lock_guard<std::mutex> guard(m->sendLock);
    CallReport report;
    try {
        ReportScope scope(report);
        m->port->closePort();
    } catch (const RtMidiError& error) {
        std::snprintf(report.text, sizeof report.text, "%s", error.getMessage().c_str());
        report.reported = true;
    }
    if (m->jackOnDemand) { // its client leaves the server with the port
        delete m->port;
        m->port = nullptr;
        m->rtmidiJackClient.store(0, std::memory_order_release);
    }
    if (report.reported)
        lc_logmsg(LC_LOG_WARNING, "midioutput: closing port: %s", report.text);
}

int midioutput_uses_jack(const MidiOut_t* m) {
    return m->rtmidiJackClient.load(std::memory_order_acquire);
}

unsigned midioutput_port_generation(const MidiOut_t* m) {
    return m->portChanges.load(std::memory_order_acquire);
}

int midioutput_open_port(const MidiOut_t* m) {
    return m->openPort.load(std::memory_order_acquire);
}

int midioutput_reinitialize_devices(MidiOut_t* m) {
    return enumerate_ports(m);
}

char** midioutput_port_names(const MidiOut_t* m) {
    return m->portNames;
}

int midioutput_port_count(const MidiOut_t* m) {
    return m->portCount;
}

void midioutput_send_msg(MidiOut_t* m, const unsigned char* bytes, int size) {
    if (m == nullptr || bytes == nullptr || size <= 0)
        return;
    if (m->openPort.load(std::memory_order_acquire) < 0)
        return;
    if (m->capture) {
        capture_append(m, bytes, size, m->gettime != nullptr ? m->gettime(m->gettimeData) : 0.0);
        return;
    }
    if (m->routeOwn.load(std::memory_order_acquire)) {
        jackmidiport_send_now(m->ownJack, bytes, size);
        return;
    }
    std::lock_guard<std::mutex> guard(m->directLock);
    enqueue(m, m->direct, 0.0, bytes, size);
}

void midioutput_set_clock(MidiOut_t* m, lc_gettime_fn gettime, void* udata) {
    m->clockData.store(udata, std::memory_order_release);
    m->clock.store(gettime, std::memory_order_release);
}

int midioutput_flush(MidiOut_t* m, double timeoutSeconds) {
    if (m->capture || !m->sender.joinable())
        return 0;
    m->flushing.store(1, std::memory_order_release);
    const long steps = timeoutSeconds > 0.0 ? static_cast<long>(timeoutSeconds / 0.001) + 1 : 1;
    long step = 0;
    while (m->queue.size() + m->direct.size() > 0 && step++ < steps)
        sleep_seconds(0.001);
    m->flushing.store(0, std::memory_order_release);
    return m->queue.size() + m->direct.size() == 0 ? 0 : 1;
}

unsigned long midioutput_dropped(const MidiOut_t* m) {
    return m->dropped.load(std::memory_order_relaxed);
}

void midioutput_send_note_on(MidiOut_t* m, int channel, int note, int velocity) {
    send3(m, 0x90, channel, note, velocity);
}

void midioutput_send_note_off(MidiOut_t* m, int channel, int note, int velocity) {
    send3(m, 0x80, channel, note, velocity);
}

void midioutput_send_ctrl(MidiOut_t* m, int channel, int controller, int value) {
    send3(m, 0xB0, channel, controller, value);
}

void midioutput_send_clock(MidiOut_t* m) {
    send1(m, 0xF8);
}

void midioutput_send_start(MidiOut_t* m) {
    send1(m, 0xFA);
}

void midioutput_send_stop(MidiOut_t* m) {
    send1(m, 0xFC);
}

int midioutput_is_capture(const MidiOut_t* m) {
    return m->capture ? 1 : 0;
}

size_t midioutput_capture_count(const MidiOut_t* m) {
    const size_t claimed = m->claimed.load(std::memory_order_acquire);
    return claimed < m->capacity ? claimed : m->capacity;
}

size_t midioutput_capture_overflow(const MidiOut_t* m) {
    return m->overflow.load(std::memory_order_acquire);
}

int midioutput_capture_get(const MidiOut_t* m, size_t index, MidiCaptureEntry_t* out) {
    if (!m->capture || index >= midioutput_capture_count(m))
        return 1;
    const CaptureSlot& slot = m->slots[index];
    if (slot.ready.load(std::memory_order_acquire) == 0)
        return 1;
    *out = slot.entry;
    return 0;
}

void midioutput_capture_clear(MidiOut_t* m) {
    if (!m->capture)
        return;
    // Only slots claimed since the last clear can be marked: the rest of a large sink stays
    // untouched, which matters to a caller that clears after every millisecond's pass.
    const size_t used = midioutput_capture_count(m);
    for (size_t i = 0; i < used; ++i)
        m->slots[i].ready.store(0, std::memory_order_relaxed);
    m->overflow.store(0, std::memory_order_relaxed);
    m->claimed.store(0, std::memory_order_release);
}

} // extern "C"

EventOutput_t* midioutput_event_output(MidiOut_t* m) {
    return m != nullptr ? &m->output : nullptr;
}
