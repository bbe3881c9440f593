#include "Headless.h"

#include "AudioInterface.h"
#include "EngineLog.h"
#include "TrackingStatus.h"
#include "lumacore.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

int stopPipe[2] = {-1, -1};

// Only wakes the main loop: everything else happens there.
extern "C" void onStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(stopPipe[1], &byte, 1);
    errno = saved;
}

bool installStopSignals() {
    if (pipe(stopPipe) != 0)
        return false;
    for (int fd : stopPipe)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

// Engines without a MIDI port have no threads of their own (the engine refuses to start live
// without one): this runs their analysis and a timer pass every millisecond, as the live
// engine's threads would, so that tracking and the status line work all the same.
class VirtualEngineDriver {
public:
    explicit VirtualEngineDriver(LumaCore_t* engine) : engine_(engine) {}
    void attach(AudioInterface* audio) { audio_ = audio; }
    ~VirtualEngineDriver() { pause(); }
    void resume() {
        if (!thread_.joinable() && audio_)
            thread_ = std::thread([this] { run(); });
    }
    void pause() {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
        stop_.store(false);
    }

private:
    void run() {
        while (!stop_.load()) {
            lc_consume_audio(engine_);
            const FilePlayback* playing = audio_->playback();
            const double now = playing ? FilePlayback::streamTime(const_cast<FilePlayback*>(playing))
                                       : AudioInterface::GetStreamTime(audio_);
            lc_timer_pass(engine_, now);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    LumaCore_t* engine_;
    AudioInterface* audio_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

int findByName(const std::vector<std::string>& names, const std::string& wanted) {
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == wanted)
            return static_cast<int>(i);
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i].find(wanted) != std::string::npos)
            return static_cast<int>(i);
    return -1;
}

std::vector<std::string> midiPorts(LumaCore_t* engine) {
    std::vector<std::string> names;
    for (char** name = lc_get_mididev_list(engine); name && *name; ++name)
        names.emplace_back(*name);
    return names;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += (i ? ", " : "") + std::to_string(i) + " \"" + names[i] + "\"";
    return text.empty() ? "none" : text;
}

// Selects the input the options ask for; false with a reason when there is no such device.
bool selectInput(AudioInterface& audio, const HeadlessOptions& o, std::string& error) {
    if (o.demo) {
        audio.selectSource(makeDemoSource());
        return true;
    }
    if (!o.file.empty()) {
        auto source = openSoundFile(o.file, error);
        if (!source)
            return false;
        audio.selectSource(std::move(source));
        return true;
    }
    const std::vector<std::string>& devices = audio.getAudioDevList();
    int index = -1;
    if (!o.input.empty()) {
        index = findByName(devices, o.input);
        char* end = nullptr;
        const long number = std::strtol(o.input.c_str(), &end, 10);
        if (index < 0 && *end == '\0' && number >= 0 && number < static_cast<long>(devices.size()))
            index = static_cast<int>(number);
        if (index < 0) {
            error = "no audio input \"" + o.input + "\"; inputs: " + joined(devices);
            return false;
        }
    } else if (devices.empty()) {
        error = "no audio input device; try --demo or --file SONG";
        return false;
    }
    audio.selectAudioDev(index);
    if (!o.channels.empty()) {
        const int count = static_cast<int>(audio.getCurrentChannels().size());
        for (int c = 0; c < count; ++c)
            audio.toggleChannel(c, 0);
        for (int c : o.channels) {
            if (c > count) {
                error = "channel " + std::to_string(c) + " does not exist; the input has " + std::to_string(count);
                return false;
            }
            audio.toggleChannel(c - 1, 1);
        }
    }
    return true;
}

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

int listDevices() {
    LumaCore_t* engine = lc_init(-1, -1);
    {
        AudioInterface audio(nullptr, {});
        std::printf("Audio inputs: %s\n", joined(audio.getAudioDevList()).c_str());
    }
    std::printf("MIDI ports: %s\n", engine ? joined(midiPorts(engine)).c_str() : "none");
    lc_close(engine);
    return 0;
}

int runHeadless(const HeadlessOptions& o) {
    EngineLog log(o.logFile.empty() ? EngineLog::defaultPath() : o.logFile);
    log.install();
    if (!installStopSignals()) {
        std::fprintf(stderr, "beatlume: cannot install the stop signals\n");
        return 1;
    }

    LumaCore_t* engine = lc_init(-1, -1);
    const bool live = engine != nullptr;
    if (!engine)
        engine = lc_init_virtual(1);
    if (!engine) {
        std::fprintf(stderr, "beatlume: the engine cannot start\n");
        return 1;
    }
    if (live && !o.midiPort.empty()) {
        const std::vector<std::string> ports = midiPorts(engine);
        const int port = findByName(ports, o.midiPort);
        if (port < 0 || lc_set_mididev(engine, port) != 0) {
            std::fprintf(stderr, "beatlume: no MIDI port \"%s\"; ports: %s\n", o.midiPort.c_str(),
                         joined(ports).c_str());
            lc_close(engine);
            return 2;
        }
    }

    VirtualEngineDriver driver(engine);
    auto applySettings = [&] {
        double medians[3];
        lc_change_half_time(engine, o.halfLife);
        if (tempoRangeMedians(o.tempoRange, medians))
            lc_change_myyValues(engine, medians[0], medians[1], medians[2]);
        lc_set_anti_delay(engine, o.antiDelay);
        lc_enable_midiclock(engine, o.clock ? 1 : 0);
        lc_enable_midinote(engine, o.notes ? 1 : 0);
        lc_enable_midiphase(engine, o.phase ? 1 : 0);
        lc_set_link_latency_offset(engine, o.linkOffset);
        lc_set_osc_latency_offset(engine, o.oscOffset);
        lc_set_osc_bundles(engine, o.oscBundles ? 1 : 0);
        if (!o.oscHost.empty() && lc_set_osc_destination(engine, o.oscHost.c_str(), o.oscPort) == 0)
            lc_enable_osc(engine, 1);
        if (o.link)
            lc_enable_link(engine, 1);
        if (!live)
            driver.resume();
    };
    AudioEngineHooks hooks;
    hooks.stopEngine = [&] {
        driver.pause();
        lc_stop(engine);
    };
    hooks.restartEngine = [&] { lc_run(engine); };
    hooks.engineStarted = applySettings;
    auto audio = std::make_unique<AudioInterface>(engine, std::move(hooks));
    driver.attach(audio.get());

    std::string error;
    if (!selectInput(*audio, o, error)) {
        std::fprintf(stderr, "beatlume: %s\n", error.c_str());
        driver.pause();
        audio = nullptr;
        lc_close(engine);
        return 2;
    }

    const FilePlayback* playing = audio->playback();
    std::printf("Beatlume headless: %s. Stop with Ctrl+C; use a real input with --input NAME (--list shows "
                "them, --help all options).\n",
                playing ? ("playing " + playing->name() + (playing->audible() ? "" : " (not heard: no output device)"))
                              .c_str()
                        : "listening to the audio input");
    if (!live)
        std::printf("No MIDI output port: tracking without MIDI.\n");
    if (!log.path().empty())
        std::printf("Log: %s\n", log.path().c_str());
    std::fflush(stdout);

    const bool terminal = isatty(STDOUT_FILENO) == 1;
    std::string note;
    double noteUntil = 0.0;
    for (;;) {
        pollfd wake{stopPipe[0], POLLIN, 0};
        if (poll(&wake, 1, 250) > 0)
            break;
        if (playing && playing->finished()) {
            note = "the file has ended";
            break;
        }
        audio->checkHealth();
        if (log.drain()) {
            note = log.lastProblem();
            noteUntil = steadySeconds() + 10.0;
        } else if (steadySeconds() > noteUntil) {
            note.clear();
        }

        TrackingReading r;
        double periods[3] = {0, 0, 0};
        lc_get_meter_estimate(engine, periods, nullptr, nullptr);
        if (periods[1] > 0)
            r.beatsPerBar = periods[0] / periods[1];
        r.bpm = lc_get_bpm(engine);
        double beat = 0, tatum = 0;
        lc_get_meter_phases(engine, &r.barPhase, &beat, &tatum);
        r.state = lc_tracking_state_name(lc_get_tracking_state(engine));
        r.confidence = lc_get_confidence(engine);
        r.levelDb = lc_get_input_level(engine);
        const std::string line = formatStatus(r, note);
        if (terminal)
            std::printf("\r%s\033[K", line.c_str());
        else
            std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    // A device that went away can keep its stream's close waiting on the audio server: the
    // program ends within a bounded time whatever the audio host does.
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(900));
        std::fputs("beatlume: the audio or MIDI device did not close in time; leaving anyway\n", stderr);
        std::_Exit(0);
    }).detach();
    lc_enable_midiclock(engine, 0);
    lc_enable_midinote(engine, 0);
    // MIDI services (JACK) pass messages on in their next cycle, and a cycle lost on a busy
    // machine loses them: wait for a few cycles and say Stop once more (it does no harm twice)
    // before the port closes.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    midioutput_send_stop(lc_get_midi_output(engine));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::printf("%sStopped%s%s.\n", terminal ? "\n" : "", note.empty() ? "" : ": ", note.c_str());
    std::fflush(stdout);
    log.drain();
    driver.pause();
    lc_stop(engine);
    audio = nullptr;
    lc_close(engine);
    log.uninstall();
    return 0;
}
