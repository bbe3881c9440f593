// The ticker with the real tracker on synthesised drum music, in virtual time: audio in
// 128-frame blocks through the sequencer, the analysis after every block, a timer pass every
// millisecond. Checks that the beat notes land on the music's beats across dropped blocks.
#include <algorithm>
#include <cmath>
#include <vector>

#include "meterTrackerC.h"
#include "synth_music.h"
#include "ticker_support.h"

namespace {

constexpr int kBlock = 128;

struct RunStats {
    std::vector<double> beatNotes, barNotes;
    double bpm = 0.0;
};

// Distance from t to the nearest time in the sorted list.
double distanceToNearest(const std::vector<double>& sorted, double t) {
    auto it = std::lower_bound(sorted.begin(), sorted.end(), t);
    double d = 1e9;
    if (it != sorted.end())
        d = std::min(d, *it - t);
    if (it != sorted.begin())
        d = std::min(d, t - *(it - 1));
    return d;
}

class EngineVirtualTest : public TickerTest {
protected:
    // Plays `music` in real-time order. Every `starveEvery` seconds (0: never) the analysis does
    // not run for `starveBlocks` blocks, so that the sequencer discards what no longer fits.
    RunStats play(const std::vector<float>& music, double starveEvery = 0.0, int starveBlocks = 0) {
        meterticker_midinote_out(ticker, 1);
        long ms = 0;
        int starving = 0;
        double nextStarve = starveEvery;
        for (size_t start = 0; start + kBlock <= music.size(); start += kBlock) {
            const double blockTime = start / 44100.0;
            clock.now = (start + kBlock) / 44100.0;
            sequencer_audio_cb(music.data() + start, kBlock, sequencer, blockTime);
            if (starveEvery > 0.0 && blockTime >= nextStarve) {
                nextStarve += starveEvery;
                starving = starveBlocks;
            }
            if (starving > 0)
                --starving;
            else
                meterticker_consume(ticker);
            const long last = static_cast<long>(std::floor((start + 2 * kBlock) / 44.1));
            while (ms < last) {
                ++ms;
                clock.now = ms / 1000.0;
                meterticker_timer_pass(ticker, clock.now);
            }
        }
        RunStats stats;
        for (const Message& m : messages())
            if (m.bytes.size() == 3 && m.bytes[0] == 0x90)
                (m.bytes[1] == 65 ? stats.beatNotes : stats.barNotes).push_back(m.time);
        stats.bpm = meterticker_get_bpm(ticker);
        return stats;
    }

    // Share of the beat notes after `from` that lie within 50 ms of a beat of the music.
    static double onGrid(const RunStats& stats, const std::vector<double>& beats, double from) {
        int total = 0, hits = 0;
        for (double t : stats.beatNotes) {
            if (t < from)
                continue;
            ++total;
            if (distanceToNearest(beats, t) < 0.05)
                ++hits;
        }
        return total ? static_cast<double>(hits) / total : 0.0;
    }
};

} // namespace

TEST_F(EngineVirtualTest, DroppedBlocksLeaveThePredictedBeatsOnTheMusicsGrid) {
    synth::MusicSpec spec;
    spec.bpm = 120.0;
    spec.seconds = 24.0;
    const std::vector<float> music = synth::renderMusicFloat(spec);
    // Every 4 s the analysis stalls for 150 blocks; the ring holds 127, so 23 blocks (67 ms) are
    // lost each time, 5 times. A time line that lost them would put the beats 0.13 to 0.33 s off
    // the music's grid after 12 s.
    const RunStats stats = play(music, 4.0, 150);
    const unsigned long long dropped = sequencer_dropped_frames(sequencer);
    ASSERT_GE(dropped, 5u * 20u * kBlock);
    EXPECT_EQ(ticker->gapSamples.load(), dropped); // every lost sample replaced by silence
    EXPECT_EQ(ticker->samplesFed, sequencer_stream_frames(sequencer));
    EXPECT_NEAR(stats.bpm, 120.0, 2.4);
    EXPECT_GE(onGrid(stats, synth::beatTimes(spec), 12.0), 0.85);
    // The engine trims the tracker's pulse cache to about its last ten seconds (two steps a
    // second), which keeps memory and the cost of a step flat over a long show.
    EXPECT_GT(ticker->tracker->getRowsFlushed(), 0u);
    EXPECT_LE(ticker->tracker->getPulseCacheRows(), 24u);
}
