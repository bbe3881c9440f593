#include "live_mode.h"

#include "lumacore.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr unsigned int blockSize = 128; // the capture stream's block
constexpr double rate = SEQUENCER_SAMPLE_RATE;
constexpr size_t captureCapacity = 1 << 14; // drained after every block: a few ms of MIDI
constexpr unsigned char noteOn = 0x90, midiClock = 0xF8;
constexpr int barNote = 64, beatNote = 65, tatumNote = 66;
constexpr unsigned long long confidenceRowFrames = 22050; // the analysis steps' rate

struct VirtualTime {
    double now = 0.0;
    static double read(void* self) { return static_cast<VirtualTime*>(self)->now; }
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool openOutput(std::string const& path, File& file, std::string& error) {
    if (path.empty())
        return true;
    file.reset(std::fopen(path.c_str(), "w"));
    if (!file)
        error = "cannot write " + path + ": " + std::strerror(errno);
    return static_cast<bool>(file);
}

bool closeOutput(File& file, std::string const& path, std::string& error) {
    if (!file)
        return true;
    bool ok = std::ferror(file.get()) == 0;
    ok = std::fclose(file.release()) == 0 && ok;
    if (!ok && error.empty())
        error = "cannot write " + path + ": " + std::strerror(errno);
    return ok;
}

struct Recorder {
    TrackResult* result;
    std::FILE* clock;
    std::FILE* events;

    // Moves everything the engine sent since the last call out of the capture sink.
    void drain(MidiOut_t* midi) {
        size_t const n = midioutput_capture_count(midi);
        MidiCaptureEntry_t e;
        for (size_t i = 0; i < n; ++i) {
            if (midioutput_capture_get(midi, i, &e) != 0)
                continue;
            take(e);
        }
        if (midioutput_capture_overflow(midi) > 0)
            std::fprintf(stderr, "beatlume-track: %zu MIDI messages lost in capture\n",
                         midioutput_capture_overflow(midi));
        midioutput_capture_clear(midi);
    }

    void take(MidiCaptureEntry_t const& e) {
        if (events) {
            std::fprintf(events, "%.6f\t", e.time);
            for (unsigned i = 0; i < e.size; ++i)
                std::fprintf(events, i ? " %02X" : "%02X", e.bytes[i]);
            std::fputc('\n', events);
        }
        if (e.size == 1 && e.bytes[0] == midiClock && clock)
            std::fprintf(clock, "%.6f\n", e.time);
        if (e.size == 3 && (e.bytes[0] & 0xF0) == noteOn && e.bytes[2] > 0) {
            if (e.bytes[1] == beatNote)
                result->beats.push_back(e.time);
            else if (e.bytes[1] == barNote)
                result->downbeats.push_back(e.time);
            else if (e.bytes[1] == tatumNote)
                result->tatums.push_back(e.time);
        }
    }
};

} // namespace

bool tempoRangeMedians(int range, double medians[3]) {
    static double const sets[3][3] = {
        {2.1, 0.55, 0.18},
        {1.5, 0.42857142857142855, 0.12244897959183673},
        {2.6246719160104988, 0.75, 0.21428571428571427},
    };
    if (range < 0 || range > 2)
        return false;
    for (int i = 0; i < 3; ++i)
        medians[i] = sets[range][i];
    return true;
}

