// One timer pass of the meter ticker: requests, the scheduler (event table on the grid 20 ms ahead,
// clock, notes and phase controllers on, every crossing handed over as a timed event), phase
// callbacks; with 0 and with 64 registered callbacks, passes 1 ms apart and (catching up) 37 ms
// apart; one block's analysis through the engine; and the own JACK port's work per cycle: the
// capture's report to the frame tie and eight events placed in the period. Virtual time, MIDI into
// a capture sink.
//
//   build-rel/bench/bench_engine
#include <benchmark/benchmark.h>

#include <vector>

#include "frame_tie.h"
#include "lumacore.h"
#include "meterticker.h"
#include "synth_music.h"

namespace {

struct VirtualTime {
    double now = 0.0;
    static double read(void* self) { return static_cast<VirtualTime*>(self)->now; }
};

void noteCall(void* udata, double phase) {
    *static_cast<double*>(udata) += phase;
}

void BM_TimerPass(benchmark::State& state) {
    VirtualTime time;
    Sequencer_t* sequencer = init_sequencer();
    sequencer_register_gettime_cb(sequencer, &time, VirtualTime::read);
    const MeterTickerOptions_t options{0, 0, midioutput_init_capture(1 << 12, VirtualTime::read, &time), 0};
    MeterTicker_t* ticker = nullptr;
    if (meterticker_init_ex(sequencer, &options, &ticker) != 0) {
        state.SkipWithError("no ticker");
        return;
    }
    const double periods[3] = {2.0, 0.5, 0.125};
    const double refs[3] = {0.0, 0.0, 0.0};
    meterticker_accept_estimate(ticker, periods, refs);
    meterticker_set_lookahead(ticker, 0.02);
    meterticker_midiclock_out(ticker, 1);
    meterticker_midinote_out(ticker, 1);
    meterticker_midiphase_out(ticker, 1);
    const int callbacks = static_cast<int>(state.range(0));
    std::vector<double> sinks(static_cast<size_t>(callbacks), 0.0);
    for (int i = 0; i < callbacks; ++i)
        meterticker_register_phase_cb(ticker, static_cast<MeterLevelID>(i % 3),
                                      &sinks[static_cast<size_t>(i)], noteCall);
    const long step = static_cast<long>(state.range(1));
    long ms = 0;
    for (auto _ : state) {
        ms += step;
        time.now = static_cast<double>(ms) / 1000.0;
        meterticker_timer_pass(ticker, time.now);
        if ((ms / step & 255) == 0) {
            state.PauseTiming();
            midioutput_capture_clear(ticker->midi);
            state.ResumeTiming();
        }
    }
    benchmark::DoNotOptimize(sinks.data());
    for (int i = 0; i < callbacks; ++i)
        meterticker_unregister_phase_cb(ticker, &sinks[static_cast<size_t>(i)]);
    meterticker_close(ticker);
    close_sequencer(sequencer);
}
BENCHMARK(BM_TimerPass)->Args({0, 1})->Args({64, 1})->Args({0, 37});

// One 128-frame block through the virtual engine: sequencer, level, tracker (an analysis step
// about every 172 blocks), estimate take-over.
void BM_AnalysisBlock(benchmark::State& state) {
    synth::MusicSpec spec;
    spec.seconds = 30.0;
    const std::vector<float> music = synth::renderMusicFloat(spec);
    LumaCore_t* lc = lc_init_virtual(1024);
    VirtualTime time;
    lc_register_gettime_cb(lc, &time, VirtualTime::read);
    size_t pos = 0;
    unsigned long long frames = 0;
    for (auto _ : state) {
        if (pos + 128 > music.size())
            pos = 0;
        lc_process_audio(music.data() + pos, 128, lc, static_cast<double>(frames) / 44100.0);
        lc_consume_audio(lc);
        pos += 128;
        frames += 128;
    }
    lc_close(lc);
}
BENCHMARK(BM_AnalysisBlock);

void BM_FrameTieCycle(benchmark::State& state) {
    StreamFrameTie tie(44100.0);
    uint32_t frame = 0;
    long long placed = 0;
    for (auto _ : state) {
        frame += 128;
        tie.observe(frame / 44100.0, frame + (frame & 4096 ? 128u : 0u)); // a lasting shift now and then
        for (int k = 0; k < 8; ++k)
            placed += frame_mapping_offset(tie.mapping(), (frame + 16 * k) / 44100.0, frame);
    }
    benchmark::DoNotOptimize(placed);
}
BENCHMARK(BM_FrameTieCycle);

} // namespace

BENCHMARK_MAIN();
