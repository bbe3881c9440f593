// Hours of live engine in virtual time: drum music (a seamless 30 s loop at 120 BPM) in
// 128-frame blocks, the analysis after each block, a timer pass every millisecond with MIDI
// clock, notes and phase controllers on and 16 phase callbacks. Prints, per hour of audio, the
// resident memory and the mean time of an analysis step (time spent analysing / steps), which
// must stay flat.
//
//   build-rel/bench/engine_long_run [HOURS]          (default 8)
//   build-rel/bench/engine_long_run --wav PATH SECONDS
//       writes that much of the looped music as a 16-bit mono WAV (e.g. an hour for timing
//       beatlume-track) and exits.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "lumacore.h"
#include "synth_music.h"

namespace {

struct VirtualTime {
    double now = 0.0;
    static double read(void* self) { return static_cast<VirtualTime*>(self)->now; }
};

void sink(void* udata, double phase) {
    *static_cast<double*>(udata) += phase;
}

double residentMegabytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

std::vector<float> loopMusic() {
    synth::MusicSpec spec;
    spec.bpm = 120.0;
    spec.seconds = 30.0; // 15 bars: the loop is seamless
    return synth::renderMusicFloat(spec);
}

void put32(std::FILE* f, uint32_t v) {
    const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    std::fwrite(b, 1, 4, f);
}

void put16(std::FILE* f, uint16_t v) {
    const unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    std::fwrite(b, 1, 2, f);
}

int writeWav(const char* path, double seconds) {
    const std::vector<float> music = loopMusic();
    const uint32_t frames = static_cast<uint32_t>(seconds * 44100.0);
    std::FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::perror(path);
        return 1;
    }
    std::fwrite("RIFF", 1, 4, f);
    put32(f, 36 + frames * 2);
    std::fwrite("WAVEfmt ", 1, 8, f);
    put32(f, 16);
    put16(f, 1);
    put16(f, 1);
    put32(f, 44100);
    put32(f, 44100 * 2);
    put16(f, 2);
    put16(f, 16);
    std::fwrite("data", 1, 4, f);
    put32(f, frames * 2);
    for (uint32_t i = 0; i < frames; ++i) {
        const double v = std::fmax(-1.0, std::fmin(1.0, static_cast<double>(music[i % music.size()])));
        put16(f, static_cast<uint16_t>(static_cast<int16_t>(std::lround(v * 32767.0))));
    }
    return std::fclose(f) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--wav") == 0)
        return writeWav(argv[2], std::atof(argv[3]));
    const int hours = argc > 1 ? std::atoi(argv[1]) : 8;
    if (hours <= 0) {
        std::fprintf(stderr, "usage: engine_long_run [HOURS] | --wav PATH SECONDS\n");
        return 2;
    }

    const std::vector<float> music = loopMusic();
    LumaCore_t* lc = lc_init_virtual(1 << 14);
    if (!lc) {
        std::fprintf(stderr, "engine_long_run: no engine (status %d)\n", LUMACORE_ERROR_STATUS);
        return 1;
    }
    VirtualTime time;
    lc_register_gettime_cb(lc, &time, VirtualTime::read);
    lc_start_sequencer(lc);
    lc_enable_midiclock(lc, 1);
    lc_enable_midinote(lc, 1);
    lc_enable_midiphase(lc, 1);
    std::vector<double> sinks(16, 0.0);
    for (size_t i = 0; i < sinks.size(); ++i)
        lc_register_phase_cb(lc, static_cast<MeterLevelID>(i % 3), &sinks[i], sink);
    MidiOut_t* midi = lc_get_midi_output(lc);

    using Clock = std::chrono::steady_clock;
    const unsigned long long framesPerHour = 3600ull * 44100ull;
    unsigned long long frames = 0;
    long long ms = 0;
    size_t pos = 0;
    float block[128];
    std::printf("hour\trss_MB\tsteps\tmean_step_ms\twall_s\tbpm\n");
    const auto runStart = Clock::now();
    for (int hour = 1; hour <= hours; ++hour) {
        double analysing = 0.0;
        const unsigned long stepsBefore = lc_get_meter_estimate(lc, nullptr, nullptr, nullptr);
        const auto hourStart = Clock::now();
        for (unsigned long long end = frames + framesPerHour; frames < end;) {
            const double blockTime = static_cast<double>(frames) / 44100.0;
            frames += 128;
            time.now = static_cast<double>(frames) / 44100.0;
            for (float& x : block) { // the loop's length is not a multiple of the block
                x = music[pos];
                pos = (pos + 1) % music.size();
            }
            lc_process_audio(block, 128, lc, blockTime);
            const auto a = Clock::now();
            lc_consume_audio(lc);
            analysing += std::chrono::duration<double>(Clock::now() - a).count();
            for (const long long last = static_cast<long long>((frames + 128) / 44.1); ms < last;) {
                ++ms;
                time.now = static_cast<double>(ms) / 1000.0;
                lc_timer_pass(lc, time.now);
            }
            if ((frames & 0xFFFF) == 0)
                midioutput_capture_clear(midi);
        }
        const unsigned long steps = lc_get_meter_estimate(lc, nullptr, nullptr, nullptr) - stepsBefore;
        std::printf("%d\t%.1f\t%lu\t%.3f\t%.1f\t%.2f\n", hour, residentMegabytes(), steps,
                    steps ? 1000.0 * analysing / static_cast<double>(steps) : 0.0,
                    std::chrono::duration<double>(Clock::now() - hourStart).count(), lc_get_bpm(lc));
        std::fflush(stdout);
    }
    std::printf("total wall %.1f s for %d h of audio\n",
                std::chrono::duration<double>(Clock::now() - runStart).count(), hours);
    benchmark::DoNotOptimize(sinks.data());
    for (double& s : sinks)
        lc_unregister_phase_cb(lc, &s);
    lc_close(lc);
    return 0;
}
