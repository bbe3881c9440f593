// The network outputs on a ticker in virtual time: OSC to a real liblo receiver on 127.0.0.1, and
// Link to a second Link peer inside a network namespace of the test's own, so that no discovery
// packet leaves it.
#define LINK_PLATFORM_LINUX 1
#include <ableton/Link.hpp>
#include <lo/lo.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <unistd.h>

#include "link_output.h"
#include "osc_output.h"
#include "ticker_support.h"

namespace {

struct Received {
    std::string path, types, text;
    std::vector<double> numbers;
    lo_timetag tag;
};

struct OscReceiver {
    OscReceiver() {
        server = lo_server_new_with_proto(nullptr, LO_UDP, nullptr);
        lo_server_enable_queue(server, 0, 1); // hand over every message at once, whatever its time tag
        lo_server_add_method(server, nullptr, nullptr, handle, this);
    }
    ~OscReceiver() { lo_server_free(server); }
    static int handle(const char* path, const char* types, lo_arg** argv, int argc, lo_message m, void* self) {
        Received r{path, types, "", {}, lo_message_get_timestamp(m)};
        for (int i = 0; i < argc; ++i) { // liblo's arguments need not be aligned for its union
            const void* raw = argv[i];
            int32_t number = 0;
            float real = 0.0f;
            if (types[i] == 's')
                r.text = static_cast<const char*>(raw);
            else if (types[i] == 'i')
                r.numbers.push_back((std::memcpy(&number, raw, 4), number));
            else
                r.numbers.push_back((std::memcpy(&real, raw, 4), real));
        }
        static_cast<OscReceiver*>(self)->got.push_back(r);
        return 0;
    }
    void receive(size_t count) {
        eventually([&] { return lo_server_recv_noblock(server, 0) == 0 && got.size() >= count; });
    }
    lo_server server;
    std::vector<Received> got;
};

double tagSeconds(lo_timetag t) { return t.sec + t.frac / 4294967296.0; }

} // namespace

// 120 BPM in 4/4 with sixteenth tatums, every grid through 0.3 s; 5 ms anti-delay and 10 ms OSC
// latency offset: each tick's message describes its moment 15 ms early, in a bundle tagged so,
// or bare and untagged; bars are counted from the first, beats and tatums within the bar. The
// bare round follows a second switched off: nothing of it is sent late; state and tempo are
// announced again.
TEST_F(TickerTest, OscReceiverGetsEveryTickTempoStateAndPhase) {
    OscOutput_t* osc = osc_output_create(nullptr, nullptr);
    EXPECT_EQ(osc_output_set_destination(osc, "", 9000) + osc_output_set_destination(osc, "127.0.0.1", 0) +
                  osc_output_set_destination(osc, "a b", 9000) + osc_output_set_destination(nullptr, "x", 1),
              4);
    const double periods[3] = {2.0, 0.5, 0.125}, shift = 0.015;
    ASSERT_EQ(acceptGrid120(0.3, 0.3, 0.3), 1);
    meterticker_set_anti_delay(ticker, 0.005);
    ticker->trackingState = LC_TRACKING_LOCKED;
    ASSERT_EQ(meterticker_attach_output(ticker, osc_output_event_output(osc)), 0);
    osc_output_set_latency_offset(osc, 0.010);
    osc_output_set_phase_rate(osc, 4.0);
    osc_output_set_time_base(osc, 1000.0);
    for (int bundles : {1, 0}) {
        runUntil(clock.now + (bundles ? 0.0 : 1.03));
        OscReceiver receiver;
        ASSERT_EQ(osc_output_set_destination(osc, "127.0.0.1", lo_server_get_port(receiver.server)), 0);
        osc_output_set_bundles(osc, bundles);
        ASSERT_EQ(osc_output_enable(osc, 1, 0), 0);
        const double from = clock.now, until = from + 2.5;
        while (clock.now < until) {
            runUntil(clock.now + 0.001);
            osc_output_flush(osc);
        }
        ASSERT_EQ(osc_output_enable(osc, 0, 0), 0);

        // Expected ticks: path, number in the message, engine time.
        const char* const paths[3] = {"/beatlume/bar", "/beatlume/beat", "/beatlume/tatum"};
        std::vector<std::tuple<std::string, int, double>> ticks;
        for (int level = 0; level < 3; ++level)
            for (int k = -2; k * periods[level] + 0.3 <= until + shift; ++k) // first pass at 0.001 s
                if (k * periods[level] + 0.3 > from + shift + 0.001)
                    ticks.emplace_back(paths[level], level == 0 ? k : (k + 16) % (level == 1 ? 4 : 16),
                                       k * periods[level] + 0.3);
        const size_t phases = bundles ? 9 : 10; // every 0.25 s from the first beat on, or from switching on
        receiver.receive(ticks.size() + phases + 2);
        std::map<std::string, size_t> count;
        for (const Received& r : receiver.got) {
            ++count[r.path];
            const double tag = tagSeconds(r.tag) - 1000.0;
            EXPECT_TRUE(bundles || (r.tag.sec == 0 && r.tag.frac == 1)) << r.path; // "immediately"
            if (r.path == "/beatlume/phase") {
                ASSERT_EQ(r.types, "fff");
                for (int i = 0; i < 3 && bundles; ++i) { // tatum, beat, bar at the moment tagged
                    const double expected = std::fmod(tag + shift - 0.3, periods[2 - i]) / periods[2 - i];
                    EXPECT_NEAR(std::remainder(r.numbers[i] - expected, 1.0), 0.0, 1e-4) << i << " at " << tag;
                }
            } else if (r.path == "/beatlume/tempo") {
                EXPECT_EQ(r.types, "fi");
                EXPECT_EQ(r.numbers, (std::vector<double>{120.0, 4.0}));
            } else if (r.path == "/beatlume/state") {
                EXPECT_EQ(r.text, "locked");
            } else {
                ASSERT_EQ(r.types, "i") << r.path;
                auto it = std::find_if(ticks.begin(), ticks.end(), [&](const auto& e) {
                    return std::get<0>(e) == r.path && std::get<1>(e) == r.numbers[0] &&
                           (!bundles || std::fabs(std::get<2>(e) - shift - tag) < 1e-6);
                });
                ASSERT_NE(it, ticks.end()) << r.path << " " << r.numbers[0] << " at " << tag;
                ticks.erase(it);
            }
        }
        EXPECT_TRUE(ticks.empty()) << ticks.size() << " ticks missing";
        EXPECT_EQ(count["/beatlume/phase"], phases);
        EXPECT_TRUE(count["/beatlume/state"] == 1 && count["/beatlume/tempo"] == 1);
    }
    EXPECT_EQ(osc_output_dropped(osc), 0u);
    meterticker_detach_output(ticker, osc_output_event_output(osc));
    osc_output_free(osc);
}

