// Hours of live engine in virtual time: drum music (a seamless 30 s loop at 120 BPM) in
// 128-frame blocks, the analysis after each block, a timer pass every millisecond with MIDI
// clock, notes and phase controllers on and 16 phase callbacks (stand-ins for efektors). Every
// hour holds what a show throws at the engine: an audio device change (lc_stop, lc_run and a
// new stream time line, as the window does it) at minute 10, a minute of dropped blocks (one in
// fifty) from minute 20, two minutes of digital silence from minute 30 and two minutes of a
// steady 110 Hz square wave at -10 dBFS from minute 40. Prints, per hour of audio, the resident
// memory and the mean time of an analysis step (time spent analysing / steps), which must stay
// flat; at the end, the memory growth from hour 1 and whether every phase callback was still
// being called in the last ten minutes (exit status 1 when one fell silent).
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

struct Sink {
    double phaseSum = 0.0;
    unsigned long calls = 0;
};

void sink(void* udata, double phase) {
    auto* s = static_cast<Sink*>(udata);
    s->phaseSum += phase;
    ++s->calls;
}

/* Starts the engine's present stream the way the window does after opening a device. */
void startStream(LumaCore_t* lc, VirtualTime* time) {
    lc_register_gettime_cb(lc, time, VirtualTime::read);
    lc_start_sequencer(lc);
    lc_enable_midiclock(lc, 1);
    lc_enable_midinote(lc, 1);
    lc_enable_midiphase(lc, 1);
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
    startStream(lc, &time);
    std::vector<Sink> sinks(16);
    for (size_t i = 0; i < sinks.size(); ++i)
        lc_register_phase_cb(lc, static_cast<MeterLevelID>(i % 3), &sinks[i], sink);
    MidiOut_t* midi = lc_get_midi_output(lc);

    using Clock = std::chrono::steady_clock;
    const unsigned long long framesPerMinute = 60ull * 44100ull;
    const unsigned long long framesPerHour = 60ull * framesPerMinute;
    unsigned long long frames = 0;       // audio of the whole run
    unsigned long long streamFrames = 0; // since the present stream started
    long long ms = 0;                    // timer passes on the present stream's time line
    unsigned long long blockCount = 0;
    size_t pos = 0;
    double tonePhase = 0.0;
    float block[128];
    std::vector<unsigned long> callsAtLastCheck(sinks.size(), 0);
    double firstHourMegabytes = 0.0, lastMegabytes = 0.0;
    std::printf("hour\trss_MB\tsteps\tmean_step_ms\twall_s\tbpm\n");
    const auto runStart = Clock::now();
    for (int hour = 1; hour <= hours; ++hour) {
        double analysing = 0.0;
        unsigned long steps = 0;
        unsigned long estimatesBefore = lc_get_meter_estimate(lc, nullptr, nullptr, nullptr);
        const auto hourStart = Clock::now();
        bool changedDevice = false;
        for (unsigned long long hourStartFrame = frames, end = frames + framesPerHour; frames < end;) {
            const unsigned long long minute = (frames - hourStartFrame) / framesPerMinute;
            if (minute == 10 && !changedDevice) {
                changedDevice = true;
                steps += lc_get_meter_estimate(lc, nullptr, nullptr, nullptr) - estimatesBefore;
                lc_stop(lc);
                lc_run(lc);
                streamFrames = 0;
                ms = 0;
                time.now = 0.0;
                startStream(lc, &time);
                midi = lc_get_midi_output(lc);
                estimatesBefore = 0;
            }
            if (hour == hours && minute == 50)
                for (size_t i = 0; i < sinks.size(); ++i)
                    callsAtLastCheck[i] = sinks[i].calls;

            const double blockTime = static_cast<double>(streamFrames) / 44100.0;
            frames += 128;
            streamFrames += 128;
            ++blockCount;
            time.now = static_cast<double>(streamFrames) / 44100.0;
            for (float& x : block) { // the loop's length is not a multiple of the block
                x = music[pos];
                pos = (pos + 1) % music.size();
                if (minute == 30 || minute == 31) {
                    x = 0.0f;
                } else if (minute == 40 || minute == 41) {
                    tonePhase = std::fmod(tonePhase + 110.0 / 44100.0, 1.0);
                    x = tonePhase < 0.5 ? 0.316f : -0.316f;
                }
            }
            const bool dropped = minute == 20 && blockCount % 50 == 0;
            if (!dropped)
                lc_process_audio(block, 128, lc, blockTime);
            const auto a = Clock::now();
            lc_consume_audio(lc);
            analysing += std::chrono::duration<double>(Clock::now() - a).count();
            for (const long long last = static_cast<long long>((streamFrames + 128) / 44.1); ms < last;) {
                ++ms;
                time.now = static_cast<double>(ms) / 1000.0;
                lc_timer_pass(lc, time.now);
            }
            if ((frames & 0xFFFF) == 0)
                midioutput_capture_clear(midi);
        }
        steps += lc_get_meter_estimate(lc, nullptr, nullptr, nullptr) - estimatesBefore;
        lastMegabytes = residentMegabytes();
        if (hour == 1)
            firstHourMegabytes = lastMegabytes;
        std::printf("%d\t%.1f\t%lu\t%.3f\t%.1f\t%.2f\n", hour, lastMegabytes, steps,
                    steps ? 1000.0 * analysing / static_cast<double>(steps) : 0.0,
                    std::chrono::duration<double>(Clock::now() - hourStart).count(), lc_get_bpm(lc));
        std::fflush(stdout);
    }
    size_t alive = 0;
    for (size_t i = 0; i < sinks.size(); ++i)
        alive += sinks[i].calls > callsAtLastCheck[i] ? 1 : 0;
    std::printf("total wall %.1f s for %d h of audio\n",
                std::chrono::duration<double>(Clock::now() - runStart).count(), hours);
    std::printf("resident memory %.1f MB after hour 1, %.1f MB after hour %d: %+.2f MB (target: within 1 MB)\n",
                firstHourMegabytes, lastMegabytes, hours, lastMegabytes - firstHourMegabytes);
    std::printf("phase callbacks called in the last ten minutes: %zu of %zu\n", alive, sinks.size());
    benchmark::DoNotOptimize(sinks.data());
    for (Sink& s : sinks)
        lc_unregister_phase_cb(lc, &s);
    lc_close(lc);
    return alive == sinks.size() ? 0 : 1;
}
