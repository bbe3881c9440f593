// The built program in headless mode on private JACK servers: its MIDI goes to a JACK MIDI input
// of the test, stamped with JACK frame times (the audio clock); music, where the test plays it,
// comes from the same client.

#include "jack_server.h"
#include "synth_music.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace {

struct Message {
    jack_nframes_t frame;
    unsigned char bytes[3];
};

// Records the MIDI reaching its input and loops `music` (if any) on its audio output. The process
// callback neither allocates nor locks.
class Rig {
public:
    explicit Rig(std::vector<float> loop = {}) : music(std::move(loop)), received(100000) {
        client = jack_client_open("headless-test", JackNoStartServer, nullptr);
        if (!client)
            return;
        out = jack_port_register(client, "music", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        midiIn = jack_port_register(client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client, &Rig::process, this);
        active = out && midiIn && jack_activate(client) == 0;
    }
    ~Rig() {
        if (client) {
            jack_deactivate(client);
            jack_client_close(client);
        }
    }
    bool connectMusic() const {
        const char** ports = jack_get_ports(client, "^PortAudio.*:in", nullptr, JackPortIsInput);
        const bool ok = ports && ports[0] && jack_connect(client, "headless-test:music", ports[0]) == 0;
        if (ports)
            jack_free(ports);
        return ok;
    }
    jack_nframes_t now() const { return jack_frame_time(client); }
    std::vector<Message> messages() const {
        return {received.begin(), received.begin() + static_cast<long>(count.load(std::memory_order_acquire))};
    }
    bool active = false;

private:
    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<Rig*>(arg);
        auto* audio = static_cast<float*>(jack_port_get_buffer(self->out, frames));
        for (jack_nframes_t i = 0; i < frames; ++i) {
            audio[i] = self->music.empty() ? 0.0f : self->music[self->position];
            self->position = self->music.empty() ? 0 : (self->position + 1) % self->music.size();
        }
        void* midi = jack_port_get_buffer(self->midiIn, frames);
        const jack_nframes_t start = jack_last_frame_time(self->client);
        size_t n = self->count.load(std::memory_order_relaxed);
        for (uint32_t e = 0; e < jack_midi_get_event_count(midi) && n < self->received.size(); ++e) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, midi, e) != 0 || event.size == 0)
                continue;
            Message m{start + event.time, {0, 0, 0}};
            std::copy_n(event.buffer, std::min<size_t>(event.size, 3), m.bytes);
            self->received[n++] = m;
        }
        self->count.store(n, std::memory_order_release);
        return 0;
    }
    jack_client_t* client = nullptr;
    jack_port_t* out = nullptr;
    jack_port_t* midiIn = nullptr;
    std::vector<float> music;
    size_t position = 0;
    std::vector<Message> received;
    std::atomic<size_t> count{0};
};

