// The timer pass's event table (MIDI clock, notes, phase controllers) and phase callbacks, on a
// 120 BPM grid (bar 2 s, beat 0.5 s, tatum 0.125 s through t = 0) in virtual time, 1 ms per pass.
#include <cmath>
#include <vector>

#include "ticker_support.h"

namespace {

constexpr unsigned char kClock = 0xF8, kStart = 0xFA, kStop = 0xFC;

std::vector<Message> only(const std::vector<Message>& all, unsigned char status, int data1 = -1) {
    std::vector<Message> out;
    for (const Message& m : all)
        if (m.bytes[0] == status && (data1 < 0 || (m.bytes.size() > 1 && m.bytes[1] == data1)))
            out.push_back(m);
    return out;
}

struct CallRecord {
    int who;
    double phase;
};

struct Caller {
    std::vector<CallRecord>* calls;
    int id;
    static void call(void* self, double phase) {
        Caller* c = static_cast<Caller*>(self);
        c->calls->push_back({c->id, phase});
    }
};

} // namespace

TEST_F(TickerTest, ClockStartsOnTheNextBeatThen24PulsesPerBeatAndStopsAtOnce) {
    setGrid120();
    runUntil(1.8); // beat phase 3.6
    ASSERT_NEAR(phase(METERLEVEL_BEAT), 3.6, 1e-9);
    EXPECT_TRUE(messages().empty()); // everything starts switched off
    meterticker_midiclock_out(ticker, 1);
    runUntil(4.0);

    std::vector<Message> all = messages();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0].bytes, std::vector<unsigned char>{kStart});
    EXPECT_NEAR(all[0].time, 2.0, 1e-9); // beat phase 4.0
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[1].bytes, std::vector<unsigned char>{kClock});
    EXPECT_EQ(all[1].time, all[0].time); // same pass
    const std::vector<Message> clocks = only(all, kClock);
    ASSERT_EQ(clocks.size(), 4u * 24u + 1u); // beat phases 4.0 .. 8.0 inclusive
    for (size_t i = 0; i < clocks.size(); ++i)
        EXPECT_NEAR(clocks[i].time, 2.0 + i * 0.5 / 24.0, 0.0011) << i;
    EXPECT_EQ(only(all, kStart).size(), 1u);

    meterticker_midiclock_out(ticker, 0);
    all = messages();
    EXPECT_EQ(all.back().bytes, std::vector<unsigned char>{kStop});
    const size_t count = all.size();
    runUntil(5.0);
    EXPECT_EQ(messages().size(), count); // not a single Clock after the Stop

    // On again: a new Start on the next beat, no pulse before it.
    meterticker_midiclock_out(ticker, 1);
    runUntil(5.6);
    all = messages();
    EXPECT_EQ(all[count].bytes, std::vector<unsigned char>{kStart});
    EXPECT_NEAR(all[count].time, 5.5, 1e-9);
}

TEST_F(TickerTest, NotesSoundFromEachTickFor02OfThePeriod) {
    setGrid120();
    meterticker_midinote_out(ticker, 1);
    runUntil(4.3);
    const std::vector<Message> all = messages();
    const std::vector<Message> barOn = only(all, 0x90, 64), barOff = only(all, 0x80, 64);
    ASSERT_EQ(barOn.size(), 2u); // bars at 2 and 4 s
    for (size_t i = 0; i < barOn.size(); ++i) {
        EXPECT_EQ(barOn[i].bytes, (std::vector<unsigned char>{0x90, 64, 127}));
        EXPECT_NEAR(barOn[i].time, 2.0 * (i + 1), 1e-9);
    }
    ASSERT_EQ(barOff.size(), 2u); // bar phase k + 0.2
    EXPECT_EQ(barOff[0].bytes, (std::vector<unsigned char>{0x80, 64, 0}));
    // The offset rows start below their lastFraction of 0: the first note-off goes out in the very
    // first pass, without a note-on before it.
    EXPECT_NEAR(barOff[0].time, 0.001, 1e-9);
    EXPECT_NEAR(barOff[1].time, 2.4, 1e-9);

    const std::vector<Message> beatOn = only(all, 0x90, 65), beatOff = only(all, 0x80, 65);
    ASSERT_EQ(beatOn.size(), 8u);
    for (size_t i = 0; i < beatOn.size(); ++i) {
        EXPECT_NEAR(beatOn[i].time, 0.5 * (i + 1), 1e-9);
        EXPECT_NEAR(beatOff[i + 1].time, 0.5 * (i + 1) + 0.1, 0.0011); // first pass at or after
    }
    const std::vector<Message> tatumOn = only(all, 0x90, 66);
    ASSERT_EQ(tatumOn.size(), 34u);
    EXPECT_NEAR(tatumOn[5].time, 0.75, 1e-9);
}

