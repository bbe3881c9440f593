// The whole engine with its threads over RtMidi's JACK port (private JACK server, dummy back
// end): stop/run cycles of a live engine keep the chosen port and leak nothing. The program's
// beat timing over JACK is measured end to end in tests/app/end_to_end.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "jack_server.h"
#include "lumacore.h"
#include "midi_inbox.h"

namespace {

using Clock = std::chrono::steady_clock;

struct StreamTime {
    Clock::time_point start = Clock::now();
    static double read(void* self) {
        const auto* s = static_cast<StreamTime*>(self);
        return std::chrono::duration<double>(Clock::now() - s->start).count();
    }
};

} // namespace

TEST(EngineOverJack, StopRunCyclesOfALiveEngine) {
    beatlume::test::JackServer server;
    if (!server.available())
        GTEST_SKIP() << "no JACK server for this test: " << server.skip_reason();
    RtMidiIn input(RtMidi::UNIX_JACK, "beatlume-cycle-test");
    input.openVirtualPort("midi_in");
    StreamTime time;
    LumaCore_t* lc = lc_init(-1, -1);
    ASSERT_NE(lc, nullptr) << "status " << LUMACORE_ERROR_STATUS;
    const int port = find_port(lc_get_mididev_list(lc), "beatlume-cycle-test:midi_in");
    ASSERT_GE(port, 0);
    ASSERT_EQ(lc_set_mididev(lc, port), 0);
    std::vector<float> block(128, 0.2f);
    for (int cycle = 0; cycle < 3; ++cycle) {
        lc_start_sequencer(lc);
        lc_register_gettime_cb(lc, &time, StreamTime::read);
        lc_process_audio(block.data(), block.size(), lc, 0.0);
        EXPECT_EQ(lc_enable_midinote(lc, 1), 0);
        EXPECT_EQ(lc_stop(lc), 0);
        lc_process_audio(block.data(), block.size(), lc, 0.0); // ignored
        EXPECT_EQ(lc_run(lc), 0);
        EXPECT_EQ(lc_get_current_mididev(lc), port) << "the chosen port survives a restart";
    }
    lc_close(lc); // the sanitizer's leak check covers the threads, ports and trackers above
}