// `beatlume --headless ARGS` with its output in a file; killed when the test ends however it ends.
class Headless {
public:
    Headless(std::vector<std::string> args, const std::string& outputPath) : output(outputPath) {
        args.insert(args.begin(), {BEATLUME_PROGRAM, "--headless", "--log", outputPath + ".log"});
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        started = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Headless() {
        if (started && !ended) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    std::string text() const {
        std::ifstream in(output);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    // The last status line ("120.0 BPM  …").
    std::string status() const {
        std::stringstream lines(text());
        std::string line, last;
        while (std::getline(lines, line))
            if (line.find(" BPM  ") != std::string::npos)
                last = line;
        return last;
    }
    // SIGTERM, then the exit status once it has ended (-1 if it does not end within the harness's
    // deadline).
    int terminate() {
        kill(pid, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                ended = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }
    bool started = false;

private:
    std::string output;
    pid_t pid = -1;
    bool ended = false;
};

template <typename Condition> bool waitFor(Condition done, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

bool isNoteOn(const Message& m) {
    return (m.bytes[0] & 0xF0) == 0x90 && m.bytes[2] > 0;
}
bool isNoteOff(const Message& m) {
    return (m.bytes[0] & 0xF0) == 0x80 || ((m.bytes[0] & 0xF0) == 0x90 && m.bytes[2] == 0);
}

std::string outputPath(const char* name) {
    return std::string(BEATLUME_BINARY_DIR) + "/" + name + "-" + std::to_string(getpid()) + ".txt";
}

} // namespace

TEST(HeadlessOverJack, TracksTheDemoAndStopsCleanlyOnSigterm) {
    beatlume::test::JackServer server;
    if (!server.available())
        GTEST_SKIP() << server.skip_reason();
    Rig rig;
    ASSERT_TRUE(rig.active);
    Headless program({"--demo", "--midi-port", "headless-test:midi_in"}, outputPath("headless-demo"));
    ASSERT_TRUE(program.started);

    // From the first status line the demo plays; within 15 s of it (on the audio clock) the
    // tempo reads 120 and the state "locked".
    ASSERT_TRUE(waitFor([&] { return !program.status().empty(); }, 60)) << program.text();
    const jack_nframes_t musicStart = rig.now();
    const auto lockedOn120 = [&] {
        const std::string line = program.status();
        return line.find("locked") != std::string::npos && std::abs(std::stod(line) - 120.0) <= 1.0;
    };
    ASSERT_TRUE(waitFor(lockedOn120, 60)) << program.text();
    EXPECT_LE(rig.now() - musicStart, 15u * 44100u) << program.text();

    const jack_nframes_t stopAt = rig.now();
    EXPECT_EQ(program.terminate(), 0) << program.text();
    const auto stopped = [&] {
        const auto all = rig.messages();
        return std::any_of(all.begin(), all.end(), [&](const Message& m) { return m.bytes[0] == 0xFC && m.frame >= stopAt; });
    };
    EXPECT_TRUE(waitFor(stopped, 10)) << "no MIDI Stop after SIGTERM\n" << program.text();
    const auto all = rig.messages();
    bool sounding[128] = {};
    size_t clocks = 0;
    for (const Message& m : all) {
        clocks += m.bytes[0] == 0xF8;
        if (isNoteOn(m) || isNoteOff(m))
            sounding[m.bytes[1] & 0x7F] = isNoteOn(m);
    }
    EXPECT_GT(clocks, 24u * 2u);
    for (int note = 0; note < 128; ++note)
        EXPECT_FALSE(sounding[note]) << "note " << note << " still sounds after the program ended";
}

// Devices that run at another rate than the tracker's are converted: the beat notes follow 120
// BPM music played at 48 and 96 kHz.
class HeadlessDeviceRate : public ::testing::TestWithParam<int> {};

TEST_P(HeadlessDeviceRate, BeatNotesLandOnA120BpmPattern) {
    const int rate = GetParam();
    // Periods of 512 frames: 1.3 ms cycles at 96 kHz would be lost on a busy machine.
    beatlume::test::JackServer server(30.0, rate, 512);
    if (!server.available())
        GTEST_SKIP() << server.skip_reason();
    synth::MusicSpec spec;
    spec.seconds = 16.0; // whole bars: the loop keeps the beat
    spec.sampleRate = static_cast<unsigned int>(rate);
    Rig rig(synth::renderMusicFloat(spec));
    ASSERT_TRUE(rig.active);
    Headless program({"--input", "system", "--midi-port", "headless-test:midi_in"},
                     outputPath(("headless-rate-" + std::to_string(rate)).c_str()));
    ASSERT_TRUE(waitFor([&] { return !program.status().empty() && rig.connectMusic(); }, 60)) << program.text();

    const jack_nframes_t from = rig.now() + 10u * static_cast<unsigned>(rate);
    ASSERT_TRUE(waitFor([&] { return rig.now() >= from + 8u * static_cast<unsigned>(rate); }, 120));
    std::vector<double> beats, intervals;
    for (const Message& m : rig.messages())
        if (isNoteOn(m) && m.bytes[1] == 65 && m.frame >= from)
            beats.push_back(static_cast<double>(m.frame) / rate);
    for (size_t i = 1; i < beats.size(); ++i)
        intervals.push_back(beats[i] - beats[i - 1]);
    ASSERT_GE(intervals.size(), 10u) << program.text();
    const auto onPattern = std::count_if(intervals.begin(), intervals.end(), [](double d) { return std::abs(d - 0.5) < 0.03; });
    std::string seen;
    for (double d : intervals) seen += std::to_string(d).substr(0, 5) + " ";
    EXPECT_GE(onPattern * 10, static_cast<long>(intervals.size()) * 8) << program.status() << "\n" << seen;
    EXPECT_EQ(program.terminate(), 0) << program.text();
}

INSTANTIATE_TEST_SUITE_P(JackServers, HeadlessDeviceRate, ::testing::Values(48000, 96000));
