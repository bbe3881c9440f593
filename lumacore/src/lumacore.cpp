#include "lumacore.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "jackmidiport.h"
#include "lumacore_version.h"
#include "meterticker.h"

namespace {

/* A phase callback as its owner asked for it, kept by the handle so that every new ticker
   (lc_run, lc_reinit) calls it again: the owners register once and never hear of restarts. */
struct PhaseRegistration {
    MeterLevelID level;
    void* udata;
    lc_phase_cb_fn fn;
};

} // namespace

struct LumaCore_t {
    LumaCore_t(size_t capacity, int port) : captureCapacity(capacity), midiPort(port) {}

    /* Null after lc_stop. The audio thread reads it while it is counted in audioCallsInside;
       whoever takes the sequencer away swaps in null first and then waits until that count is
       zero, so the audio thread never waits and never touches a freed sequencer. */
    std::atomic<Sequencer_t*> sequencer{nullptr};
    std::atomic<int> audioCallsInside{0};
    MeterTicker_t* ticker = nullptr; /* null after lc_stop and when lc_run could not create one */
    /* 0: live engine with threads and the system's MIDI ports; else the capture capacity of a
       virtual engine. */
    size_t captureCapacity;
    /* MIDI port to reopen at lc_run: the one open when the engine was stopped. */
    int midiPort;
    std::vector<PhaseRegistration> phaseRegistrations;
    /* Network outputs: they outlive tickers, so that their settings and sessions survive a
       restart of the engine. */
    OscOutput_t* osc = nullptr;
    LinkOutput_t* link = nullptr;
    /* The installed time source, for the network outputs to relate the stream to their clocks. */
    std::atomic<lc_gettime_fn> timeFn{nullptr};
    std::atomic<void*> timeData{nullptr};
    /* Live engines: Beatlume's own JACK MIDI port (null without a JACK server); it outlives every
       ticker, so that other programs' connections to it survive restarts. */
    JackMidiPort_t* ownPort = nullptr;
    /* Steady-clock second before which lc_check_midi_ports does not try to join a server again. */
    double nextJoinAttempt = 0.0;
    /* Latency offset of the MIDI output and the silence switch, applied to every new ticker. */
    double midiLatency = 0.0;
    std::atomic<int> stopOnSilence{1};
    std::atomic<double> silenceLevel{kDefaultSilenceLevel};
    /* Outputs attached by the owner, attached again to every new ticker. */
    std::vector<EventOutput_t*> outputs;
};

