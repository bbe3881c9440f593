// The timer pass's event stream (MIDI clock, notes, phase controllers) and phase callbacks, on a
// 120 BPM grid in 4/4 (bar 2 s, beat 0.5 s, tatum 0.125 s through t = 0) in virtual time.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <vector>

#include "ticker_support.h"

namespace {

constexpr unsigned char kClock = 0xF8, kStart = 0xFA, kStop = 0xFC;
using Bytes = std::vector<unsigned char>;

std::vector<Message> only(const std::vector<Message>& all, unsigned char status, int data1 = -1) {
    std::vector<Message> out;
    for (const Message& m : all)
        if (m.bytes[0] == status && (data1 < 0 || (m.bytes.size() > 1 && m.bytes[1] == data1)))
            out.push_back(m);
    return out;
}

std::vector<double> times(const std::vector<Message>& all) {
    std::vector<double> out;
    for (const Message& m : all)
        out.push_back(m.time);
    return out;
}

void expectMessages(const std::vector<Message>& got, const std::vector<Message>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].bytes, want[i].bytes) << i;
        EXPECT_NEAR(got[i].time, want[i].time, 1e-9) << i;
    }
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

TEST_F(TickerTest, ClockStartsOnTheNextDownbeatWith24ExactPulsesPerBeatAndStopsAtOnce) {
    setGrid120();
    runUntil(0.6);
    EXPECT_TRUE(messages().empty()); // everything starts switched off
    meterticker_midiclock_out(ticker, 1);
    runUntil(4.0);
    std::vector<Message> all = messages();
    // Not the next beat (1.0) but the next bar (2.0), and the first Clock with it.
    expectMessages({all.begin(), all.begin() + std::min<long>(2, static_cast<long>(all.size()))},
                   {{2.0, {kStart}}, {2.0, {kClock}}});
    const std::vector<Message> clocks = only(all, kClock);
    ASSERT_EQ(clocks.size(), 4u * 24u + 1u); // beat phases 4.0 .. 8.0 inclusive
    for (size_t i = 0; i < clocks.size(); ++i)
        ASSERT_NEAR(clocks[i].time, 2.0 + i * 0.5 / 24.0, 1e-9) << i;

    meterticker_midiclock_out(ticker, 0);
    runUntil(4.001);
    all = messages();
    EXPECT_EQ(all.back().bytes, Bytes{kStop});
    const size_t count = all.size();
    runUntil(5.0);
    EXPECT_EQ(messages().size(), count); // not a single Clock after the Stop
    // Resync: off and on again before a pass; the receiver had its Stop (a second one tells it
    // nothing), so only a new Start on the next bar.
    for (int on : {1, 0, 1})
        meterticker_midiclock_out(ticker, on);
    runUntil(6.01);
    all = messages();
    ASSERT_GE(all.size(), count + 1);
    EXPECT_EQ(all[count].bytes, Bytes{kStart});
    EXPECT_EQ(all[count].time, 6.0);
}

TEST_F(TickerTest, StartWaitsForATrustedBeatOrEightSecondsOfMusic) {
    setGrid120();
    ticker->judging = 1; // the confidence is the analysis's own
    meterticker_midiclock_out(ticker, 1);
    runUntil(3.0);
    EXPECT_TRUE(messages().empty()) << "a Start on a searching grid";
    ticker->confidence = 0.9;
    runUntil(5.0);
    ASSERT_FALSE(messages().empty());
    EXPECT_EQ(messages()[0].bytes, Bytes{kStart});
    EXPECT_EQ(messages()[0].time, 4.0); // the next bar after the grid turned trusted
    // Music that never convinces the tracker still gets its clock, on the first bar after 8 s.
    meterticker_midiclock_out(ticker, 0);
    ticker->confidence = 0.0;
    runUntil(6.0);
    meterticker_midiclock_out(ticker, 1);
    runUntil(16.0);
    const std::vector<Message> starts = only(messages(), kStart);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1].time, 16.0); // switched on at 6.001: the first bar after 14.001
}

