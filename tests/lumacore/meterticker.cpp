// Tick prediction and phase read-out of the meter ticker, and its analysis callback.
#include <algorithm>
#include <cmath>
#include <vector>

#include "meterTrackerC.h"
#include "ticker_support.h"

namespace {

void setTicks(LevelTrack_t& track, double prev, double next, int count) {
    track.own = LevelTicks_t{prev - (next - prev), prev, next, count};
    track.ticks.write(track.own);
}

LevelTicks_t ticks(const MeterTicker_t* t, MeterLevelID level) {
    return t->tracks[level].ticks.read();
}

} // namespace

TEST_F(TickerTest, LockedGridSlewsThroughWobblingEstimatesAndFollowsATempoChange) {
    // Every 0.5 s, mid-beat, an estimate (120 BPM through 0 s, from 20 s on 130.4 BPM through 20 s) whose
    // period wobbles by 0.05 % and ticks by up to 15 ms as a drummer's, from 20 s on by 3 ms; until 20 s
    // the ticks also lag by 10 ms, and the attack found for the tick before lies on the beat.
    ticker->confidence.store(1.0);
    meterticker_midiclock_out(ticker, 1);
    meterticker_midinote_out(ticker, 1);
    const double wobble[] = {0.003, -0.002, 0.0, -0.003, 0.002, 0.001, -0.001};
    auto beats = [](double time) { return time < 20.0 ? time / 0.5 : (time - 20.0) / 0.46; };
    for (int step = 1; step <= 60; ++step) {
        const double now = step * 0.5 + 0.2, period = now < 20.05 ? 0.5 : 0.46, origin = now < 20.05 ? 0.0 : 20.0;
        const double n = std::floor(beats(now - 0.05)), beat = origin + n * period + (now < 20.05 ? 0.01 + 5 * wobble[step % 7] : wobble[step % 7]);
        ticker->attacksFound = BeatAttacks{1, {beat - period}, {origin + (n - 1) * period}};
        const double periods[3] = {4 * period, period * (1 + 0.0005 * (step % 3 - 1)), period / 4}, refs[3] = {beat - std::fmod(n, 4) * period, beat, beat};
        ASSERT_EQ(meterticker_accept_estimate(ticker, periods, refs), 1);
        runUntil(now);
    }
    double lastInterval = 0.0, lastClock = 0.0;
    int clocks = 0, paceChanges = 0;
    const auto isNote = [](const Message& m, unsigned char key) { return m.bytes == std::vector<unsigned char>{0x90, key, 127}; };
    const std::vector<Message> sent = messages();
    for (const Message& m : sent) {
        const bool steady = m.time > 12.0 && m.time < 19.9, beatNote = isNote(m, 65);
        const double b = beats(m.time); // within 3 ms of the music's beat, also two bars after the change
        EXPECT_TRUE(!(steady || m.time > 24.0) || !beatNote || std::fabs(b - std::round(b)) < 0.006) << m.time;
        EXPECT_TRUE(!isNote(m, 64) || std::ranges::any_of(sent, [&](const Message& o) { return isNote(o, 65) && o.time == m.time; })) << m.time; // the downbeat sounds with its beat
        // With its 24th Clock; the Clock's pace changes only where the next beat begins and where an
        // estimate bent the beat under way (the Clock across the bend, the one after), by 5 % at most.
        const bool following = steady || m.time > 21.0; // the grid jumps onto the new tempo
        EXPECT_TRUE(!beatNote || !following || (clocks == 24 && m.time == lastClock && paceChanges <= 3)) << m.time;
        if (beatNote)
            clocks = paceChanges = 0;
        if (m.bytes[0] == 0xF8) {
            paceChanges += std::fabs(m.time - lastClock - lastInterval) > 1e-9;
            EXPECT_TRUE(!following || std::fabs((m.time - lastClock) / lastInterval - 1.0) < 0.051) << m.time;
            lastInterval = m.time - lastClock;
            lastClock = m.time;
            ++clocks;
        }
    }
}

