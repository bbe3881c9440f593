#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <portaudio.h>
#include <string>
#include <vector>

#include "FilePlayback.h"
#include "JackCapture.h"
#include "RateConverter.h"
#include "SampleClock.h"
#include "SampleSource.h"
#include "lumacore.h"

// What a device change does to the engine around the new stream, supplied by the program that
// owns the engine (the window's bridge or the headless runner). Each hook runs on the thread
// that selects the device; an empty hook does nothing.
struct AudioEngineHooks {
    // The old stream is closed: no block reaches the engine until the next restart.
    std::function<void()> stopEngine;
    // A fresh engine on the new stream's time line, which starts at 0.
    std::function<void()> restartEngine;
    // The engine runs on the new stream: pass on the output switches (clock, notes, phase).
    std::function<void()> engineStarted;
};

// Owner of audio capture: lists the input devices, opens one as a float capture stream at
// the device's own rate (converted to the tracker's 44.1 kHz off the audio thread), mixes the selected channels to mono on the audio thread and hands every block to
// the engine. Also the engine's time source, and the place where a device change restarts
// the engine. Free of any GUI toolkit: the window and the headless program share it.
class AudioInterface {
public:
    static constexpr double sampleRate = 44100.0;
    static constexpr unsigned long framesPerBuffer = 128;
    // Frames mixed per hand-over to the engine; hosts that deliver larger blocks than asked
    // for are handed over in pieces of this size.
    static constexpr unsigned long mixFrames = 512;

    // Its owner stops the engine (lc_stop or lc_close) before destroying it while a file plays:
    // the engine's time source is then the player inside.
    AudioInterface(LumaCore_t* engine, AudioEngineHooks hooks);
    ~AudioInterface();
    AudioInterface(const AudioInterface&) = delete;
    AudioInterface& operator=(const AudioInterface&) = delete;

    void InitializeDeviceList();
    // Asks the audio system for its devices again; does nothing while a stream is open. True
    // when an input is listed.
    bool rescanDevices();
    // Names of the input devices, in list position order.
    const std::vector<std::string>& getAudioDevList() const { return deviceNames; }
    int getAudioDevIndex() const { return currentIndex; }
    int getInputChannelAmount(int index) const;
    const std::vector<char>& getCurrentChannels() const { return channelFlags; }
    void toggleChannel(int channel, int on);
    // Sizes the selection for a device with `count` input channels and selects only the
    // first. Called for every device change, while no stream runs.
    void resetChannels(int count);

    // Opens the device at list position `index` (the system default input for -1) and starts
    // or restarts the engine on it. A device that cannot be opened is reported through the
    // engine log and leaves the engine without audio.
    int selectAudioDev(int index);

    // Plays a sound file or the demo into the engine instead of a device (and to the default
    // output when there is one), restarting the engine as a device change does. The device
    // index reads -1 while it plays.
    void selectSource(std::unique_ptr<SampleSource> source);
    // Stops what plays, leaving the engine stopped until the next device selection.
    void stopSource();
    // What plays now, or null while a device is captured.
    const FilePlayback* playback() const { return player.get(); }

    // Input overflows reported by the capture stream since it opened. Any thread.
    unsigned long overflowCount() const { return overflows.load(std::memory_order_relaxed); }

    // Watches the capture stream, to be called a few times a second by the program (window poll,
    // headless loop): a stream that has delivered nothing for a second (device unplugged, audio
    // server gone, stream stopped) is reported through the engine log once, and so is its return;
    // new input overflows are reported too. A PortAudio device that went away is closed and
    // opened again, by name, once it is listed again. When the JACK server of the input goes away, the
    // engine stops (its MIDI clients of that server close with it) and, once a server answers
    // again (tried once a second), the engine's own MIDI port and the input are opened again and
    // the engine restarts on them. Returns true while the input is lost.
    bool checkHealth();

    // The engine's time source: seconds of audio the stream has delivered, on the card's
    // sample clock (the time line of the tracker's ticks), interpolated between blocks with
    // the system's monotonic clock; 0 before the first block, frozen once the stream closes.
    // Called on the engine's timer thread, its MIDI sender and the GUI thread: no lock, no
    // allocation, no I/O, never touches the stream.
    static double GetStreamTime(void* self);
    // Seconds on the monotonic clock that interpolates the time source.
    static double hostSeconds() noexcept;

    // Mixes `frames` interleaved frames of `channelCount` channels to mono: the mean of the
    // channels whose flag is non-zero, 0 when none is. Runs on the audio thread: no
    // allocation, no locks, no I/O.
    static void mixToMono(const float* in, unsigned long frames, int channelCount,
                          const std::atomic<unsigned char>* flags, float* out);