TEST_F(TickerTest, ATickAlreadyDueAtTheFirstPassOrAfterAStallIsStillPlayed) {
    // Both ways the phase can reach the next integer in a single pass: an anti-delay that makes
    // the first tick due at once, and a timer that sleeps longer than a beat. Neither may leave a
    // level waiting at its integer for good.
    const struct {
        double antiDelay, firstPass, stallFrom, stallTo;
    } cases[] = {
        {0.1, 0.45, 0.0, 0.0},  // beat 0.5 lies between now and now + 0.1
        {0.0, 0.001, 1.0, 1.8}, // no pass from 1.0 to 1.8: the interval after tick 1.0 has passed
    };
    for (const auto& c : cases) {
        close();
        open(0, 0);
        meterticker_set_anti_delay(ticker, c.antiDelay);
        meterticker_midinote_out(ticker, 1);
        setGrid120();
        clock.now = c.firstPass - 0.001;
        runUntil(c.stallFrom > 0.0 ? c.stallFrom : 3.0);
        if (c.stallFrom > 0.0) {
            clock.now = c.stallTo - 0.001;
            runUntil(3.0);
        }
        std::vector<double> beats;
        for (const Message& m : only(messages(), 0x90, 65))
            beats.push_back(m.time);
        EXPECT_GE(beats.size(), 3u) << c.antiDelay;
        if (beats.size() < 3u)
            continue;
        // Played ahead by the anti-delay, one per beat up to the end.
        EXPECT_NEAR(beats[beats.size() - 1], 3.0 - c.antiDelay, 0.0011) << c.antiDelay;
        EXPECT_NEAR(beats[beats.size() - 2], 2.5 - c.antiDelay, 0.0011) << c.antiDelay;
        EXPECT_EQ(ticker->tracks[METERLEVEL_BAR].nextTick, 4.0) << c.antiDelay;
    }
}

TEST_F(TickerTest, SwitchingNotesOffSendsTheNoteOffOfASoundingNoteAtOnce) {
    setGrid120();
    meterticker_midinote_out(ticker, 1);
    runUntil(2.05); // bar and beat notes sound since 2.0; the tatum note ended at 2.025
    const size_t before = messages().size();
    meterticker_midinote_out(ticker, 0);
    std::vector<Message> all = messages();
    ASSERT_EQ(all.size(), before + 2);
    EXPECT_EQ(all[before].bytes, (std::vector<unsigned char>{0x80, 64, 0}));
    EXPECT_EQ(all[before + 1].bytes, (std::vector<unsigned char>{0x80, 65, 0}));
    EXPECT_EQ(all[before].time, 2.05);
    runUntil(3.0);
    EXPECT_EQ(messages().size(), before + 2);
}

TEST_F(TickerTest, PhaseControllersRiseFromZeroAtTheTick) {
    setGrid120();
    runUntil(0.6);
    meterticker_midiphase_out(ticker, 1);
    runUntil(2.5);
    const std::vector<Message> all = messages();
    const std::vector<Message> beat = only(all, 0xB0, 65), bar = only(all, 0xB0, 64);
    EXPECT_TRUE(only(all, 0xB0, 66).empty()); // the tatum controller stays off
    // 128 per beat: 3 whole beats from 1.0 to 2.5 plus the part of the beat after 0.6.
    EXPECT_NEAR(static_cast<double>(beat.size()), 128 * 3 + 128 * 0.8, 2.0);
    size_t zeros = 0;
    for (size_t i = 1; i < beat.size(); ++i) {
        const int value = beat[i].bytes[2];
        const double expected = std::fmod(beat[i].time, 0.5) / 0.5 * 128.0;
        EXPECT_NEAR(value, expected, 1.0) << beat[i].time;
        if (value == 0) {
            ++zeros;
            EXPECT_NEAR(std::fmod(beat[i].time + 0.001, 0.5), 0.001, 1e-9) << "0 only at a beat tick";
        } else {
            EXPECT_GT(value, beat[i - 1].bytes[2]) << beat[i].time;
        }
    }
    EXPECT_EQ(zeros, 4u); // ticks 1.0, 1.5, 2.0, 2.5
    EXPECT_NEAR(static_cast<double>(bar.size()), 128 * 0.95, 2.0);
    EXPECT_EQ(bar.front().bytes[0], 0xB0);

    meterticker_midiphase_out(ticker, 0);
    EXPECT_EQ(messages().back().bytes, std::vector<unsigned char>{kStop});
}