namespace {

Sequencer_t* current_sequencer(const LumaCore_t* lc) {
    return lc->sequencer.load(std::memory_order_acquire);
}

/* Takes the sequencer out of the audio thread's reach: afterwards no block is being handed to
   it and none will be. Waits only for a block copy in progress (microseconds). */
Sequencer_t* detach_sequencer(LumaCore_t* lc) {
    Sequencer_t* sequencer = lc->sequencer.exchange(nullptr, std::memory_order_seq_cst);
    while (lc->audioCallsInside.load(std::memory_order_seq_cst) != 0)
        std::this_thread::yield();
    return sequencer;
}

void install_phase_callbacks(LumaCore_t* lc) {
    if (!lc->ticker)
        return;
    for (const PhaseRegistration& r : lc->phaseRegistrations)
        meterticker_register_phase_cb(lc->ticker, r.level, r.udata, r.fn);
    for (EventOutput_t* output : lc->outputs)
        meterticker_attach_output(lc->ticker, output);
    if (lc->ticker->midi)
        meterticker_set_output_latency(midioutput_event_output(lc->ticker->midi), lc->midiLatency);
    meterticker_set_stop_on_silence(lc->ticker, lc->stopOnSilence.load());
    meterticker_set_silence_level(lc->ticker, lc->silenceLevel.load());
}

/* Stream time for the network outputs' threads; NaN without a time source. */
double stream_now(void* udata) {
    const LumaCore_t* lc = static_cast<const LumaCore_t*>(udata);
    void* data = lc->timeData.load(std::memory_order_acquire);
    const lc_gettime_fn fn = lc->timeFn.load(std::memory_order_acquire);
    return fn ? fn(data) : NAN;
}

bool is_virtual(const LumaCore_t* lc) {
    return lc->captureCapacity > 0;
}

void attach_network(LumaCore_t* lc) {
    if (!lc->ticker)
        return;
    meterticker_attach_output(lc->ticker, osc_output_event_output(lc->osc));
    meterticker_attach_output(lc->ticker, link_output_event_output(lc->link));
}

void free_engine(LumaCore_t* lc) {
    osc_output_free(lc->osc);
    link_output_free(lc->link);
    delete lc;
}

double capture_time(void* udata) {
    return LCSeq_get_current_time(static_cast<Sequencer_t*>(udata));
}

/* New ticker on `sequencer`, live or virtual as the handle is. */
int create_ticker(LumaCore_t* lc, Sequencer_t* sequencer, int midiPort, MeterTicker_t** out) {
    MeterTickerOptions_t options{midiPort, 1, nullptr, 0};
    if (lc->captureCapacity == 0)
        options.midi = midioutput_init_own(lc->ownPort); /* null: the ticker runs without MIDI */
    if (lc->captureCapacity > 0) {
        options.threads = 0;
        options.midi = midioutput_init_capture(lc->captureCapacity, capture_time, sequencer);
        if (!options.midi) {
            lc_logmsg(LC_LOG_ERROR, "No MIDI output available");
            return LC_STATUS_NO_MIDI;
        }
    }
    return meterticker_init_ex(sequencer, &options, out);
}

LumaCore_t* create_engine(int midiPort, size_t captureCapacity) {
    lc_logmsg(LC_LOG_NOTICE, "Version %s\n", lc_version_str);
    LumaCore_t* lc = new (std::nothrow) LumaCore_t(captureCapacity, midiPort < 0 ? 0 : midiPort);
    if (!lc) {
        LUMACORE_ERROR_STATUS = LC_STATUS_GENERAL;
        return nullptr;
    }
    /* Also a virtual engine's outputs read the installed time source: one driven by real audio
       (headless mode without a MIDI port) keeps its time tags and Link clock right. */
    lc->osc = osc_output_create(stream_now, lc);
    lc->link = link_output_create(stream_now, lc);
    Sequencer_t* sequencer = lc->osc && lc->link ? init_sequencer() : nullptr;
    if (!sequencer) {
        LUMACORE_ERROR_STATUS = LC_STATUS_GENERAL;
        free_engine(lc);
        return nullptr;
    }
    if (captureCapacity == 0)
        lc->ownPort = jackmidiport_open("Beatlume", "Beatlume");
    const int status = create_ticker(lc, sequencer, midiPort, &lc->ticker);
    if (status != 0) {
        LUMACORE_ERROR_STATUS = status;
        close_sequencer(sequencer);
        jackmidiport_close(lc->ownPort);
        free_engine(lc);
        return nullptr;
    }
    install_phase_callbacks(lc);
    attach_network(lc);
    lc->sequencer.store(sequencer, std::memory_order_release);
    return lc;
}

bool has_midi(LumaCore_t* lc) {
    return lc && lc->ticker && lc->ticker->midi;
}

int refuse_without_midi(const char* message) {
    lc_logmsg(LC_LOG_ERROR, "%s", message);
    return 1;
}

/* Ticker close then sequencer close. */
void close_engine_parts(LumaCore_t* lc) {
    Sequencer_t* sequencer = detach_sequencer(lc);
    lc_logmsg(LC_LOG_PROGRESS, "Closing the ticker and the sequencer");
    if (lc->ticker) {
        const int open = lc->ticker->midi ? midioutput_open_port(lc->ticker->midi) : -1;
        if (open >= 0)
            lc->midiPort = open;
        meterticker_close(lc->ticker);
        lc->ticker = nullptr;
    }
    close_sequencer(sequencer);
}

} // namespace

