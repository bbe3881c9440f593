// The accent front end as the tracker drives it: 60 s of 44.1 kHz drum music fed in
// 128-sample blocks with process() after each, band accents read and discarded once each
// half-second step has settled. The "realtime_factor" counter is seconds of audio analysed
// per CPU second.
#include "Matrix.h"
#include "onsets.h"
#include "synth_music.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

namespace {

void OnsetsSixtySeconds(benchmark::State& state) {
    synth::MusicSpec spec;
    spec.bpm = 128;
    spec.seconds = 60;
    std::vector<double> const audio = synth::renderMusic(spec);
    constexpr std::size_t block = 128;
    constexpr unsigned int stepColumns = 86; // one tracker analysis step

    Onsets onsets(44100);
    ARGMathLibrary::Matrix<double> bandAccents;
    for (auto _ : state) {
        onsets.reset();
        unsigned int consumed = 0;
        for (std::size_t i = 0; i < audio.size(); i += block) {
            unsigned int const n = static_cast<unsigned int>(std::min(block, audio.size() - i));
            onsets.addData(audio.data() + i, n);
            if (!onsets.process())
                continue;
            unsigned int const end = onsets.bandEnvEnd();
            unsigned int const settledEnd = end > onsets.getGroupDelay() ? end - onsets.getGroupDelay() : 0;
            // Like the tracker, read the accents only once a whole step has settled.
            if (settledEnd < consumed + stepColumns)
                continue;
            if (onsets.getBandEnvs(bandAccents, consumed)) {
                benchmark::DoNotOptimize(bandAccents[0][0]);
                while (settledEnd >= consumed + stepColumns)
                    consumed += stepColumns;
            }
            onsets.clearBandEnvs(consumed, true);
        }
    }
    state.counters["realtime_factor"] = benchmark::Counter(
        spec.seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(OnsetsSixtySeconds)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
