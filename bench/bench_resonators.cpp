// One tracker analysis step of the resonator stage: 4 channel banks × 689 comb filters ×
// 86 accent samples at 44100 Hz. The "realtime_factor" counter is seconds of audio analysed
// per CPU second (one step covers 86 / 172.265625 ≈ 0.4992 s).
#include "combBank.h"
#include "params.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

void ResonatorStep(benchmark::State& state) {
    meterTracker::Params const params(44100);
    constexpr unsigned channels = 4;
    constexpr unsigned stepSamples = 86;
    std::vector<meterTracker::CombBank> banks(channels, meterTracker::CombBank(params.periods, params.feedback));

    std::mt19937 rng(1);
    std::uniform_real_distribution<double> accent(0.0, 1.0);
    std::vector<std::vector<double>> input(channels, std::vector<double>(stepSamples));
    for (auto& channel : input)
        for (auto& s : channel)
            s = accent(rng);

    for (auto _ : state) {
        for (unsigned c = 0; c < channels; ++c) {
            banks[c].process(input[c].data(), stepSamples);
            benchmark::DoNotOptimize(banks[c].lineEnergy(100));
        }
    }
    double const stepSeconds = stepSamples / params.accentRate;
    state.counters["realtime_factor"] = benchmark::Counter(
        stepSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(ResonatorStep)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
