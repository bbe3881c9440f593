// Efektors on a meter ticker in virtual time: the bridge routes phase callbacks and MIDI to a
// ticker whose timer passes the test runs at the times it chooses, MIDI captured. The grid is
// 117.1875 BPM in 4/4 (bar 2.048 s, beat 0.512 s, tatum 0.128 s) so that every 64th of a bar,
// 32nd of a beat and 16th of a tatum falls on a whole millisecond, where a pass runs.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QTextStream>

#include <atomic>
#include <cmath>
#include <memory>
#include <vector>

#include "Efektor.h"
#include "QLumacore.h"
#include "meterticker.h"

// An efektor's record body as the project file writes it.
inline QString bodyOf(Efektor& efektor) {
    QString text;
    QTextStream out(&text);
    efektor.SaveData(&out);
    out.flush();
    return text;
}

// An efektor of kind E read from a record body by its loading constructor.
template <class E> std::unique_ptr<E> fromRecord(QLumacore* bridge, QString body, int number = 0) {
    QTextStream in(&body);
    return std::make_unique<E>(bridge, number, nullptr, &in);
}

struct CapturedMessage {
    double time;
    std::vector<unsigned char> bytes;
};

// A three-byte message; `time` in the unit sent() was asked for.
struct Sent {
    double time;
    int status, number, value;
};

class EfektorEngineTest : public ::testing::Test {
protected:
    static constexpr double barSeconds = 2.048, beatSeconds = 0.512, tatumSeconds = 0.128;

    void SetUp() override {
        sequencer = init_sequencer();
        ASSERT_NE(sequencer, nullptr);
        sequencer_register_gettime_cb(sequencer, &clock, &EfektorEngineTest::readClock);
        MidiOut_t* midi = midioutput_init_capture(1 << 16, &EfektorEngineTest::readClock, &clock);
        ASSERT_NE(midi, nullptr);
        const MeterTickerOptions_t options{0, 0, midi, 0};
        ASSERT_EQ(meterticker_init_ex(sequencer, &options, &ticker), 0);
        bridge.attachTicker(ticker);
        const double periods[3] = {barSeconds, beatSeconds, tatumSeconds};
        const double refs[3] = {0.0, 0.0, 0.0};
        ASSERT_EQ(meterticker_accept_estimate(ticker, periods, refs), 1);
    }
    void TearDown() override {
        // Every efektor a test made is gone by now (they unregister in their destructors).
        bridge.attachTicker(nullptr);
        meterticker_close(ticker);
        close_sequencer(sequencer);
    }

    // One timer pass per millisecond from the clock's time up to `until` seconds (inclusive).
    void runUntil(double until) {
        for (long ms = std::lround(clock.load() * 1000.0) + 1; ms <= std::lround(until * 1000.0); ++ms) {
            clock = ms / 1000.0;
            meterticker_timer_pass(ticker, clock.load());
        }
    }

    // Captured messages other than the clock and the event table's own notes and controllers
    // (which are off unless switched on). Messages sent outside a pass leave with the next one:
    // one more pass at the present time carries them out.
    std::vector<CapturedMessage> messages() {
        meterticker_timer_pass(ticker, clock.load());
        std::vector<CapturedMessage> out;
        MidiCaptureEntry_t e;
        for (size_t i = 0; i < midioutput_capture_count(ticker->midi); ++i)
            if (midioutput_capture_get(ticker->midi, i, &e) == 0)
                out.push_back({e.time, std::vector<unsigned char>(e.bytes, e.bytes + e.size)});
        return out;
    }
    void clearMessages() { midioutput_capture_clear(ticker->midi); }
    // The three-byte messages, their times in units of `unitSeconds`.
    std::vector<Sent> sent(double unitSeconds = 1.0) {
        std::vector<Sent> out;
        for (const CapturedMessage& m : messages())
            if (m.bytes.size() == 3)
                out.push_back({m.time / unitSeconds, m.bytes[0], m.bytes[1], m.bytes[2]});
        return out;
    }

    static double readClock(void* self) { return static_cast<std::atomic<double>*>(self)->load(); }

    std::atomic<double> clock{0.0};
    Sequencer_t* sequencer = nullptr;
    MeterTicker_t* ticker = nullptr;
    QLumacore bridge;
};
