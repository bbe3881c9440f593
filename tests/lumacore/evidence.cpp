// The whole engine in virtual time, judged by the MIDI it sends: sound without a pulse, music
// that goes away and comes back, and the user's hints.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "evidence.h"
#include "lumacore.h"
#include "synth_music.h"
#include "ticker_support.h"

namespace {

using Bytes = std::vector<unsigned char>;
const Bytes kBeatOn{0x90, 65}, kBarOn{0x90, 64}, kStop{0xFC}, kStart{0xFA}, kPulse{0xF8};

std::vector<float> tone(double seconds, double hz) { // square wave at -10 dBFS
    std::vector<float> s(static_cast<size_t>(seconds * 44100));
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = std::fmod(i * hz / 44100, 1.0) < 0.5 ? 0.316f : -0.316f;
    return s;
}

std::vector<float> music120(double seconds) {
    synth::MusicSpec spec;
    spec.seconds = seconds;
    return synth::renderMusicFloat(spec);
}

std::vector<float> operator+(std::vector<float> a, const std::vector<float>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Distance from t to the grid ref + k * period.
double offGrid(double t, double ref, double period) {
    const double x = (t - ref) / period;
    return std::fabs(x - std::round(x)) * period;
}

class Evidence : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(lc = lc_init_virtual(1 << 18), nullptr);
        lc_register_gettime_cb(lc, &time, VirtualClock::read);
        lc_start_sequencer(lc);
        lc_enable_midiclock(lc, 1);
        lc_enable_midinote(lc, 1);
        midioutput_capture_clear(lc_get_midi_output(lc));
        player = {lc, &time};
    }
    void TearDown() override { lc_close(lc); }
    void restart() {
        TearDown();
        SetUp();
    }

    void play(const std::vector<float>& audio, const std::function<void(int)>& at = {}) { player.play(audio, at); }

    // Times of the messages that begin with these bytes, within [from, to).
    std::vector<double> sent(const Bytes& bytes, double from = 0, double to = 1e9) const {
        std::vector<double> times;
        for (const Message& m : timedMessages(lc_get_midi_output(lc)))
            if (m.bytes.size() >= bytes.size() && std::equal(bytes.begin(), bytes.end(), m.bytes.begin()) &&
                m.time >= from && m.time < to)
                times.push_back(m.time);
        return times;
    }

    LumaCore_t* lc = nullptr;
    VirtualClock time;
    EnginePlayer player{nullptr, &time};
};

} // namespace

// The last sound is music, all of it below a silence threshold set at full scale.
TEST_F(Evidence, SteadyTonesNonFiniteAudioAndMusicBelowTheThresholdSendNothing) {
    const std::vector<float> sounds[] = {tone(8, 55), tone(8, 220), std::vector<float>(8 * 44100, INFINITY),
                                         tone(4, 110) + std::vector<float>(4 * 44100, NAN), music120(8)};
    for (const std::vector<float>& sound : sounds) {
        restart();
        if (&sound == &sounds[4])
            lc_set_silence_threshold(lc, 0.0);
        play(sound);
        EXPECT_EQ(midioutput_capture_count(lc_get_midi_output(lc)), 0u);
        EXPECT_TRUE(lc_get_bpm(lc) == 0.0 && lc_get_confidence(lc) == 0.0 &&
                    lc_get_tracking_state(lc) == LC_TRACKING_NO_EVIDENCE);
    }
}

// 120 BPM music, a break of silence or of a steady tone, the music again; two bars (4 s) of holding.
TEST_F(Evidence, TheBeatHoldsThroughABreakForTheSetBarsThenStopsUntilTheMusicIsBack) {
    for (const std::vector<float>& pause : {std::vector<float>(10 * 44100, 0.0f), tone(10, 110)}) {
        restart();
        lc_set_hold_bars(lc, 2);
        double confidence[400] = {};
        LcTrackingState state[400] = {};
        play(music120(14) + pause + music120(10), [&](int tenth) {
            confidence[tenth] = lc_get_confidence(lc);
            state[tenth] = lc_get_tracking_state(lc);
        });
        EXPECT_NEAR(lc_get_bpm(lc), 120.0, 2.4);
        EXPECT_TRUE(confidence[139] >= 0.7 && confidence[160] < 0.3) << confidence[139] << " " << confidence[160];
        EXPECT_TRUE(state[170] == LC_TRACKING_HOLDING && state[210] == LC_TRACKING_NO_EVIDENCE);

        // One note per beat on the music's grid, through the holding too; then one Stop and nothing until
        // the music is back, when the notes follow it within 2.5 s (after a tone as after silence, where the
        // tracker starts afresh) on its grid, and the clock starts again on its next downbeat.
        const std::vector<double> beats = sent(kBeatOn, 8.0, 18.0), stops = sent(kStop),
                                  starts = sent(kStart), back = sent(kBeatOn, 24.0),
                                  settled = sent(kBeatOn, 27.0);
        EXPECT_NEAR(static_cast<double>(beats.size()), 20.0, 1.0);
        for (const std::vector<double>* onGrid : {&beats, &settled})
            EXPECT_TRUE(std::all_of(onGrid->begin(), onGrid->end(),
                                    [](double t) { return offGrid(t, 0, 0.5) < 0.05; }));
        ASSERT_EQ(stops.size(), 1u);
        EXPECT_TRUE(stops[0] > 18.0 && stops[0] < 20.0) << stops[0];
        ASSERT_TRUE(starts.size() == 2 && starts[1] > 24.0);
        EXPECT_TRUE(sent(kBeatOn, stops[0], 24.0).empty()); // the music is back at 24 s
        EXPECT_TRUE(sent(kPulse, stops[0], starts[1]).empty());
        EXPECT_TRUE(back.size() >= 16 && back[0] < 26.5) << back.size();
    }
}