TEST(PhaseReadout, FractionOfTheIntervalCappedAtTheNextTickNeverNaN) {
    LevelTrack_t track; // before the first alignment (prevTick == nextTick == 0) the tick is due
    for (double t : {0.0, 1e-9, 5.0, -1.0})
        EXPECT_EQ(meterticker_track_phase(&track, t), 1.0) << t;
    setTicks(track, 12.0, 12.5, 7);
    EXPECT_NEAR(meterticker_track_phase(&track, 12.2), 7.4, 1e-12);
    EXPECT_DOUBLE_EQ(meterticker_track_phase(&track, 12.6), 8.0);   // waits for the tick advance
    EXPECT_NEAR(meterticker_track_phase(&track, 11.9), 6.8, 1e-12); // on the interval before
}

TEST_F(TickerTest, ReadsPhasesAtTheClockPlusTheAntiDelay) {
    LevelTrack_t& beat = ticker->tracks[METERLEVEL_BEAT];
    setTicks(beat, 12.0, 12.5, 7);
    clock.now = 12.2;
    double phases[3];
    meterticker_get_phases(ticker, phases);
    EXPECT_NEAR(phases[METERLEVEL_BEAT], 7.4, 1e-12);
    meterticker_set_anti_delay(ticker, 0.05);
    EXPECT_NEAR(meterticker_get_phase(ticker, METERLEVEL_BEAT), 7.5, 1e-12);
    EXPECT_EQ(meterticker_get_phase(ticker, METERLEVEL_BAR), 0.0); // only beat and tatum
    meterticker_set_anti_delay(ticker, NAN);
    EXPECT_EQ(meterticker_get_anti_delay(ticker), 0.05);
}

TEST_F(TickerTest, FirstAlignmentWaitsForAnEstimateThenTakesTheFirstGridTimeAtOrAfterNow) {
    EXPECT_EQ(meterticker_timer_pass(ticker, 5.0), 0);
    EXPECT_EQ(ticks(ticker, METERLEVEL_BEAT).nextTick, 0.0);

    ASSERT_EQ(acceptGrid120(10.1, 10.0, 10.05), 1);
    EXPECT_DOUBLE_EQ(meterticker_get_bpm(ticker), 120.0);
    EXPECT_EQ(meterticker_timer_pass(ticker, 12.5), 1);
    const LevelTicks_t bar = ticks(ticker, METERLEVEL_BAR), tatum = ticks(ticker, METERLEVEL_TATUM);
    EXPECT_TRUE(bar.prevTick == 12.1 && bar.nextTick == 14.1 && tatum.nextTick == 12.55 && !tatum.tickCount);
    // The beat grid runs exactly through now: that tick is due and is reached in the same pass.
    const LevelTicks_t beat = ticks(ticker, METERLEVEL_BEAT);
    EXPECT_TRUE(beat.prevTick == 12.5 && beat.nextTick == 13.0 && beat.tickCount == 1);
    // A broken time source changes nothing.
    EXPECT_EQ(meterticker_timer_pass(ticker, NAN), 0);
    EXPECT_DOUBLE_EQ(ticks(ticker, METERLEVEL_BEAT).nextTick, 13.0);
}

TEST_F(TickerTest, EstimatesWithAValueNoMusicHasChangeNoTrack) {
    setGrid120();
    const double refs[3] = {1.0, 1.0, 1.0};
    const double bad[][3] = {{2.0, 0.5, 0.0},     {-1.0, -1.0, -1.0},  {2.0, -0.5, 0.125}, {NAN, 0.5, 0.125},
                             {2.0, INFINITY, 0.125}, {2.0, 0.017, 0.017}, {7.0, 7.0, 7.0},   {4.0, 2.1, 0.5}};
    for (const auto& periods : bad)
        EXPECT_EQ(meterticker_accept_estimate(ticker, periods, refs), 0);
    EXPECT_EQ(acceptGrid120(1.0, NAN, 1.0), 0);
    double periods[3], refTimes[3];
    EXPECT_EQ(meterticker_get_estimate(ticker, periods, refTimes, nullptr), 1u);
    EXPECT_EQ(refTimes[METERLEVEL_BEAT], 0.0);
    // A tatum under 60 ms becomes the finest division of the beat that is not; a bar, a beat at least.
    const double fast[3] = {0.3, 0.5, 0.017};
    ASSERT_EQ(meterticker_accept_estimate(ticker, fast, refs), 1);
    meterticker_get_estimate(ticker, periods, refTimes, nullptr);
    EXPECT_TRUE(periods[METERLEVEL_TATUM] == 0.0625 && periods[METERLEVEL_BAR] == 0.5);
}

