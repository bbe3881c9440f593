// MIDI output end to end on a private JACK server (dummy back end): the engine's MIDI output through
// RtMidi into a MIDI input of the test's own JACK client, Beatlume's own JACK MIDI port and its
// frame mapping, and stop/run cycles of a live engine.
#include <gtest/gtest.h>
#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "event_stream.h"
#include "frame_tie.h"
#include "jack_rig.h"
#include "jack_server.h"
#include "jackmidiport.h"
#include "log_capture.h"
#include "lumacore.h"
#include "ticker_support.h"

namespace {

TEST(MidiOverJack, WithoutAMidiServiceInitFailsWithAnErrorAndTheEngineRunsWithoutMidi) {
    if (access("/dev/snd/seq", F_OK) == 0)
        GTEST_SKIP() << "an ALSA sequencer exists here; its ports would be found";
    const std::string nowhere = "beatlume-no-server-" + std::to_string(getpid());
    setenv("JACK_DEFAULT_SERVER", nowhere.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    LogCapture log;
    EXPECT_EQ(midioutput_init(), nullptr);
    EXPECT_EQ(log.count("No MIDI ports") + log.count("Midi output initialization failed"), 1);
    LumaCore_t* lc = lc_init(-1, -1); // the engine still starts, without MIDI
    ASSERT_NE(lc, nullptr) << "status " << LUMACORE_ERROR_STATUS;
    EXPECT_TRUE(lc_get_current_mididev(lc) == -1 && lc_own_midi_port_name(lc) == nullptr);
    EXPECT_EQ(lc_enable_midiclock(lc, 1), 1);
    lc_close(lc);
    unsetenv("JACK_DEFAULT_SERVER");
}

// Index of the first name containing `part` in a list ended by null, or -1.
int find_port(char** names, const std::string& part) {
    for (int i = 0; names && names[i]; ++i)
        if (std::string(names[i]).find(part) != std::string::npos)
            return i;
    return -1;
}

// The non-sensing messages that reached `input`.
std::vector<std::vector<unsigned char>> heard(const beatlume::test::JackRig& input) {
    std::vector<std::vector<unsigned char>> bytes;
    for (const beatlume::test::MidiMessage& m : input.messages())
        if (m.bytes[0] != 0xFE)
            bytes.push_back(m.bytes[0] == 0x90 || m.bytes[0] == 0x91 ? std::vector<unsigned char>(m.bytes, m.bytes + 3)
                                                                     : std::vector<unsigned char>{m.bytes[0]});
    return bytes;
}

// A new JACK connection carries data only from a later process cycle on: Active Sensing goes out
// until one more has come through, so that nothing the test checks is sent into the void.
bool carries_data(MidiOut_t* m, const beatlume::test::JackRig& input) {
    auto sensed = [&] {
        const std::vector<beatlume::test::MidiMessage> got = input.messages();
        return std::count_if(got.begin(), got.end(), [](const auto& msg) { return msg.bytes[0] == 0xFE; });
    };
    const auto before = sensed();
    for (int tries = 0; tries < 20; ++tries) {
        const unsigned char sensing = 0xFE;
        midioutput_send_msg(m, &sensing, 1);
        if (eventually([&] { return sensed() > before; }, 1))
            return true;
    }
    return false;
}

// RtMidi's JACK output into the test's own JACK client, which is deactivated before it closes:
// an RtMidi JACK input here crashed now and then on libjack's process thread at its teardown.
TEST(MidiOverJack, MessagesArriveWithTheirBytesAtAJackMidiInput) {
    beatlume::test::JackServer server;
    if (!server.available())
        GTEST_SKIP() << "no JACK server for this test: " << server.skip_reason();
    beatlume::test::JackRig input("beatlume-test-in");
    ASSERT_TRUE(input.ready());

    // Where the ALSA sequencer is missing, this only works through the fallback to JACK.
    MidiOut_t* m = midioutput_init();
    ASSERT_NE(m, nullptr) << "no MIDI output although a JACK MIDI input exists";
    const int port = find_port(midioutput_port_names(m), "beatlume-test-in:midi_in");
    ASSERT_GE(port, 0);
    ASSERT_EQ(midioutput_open(m, port), 0);
    ASSERT_TRUE(carries_data(m, input)) << "the connection to the test's MIDI input never carried data";

    midioutput_send_start(m);
    midioutput_send_note_on(m, 17, 60, 100);
    midioutput_send_stop(m);
    EXPECT_TRUE(eventually([&] { return heard(input).size() >= 3; }));
    EXPECT_EQ(heard(input), (std::vector<std::vector<unsigned char>>{{0xFA}, {0x91, 0x3C, 0x64}, {0xFC}}));

    // A port that appears later is found by a new enumeration; the open port stays open.
    beatlume::test::JackRig later("beatlume-test-later");
    const int before = midioutput_port_count(m);
    EXPECT_EQ(midioutput_reinitialize_devices(m), before + 1);
    EXPECT_GE(find_port(midioutput_port_names(m), "beatlume-test-later:midi_in"), 0);
    ASSERT_TRUE(carries_data(m, input)) << "the connection to the test's MIDI input never carried data";

    midioutput_close(m);
    EXPECT_EQ(midioutput_open_port(m), -1);
    midioutput_free(m);
}

} // namespace

// Beatlume's own JACK MIDI port against a client of the test that plays the audio side (it ties
// each cycle's first frame to the stream time it would hand to the engine) and records every
// MIDI event it receives with its absolute frame.
namespace {

// The rig's cycle hook, on its process thread: the stream began at its first cycle.
struct StreamStart {
    JackMidiPort_t* own = nullptr;
    std::atomic<long long> firstFrame{-1};
    std::atomic<int> cycles{0};
    std::atomic<double> streamTime{0.0}; // of the latest cycle
    static void cycle(std::uint32_t start, void* self) {
        auto* s = static_cast<StreamStart*>(self);
        if (s->firstFrame.load() < 0)
            s->firstFrame.store(start);
        s->streamTime.store(static_cast<std::uint32_t>(start - s->firstFrame.load()) / 44100.0);
        jackmidiport_note_block(s->own, s->streamTime.load());
        s->cycles.fetch_add(1);
    }
};

} // namespace

TEST(OwnJackPort, EventsLeaveAtTheFramesOfTheirStreamTimes) {
    beatlume::test::JackServer server;
    if (!server.available())
        GTEST_SKIP() << "no JACK server for this test: " << server.skip_reason();
    StreamStart stream;
    stream.own = jackmidiport_open("beatlume-own", "Beatlume");
    ASSERT_NE(stream.own, nullptr);
    EXPECT_STREQ(jackmidiport_name(stream.own), "beatlume-own:Beatlume");
    auto rig = std::make_unique<beatlume::test::JackRig>("beatlume-rig", std::vector<float>{}, true,
                                                         StreamStart::cycle, &stream);
    ASSERT_TRUE(rig->ready() && rig->connectMidiFrom("beatlume-own:Beatlume"));
    ASSERT_TRUE(eventually([&] { return stream.cycles.load() > 10; }));

    // 48 Clocks at 24 per 0.5 s beat from 0.2 s after the present, handed over at once (as the
    // timer pass would, ahead of time) and a Stop without a time of its own.
    const double start = stream.streamTime.load() + 0.2;
    EventOutput_t* out = jackmidiport_event_output(stream.own);
    std::vector<long long> expected;
    for (int k = 0; k < 48; ++k) {
        TimedEvent_t clock{start + k * 0.5 / 24.0, 0.0, 0, 0, EVENT_MIDI, 0, 1, {0xF8}};
        ASSERT_TRUE(out->offer(out, &clock));
        expected.push_back(stream.firstFrame.load() + std::llround(clock.time * 44100.0));
    }
    ASSERT_TRUE(eventually([&] { return rig->messages().size() >= 48; }));
    const unsigned char stop = 0xFC;
    EXPECT_EQ(jackmidiport_send_now(stream.own, &stop, 1), 0);
    ASSERT_TRUE(eventually([&] { return rig->messages().size() >= 49; }));
    const std::vector<beatlume::test::MidiMessage> got = rig->messages();
    auto frame = [&](int k) { return static_cast<long long>(got[static_cast<size_t>(k)].frame); };

    // Each Clock on the frame of its stream time (give or take a constant of at most one period
    // and a frame of rounding), whatever period it was handed over in; never early, never out of
    // order. A loaded machine delays or skips cycles of the dummy server, and what was due in
    // them arrives late: only some must be exact (a wrong offset would leave about 2 so by chance).
    long long latency = frame(0) - expected[0];
    for (int k = 0; k < 48; ++k)
        latency = std::min(latency, frame(k) - expected[static_cast<size_t>(k)]);
    EXPECT_TRUE(latency >= -1 && latency <= 129) << latency;
    unsigned long exact = 0;
    for (int k = 0; k < 48; ++k) {
        EXPECT_EQ(got[static_cast<size_t>(k)].bytes[0], 0xF8);
        EXPECT_GE(frame(k), frame(std::max(k - 1, 0))) << k;
        exact += frame(k) - expected[static_cast<size_t>(k)] <= latency + 2 ? 1 : 0;
    }
    EXPECT_EQ(got[48].bytes[0], 0xFC);
    EXPECT_EQ(jackmidiport_lost(stream.own), 0u);
    const unsigned long late = jackmidiport_late(stream.own);
    rig.reset(); // its cycles use the port
    jackmidiport_close(stream.own);
    // A wrong offset leaves about 2 exact by chance, none written late; a machine too busy to keep
    // the dummy server's cycles leaves few exact, and counts the ones it wrote late.
    if (exact < 8 && late > 0)
        GTEST_SKIP() << "JACK's cycles ran late on this busy machine: " << exact << " of 48 Clocks exact, " << late
                     << " written late";
    EXPECT_GE(exact, 8u);
}

namespace {

// The mapping and the writer, in virtual time: 128-frame cycles on a frame counter that wraps
// during the run, the audio thread reporting each cycle's block, the process callback writing the
// events due in its period (one every 50 stream frames), and one upset at cycle 200 (at cycle 300
// the report is not a number, which changes nothing). Frames written count from the stream's start.
enum class Upset { None, CaptureReadsNextCycle, CaptureMissesACycle, WriterMissesACycle, WriterReadsNextCycle };

std::vector<long long> frames_written(Upset upset) {
    constexpr long long kOrigin = 0xFFFFFFFFLL - 100 * 128, kPeriod = 128;
    StreamFrameTie tie(44100.0);
    std::vector<long long> written;
    long long delivered = 0;
    for (long long k = 0; k < 800; ++k) {
        const long long start = kOrigin + k * kPeriod, next = k == 200 ? start + kPeriod : start;
        if (k != 200 || upset != Upset::CaptureMissesACycle) {
            tie.observe(k == 300 ? std::nan("") : static_cast<double>(delivered) / 44100.0,
                        static_cast<uint32_t>(upset == Upset::CaptureReadsNextCycle ? next : start));
            delivered += kPeriod;
        }
        if (k == 200 && upset == Upset::WriterMissesACycle)
            continue;
        const long long cycle = upset == Upset::WriterReadsNextCycle ? next : start;
        bool late = false;
        for (long at = 0; (at = frame_in_period(tie.mapping(), written.size() * 50 / 44100.0,
                                                static_cast<uint32_t>(cycle), kPeriod, at, &late)) >= 0;)
            written.push_back(cycle - kOrigin + at);
    }
    return written;
}

} // namespace

TEST(OwnJackPort, ACaptureOrWriterRunningLateOrMissingACycleMovesNoEventByAPeriod) {
    // What was due in a cycle the writer missed (or took for the next) goes at the start of the
    // next, once; the rest keep their frames.
    for (Upset upset : {Upset::None, Upset::CaptureReadsNextCycle, Upset::WriterMissesACycle,
                        Upset::WriterReadsNextCycle}) {
        const std::vector<long long> frames = frames_written(upset);
        for (long long j = 0; j < static_cast<long long>(frames.size()); ++j)
            ASSERT_EQ(frames[j], upset > Upset::CaptureMissesACycle && j * 50 / 128 == 200 ? 201 * 128 : j * 50)
                << "upset " << static_cast<int>(upset);
    }
    // The stream is a period behind the frame clock for good: the events follow without a jump.
    const std::vector<long long> frames = frames_written(Upset::CaptureMissesACycle);
    for (size_t j = 1; j < frames.size(); ++j)
        ASSERT_NEAR(frames[j] - frames[j - 1], 50, 1) << j;
    EXPECT_EQ(frames.back(), static_cast<long long>(50 * (frames.size() - 1) + 128));
}

// The engine starts on its own port where no other exists; a port chosen later survives stop/run
// cycles of a live engine, which leak nothing (the leak check covers threads, ports and trackers).
TEST(OwnJackPort, TheEngineStartsOnItsOwnPortAndKeepsAChosenOneThroughStopRunCycles) {
    beatlume::test::JackServer server;
    if (!server.available())
        GTEST_SKIP() << "no JACK server for this test: " << server.skip_reason();
    LumaCore_t* lc = lc_init(-1, -1);
    ASSERT_NE(lc, nullptr) << "status " << LUMACORE_ERROR_STATUS;
    // RtMidi's JACK client joins the server only with a port of it: idle, it is woken every period.
    jack_client_t* probe = jack_client_open("beatlume-probe-test", JackNoStartServer, nullptr);
    auto rtmidiJoined = [probe] {
        char* uuid = jack_get_uuid_for_client_name(probe, "RtMidi Output Client");
        jack_free(uuid);
        return uuid != nullptr;
    };
    EXPECT_FALSE(rtmidiJoined());
    EXPECT_STREQ(lc_get_mididev_list(lc)[0], "Beatlume:Beatlume");
    EXPECT_EQ(lc_get_current_mididev(lc), 0);
    EXPECT_EQ(lc_enable_midiclock(lc, 1), 0);
    lc_set_midi_latency(lc, 0.01);
    beatlume::test::JackRig input("beatlume-cycle-test");
    const int port = find_port(lc_get_mididev_list(lc), "beatlume-cycle-test:midi_in");
    ASSERT_GE(port, 1);
    ASSERT_EQ(lc_set_mididev(lc, port), 0);
    EXPECT_TRUE(rtmidiJoined());
    VirtualClock time;
    std::vector<float> block(128, 0.2f);
    for (int cycle = 0; cycle < 3; ++cycle) {
        lc_start_sequencer(lc);
        lc_register_gettime_cb(lc, &time, VirtualClock::read);
        lc_process_audio(block.data(), block.size(), lc, 0.0);
        EXPECT_EQ(lc_stop(lc), 0);
        EXPECT_EQ(lc_run(lc), 0);
        EXPECT_EQ(lc_get_current_mididev(lc), port) << "the chosen port survives a restart";
        EXPECT_EQ(lc_get_midi_latency(lc), 0.01);
    }
    EXPECT_TRUE(lc_open_own_midi_port(lc) == 0 && !rtmidiJoined());
    jack_client_close(probe);
    lc_close(lc);
}