// Music that comes and goes every 2 s with no bars of holding: the outputs never fall silent
// within 4 s of a Start, each Start falls on a downbeat, and the clock runs at the end.
// Switched off, the clock and the notes carry on through the gaps.
TEST_F(Evidence, StopOnSilenceNeverChattersAndRestartsOnTheBar) {
    const std::vector<float> gap(2 * 44100, 0.0f);
    for (const int stopOnSilence : {1, 0}) {
        restart();
        lc_set_hold_bars(lc, 0);
        lc_set_stop_on_silence(lc, stopOnSilence);
        play(music120(12) + gap + music120(2) + gap + music120(2) + gap + music120(8));
        const std::vector<double> stops = sent(kStop), starts = sent(kStart), bars = sent(kBarOn);
        ASSERT_FALSE(starts.empty());
        for (double start : starts) { // with the bar note of the engine's grid
            EXPECT_TRUE(std::any_of(bars.begin(), bars.end(), [&](double t) { return std::fabs(t - start) < 0.05; })) << start;
            EXPECT_TRUE(std::none_of(stops.begin(), stops.end(), [&](double t) { return t > start && t < start + 4; }));
        }
        EXPECT_EQ(stops.size(), stopOnSilence ? starts.size() - 1 : 0u);
        EXPECT_EQ(sent(kBeatOn, 12.6, 14.0).empty(), stopOnSilence == 1);
    }
}

// At 6 s the user asks for half the tempo: it holds for 30 s of music, then the tracker's own
// tempo returns. (The bar hint is followed through the window's tempo panel.)
TEST_F(Evidence, ATempoHintHoldsForThirtySecondsOfMusic) {
    play(music120(44), [&](int tenth) { EXPECT_TRUE(tenth != 60 || lc_hint_half(lc) == 0); });
    const std::vector<double> before = sent(kBeatOn, 0, 6.5);
    ASSERT_GE(before.size(), 4u);
    EXPECT_NEAR(before.back() - before[before.size() - 2], 0.5, 0.02);
    const std::vector<double> half = sent(kBeatOn, 8.0, 35.0), after = sent(kBeatOn, 40.0);
    EXPECT_NEAR(static_cast<double>(half.size()), 27.0, 1.0);
    EXPECT_TRUE(std::all_of(half.begin(), half.end(), [&](double t) { return offGrid(t, half[0], 1.0) < 0.05; }));
    EXPECT_NEAR(static_cast<double>(after.size()), 8.0, 1.0);
}

// The judge alone: a dense kit's grid is kept 6 s on its onsets while its salience is still spread.
TEST(EvidenceJudge, ADenseKitIsFollowedWhileItsSalienceIsStillSpread) {
    EvidenceJudge judge;
    const StepObservation kit{{2.0, 0.5, 0.125}, {0, 0, 0}, 0.5, 0.01, 3.0, 0.2, 0.07, 0.2, 0.05};
    for (int step = 0; step < 14; ++step)
        EXPECT_EQ(judge.judge(kit).accept, step >= 2 && step < 11) << step;
}

// The judge alone: a tempo hint folds the tracker's beat onto its level until the music clearly
// contradicts it (no simple multiple of the tracker's beat for 4 s of clear music).
TEST(EvidenceJudgeHints, AContradictedTempoHintIsDroppedAfterFourSecondsOfClearMusic) {
    EvidenceJudge judge;
    StepObservation step{{2.0, 0.5, 0.125}, {0, 0, 0}, 0.5, 0.01, 1.0, 0.5, 0.02, 0.5, 0.1};
    for (int i = 0; i < 10; ++i)
        judge.judge(step);
    judge.hint_beat_period(1.0);
    EXPECT_EQ(judge.judge(step).periods[METERLEVEL_BEAT], 1.0);
    step.periods[METERLEVEL_BEAT] = 0.41; // 146 BPM: 2.44 of its beats to the hinted one
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(judge.judge(step).periods[METERLEVEL_BEAT], 0.41);
    step.periods[METERLEVEL_BEAT] = 0.5;
    EXPECT_EQ(judge.judge(step).periods[METERLEVEL_BEAT], 0.5);
}

// Frozen at 6 s, the beat keeps 120 BPM when the music speeds up to 140 at 8 s; not frozen, it
// follows.
TEST_F(Evidence, FrozenTempoHoldsThroughATempoChange) {
    synth::MusicSpec fast;
    fast.bpm = 140.0;
    fast.seconds = 14.0;
    for (const bool frozen : {true, false}) {
        restart();
        play(music120(8) + synth::renderMusicFloat(fast), [&](int tenth) {
            EXPECT_TRUE(tenth != 60 || !frozen || lc_freeze_tempo(lc, 1) == 0);
        });
        std::vector<double> beats = sent(kBeatOn, 15.0), gaps;
        ASSERT_GE(beats.size(), 8u);
        for (size_t i = 1; i < beats.size(); ++i)
            gaps.push_back(beats[i] - beats[i - 1]);
        std::sort(gaps.begin(), gaps.end());
        EXPECT_NEAR(gaps[gaps.size() / 2], frozen ? 0.5 : 60.0 / 140.0, 0.01) << (frozen ? "frozen" : "free");
    }
}
