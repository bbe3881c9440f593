// MIDI output end to end: the engine's MIDI output opened through RtMidi on a private JACK server
// (dummy back end), connected to a MIDI input owned by the test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "jack_server.h"
#include "log_capture.h"
#include "midi_inbox.h"

namespace {

TEST(MidiOverJack, InitFailsWithAnErrorWhenNoMidiServiceOffersAPort) {
    if (access("/dev/snd/seq", F_OK) == 0)
        GTEST_SKIP() << "an ALSA sequencer exists here; its ports would be found";
    const std::string nowhere = "beatlume-no-server-" + std::to_string(getpid());
    setenv("JACK_DEFAULT_SERVER", nowhere.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    LogCapture log;
    EXPECT_EQ(midioutput_init(), nullptr);
    EXPECT_EQ(log.count("No MIDI ports") + log.count("Midi output initialization failed"), 1);
    EXPECT_EQ(log.count_level(LC_LOG_ERROR), 1);
    unsetenv("JACK_DEFAULT_SERVER");
}

TEST(MidiOverJack, MessagesArriveWithTheirBytesAtAJackMidiInput) {
    beatlume::test::JackServer server;
    if (!server.available())
        GTEST_SKIP() << "no JACK server for this test: " << server.skip_reason();

    MidiInbox inbox;
    RtMidiIn input(RtMidi::UNIX_JACK, "beatlume-test-in");
    inbox.listen(input);

    // Where the ALSA sequencer is missing, this only works through the fallback to JACK.
    MidiOut_t* m = midioutput_init();
    ASSERT_NE(m, nullptr) << "no MIDI output although a JACK MIDI input exists";
    const int port = find_port(midioutput_port_names(m), "beatlume-test-in:midi_in");
    ASSERT_GE(port, 0);
    ASSERT_EQ(midioutput_open(m, port), 0);
    EXPECT_EQ(midioutput_open_port(m), port);
    ASSERT_TRUE(inbox.wait_until_connected(m))
        << "the connection to the test's MIDI input never carried data";

    midioutput_send_start(m);
    midioutput_send_note_on(m, 17, 60, 100);
    midioutput_send_ctrl(m, 0, 64, 99);
    midioutput_send_clock(m);
    midioutput_send_note_off(m, 0, 60, 0);
    midioutput_send_stop(m);
    const std::vector<Bytes> expected = {{0xFA}, {0x91, 0x3C, 0x64}, {0xB0, 0x40, 0x63},
                                         {0xF8}, {0x80, 0x3C, 0x00}, {0xFC}};
    EXPECT_EQ(inbox.wait_for(expected.size()), expected);

    // A port that appears later is found by a new enumeration; the open port stays open.
    RtMidiIn later(RtMidi::UNIX_JACK, "beatlume-test-later");
    later.openVirtualPort("midi_in");
    const int before = midioutput_port_count(m);
    EXPECT_EQ(midioutput_reinitialize_devices(m), before + 1);
    EXPECT_GE(find_port(midioutput_port_names(m), "beatlume-test-later:midi_in"), 0);
    EXPECT_EQ(midioutput_port_names(m)[before + 1], nullptr);
    EXPECT_EQ(midioutput_open_port(m), port);
    ASSERT_TRUE(inbox.wait_until_connected(m))
        << "the connection to the test's MIDI input never carried data";

    midioutput_close(m);
    EXPECT_EQ(midioutput_open_port(m), -1);
    midioutput_free(m);
}

} // namespace