    // Mixes any number of frames in pieces of at most mixFrames and hands each piece to
    // `deliver` with the stream time of its first sample (`time` is that of the first frame). Runs on the
    // audio thread (same rules as mixToMono).
    template <typename Deliver>
    static void mixInPieces(const float* in, unsigned long frames, int channelCount,
                            const std::atomic<unsigned char>* flags, float* mix, double time,
                            Deliver&& deliver) {
        unsigned long done = 0;
        while (done < frames) {
            const unsigned long n = frames - done < mixFrames ? frames - done : mixFrames;
            mixToMono(in ? in + done * static_cast<unsigned long>(channelCount) : nullptr, n, channelCount,
                      flags, mix);
            deliver(static_cast<const float*>(mix), n, time + static_cast<double>(done) / sampleRate);
            done += n;
        }
    }

private:
    static int streamCallback(const void* input, void* output, unsigned long frames,
                              const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags statusFlags,
                              void* userData);
    // JACK PROCESS THREAD (same rules as streamCallback).
    static void jackCallback(void* self, const float* const* channels, int channelCount, unsigned long frames);
    // Mono blocks of the current input on to the engine (or the rate converter). AUDIO THREAD.
    void deliver(const float* mono, unsigned long frames, double time);
    // Opens `device` through PortAudio (initialised for the stream's lifetime); false when it
    // cannot, with the reason logged. `rate` is the stream's.
    bool openPortAudio(const std::string& device, double& rate);
    // The JACK server of the input has gone: closes, stops the engine and waits for its return.
    void loseJackServer();
    bool rejoinJackServer();
    // The own MIDI port's JACK server has gone while the input is elsewhere (`ownPort`: what
    // lc_check_midi_ports said): stops the engine for the port's sake and restarts it once the
    // port is back.
    void rejoinMidiServer(int ownPort);
    // A PortAudio device that went away: a fresh device list once a second, and the same device
    // opened again (engine restarted) once it is listed. True when it was.
    bool reopenLostDevice();
    // The device at `position` opened again after a loss, with the channels chosen before.
    void reselect(int position);
    void closeStream();
    // Stops the engine for a new input (not on the first selection) and closes the old one.
    void leaveCurrentInput();
    // Starts (first selection) or restarts the engine for the new input.
    void startEngine();

    int channelCount = 0;
    AudioEngineHooks hooks;
    LumaCore_t* engine;
    // GUI-side view of the selection; the audio thread reads channelGates, which mirror it.
    std::vector<char> channelFlags;
    std::unique_ptr<std::atomic<unsigned char>[]> channelGates;
    float mix[mixFrames] = {};
    PaStream* stream = nullptr;
    std::unique_ptr<JackCapture> jack;
    // Blocks reach the engine only while set: a JACK client runs its callback from activation
    // on, before the clock and the converter are ready.
    std::atomic<bool> delivering{false};
    PaStreamParameters inputParameters{};
    int currentIndex = -1;
    struct InputDevice {
        std::string name;
        int channels = 0;
        bool jack = false; // a client of a JACK server, captured by JackCapture
    };
    std::vector<InputDevice> devices;
    std::vector<std::string> deviceNames;
    int defaultIndex = -1;
    bool firstSelection = true;
    // PortAudio holds a client of each audio server while initialised, and one of a JACK server
    // that has gone can be neither closed nor terminated (the close waits for ever, the end
    // aborts): it is initialised only to list devices and while one of its streams runs.
    bool paInitialized = false;
    bool paOutlivedJack = false;
    // The input's JACK server went away; the input comes back when a server answers.
    bool waitingForServer = false;
    bool waitingForMidiServer = false;
    // The PortAudio input went away; it is reopened when it is listed again.
    bool waitingForDevice = false;
    bool midiServerStuck = false;
    double nextRejoinAttempt = 0.0;

    // Frames delivered by the current stream; reset when a new stream opens, together with the
    // engine restart whose time line starts at 0 with that stream.
    SampleClock clock;
    // The time source reads the clock while a stream is open, the frozen time otherwise.
    std::atomic<bool> streamOpen{false};
    std::atomic<double> frozenTime{0.0};
    std::unique_ptr<FilePlayback> player;
    // Only for devices that do not run at 44.1 kHz; exists while their stream does.
    std::unique_ptr<RateConverter> converter;
    std::atomic<unsigned long> overflows{0};
    unsigned long overflowsReported = 0;
    // Steady-clock seconds of the last block, written by the audio thread; and of the stream's start.
    std::atomic<double> lastBlockAt{0.0};
    double streamStartedAt = 0.0;
    bool inputLost = false;
    std::string streamName;
};