TEST_F(TickerTest, LateOrSparsePassesNeitherBunchNorRepeatNorLoseEvents) {
    // Passes that come 1 ms, 37 ms and 90 ms apart, or only when the last one says the next is due
    // (as the timer thread runs them, 1-20 ms apart: step 0), produce the same events at the same
    // times; those handed over when due come the lookahead before their time (less the 1 ms step
    // at most, as with passes every millisecond), and the silent rows call for no pass.
    std::vector<std::vector<Message>> runs;
    for (double step : {0.001, 0.037, 0.09, 0.0}) {
        close();
        open(0, 0);
        meterticker_set_lookahead(ticker, 0.02);
        setGrid120();
        meterticker_midiclock_out(ticker, 1);
        meterticker_midinote_out(ticker, 1);
        long passes = 0;
        for (double now = 0.001; now < 3.98; ++passes) {
            size_t handed = midioutput_capture_count(midi);
            meterticker_timer_pass(ticker, clock.now = now);
            for (MidiCaptureEntry_t e; step == 0.0 && passes > 0 && handed < midioutput_capture_count(midi);)
                ASSERT_TRUE(midioutput_capture_get(midi, handed++, &e) == 0 && e.time > now + 0.01899);
            now += step > 0.0 ? step : std::clamp(meterticker_next_pass_due(ticker) - now, 0.001, 0.02);
        }
        meterticker_timer_pass(ticker, clock.now = 3.98);
        EXPECT_LT(passes, step == 0.0 ? 600 : 4000); // clocks, notes and ticks
        runs.push_back(messages());
    }
    const std::vector<Message>& reference = runs[0];
    const std::vector<double> clockTimes = times(only(reference, kClock));
    ASSERT_EQ(clockTimes.size(), 2u * 48u + 1u); // from the bar at 2.0 on
    EXPECT_TRUE(std::adjacent_find(clockTimes.begin(), clockTimes.end()) == clockTimes.end()) << "a burst";
    EXPECT_EQ(only(reference, 0x90).size(), only(reference, 0x80).size() + 3); // bar, beat, tatum at 4.0
    for (size_t r = 1; r < runs.size(); ++r)
        expectMessages(runs[r], reference);
}

TEST_F(TickerTest, ANewEstimateMovesOnlyEventsNotYetHandedOver) {
    meterticker_set_lookahead(ticker, 0.02);
    setGrid120();
    meterticker_midinote_out(ticker, 1);
    runUntil(1.05); // handed over up to 1.07, the beat note of 1.0 sounding (to 1.1); next tick 1.5
    const double periods[3] = {1.2, 0.3, 0.075}, refs[3] = {1.0, 1.0, 1.0}; // a faster beat through 1.0
    EXPECT_EQ(meterticker_accept_estimate(ticker, periods, refs), 1); // searching: to 1.3, not 1.6 nearest
    runUntil(3.0);
    const std::vector<Message> all = messages();
    const std::vector<double> beats = times(only(all, 0x90, 65)), expected = {0.5, 1.0, 1.3, 1.6, 1.9};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(beats.at(i), expected[i], 1e-9) << i;
    EXPECT_NEAR(times(only(all, 0x80, 65)).at(1), 1.07, 1e-9); // 1.0's note ends as 1.3's grid comes
    const std::vector<double> allTimes = times(all);
    EXPECT_TRUE(std::is_sorted(allTimes.begin(), allTimes.end()));
}

TEST_F(TickerTest, NotesSoundFromEachTickFor02OfThePeriodAndStopWithTheSwitch) {
    setGrid120();
    meterticker_midinote_out(ticker, 1);
    runUntil(2.05);
    const std::vector<Message> all = messages();
    EXPECT_EQ(all.front().bytes, (Bytes{0x90, 66, 127})); // no note-off before its note-on
    for (int note = 64; note <= 66; ++note) {
        const std::vector<Message> on = only(all, 0x90, note), off = only(all, 0x80, note);
        const double period = note == 64 ? 2.0 : note == 65 ? 0.5 : 0.125;
        EXPECT_EQ(on.size(), static_cast<size_t>(std::floor(2.05 / period))) << note;
        for (size_t i = 0; i < on.size(); ++i) {
            EXPECT_NEAR(on[i].time, (i + 1) * period, 1e-9) << note;
            EXPECT_TRUE(i >= off.size() || (off[i].bytes == Bytes{0x80, static_cast<unsigned char>(note), 0} &&
                                             std::fabs(off[i].time - (i + 1.2) * period) < 1e-9)) << note;
        }
    }
    // Bar and beat notes sound since 2.0; switched off, both end at the next pass.
    meterticker_midinote_out(ticker, 0);
    runUntil(3.0);
    std::vector<Message> after = messages();
    after.erase(after.begin(), after.begin() + static_cast<long>(all.size()));
    expectMessages(after, {{2.051, {0x80, 64, 0}}, {2.051, {0x80, 65, 0}}});
}