TEST_F(TickerTest, PhasesReadWhileTheTableRunsAheadAreFiniteAndNeverGoBack) {
    meterticker_set_lookahead(ticker, 0.02);
    setGrid120();
    runUntil(1.0);
    EXPECT_EQ(acceptGrid120(0.1, 0.1, 0.1), 1); // the music shifted: intervals change length
    double last = phase(METERLEVEL_TATUM);
    for (int i = 0; i < 3000; ++i) {
        runUntil(clock.now + 0.001);
        const double p = phase(METERLEVEL_TATUM);
        ASSERT_TRUE(std::isfinite(p) && p >= last) << i;
        last = p;
    }
    EXPECT_NEAR(ticks(ticker, METERLEVEL_BEAT).nextTick, 4.1, 1e-9); // predicted by 4.02
}

TEST_F(TickerTest, LevelIsMinus100OnDigitalSilenceAndGarbageAndFollowsTheMeanSquare) {
    EXPECT_EQ(meterticker_get_level(ticker), -100.0);
    // Silence, a full-scale square wave, a sine (-1.505 dB), NaN that must not poison the level.
    const double levels[] = {-100.0, 0.0, -1.505, -100.0};
    std::vector<float> block(128);
    for (int k = 0; k < 4; ++k) {
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = k == 0 ? 0.0f : k == 1 ? (i % 2 ? 1.0f : -1.0f) : k == 2 ? std::sin(2 * M_PI * i / 32.0) : NAN;
        meterticker_cbfun(block.data(), 128, ticker, k * 128 / 44100.0);
        EXPECT_NEAR(meterticker_get_level(ticker), levels[k], 0.01) << k;
    }
}

TEST_F(TickerTest, DroppedBlocksAreFilledWithSilenceToKeepTheTimeLine) {
    std::vector<float> block(128, 0.25f);
    // A block at 0, then three discarded by the sequencer (the next starts 4 blocks in), a gap longer
    // than the ticker's buffer (it goes in several pieces), time that does not advance (adds nothing).
    const double starts[] = {0.0, 512 / 44100.0, (640 + 40000) / 44100.0, 0.0};
    const unsigned long long fed[] = {128u, 640u, 640u + 40000u + 128u, 640u + 40000u + 256u};
    for (int i = 0; i < 4; ++i) {
        meterticker_cbfun(block.data(), 128, ticker, starts[i]);
        EXPECT_EQ(ticker->samplesFed, fed[i]) << i;
    }
    EXPECT_EQ(ticker->gapSamples.load(), 384u + 40000u);
}

TEST_F(TickerTest, AMinuteOfHissLeavesTheTrackerOnlyItsLastSeconds) {
    // -70 dBFS: minutes of it in the tracker's running statistics (the channels' two-minute means,
    // the input's scale) held the music after it for minutes. 120 steps without restarts.
    std::vector<float> hiss(128);
    for (unsigned int k = 0, seed = 7; k < 60 * 44100 / 128; ++k) {
        for (float& x : hiss)
            x = 1e-3f * (static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 8) / 16777216.0f - 0.5f);
        meterticker_cbfun(hiss.data(), 128, ticker, k * 128 / 44100.0);
    }
    EXPECT_LE(ticker->tracker->getStepsDone(), 30u);
}

TEST_F(TickerTest, TrackerTimeIsMappedOntoTheStreamWhenJoiningLate) {
    // A ticker created on a running sequencer first hears audio at stream time 100 s.
    std::vector<float> block(128, 0.0f);
    meterticker_cbfun(block.data(), 128, ticker, 100.0);
    EXPECT_EQ(ticker->gapSamples.load(), 0u); // no silence for the time before it existed
    EXPECT_EQ(acceptGrid120(1.0, 1.0, 1.0), 1);
    double refTimes[3];
    meterticker_get_estimate(ticker, nullptr, refTimes, nullptr);
    EXPECT_DOUBLE_EQ(refTimes[METERLEVEL_BEAT], 101.0);
}
