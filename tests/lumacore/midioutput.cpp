// MIDI output through the capture sink: wire bytes, port handling, the bounded buffer and
// concurrent senders.
#include "midioutput.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ticker_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(MidiOutput, SendsTheWireBytesOfEveryMessageKind) {
    MidiOut_t* m = midioutput_init_capture(64, nullptr, nullptr);
    ASSERT_NE(m, nullptr);
    midioutput_send_clock(m); // nothing open yet: dropped
    ASSERT_EQ(midioutput_open(m, -1), 0); // a negative index opens the first port
    EXPECT_EQ(midioutput_open_port(m), 0);
    midioutput_send_note_on(m, 17, 60, 100); // channel 17 masks to 1
    midioutput_send_note_off(m, 0, 64, 0);
    midioutput_send_ctrl(m, 15, 65, 127);
    midioutput_send_clock(m);
    midioutput_send_start(m);
    midioutput_send_stop(m);
    midioutput_send_note_on(m, 9, 0x13C, 0x1FF); // data bytes keep their low 8 bits
    const unsigned char sysexStart[5] = {0xF0, 0x7E, 0x7F, 0x06, 0x01};
    midioutput_send_msg(m, sysexStart, 5); // the sink keeps the first three bytes
    midioutput_send_msg(m, sysexStart, 0); // empty: nothing
    const std::vector<Bytes> expected = {
        {0x91, 0x3C, 0x64}, {0x80, 0x40, 0x00}, {0xBF, 0x41, 0x7F}, {0xF8}, {0xFA}, {0xFC},
        {0x99, 0x3C, 0xFF}, {0xF0, 0x7E, 0x7F}};
    EXPECT_EQ(captured(m), expected);
    midioutput_close(m);
    midioutput_send_stop(m);              // closed: dropped
    EXPECT_EQ(midioutput_open(m, 3), 1); // no such port
    EXPECT_EQ(captured(m).size(), expected.size());
    midioutput_free(m);
}

TEST(MidiOutput, TwoThreadsSendingAtOnceLoseNothingUpToTheCapacityAndCountTheRest) {
    constexpr int kPerThread = 5000;
    MidiOut_t* m = midioutput_init_capture(8000, nullptr, nullptr);
    midioutput_open(m, 0);
    auto sender = [m](int channel) {
        for (int i = 0; i < kPerThread; ++i)
            midioutput_send_ctrl(m, channel, i % 128, i / 128);
    };
    std::thread timer(sender, 1);
    std::thread gui(sender, 2);
    timer.join();
    gui.join();
    EXPECT_EQ(midioutput_capture_count(m), 8000u);
    EXPECT_EQ(midioutput_capture_overflow(m), 2000u);
    // Each thread's messages are whole and in its own order.
    int next[3] = {0, 0, 0};
    for (const Bytes& b : captured(m)) {
        ASSERT_EQ(b.size(), 3u);
        const int channel = b[0] & 0x0F;
        ASSERT_TRUE(channel == 1 || channel == 2);
        const int i = next[channel]++;
        EXPECT_EQ(b[0] << 16 | b[1] << 8 | b[2], (0xB0 | channel) << 16 | (i % 128) << 8 | i / 128);
    }
    midioutput_capture_clear(m);
    midioutput_send_clock(m);
    EXPECT_EQ(captured(m), std::vector<Bytes>{{0xF8}});
    EXPECT_EQ(midioutput_capture_overflow(m), 0u);
    EXPECT_EQ(midioutput_init_capture(0, nullptr, nullptr), nullptr);
    midioutput_free(m);
}

} // namespace