TEST_F(TickerTest, PhaseControllersRiseFromZeroAtTheTickAtTheirExactTimes) {
    setGrid120();
    meterticker_midiphase_out(ticker, 1);
    runUntil(1.0);
    const std::vector<Message> all = messages(), beat = only(all, 0xB0, 65);
    EXPECT_TRUE(only(all, 0xB0, 66).empty()); // the tatum controller stays off
    ASSERT_EQ(beat.size(), 2u * 128u);
    for (size_t i = 0; i < beat.size(); ++i) {
        ASSERT_EQ(beat[i].bytes[2], (i + 1) % 128) << i;
        ASSERT_NEAR(beat[i].time, (i + 1) * 0.5 / 128.0, 1e-9) << i;
    }
    EXPECT_EQ(only(all, 0xB0, 64).size(), 64u);
    meterticker_midiphase_out(ticker, 0);
    runUntil(1.1);
    EXPECT_EQ(messages().size(), all.size()); // off: nothing more, and no Stop
}

TEST_F(TickerTest, EachOutputGetsTheStreamEarlierByItsOwnLatencyAndABrokenOneLosesOnlyItsOwn) {
    MidiOut_t* early = midioutput_init_capture(1024, VirtualClock::read, &clock);
    ASSERT_EQ(midioutput_open(early, 0), 0);
    EventOutput_t* out = midioutput_event_output(early);
    meterticker_set_output_latency(out, 0.03);
    ASSERT_EQ(meterticker_attach_output(ticker, out), 0);
    EventOutput_t broken; // its sends fail, or it even throws: it loses only its own events
    broken.offer = [](EventOutput_t* self, const TimedEvent_t*) { return self->refused.load() % 2 ? throw 1 : false; };
    ASSERT_EQ(meterticker_attach_output(ticker, &broken), 0);
    setGrid120();
    meterticker_midinote_out(ticker, 1);
    runUntil(1.48);
    EXPECT_GE(broken.refused.load(), 6u);
    const std::vector<double> late = times(only(messages(), 0x90, 65)), soon = times(only(timedMessages(early), 0x90, 65));
    ASSERT_TRUE(soon.size() == 3u && late.size() == 3u); // 0.47, 0.97 and 1.47
    EXPECT_NEAR(soon[2], 1.47, 1e-9);
    EXPECT_NEAR(late[2], 1.5, 1e-9) << "handed over ahead of its time, not later";
    meterticker_set_output_latency(out, NAN);
    EXPECT_EQ(out->latency.load(), 0.03);
    meterticker_detach_output(ticker, out);
    meterticker_detach_output(ticker, &broken);
    midioutput_free(early);
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
    std::copy_if(rec.begin(), rec.end(), std::back_inserter(beatCalls), [](const CallRecord& c) { return c.who != 3; });
    ASSERT_EQ(beatCalls.size(), 2u * 2u * 32u);
    EXPECT_EQ(rec.size() - beatCalls.size(), 32u); // the bar: 64 per bar, half a bar
    for (size_t i = 0; i < beatCalls.size(); i += 2) {
        EXPECT_TRUE(beatCalls[i].who == 1 && beatCalls[i + 1].who == 2);
        EXPECT_EQ(beatCalls[i].phase, beatCalls[i + 1].phase);
        EXPECT_NEAR(beatCalls[i].phase, 2.0 + (i / 2 + 1) / 32.0, 0.0021 * 2) << "full phase, not a fraction";
    }

    // Unknown user data changes nothing; a known one goes.
    meterticker_unregister_phase_cb(ticker, &stranger);
    meterticker_unregister_phase_cb(ticker, &a);
    rec.clear();
    runUntil(3.0);
    EXPECT_TRUE(std::none_of(rec.begin(), rec.end(), [](const CallRecord& c) { return c.who == 1; }));
    EXPECT_EQ(rec.size(), 2u * 32u + 32u); // b on two beats, the bar caller on half a bar
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

TEST_F(TickerTest, TestNotesAndMessagesFromOtherThreadsGoOutInTheNextPassAndCloseSilencesEverything) {
    close();
    open(0, 1); // the capture sink stays the test's, to be read after the close
    setGrid120();
    runUntil(0.2);
    meterticker_send_test_midinote(ticker, METERLEVEL_BEAT);
    meterticker_send_midi_message(ticker, 1, 2, 7, 99);
    EXPECT_TRUE(messages().empty()); // nothing leaves outside a pass
    runUntil(0.3);
    expectMessages(messages(), {{0.201, {0x90, 65, 127}}, {0.201, {0xB2, 7, 99}}, {0.251, {0x80, 65, 0}}});
    meterticker_midiclock_out(ticker, 1);
    meterticker_midinote_out(ticker, 1);
    runUntil(2.05);
    const size_t before = midioutput_capture_count(midi);
    close(); // only the beat and bar notes (2.0 .. 2.1, 2.4) sound; the clock runs since 2.0
    const std::vector<std::vector<unsigned char>> closing = {{0x80, 64, 0}, {0x80, 65, 0}, {kStop}};
    EXPECT_EQ(captured(midi, before), closing);
    EXPECT_EQ(midioutput_open_port(midi), -1);
    midioutput_free(midi);
}