extern "C" {

LumaCore_t* lc_init(int reserved, int midiPort) {
    (void)reserved;
    return create_engine(midiPort, 0);
}

LumaCore_t* lc_init_virtual(size_t midiCaptureCapacity) {
    if (midiCaptureCapacity == 0) {
        LUMACORE_ERROR_STATUS = LC_STATUS_GENERAL;
        return nullptr;
    }
    return create_engine(0, midiCaptureCapacity);
}

int lc_start_sequencer(LumaCore_t* lc) {
    if (!lc || !current_sequencer(lc))
        return 1;
    start_sequencer(current_sequencer(lc));
    return 0;
}

void lc_register_gettime_cb(LumaCore_t* lc, void* udata, lc_gettime_fn fn) {
    if (!lc)
        return;
    lc->timeData.store(udata, std::memory_order_release);
    lc->timeFn.store(fn, std::memory_order_release);
    if (current_sequencer(lc))
        sequencer_register_gettime_cb(current_sequencer(lc), udata, fn);
}

void lc_process_audio(const float* samples, unsigned long frames, LumaCore_t* lc, double streamTime) {
    if (!lc)
        return;
    jackmidiport_note_block(lc->ownPort, streamTime);
    /* Counted in before the pointer is read (see detach_sequencer). */
    lc->audioCallsInside.fetch_add(1, std::memory_order_seq_cst);
    if (Sequencer_t* sequencer = lc->sequencer.load(std::memory_order_seq_cst))
        sequencer_audio_cb(samples, frames, sequencer, streamTime);
    lc->audioCallsInside.fetch_sub(1, std::memory_order_release);
}

int lc_stop(LumaCore_t* lc) {
    if (!lc || !current_sequencer(lc))
        return 0;
    close_engine_parts(lc);
    return 0;
}

int lc_run(LumaCore_t* lc) {
    if (!lc)
        return 1;
    if (current_sequencer(lc)) /* still running: restart cleanly rather than leak the old engine */
        lc_stop(lc);
    Sequencer_t* sequencer = init_sequencer();
    if (!sequencer)
        return 1;
    MeterTicker_t* ticker = nullptr;
    if (create_ticker(lc, sequencer, lc->midiPort, &ticker) != 0)
        ticker = nullptr;
    lc->ticker = ticker;
    install_phase_callbacks(lc);
    attach_network(lc);
    start_sequencer(sequencer);
    lc->sequencer.store(sequencer, std::memory_order_release);
    return 0;
}

int lc_reinit(LumaCore_t* lc) {
    Sequencer_t* sequencer = lc ? current_sequencer(lc) : nullptr;
    if (!sequencer)
        return 1;
    stop_sequencer(sequencer);
    if (lc->ticker)
        meterticker_close(lc->ticker);
    lc->ticker = nullptr;
    MeterTicker_t* ticker = nullptr;
    if (create_ticker(lc, sequencer, 0, &ticker) == 0) {
        lc->ticker = ticker;
        meterticker_midiclock_out(ticker, 0);
        if (ticker->midi) {
            midioutput_close(ticker->midi);
            midioutput_open(ticker->midi, 0);
        }
        meterticker_midiclock_out(ticker, 1);
        install_phase_callbacks(lc);
        attach_network(lc);
    }
    start_sequencer(sequencer);
    return 1;
}

void lc_close(LumaCore_t* lc) {
    if (!lc)
        return;
    if (current_sequencer(lc))
        close_engine_parts(lc);
    jackmidiport_close(lc->ownPort);
    free_engine(lc);
}

/* ---- virtual time ---- */

long lc_consume_audio(LumaCore_t* lc) {
    return lc && lc->ticker ? meterticker_consume(lc->ticker) : -1;
}

int lc_timer_pass(LumaCore_t* lc, double now) {
    if (!lc || !lc->ticker || lc->ticker->threaded)
        return 0;
    const int ran = meterticker_timer_pass(lc->ticker, now);
    /* Without threads the network outputs send in the owner's pass. */
    osc_output_flush(lc->osc);
    link_output_commit(lc->link);
    return ran;
}

MidiOut_t* lc_get_midi_output(LumaCore_t* lc) {
    return has_midi(lc) ? lc->ticker->midi : nullptr;
}

unsigned long lc_get_meter_estimate(LumaCore_t* lc, double periods[3], double refTimes[3],
                                    double* analysedTime) {
    if (!lc || !lc->ticker) {
        for (int i = 0; i < 3; ++i) {
            if (periods)
                periods[i] = 0.0;
            if (refTimes)
                refTimes[i] = 0.0;
        }
        if (analysedTime)
            *analysedTime = 0.0;
        return 0;
    }
    return meterticker_get_estimate(lc->ticker, periods, refTimes, analysedTime);
}

/* ---- queries and settings ---- */

void lc_get_meter_phases(LumaCore_t* lc, double* bar, double* beat, double* tatum) {
    double phases[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    if (lc && lc->ticker)
        meterticker_get_phases(lc->ticker, phases);
    if (bar)
        *bar = phases[METERLEVEL_BAR];
    if (beat)
        *beat = phases[METERLEVEL_BEAT];
    if (tatum)
        *tatum = phases[METERLEVEL_TATUM];
}

double lc_get_input_level(LumaCore_t* lc) {
    return lc && lc->ticker ? meterticker_get_level(lc->ticker) : -100.0;
}

double lc_get_nonbeatyness(LumaCore_t* lc) {
    return lc && lc->ticker ? meterticker_get_nonbeatyness(lc->ticker) : -100.0;
}

double lc_get_bpm(LumaCore_t* lc) {
    return lc && lc->ticker ? meterticker_get_bpm(lc->ticker) : 0.0;
}

double lc_get_beat_phase(LumaCore_t* lc) {
    return lc && lc->ticker ? meterticker_get_phase(lc->ticker, METERLEVEL_BEAT) : 0.0;
}

double lc_get_anti_delay(LumaCore_t* lc) {
    return lc && lc->ticker ? meterticker_get_anti_delay(lc->ticker) : 0.0;
}

void lc_set_anti_delay(LumaCore_t* lc, double seconds) {
    if (lc && lc->ticker)
        meterticker_set_anti_delay(lc->ticker, seconds);
}

void lc_change_half_time(LumaCore_t* lc, double seconds) {
    if (lc && lc->ticker)
        meterticker_change_half_time(lc->ticker, seconds);
}

void lc_change_myyValues(LumaCore_t* lc, double bar, double beat, double tatum) {
    if (lc && lc->ticker)
        meterticker_change_myyValues(lc->ticker, bar, beat, tatum);
}

/* ---- tracking state, confidence and hints ---- */

double lc_get_confidence(LumaCore_t* lc) {
    return lc && lc->ticker ? meterticker_get_confidence(lc->ticker) : 0.0;
}

LcTrackingState lc_get_tracking_state(LumaCore_t* lc) {
    return lc && lc->ticker ? meterticker_get_tracking_state(lc->ticker) : LC_TRACKING_NO_EVIDENCE;
}

const char* lc_tracking_state_name(LcTrackingState state) {
    switch (state) {
    case LC_TRACKING_SEARCHING:
        return "searching";
    case LC_TRACKING_LOCKED:
        return "locked";
    case LC_TRACKING_HOLDING:
        return "holding";
    case LC_TRACKING_NO_EVIDENCE:
        return "no evidence";
    }
    return "unknown";
}

void lc_set_hold_bars(LumaCore_t* lc, int bars) {
    if (lc && lc->ticker)
        meterticker_set_hold_bars(lc->ticker, bars);
}

int lc_get_hold_bars(LumaCore_t* lc) {
    return lc && lc->ticker ? meterticker_get_hold_bars(lc->ticker) : 0;
}

void lc_set_silence_threshold(LumaCore_t* lc, double level) {
    if (!lc || !std::isfinite(level))
        return;
    lc->silenceLevel.store(std::clamp(level, -100.0, 0.0));
    if (lc->ticker)
        meterticker_set_silence_level(lc->ticker, level);
}

double lc_get_silence_threshold(LumaCore_t* lc) {
    return lc ? lc->silenceLevel.load() : kDefaultSilenceLevel;
}

void lc_set_stop_on_silence(LumaCore_t* lc, int on) {
    if (!lc)
        return;
    lc->stopOnSilence.store(on ? 1 : 0);
    if (lc->ticker)
        meterticker_set_stop_on_silence(lc->ticker, on);
}

int lc_get_stop_on_silence(LumaCore_t* lc) {
    return lc ? lc->stopOnSilence.load() : 0;
}

int lc_hint_tempo(LumaCore_t* lc, double bpm) {
    if (!lc || !lc->ticker || !(bpm > 0.0) || !std::isfinite(bpm))
        return 1;
    return meterticker_hint_beat_period(lc->ticker, 60.0 / bpm);
}

int lc_hint_half(LumaCore_t* lc) {
    const double bpm = lc_get_bpm(lc);
    return bpm > 0.0 ? lc_hint_tempo(lc, bpm / 2.0) : 1;
}

int lc_hint_double(LumaCore_t* lc) {
    const double bpm = lc_get_bpm(lc);
    return bpm > 0.0 ? lc_hint_tempo(lc, bpm * 2.0) : 1;
}

int lc_hint_bar_start(LumaCore_t* lc) {
    return lc && lc->ticker ? meterticker_hint_bar_start(lc->ticker) : 1;
}

int lc_freeze_tempo(LumaCore_t* lc, int on) {
    if (!lc || !lc->ticker)
        return 1;
    meterticker_freeze_tempo(lc->ticker, on);
    return 0;
}

int lc_get_tempo_frozen(LumaCore_t* lc) {
    return lc && lc->ticker ? meterticker_tempo_frozen(lc->ticker) : 0;
}

/* ---- MIDI ---- */

int lc_enable_midiclock(LumaCore_t* lc, int on) {
    if (!has_midi(lc))
        return refuse_without_midi("MIDI clock fails - no MIDI");
    meterticker_midiclock_out(lc->ticker, on);
    return 0;
}

int lc_enable_midinote(LumaCore_t* lc, int on) {
    if (!has_midi(lc))
        return refuse_without_midi("MIDI note fails - no MIDI");
    meterticker_midinote_out(lc->ticker, on);
    return 0;
}

int lc_enable_midiphase(LumaCore_t* lc, int on) {
    if (!has_midi(lc))
        return refuse_without_midi("MIDI note fails - no MIDI");
    meterticker_midiphase_out(lc->ticker, on);
    return 0;
}

int lc_set_mididev(LumaCore_t* lc, int port) {
    if (!has_midi(lc))
        return 1;
    MeterTicker_t* t = lc->ticker;
    meterticker_midiclock_out(t, 0);
    midioutput_close(t->midi);
    const int result = midioutput_open(t->midi, port);
    meterticker_midiclock_out(t, 1);
    return result;
}

int lc_get_current_mididev(LumaCore_t* lc) {
    return has_midi(lc) ? midioutput_open_port(lc->ticker->midi) : -1;
}

char** lc_get_mididev_list(LumaCore_t* lc) {
    if (!has_midi(lc))
        return nullptr;
    midioutput_reinitialize_devices(lc->ticker->midi);
    return midioutput_port_names(lc->ticker->midi);
}

int lc_send_test_midinote(LumaCore_t* lc, MeterLevelID level) {
    if (!has_midi(lc))
        return refuse_without_midi("MIDI note fails - no MIDI");
    meterticker_send_test_midinote(lc->ticker, level);
    return 0;
}

void lc_send_midi_message(LumaCore_t* lc, int kind, int channel, int data1, int data2) {
    if (has_midi(lc))
        meterticker_send_midi_message(lc->ticker, kind, channel, data1, data2);
}

/* ---- network outputs ---- */

int lc_enable_link(LumaCore_t* lc, int on) {
    return lc ? link_output_enable(lc->link, on, is_virtual(lc) ? 0 : 1) : 1;
}

int lc_get_link_peers(LumaCore_t* lc) {
    return lc ? link_output_peers(lc->link) : 0;
}

void lc_set_link_latency_offset(LumaCore_t* lc, double seconds) {
    if (lc)
        link_output_set_latency_offset(lc->link, seconds);
}

int lc_set_osc_destination(LumaCore_t* lc, const char* host, int port) {
    return lc ? osc_output_set_destination(lc->osc, host, port) : 1;
}

int lc_enable_osc(LumaCore_t* lc, int on) {
    return lc ? osc_output_enable(lc->osc, on, is_virtual(lc) ? 0 : 1) : 1;
}

void lc_set_osc_bundles(LumaCore_t* lc, int on) {
    if (lc)
        osc_output_set_bundles(lc->osc, on);
}

void lc_set_osc_phase_rate(LumaCore_t* lc, double perSecond) {
    if (lc)
        osc_output_set_phase_rate(lc->osc, perSecond);
}

void lc_set_osc_latency_offset(LumaCore_t* lc, double seconds) {
    if (lc)
        osc_output_set_latency_offset(lc->osc, seconds);
}

OscOutput_t* lc_get_osc_output(LumaCore_t* lc) {
    return lc ? lc->osc : nullptr;
}

LinkOutput_t* lc_get_link_output(LumaCore_t* lc) {
    return lc ? lc->link : nullptr;
}

const char* lc_own_midi_port_name(LumaCore_t* lc) {
    if (!has_midi(lc))
        return nullptr;
    if (lc->ownPort)
        return jackmidiport_name(lc->ownPort);
    char** names = midioutput_port_names(lc->ticker->midi);
    return names && names[0] && std::string(names[0]) == "Beatlume" ? names[0] : nullptr;
}

int lc_check_midi_ports(LumaCore_t* lc) {
    if (!lc || !lc->ownPort)
        return 0;
    const double now =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    const bool otherJackClient = has_midi(lc) && midioutput_uses_jack(lc->ticker->midi);
    const bool mayJoin = !otherJackClient && now >= lc->nextJoinAttempt;
    const int lost = jackmidiport_check(lc->ownPort, mayJoin ? 1 : 0);
    if (lost && mayJoin)
        lc->nextJoinAttempt = now + 1.0;
    return lost && otherJackClient ? 2 : lost;
}

int lc_open_own_midi_port(LumaCore_t* lc) {
    if (!lc_own_midi_port_name(lc))
        return 1;
    return lc_set_mididev(lc, 0);
}

void lc_set_midi_latency(LumaCore_t* lc, double seconds) {
    if (!lc || !std::isfinite(seconds))
        return;
    lc->midiLatency = std::fmax(-1.0, std::fmin(1.0, seconds));
    if (has_midi(lc))
        meterticker_set_output_latency(midioutput_event_output(lc->ticker->midi), lc->midiLatency);
}

double lc_get_midi_latency(LumaCore_t* lc) {
    return lc ? lc->midiLatency : 0.0;
}

int lc_attach_output(LumaCore_t* lc, EventOutput_t* output) {
    if (!lc || !output)
        return 1;
    try {
        lc->outputs.push_back(output);
    } catch (...) {
        return 1;
    }
    if (lc->ticker && meterticker_attach_output(lc->ticker, output) != 0) {
        lc->outputs.pop_back();
        return 1;
    }
    return 0;
}

void lc_detach_output(LumaCore_t* lc, EventOutput_t* output) {
    if (!lc)
        return;
    for (auto o = lc->outputs.begin(); o != lc->outputs.end(); ++o)
        if (*o == output) {
            lc->outputs.erase(o);
            break;
        }
    if (lc->ticker)
        meterticker_detach_output(lc->ticker, output);
}

/* ---- phase callbacks ---- */

PhaseCallback_t* lc_register_phase_cb(LumaCore_t* lc, MeterLevelID level, void* udata, lc_phase_cb_fn fn) {
    if (!lc || !fn || level < METERLEVEL_BAR || level >= METERLEVEL_COUNT)
        return nullptr;
    try {
        lc->phaseRegistrations.push_back({level, udata, fn});
    } catch (...) {
        return nullptr;
    }
    if (!lc->ticker)
        return nullptr;
    PhaseCallback_t* node = meterticker_register_phase_cb(lc->ticker, level, udata, fn);
    if (!node)
        lc->phaseRegistrations.pop_back();
    return node;
}

void lc_unregister_phase_cb(LumaCore_t* lc, void* udata) {
    if (!lc)
        return;
    for (auto r = lc->phaseRegistrations.begin(); r != lc->phaseRegistrations.end(); ++r)
        if (r->udata == udata) {
            lc->phaseRegistrations.erase(r);
            break;
        }
    if (lc->ticker)
        meterticker_unregister_phase_cb(lc->ticker, udata);
}

} // extern "C"
