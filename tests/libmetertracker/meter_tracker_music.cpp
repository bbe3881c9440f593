// The tracker on synthesised drum music whose beats are known exactly. Kept to a few short
// pieces: the whole analysis runs slowly under the sanitizers.
#include "mTracker.h"
#include "synth_music.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct Estimate {
    double audioTime; // seconds of audio fed when the step completed
    double tatum, beat, bar, tatumPhase, beatPhase, barPhase;
};

std::vector<Estimate> track(synth::MusicSpec const& spec) {
    std::vector<double> x = synth::renderMusic(spec);
    std::vector<Estimate> out;
    mTrackerHandle* h = mTracker_init(spec.sampleRate);
    for (std::size_t i = 0; i < x.size(); i += 128) {
        auto const n = static_cast<unsigned int>(std::min<std::size_t>(128, x.size() - i));
        mTracker_add_data(h, x.data() + i, n);
        if (mTracker_process(h)) {
            Estimate e{};
            e.audioTime = static_cast<double>(i + n) / spec.sampleRate;
            mTracker_get_period_est(h, &e.tatum, &e.beat, &e.bar, &e.tatumPhase, &e.beatPhase, &e.barPhase);
            out.push_back(e);
        }
    }
    mTracker_close(h);
    return out;
}

// Signed distance from t to the nearest of the times.
double offsetToNearest(double t, std::vector<double> const& times) {
    double best = 1e9;
    for (double r : times)
        if (std::fabs(t - r) < std::fabs(best))
            best = t - r;
    return best;
}

double relativeError(double value, double truth) {
    return std::fabs(value - truth) / truth;
}

// The estimate after 12 s of music at a steady tempo, and its beat phase's distance to the music's.
Estimate lastEstimate(double bpm, unsigned int beatsPerBar, double& phaseOffset) {
    synth::MusicSpec spec;
    spec.bpm = bpm;
    spec.beatsPerBar = beatsPerBar;
    spec.seconds = 12.0;
    std::vector<Estimate> const est = track(spec);
    EXPECT_FALSE(est.empty());
    Estimate const last = est.empty() ? Estimate{} : est.back();
    phaseOffset = offsetToNearest(last.beatPhase, synth::beatTimes(spec));
    return last;
}

} // namespace

TEST(MeterTrackerMusic, At120BpmFindsBeatBarAndPhase) {
    synth::MusicSpec spec;
    spec.bpm = 120;
    spec.seconds = 10.0;
    std::vector<Estimate> const est = track(spec);
    ASSERT_GE(est.size(), 18u);
    Estimate const& last = est.back();
    EXPECT_LT(relativeError(last.beat, 0.5), 0.02) << last.beat;
    EXPECT_NEAR(last.bar / last.beat, 4.0, 0.08) << last.bar;
    EXPECT_EQ(last.tatumPhase, last.beatPhase);

    // The beat phase keeps a small, steady offset from the true onsets: the accents' lead
    // before the heard onset is compensated on average, not per sound.
    std::vector<double> const beats = synth::beatTimes(spec);
    for (Estimate const& e : est) {
        if (e.audioTime < 3.0)
            continue;
        // The latest beat lies within the last beat period before the step's end.
        double const off = offsetToNearest(e.beatPhase, beats);
        EXPECT_TRUE(std::fabs(off) < 0.010 && e.beatPhase < e.audioTime && e.beatPhase > e.audioTime - 0.6)
            << "at " << e.audioTime << ": " << e.beatPhase;
    }
}

TEST(MeterTrackerMusic, SteadyTemposFindTheirBeatAndBar) {
    // The beat on the music's own level also where the resonators or the prior favour another: fast waltzes
    // (their bar's middle as loud as its start), slow beats with eighth-note hi-hats, six-beat bars in threes
    // (6/8: the beat is three of them, not two); the bar keeps its beats and starts on the first (at 0 s; a
    // waltz is three beats, a 5/4 bar five). Period and phase finer than an accent frame (5.8 ms): at 131.7
    // BPM the beat lies half a frame between two resonators, and the nearer one alone put the tick 17 ms off.
    struct Case {
        double bpm;
        unsigned int beatsPerBar;
        double bar; // 0: not checked
    };
    for (Case const& c :
         {Case{131.7, 4, 0}, Case{90, 3, 2.0}, Case{86, 5, 5 * 60.0 / 86}, Case{176, 3, 3 * 60.0 / 176},
          Case{60, 4, 0}, Case{66, 3, 0}, Case{132, 3, 3 * 60.0 / 132}, Case{222, 6, 0}}) {
        double phaseOffset = 0.0;
        Estimate const e = lastEstimate(c.bpm, c.beatsPerBar, phaseOffset);
        EXPECT_TRUE(relativeError(e.beat, (c.beatsPerBar == 6 ? 3 : 1) * 60.0 / c.bpm) < 0.003 &&
                    std::fabs(phaseOffset) < 0.015 &&
                    (c.bar == 0 || (relativeError(e.bar, c.bar) < 0.02 &&
                                    std::fabs(std::remainder(e.barPhase, c.bar)) < 0.03)))
            << c.bpm << " BPM: " << e.beat << " s, phase " << phaseOffset << " s off, bar " << e.bar << " at "
            << e.barPhase;
    }
}

TEST(MeterTrackerMusic, FollowsASlowTempoRamp) {
    synth::MusicSpec spec;
    spec.bpm = 100;
    spec.endBpm = 120;
    spec.seconds = 20.0;
    std::vector<Estimate> const est = track(spec);
    ASSERT_GE(est.size(), 30u);
    auto const trueBeat = [&](double t) {
        return 60.0 / (spec.bpm + (spec.endBpm - spec.bpm) * t / spec.seconds);
    };
    for (Estimate const& e : est) {
        if (e.audioTime < 4.0)
            continue;
        // The resonators remember about three seconds, so the estimate trails the tempo a little.
        EXPECT_LT(relativeError(e.beat, trueBeat(e.audioTime)), 0.04)
            << "at " << e.audioTime << ": " << e.beat;
    }
}
