// What the engine does with sound that has no pulse, with music that goes away and comes back, and
// with the user's hints: the whole engine in virtual time, judged by the MIDI it sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "lumacore.h"
#include "synth_music.h"
#include "ticker_support.h"

namespace {

constexpr double kRate = 44100.0;
const std::vector<unsigned char> kStop{0xFC}, kStart{0xFA}, kPulse{0xF8};

std::vector<float> tone(double seconds, double hz, double amplitude) {
    std::vector<float> s(static_cast<size_t>(seconds * kRate));
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<float>(std::fmod(i * hz / kRate, 1.0) < 0.5 ? amplitude : -amplitude);
    return s;
}

std::vector<float> music120(double seconds) {
    synth::MusicSpec spec;
    spec.seconds = seconds;
    return synth::renderMusicFloat(spec);
}

std::vector<float> join(std::vector<float> a, const std::vector<float>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

double nearestDistance(const std::vector<double>& grid, double t) {
    double d = 1e9;
    for (double g : grid)
        d = std::min(d, std::fabs(g - t));
    return d;
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
    }
    void TearDown() override { lc_close(lc); }

    // Plays the audio as the capture stream would, a timer pass every millisecond; `each` runs
    // after every block with the time of the audio delivered so far.
    void play(const std::vector<float>& audio, const std::function<void(double)>& each = {}) {
        for (size_t start = 0; start + 128 <= audio.size(); start += 128, frames += 128) {
            time.now = (frames + 128) / kRate;
            lc_process_audio(audio.data() + start, 128, lc, frames / kRate);
            lc_consume_audio(lc);
            if (each)
                each(time.now);
            for (const long last = static_cast<long>((frames + 256) / 44.1); ms < last;) {
                time.now = ++ms / 1000.0;
                lc_timer_pass(lc, time.now);
            }
        }
    }

    // Times of the messages with these bytes (note-ons: status and note).
    std::vector<double> sent(const std::vector<unsigned char>& bytes) const {
        std::vector<double> times;
        MidiOut_t* m = lc_get_midi_output(lc);
        MidiCaptureEntry_t e;
        for (size_t i = 0; i < midioutput_capture_count(m); ++i)
            if (midioutput_capture_get(m, i, &e) == 0 && e.size >= bytes.size() &&
                std::equal(bytes.begin(), bytes.end(), e.bytes))
                times.push_back(e.time);
        return times;
    }

    LumaCore_t* lc = nullptr;
    VirtualClock time;
    unsigned long long frames = 0;
    long ms = 0;
};

} // namespace

TEST_F(Evidence, SteadyTonesAndNonFiniteAudioSendNothing) {
    const std::vector<std::vector<float>> sounds = {
        tone(8.0, 55.0, 0.316), tone(8.0, 220.0, 0.316), std::vector<float>(8 * 44100, INFINITY),
        join(tone(4.0, 110.0, 0.316), std::vector<float>(4 * 44100, NAN))};
    for (size_t i = 0; i < sounds.size(); ++i) {
        TearDown();
        SetUp();
        frames = 0;
        ms = 0;
        play(sounds[i]);
        EXPECT_EQ(midioutput_capture_count(lc_get_midi_output(lc)), 0u) << i;
        EXPECT_EQ(lc_get_bpm(lc), 0.0) << i;
        EXPECT_EQ(lc_get_tracking_state(lc), LC_TRACKING_NO_EVIDENCE) << i;
        EXPECT_EQ(lc_get_confidence(lc), 0.0) << i;
    }
}

// Music, a break of silence or of a steady tone, music again. Two bars of holding (4 s).
TEST_F(Evidence, TheBeatHoldsThroughABreakForTheSetBarsThenStopsUntilTheMusicIsBack) {
    const std::vector<std::vector<float>> breaks = {std::vector<float>(10 * 44100, 0.0f), tone(10.0, 110.0, 0.316)};
    for (size_t i = 0; i < breaks.size(); ++i) {
        TearDown();
        SetUp();
        frames = 0;
        ms = 0;
        lc_set_hold_bars(lc, 2);
        const std::vector<float> music = music120(14.0);
        double lockedAtEnd = 0.0, confidenceAfter2s = 1.0;
        LcTrackingState at17 = LC_TRACKING_SEARCHING, at21 = LC_TRACKING_SEARCHING;
        play(join(join(music, breaks[i]), music), [&](double now) {
            if (std::fabs(now - 14.0) < 0.002)
                lockedAtEnd = lc_get_confidence(lc);
            if (std::fabs(now - 16.0) < 0.002)
                confidenceAfter2s = lc_get_confidence(lc);
            if (std::fabs(now - 17.0) < 0.002)
                at17 = lc_get_tracking_state(lc);
            if (std::fabs(now - 21.0) < 0.002)
                at21 = lc_get_tracking_state(lc);
        });
        EXPECT_GE(lockedAtEnd, 0.7) << i;
        EXPECT_LT(confidenceAfter2s, 0.3) << i;
        EXPECT_EQ(at17, LC_TRACKING_HOLDING) << i;
        EXPECT_EQ(at21, LC_TRACKING_NO_EVIDENCE) << i;

        // Holding: the beat carries on on the music's grid; then one Stop and nothing until the
        // music is back, when the clock starts again and follows it.
        std::vector<double> grid;
        for (int k = 0; k < 2 * 34; ++k)
            grid.push_back(0.5 * k);
        const std::vector<double> beats = sent({0x90, 65}), stops = sent(kStop), starts = sent(kStart);
        const auto held = std::count_if(beats.begin(), beats.end(), [&](double t) {
            return t > 14.2 && t < 18.0 && nearestDistance(grid, t) < 0.05;
        });
        EXPECT_GE(held, 7) << i;
        ASSERT_EQ(stops.size(), 1u) << i;
        EXPECT_GT(stops[0], 18.0) << i;
        EXPECT_LT(stops[0], 20.0) << i;
        ASSERT_EQ(starts.size(), 2u) << i;
        EXPECT_GT(starts[1], 24.0) << i;
        for (const std::vector<unsigned char>& kind : {std::vector<unsigned char>{0x90, 65}, kPulse})
            for (double t : sent(kind))
                EXPECT_FALSE(t > stops[0] && t < starts[1]) << i << " at " << t;
        EXPECT_GT(std::count_if(beats.begin(), beats.end(), [](double t) { return t > 29.0; }), 8) << i;
    }
}
