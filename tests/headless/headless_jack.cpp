// The built program in headless mode on private JACK servers: its MIDI goes to a JACK MIDI input
// of the test, stamped with JACK frame times (the audio clock); music, where the test plays it,
// comes from the same client.

#include "child_program.h"
#include "jack_rig.h"
#include "jack_server.h"
#include "synth_music.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using beatlume::test::JackRig;
using Message = beatlume::test::MidiMessage;

// `beatlume --headless ARGS` with its output in a file.
class Headless : public beatlume::test::ChildProgram {
public:
    Headless(std::vector<std::string> args, const std::string& outputPath)
        : ChildProgram(withProgram(std::move(args), outputPath), outputPath) {}
    std::string text() const { return output(); }
    // The last status line ("120.0 BPM  …").
    std::string status() const {
        std::stringstream lines(text());
        std::string line, last;
        while (std::getline(lines, line))
            if (line.find(" BPM  ") != std::string::npos)
                last = line;
        return last;
    }

private:
    static std::vector<std::string> withProgram(std::vector<std::string> args, const std::string& outputPath) {
        args.insert(args.begin(), {BEATLUME_PROGRAM, "--headless", "--log", outputPath + ".log"});
        return args;
    }
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

std::string outputPath(const char* name) {
    return std::string(BEATLUME_BINARY_DIR) + "/" + name + "-" + std::to_string(getpid()) + ".txt";
}

} // namespace

// The demo (no audio input on JACK) with MIDI on the program's own port: within 15 s of music
// (on the audio clock) the tempo reads 120 and "locked". The JACK server then goes away and comes
// back: the loss shows in the status line, the own port joins the new server by itself and beat
// notes flow again; SIGTERM sends Stop and leaves no note sounding, within two seconds.
TEST(HeadlessOverJack, TracksTheDemoRejoinsItsOwnPortAndStopsCleanlyOnSigterm) {
    beatlume::test::JackServer server;
    if (!server.available())
        GTEST_SKIP() << server.skip_reason();
    Headless program({"--demo"}, outputPath("headless-demo"));
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(waitFor([&] { return !program.status().empty(); }, 60)) << program.text();
    {
        JackRig clock("headless-clock"); // closed before its server goes
        const jack_nframes_t musicStart = clock.now();
        ASSERT_TRUE(waitFor([&] {
            const std::string line = program.status();
            return line.find("locked") != std::string::npos && std::abs(std::stod(line) - 120.0) <= 1.0;
        }, 60)) << program.text();
        EXPECT_LE(clock.now() - musicStart, 15u * 44100u) << program.text();
    }
    server.stop();
    EXPECT_TRUE(waitFor([&] { return program.status().find("JACK server has gone") != std::string::npos; }, 30))
        << program.text();
    ASSERT_TRUE(server.start()) << server.skip_reason();
    JackRig rig("headless-test");
    ASSERT_TRUE(rig.ready());
    EXPECT_TRUE(waitFor([&] {
        const auto all = rig.messages();
        const auto clocks = std::count_if(all.begin(), all.end(), [](const Message& m) { return m.bytes[0] == 0xF8; });
        return rig.connectMidiFrom("Beatlume:Beatlume") && std::count_if(all.begin(), all.end(), isNoteOn) >= 8 &&
               clocks > 24 * 2;
    }, 120)) << program.text();

    const jack_nframes_t stopAt = rig.now();
    EXPECT_EQ(program.terminate(2), 0) << program.text();
    const auto stopped = [&] {
        const auto all = rig.messages();
        return std::any_of(all.begin(), all.end(), [&](const Message& m) { return m.bytes[0] == 0xFC && m.frame >= stopAt; });
    };
    EXPECT_TRUE(waitFor(stopped, 10)) << "no MIDI Stop after SIGTERM\n" << program.text();
    bool sounding[128] = {};
    for (const Message& m : rig.messages())
        if ((m.bytes[0] & 0xE0) == 0x80) // note-on or note-off
            sounding[m.bytes[1] & 0x7F] = isNoteOn(m);
    EXPECT_EQ(std::count(std::begin(sounding), std::end(sounding), true), 0) << "notes still sound after the end";
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
    JackRig rig("headless-test", synth::renderMusicFloat(spec));
    ASSERT_TRUE(rig.ready());
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
    EXPECT_GE(onPattern * 10, static_cast<long>(intervals.size()) * 8) << program.status();
    EXPECT_EQ(program.terminate(), 0) << program.text();
}

INSTANTIATE_TEST_SUITE_P(JackServers, HeadlessDeviceRate, ::testing::Values(48000, 96000));

// The same with the input on the JACK server that goes away: the program joins the new server by
// itself with its input and its own MIDI port, and music gives beat notes again.
TEST(HeadlessOverJack, RejoinsAJackServerThatWentAwayAndCameBack) {
    beatlume::test::JackServer server;
    if (!server.available())
        GTEST_SKIP() << server.skip_reason();
    Headless program({"--input", "system"}, outputPath("headless-server-loss"));
    ASSERT_TRUE(waitFor([&] { return !program.status().empty(); }, 60)) << program.text();
    server.stop();
    EXPECT_TRUE(waitFor([&] { return program.status().find("JACK server has gone") != std::string::npos; }, 30))
        << program.text();
    ASSERT_TRUE(server.start()) << server.skip_reason();
    synth::MusicSpec spec;
    spec.seconds = 16.0;
    JackRig rig("headless-test", synth::renderMusicFloat(spec));
    ASSERT_TRUE(rig.ready());
    EXPECT_TRUE(waitFor([&] {
        const auto all = rig.messages();
        return rig.connectMusic() && rig.connectMidiFrom("Beatlume:Beatlume") &&
               std::count_if(all.begin(), all.end(), isNoteOn) >= 8;
    }, 120)) << program.text();
    EXPECT_EQ(program.terminate(2), 0) << program.text();
}