// 120 BPM in 3/4 through 0.31 s with a 20 ms Link latency offset and the clock switched on: the
// peer plays at 120 BPM with quantum 3, its bar starting 20 ms before each of the engine's bars.
// Runs inside a network namespace with only a loopback, made by re-running this test under
// `unshare -n`; skipped where that is not allowed.
TEST_F(TickerTest, LinkPeerFollowsTempoBarPhaseAndClockSwitch) {
    if (!std::getenv("BEATLUME_LINK_NAMESPACE")) {
        if (std::system("unshare -n true >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "no network namespace for the Link session (needs unshare -n)";
        char exe[4096] = {};
        ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
        const std::string command =
            "BEATLUME_LINK_NAMESPACE=1 unshare -n sh -c 'ip link set lo up && ip link set lo multicast on && "
            "ip route add 224.0.0.0/4 dev lo && exec \"$0\" --gtest_filter=*LinkPeerFollows*' " + std::string(exe);
        ASSERT_EQ(std::system(command.c_str()), 0);
        return;
    }
    LinkOutput_t* link = link_output_create(nullptr, nullptr);
    ASSERT_EQ(link_output_enable(link, 1, 0), 0);
    ableton::Link peer(90.0);
    peer.enableStartStopSync(true);
    peer.enable(true);
    ASSERT_TRUE(eventually([&] { return link_output_peers(link) == 1; })) << "the peers never met";

    const double periods[3] = {1.5, 0.5, 0.25}, refs[3] = {0.31, 0.31, 0.31}, offset = 0.020;
    ASSERT_EQ(meterticker_accept_estimate(ticker, periods, refs), 1);
    ticker->trackingState = LC_TRACKING_LOCKED;
    meterticker_midiclock_out(ticker, 1);
    const double origin = link_output_clock_micros(link); // stream time 0 on Link's clock
    link_output_set_clock_offset(link, origin);
    link_output_set_latency_offset(link, offset);
    ASSERT_EQ(meterticker_attach_output(ticker, link_output_event_output(link)), 0);
    while (clock.now < 2.0) {
        runUntil(clock.now + 0.001);
        link_output_commit(link);
    }
    // Bar phase (in beats, quantum 3) of the peer at each of the engine's bars, moved by the offset.
    auto barError = [&](const ableton::Link::SessionState& s, double barTime) {
        const double phase = s.phaseAtTime(std::chrono::microseconds(std::llround(origin + (barTime - offset) * 1e6)), 3.0);
        return std::min(phase, 3.0 - phase) * periods[1];
    };
    ASSERT_TRUE(eventually([&] {
        const auto s = peer.captureAppSessionState();
        return std::fabs(s.tempo() - 120.0) < 0.1 && s.isPlaying() && barError(s, 1.81) < 0.002 &&
               barError(s, 3.31) < 0.002 && barError(s, 30.31) < 0.002;
    })) << "peer at " << peer.captureAppSessionState().tempo() << " BPM, bar off by "
        << barError(peer.captureAppSessionState(), 3.31) << " s";
    meterticker_midiclock_out(ticker, 0);
    runUntil(clock.now + 0.001);
    link_output_commit(link);
    EXPECT_TRUE(eventually([&] { return !peer.captureAppSessionState().isPlaying(); }));
    meterticker_detach_output(ticker, link_output_event_output(link));
    link_output_free(link);
}
