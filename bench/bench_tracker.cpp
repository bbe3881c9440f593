// The whole meter tracker as the engine drives it: 128-sample blocks of synthesised drum
// music at 44.1 kHz, mTracker_add_data then mTracker_process after each block.
// Reports the real-time factor (seconds of audio analysed per second of one core).
#include "mTracker.h"
#include "synth_music.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

std::vector<double> const& minuteOfMusic() {
    static std::vector<double> const music = [] {
        synth::MusicSpec spec;
        spec.bpm = 120;
        spec.seconds = 60.0;
        return synth::renderMusic(spec);
    }();
    return music;
}

void BM_TrackerMinuteOfMusic(benchmark::State& state) {
    std::vector<double> x = minuteOfMusic();
    double const seconds = static_cast<double>(x.size()) / 44100.0;
    for (auto _ : state) {
        mTrackerHandle* h = mTracker_init(44100);
        int steps = 0;
        for (std::size_t i = 0; i + 128 <= x.size(); i += 128) {
            mTracker_add_data(h, x.data() + i, 128);
            steps += mTracker_process(h);
        }
        benchmark::DoNotOptimize(steps);
        mTracker_close(h);
    }
    state.counters["realtime_x"] =
        benchmark::Counter(seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TrackerMinuteOfMusic)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
