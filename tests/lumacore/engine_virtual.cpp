// The ticker with the real tracker on synthesised drum music, in virtual time: audio in
// 128-frame blocks through the sequencer, the analysis after every block, a timer pass every
// millisecond. Checks that the beat notes land on the music's beats across dropped blocks.
#include <algorithm>
#include <cmath>
#include <vector>

#include "meterTrackerC.h"
#include "synth_music.h"
#include "ticker_support.h"

TEST_F(TickerTest, DroppedBlocksLeaveThePredictedBeatsOnTheMusicsGrid) {
    synth::MusicSpec spec;
    spec.seconds = 24.0;
    const std::vector<float> music = synth::renderMusicFloat(spec);
    const std::vector<double> beats = synth::beatTimes(spec);
    // Every 4 s the analysis stalls for 150 blocks; the ring holds 127, so 23 blocks (67 ms) are
    // lost each time, 5 times. A time line that lost them would put the beats 0.13 to 0.33 s off
    // the music's grid after 12 s.
    meterticker_midinote_out(ticker, 1);
    long ms = 0;
    for (size_t start = 0; start + 128 <= music.size(); start += 128) {
        const double blockTime = start / 44100.0;
        clock.now = (start + 128) / 44100.0;
        sequencer_audio_cb(music.data() + start, 128, sequencer, blockTime);
        if (blockTime < 4.0 || std::fmod(blockTime, 4.0) >= 150 * 128 / 44100.0)
            meterticker_consume(ticker);
        while (ms < static_cast<long>((start + 256) / 44.1))
            meterticker_timer_pass(ticker, clock.now = ++ms / 1000.0);
    }
    const unsigned long long dropped = sequencer_dropped_frames(sequencer);
    ASSERT_GE(dropped, 5u * 20u * 128u);
    EXPECT_EQ(ticker->gapSamples.load(), dropped); // every lost sample replaced by silence
    EXPECT_EQ(ticker->samplesFed, sequencer_stream_frames(sequencer));
    EXPECT_NEAR(meterticker_get_bpm(ticker), 120.0, 2.4);
    int notes = 0, onBeat = 0; // beat notes after 12 s, and those within 50 ms of a beat
    for (const Message& m : messages())
        if (m.time >= 12.0 && m.bytes.size() == 3 && m.bytes[0] == 0x90 && m.bytes[1] == 65) {
            ++notes;
            onBeat += std::any_of(beats.begin(), beats.end(), [&](double b) { return std::fabs(b - m.time) < 0.05; });
        }
    ASSERT_GT(notes, 0);
    EXPECT_GE(onBeat, 0.85 * notes);
    // The engine trims the tracker's pulse cache to about its last ten seconds (two steps a
    // second), which keeps memory and the cost of a step flat over a long show.
    EXPECT_GT(ticker->tracker->getRowsFlushed(), 0u);
    EXPECT_LE(ticker->tracker->getPulseCacheRows(), 24u);
}