bool trackLive(AudioSource& source, LiveOptions const& options, TrackResult& result, std::string& error) {
    File clockFile, eventsFile, tempoFile, confidenceFile, oscFile, linkFile;
    if (!openOutput(options.clock, clockFile, error) || !openOutput(options.events, eventsFile, error) ||
        !openOutput(options.tempo, tempoFile, error) || !openOutput(options.confidence, confidenceFile, error) ||
        !openOutput(options.oscOut, oscFile, error) || !openOutput(options.linkOut, linkFile, error))
        return false;
    if (tempoFile)
        std::fprintf(tempoFile.get(), "time_s\tbpm\tbar_beats\n");
    if (confidenceFile)
        std::fprintf(confidenceFile.get(),
                     "time_s\tconfidence\tstate\tbeat_period_s\tbeat_tick_s\tbar_period_s\tbar_tick_s\n");
    unsigned long long nextConfidenceRow = confidenceRowFrames;

    std::unique_ptr<LumaCore_t, void (*)(LumaCore_t*)> engine(lc_init_virtual(captureCapacity), lc_close);
    if (!engine) {
        error = "the engine could not be created (status " + std::to_string(LUMACORE_ERROR_STATUS) + ")";
        return false;
    }
    LumaCore_t* lc = engine.get();
    VirtualTime time;
    lc_register_gettime_cb(lc, &time, VirtualTime::read);
    lc_start_sequencer(lc);
    double medians[3];
    if (tempoRangeMedians(options.tempoRange, medians))
        lc_change_myyValues(lc, medians[0], medians[1], medians[2]);
    lc_change_half_time(lc, options.halfLife);
    lc_set_anti_delay(lc, options.antiDelay);
    lc_enable_midiclock(lc, 1);
    lc_enable_midinote(lc, 1);
    lc_enable_midiphase(lc, 1);
    // Recorded in the engine's own passes, from the same events as the MIDI.
    osc_output_record(lc_get_osc_output(lc), oscFile.get());
    link_output_record(lc_get_link_output(lc), linkFile.get());
    MidiOut_t* midi = lc_get_midi_output(lc);
    midioutput_capture_clear(midi); // the switches' Stop

    Recorder recorder{&result, clockFile.get(), eventsFile.get()};
    double samples[blockSize];
    float block[blockSize];
    unsigned long long frames = 0;
    long long millisecond = 0; // last timer pass, in ms of virtual time
    unsigned long estimates = 0;
    for (;;) {
        size_t const n = source.read(samples, blockSize);
        if (n == 0)
            break;
        for (size_t i = 0; i < n; ++i)
            block[i] = static_cast<float>(samples[i]);
        double const blockTime = static_cast<double>(frames) / rate;
        frames += n;
        // The block is complete, and handed over, when its last frame has been captured.
        double const available = static_cast<double>(frames) / rate;
        time.now = available;
        lc_process_audio(block, n, lc, blockTime);
        lc_consume_audio(lc);

        double periods[3], refTimes[3], analysed = 0.0;
        unsigned long const count = lc_get_meter_estimate(lc, periods, refTimes, &analysed);
        if (count != estimates) {
            estimates = count;
            StepEstimate e{};
            e.audioTime = analysed;
            e.barPeriod = periods[METERLEVEL_BAR];
            e.beatPeriod = periods[METERLEVEL_BEAT];
            e.tatumPeriod = periods[METERLEVEL_TATUM];
            e.barPhase = refTimes[METERLEVEL_BAR];
            e.beatPhase = refTimes[METERLEVEL_BEAT];
            e.tatumPhase = refTimes[METERLEVEL_TATUM];
            e.beatyness = NAN; // the engine does not take it over
            result.steps.push_back(e);
            if (tempoFile)
                std::fprintf(tempoFile.get(), "%.6f\t%.3f\t%.3f\n", analysed, 60.0 / e.beatPeriod,
                             e.barPeriod / e.beatPeriod);
        }

        if (confidenceFile && frames >= nextConfidenceRow) {
            nextConfidenceRow += confidenceRowFrames;
            double grid[3], ticks[3];
            lc_get_meter_estimate(lc, grid, ticks, nullptr);
            std::fprintf(confidenceFile.get(), "%.6f\t%.4f\t%s\t%.6f\t%.6f\t%.6f\t%.6f\n", available,
                         lc_get_confidence(lc), lc_tracking_state_name(lc_get_tracking_state(lc)),
                         grid[METERLEVEL_BEAT], ticks[METERLEVEL_BEAT], grid[METERLEVEL_BAR], ticks[METERLEVEL_BAR]);
        }

        // Until the next block is complete the timer works with what this one brought.
        double const nextAvailable = available + static_cast<double>(blockSize) / rate;
        for (long long const last = static_cast<long long>(std::floor(nextAvailable * 1000.0));
             millisecond < last;) {
            ++millisecond;
            time.now = static_cast<double>(millisecond) / 1000.0;
            lc_timer_pass(lc, time.now);
        }
        recorder.drain(midi);
    }
    // What closing the engine would send: the note-offs of sounding notes and the Stop.
    time.now = static_cast<double>(millisecond) / 1000.0;
    lc_enable_midinote(lc, 0);
    lc_enable_midiclock(lc, 0);
    lc_timer_pass(lc, time.now);
    recorder.drain(midi);
    engine.reset();

    result.samples = frames;
    result.seconds = static_cast<double>(frames) / rate;
    // Below about -100 dBFS there is nothing to track; the engine would follow the tracker's dither.
    result.silent = source.peak() < 1e-5;
    if (result.silent) {
        result.beats.clear();
        result.downbeats.clear();
        result.tatums.clear();
    }

    bool ok = closeOutput(clockFile, options.clock, error);
    ok = closeOutput(eventsFile, options.events, error) && ok;
    ok = closeOutput(tempoFile, options.tempo, error) && ok;
    ok = closeOutput(confidenceFile, options.confidence, error) && ok;
    ok = closeOutput(oscFile, options.oscOut, error) && ok;
    ok = closeOutput(linkFile, options.linkOut, error) && ok;
    return ok;
}