TEST_F(TickerTest, PhaseCallbacksRun32TimesPerBeatInRegistrationOrderWithTheFullPhase) {
    setGrid120();
    runUntil(1.0);
    std::vector<CallRecord> rec;
    Caller a{&rec, 1}, b{&rec, 2}, barCaller{&rec, 3}, stranger{&rec, 9};
    EXPECT_NE(meterticker_register_phase_cb(ticker, METERLEVEL_BEAT, &a, Caller::call), nullptr);
    EXPECT_NE(meterticker_register_phase_cb(ticker, METERLEVEL_BEAT, &b, Caller::call), nullptr);
    EXPECT_NE(meterticker_register_phase_cb(ticker, METERLEVEL_BAR, &barCaller, Caller::call), nullptr);
    EXPECT_EQ(meterticker_register_phase_cb(ticker, static_cast<MeterLevelID>(3), &a, Caller::call), nullptr);
    runUntil(2.0); // beats 2 and 3 (1.0 .. 2.0)

    std::vector<CallRecord> beatCalls;
    int barCalls = 0;
    for (const CallRecord& c : rec)
        if (c.who == 3)
            ++barCalls;
        else
            beatCalls.push_back(c);
    ASSERT_EQ(beatCalls.size(), 2u * 2u * 32u);
    EXPECT_EQ(barCalls, 32); // 64 per bar, half a bar
    for (size_t i = 0; i < beatCalls.size(); i += 2) {
        EXPECT_EQ(beatCalls[i].who, 1);
        EXPECT_EQ(beatCalls[i + 1].who, 2);
        EXPECT_EQ(beatCalls[i].phase, beatCalls[i + 1].phase);
        EXPECT_NEAR(beatCalls[i].phase, 2.0 + (i / 2 + 1) / 32.0, 0.0021 * 2) << "full phase, not a fraction";
    }

    // Unknown user data: nothing changes.
    meterticker_unregister_phase_cb(ticker, &stranger);
    rec.clear();
    runUntil(2.5);
    EXPECT_EQ(rec.size(), 32u * 2u + 16u);

    meterticker_unregister_phase_cb(ticker, &a);
    rec.clear();
    runUntil(3.0);
    for (const CallRecord& c : rec)
        EXPECT_NE(c.who, 1);
    EXPECT_EQ(rec.size(), 32u + 16u);
    meterticker_unregister_phase_cb(ticker, &b);
    meterticker_unregister_phase_cb(ticker, &barCaller);
    meterticker_unregister_phase_cb(ticker, &barCaller); // empty list
    EXPECT_EQ(ticker->phaseCallbacks.load(), nullptr);
    EXPECT_EQ(ticker->callbackListState.load(), CALLBACKS_FREE);
}

TEST_F(TickerTest, APassThatFindsTheListHeldReportsTheWrapOnTheNextPass) {
    setGrid120();
    runUntil(1.0);
    std::vector<CallRecord> rec;
    Caller a{&rec, 1};
    meterticker_register_phase_cb(ticker, METERLEVEL_BEAT, &a, Caller::call);
    runUntil(1.010);
    rec.clear();
    ticker->callbackListState = CALLBACKS_HELD_BY_REMOVAL;
    runUntil(1.020); // crosses 1/32 of a beat (15.6 ms after the tick)
    EXPECT_TRUE(rec.empty());
    ticker->callbackListState = CALLBACKS_FREE;
    runUntil(1.021);
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_NEAR(rec[0].phase, 2.042, 1e-9); // the first pass after the release
    meterticker_unregister_phase_cb(ticker, &a);
}

TEST_F(TickerTest, CloseSilencesSoundingNotesAndStopsARunningClock) {
    close();
    open(0, 1); // the capture sink stays the test's, to be read after the close
    setGrid120();
    meterticker_midiclock_out(ticker, 1);
    meterticker_midinote_out(ticker, 1);
    runUntil(1.05);
    const size_t before = midioutput_capture_count(midi);
    close(); // only the beat note (1.0 .. 1.1) sounds; the clock runs since 0.5
    const std::vector<std::vector<unsigned char>> expected = {{0x80, 65, 0}, {kStop}};
    EXPECT_EQ(captured(midi, before), expected);
    EXPECT_EQ(midioutput_open_port(midi), -1);
    midioutput_free(midi);
}
