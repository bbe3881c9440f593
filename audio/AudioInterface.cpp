#include "AudioInterface.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

namespace {
double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
} // namespace

AudioInterface::AudioInterface(LumaCore_t* engineHandle, AudioEngineHooks engineHooks)
    : hooks(std::move(engineHooks)), engine(engineHandle) {
    InitializeDeviceList();
}

AudioInterface::~AudioInterface() {
    closeStream();
    player.reset();
    // The engine's threads outlive this object: they fall back to the sequencer's own time.
    if (engine)
        lc_register_gettime_cb(engine, nullptr, nullptr);
}

bool AudioInterface::rescanDevices() {
    if (!stream && !jack && !waitingForServer)
        InitializeDeviceList();
    return !deviceNames.empty();
}

void AudioInterface::InitializeDeviceList() {
    devices.clear();
    deviceNames.clear();
    currentIndex = -1;
    defaultIndex = -1;
    const bool initialisedHere = !paInitialized;
    if (initialisedHere) {
        const PaError err = Pa_Initialize();
        if (err != paNoError) {
            lc_logmsg(LC_LOG_ERROR, "Audio: cannot initialise PortAudio: %s", Pa_GetErrorText(err));
            return;
        }
    }
    const PaDeviceIndex count = Pa_GetDeviceCount();
    const PaDeviceIndex defaultInput = Pa_GetDefaultInputDevice();
    for (PaDeviceIndex i = 0; defaultInput != paNoDevice && i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info)
            continue;
        if (!waitingForDevice)
            lc_logmsg(LC_LOG_PROGRESS, "Audio device #%d: %s (%d in %d out) %s", i, info->name,
                      info->maxInputChannels, info->maxOutputChannels, i == defaultInput ? "<default>" : "");
        if (info->maxInputChannels > 0) {
            if (i == defaultInput)
                defaultIndex = static_cast<int>(devices.size());
            const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
            devices.push_back({info->name, info->maxInputChannels, api && api->type == paJACK});
            deviceNames.emplace_back(info->name);
        }
    }
    if (initialisedHere && !paOutlivedJack)
        Pa_Terminate();
    paInitialized = !initialisedHere || paOutlivedJack;
    currentIndex = defaultIndex;
}

int AudioInterface::getInputChannelAmount(int index) const {
    if (index < 0 || index >= static_cast<int>(devices.size()))
        return 0;
    return devices[static_cast<size_t>(index)].channels;
}

void AudioInterface::toggleChannel(int channel, int on) {
    if (channel < 0 || channel >= static_cast<int>(channelFlags.size()))
        return;
    channelFlags[static_cast<size_t>(channel)] = on ? 1 : 0;
    channelGates[static_cast<size_t>(channel)].store(on ? 1 : 0, std::memory_order_relaxed);
}

void AudioInterface::resetChannels(int count) {
    // After every device change only the first channel is mixed in.
    const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    channelFlags.assign(n, 0);
    channelGates = std::make_unique<std::atomic<unsigned char>[]>(n);
    for (size_t c = 0; c < n; ++c)
        channelGates[c].store(0);
    if (n > 0) {
        channelFlags[0] = 1;
        channelGates[0].store(1);
    }
}

void AudioInterface::closeStream() {
    if (!stream && !jack)
        return;
    // The time source stops at the last stream time; stopping and closing may wait for the
    // audio host, and the time source's readers never wait with them.
    frozenTime.store(clock.now(hostSeconds()));
    streamOpen.store(false);
    delivering.store(false);
    jack.reset(); // deactivated: its callback has returned for good
    if (PaStream* closing = stream) {
        stream = nullptr;
        if (Pa_IsStreamActive(closing) == 1)
            Pa_StopStream(closing);
        Pa_CloseStream(closing);
    }
    if (paInitialized && !paOutlivedJack) {
        Pa_Terminate();
        paInitialized = false;
    }
    converter.reset();
}

bool AudioInterface::openPortAudio(const std::string& name, double& rate) {
    const PaError init = paInitialized ? paNoError : Pa_Initialize();
    if (init != paNoError) {
        lc_logmsg(LC_LOG_ERROR, "Audio: cannot initialise PortAudio: %s", Pa_GetErrorText(init));
        return false;
    }
    paInitialized = true;
    const PaDeviceInfo* info = nullptr;
    PaDeviceIndex device = paNoDevice;
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount() && device == paNoDevice; ++i) {
        const PaDeviceInfo* candidate = Pa_GetDeviceInfo(i);
        if (candidate && candidate->maxInputChannels > 0 && name == candidate->name) {
            device = i;
            info = candidate;
        }
    }
    PaStream* opened = nullptr;
    PaError err = paDeviceUnavailable;
    if (info) {
        inputParameters.device = device;
        inputParameters.channelCount = channelCount;
        inputParameters.sampleFormat = paFloat32;
        inputParameters.suggestedLatency = info->defaultLowInputLatency;
        inputParameters.hostApiSpecificStreamInfo = nullptr;
        // The device runs at its own rate; anything but the tracker's 44.1 kHz is converted on a
        // thread of its own, never on the audio thread.
        const double ownRate = std::isfinite(info->defaultSampleRate) && info->defaultSampleRate >= 8000.0 &&
                                       info->defaultSampleRate <= 768000.0
                                   ? info->defaultSampleRate
                                   : sampleRate;
        rate = ownRate;
        err = Pa_OpenStream(&opened, &inputParameters, nullptr, ownRate, framesPerBuffer, paClipOff,
                            &AudioInterface::streamCallback, this);
        if (err != paNoError && ownRate != sampleRate) {
            rate = sampleRate;
            err = Pa_OpenStream(&opened, &inputParameters, nullptr, sampleRate, framesPerBuffer, paClipOff,
                                &AudioInterface::streamCallback, this);
        }
    }
    if (err != paNoError) {
        lc_logmsg(LC_LOG_ERROR, "Audio: cannot open the input stream of \"%s\": %s", name.c_str(),
                  Pa_GetErrorText(err));
        if (!paOutlivedJack) {
            Pa_Terminate();
            paInitialized = false;
        }
        return false;
    }
    stream = opened;
    return true;
}

int AudioInterface::selectAudioDev(int index) {
    const int position = index == -1 ? defaultIndex : index;
    if (position < 0 || position >= static_cast<int>(devices.size())) {
        lc_logmsg(LC_LOG_ERROR, "Audio: no audio input device at position %d", index);
        return 0;
    }
    const InputDevice device = devices[static_cast<size_t>(position)];

    leaveCurrentInput();
    waitingForServer = false;
    resetChannels(device.channels);
    channelCount = device.channels;

    double rate = sampleRate;
    bool opened = false;
    if (device.jack) {
        std::string error;
        jack = JackCapture::open(device.name, device.channels, &AudioInterface::jackCallback, this, error);
        if (jack) {
            rate = jack->rate();
            opened = true;
        } else {
            lc_logmsg(LC_LOG_ERROR, "Audio: cannot capture \"%s\": %s", device.name.c_str(), error.c_str());
        }
    } else {
        opened = openPortAudio(device.name, rate);
    }
    clock.reset(rate);
    if (opened && rate != sampleRate) {
        converter = std::make_unique<RateConverter>(engine, rate);
        lc_logmsg(LC_LOG_NOTICE, "Audio: \"%s\" runs at %.0f Hz, converted to %.0f Hz", device.name.c_str(), rate,
                  sampleRate);
    }
    streamOpen.store(opened);
    currentIndex = position;

    startEngine();
    if (engine)
        lc_register_gettime_cb(engine, this, &AudioInterface::GetStreamTime);

    streamName = device.name;
    streamStartedAt = steadySeconds();
    inputLost = false;
    if (stream) {
        const PaError err = Pa_StartStream(stream);
        if (err != paNoError)
            lc_logmsg(LC_LOG_ERROR, "Audio: cannot start the input stream of \"%s\": %s", device.name.c_str(),
                      Pa_GetErrorText(err));
    }
    delivering.store(opened);

    if (hooks.engineStarted)
        hooks.engineStarted();
    return 0;
}

void AudioInterface::leaveCurrentInput() {
    // The stream always stops before the engine, so that no block reaches a sequencer
    // that is being closed.
    closeStream();
    // The engine reads the player's clock until it stops: only then may the player go.
    if (player)
        player->stop();
    if (!firstSelection && hooks.stopEngine)
        hooks.stopEngine();
    player.reset();
    // No stream runs now; the next one starts at 0 like the engine's new time line.
    clock.reset();
    overflows.store(0);
    overflowsReported = 0;
    waitingForMidiServer = midiServerStuck = waitingForDevice = false;
}

void AudioInterface::startEngine() {
    if (firstSelection) {
        if (engine)
            lc_start_sequencer(engine);
    } else if (hooks.restartEngine) {
        hooks.restartEngine();
    }
    firstSelection = false;
}

void AudioInterface::selectSource(std::unique_ptr<SampleSource> source) {
    leaveCurrentInput();
    resetChannels(0);
    channelCount = 0;
    currentIndex = -1;
    startEngine();
    player = std::make_unique<FilePlayback>(engine);
    if (engine)
        lc_register_gettime_cb(engine, player.get(), &FilePlayback::streamTime);
    player->start(std::move(source));
    lc_logmsg(LC_LOG_NOTICE, "Playing %s", player->name().c_str());
    if (hooks.engineStarted)
        hooks.engineStarted();
}

void AudioInterface::stopSource() {
    if (!player)
        return;
    leaveCurrentInput();
    currentIndex = -1;
}

void AudioInterface::loseJackServer() {
    lc_logmsg(LC_LOG_ERROR, "Audio: the JACK server has gone: no audio from \"%s\" until it returns",
              streamName.c_str());
    closeStream();
    // Every client of the gone server closes before any client of this program joins a server
    // again: the engine's (its MIDI ports) with the engine, which restarts with the input.
    if (hooks.stopEngine)
        hooks.stopEngine();
    if (engine)
        lc_check_midi_ports(engine);
    waitingForServer = true;
    inputLost = true;
    nextRejoinAttempt = steadySeconds() + 1.0;
}

bool AudioInterface::rejoinJackServer() {
    if (steadySeconds() < nextRejoinAttempt)
        return false;
    nextRejoinAttempt = steadySeconds() + 1.0;
    if (engine && lc_check_midi_ports(engine) != 0)
        return false;
    std::string error;
    if (!JackCapture::open(streamName, 1, [](void*, const float* const*, int, unsigned long) {}, nullptr, error))
        return false;
    int position = -1;
    for (size_t i = 0; i < devices.size(); ++i)
        if (devices[i].name == streamName)
            position = static_cast<int>(i);
    lc_logmsg(LC_LOG_WARNING, "Audio: the JACK server is back: listening to \"%s\" again", streamName.c_str());
    reselect(position);
    return true;
}

void AudioInterface::reselect(int position) {
    const std::vector<char> channels = channelFlags;
    selectAudioDev(position);
    if (channels.size() == channelFlags.size())
        for (size_t c = 0; c < channels.size(); ++c)
            toggleChannel(static_cast<int>(c), channels[c]);
}

bool AudioInterface::reopenLostDevice() {
    if (steadySeconds() < nextRejoinAttempt)
        return false;
    nextRejoinAttempt = steadySeconds() + 1.0;
    const std::string lost = streamName;
    InitializeDeviceList();
    currentIndex = -1;
    for (size_t i = 0; i < devices.size(); ++i)
        if (devices[i].name == lost && !devices[i].jack) {
            lc_logmsg(LC_LOG_WARNING, "Audio: \"%s\" is back", lost.c_str());
            reselect(static_cast<int>(i));
            return true;
        }
    return false;
}

void AudioInterface::rejoinMidiServer(int ownPort) {
    // The input is not on the gone server, but the engine's own MIDI port is, and the engine's
    // other MIDI client of that server keeps the port from joining again: the engine stops,
    // closing that client, and restarts on the input once the port has joined a server. A
    // PortAudio of ours or of the player holding a client of the gone server forbids any join.
    if (!waitingForMidiServer) {
        if (paOutlivedJack || (player && player->holdsJackClient())) {
            if (!midiServerStuck)
                lc_logmsg(LC_LOG_ERROR, "MIDI: the own port can join a JACK server again only after the audio "
                                        "input is chosen anew");
            midiServerStuck = true;
            return;
        }
        lc_logmsg(LC_LOG_NOTICE, "MIDI: the engine waits for the JACK server of its own port");
        if (hooks.stopEngine)
            hooks.stopEngine();
        waitingForMidiServer = true;
        return;
    }
    if (ownPort != 0)
        return;
    waitingForMidiServer = false;
    lc_logmsg(LC_LOG_WARNING, "MIDI: the own port is back: the engine starts again");
    startEngine();
    if (player)
        lc_register_gettime_cb(engine, player.get(), &FilePlayback::streamTime);
    else
        lc_register_gettime_cb(engine, this, &AudioInterface::GetStreamTime);
    if (hooks.engineStarted)
        hooks.engineStarted();
}

bool AudioInterface::checkHealth() {
    const unsigned long count = overflows.load(std::memory_order_relaxed);
    if (count > overflowsReported) {
        lc_logmsg(LC_LOG_WARNING, "Audio: %lu input overflows on \"%s\" (audio was lost)", count,
                  streamName.c_str());
        overflowsReported = count;
    }
    if (jack && jack->serverGone())
        loseJackServer();
    if (waitingForServer)
        return !rejoinJackServer();
    // The engine's own port tells of a JACK server that went away under a PortAudio stream (of
    // another audio system): PortAudio's client of that server is dead too, and terminating
    // PortAudio would abort the program, so it stays initialised from now on.
    if (player)
        player->checkOutput();
    const int ownPort = engine ? lc_check_midi_ports(engine) : 0;
    if (ownPort != 0 && paInitialized)
        paOutlivedJack = true;
    if (ownPort != 0 && player)
        player->jackServerGone();
    // The own port on a server again, with no client of a gone one left beside it (the port
    // waits for that): the player may join too.
    if (ownPort == 0 && player && lc_own_midi_port_name(engine))
        player->rejoinOutput();
    // An input on JACK has its own loss handling, which brings the port back with it.
    if (!jack && (ownPort == 2 || waitingForMidiServer))
        rejoinMidiServer(ownPort);
    if (waitingForDevice)
        return !reopenLostDevice();
    if (!streamOpen.load())
        return false;
    const double now = steadySeconds();
    const double last = std::max(lastBlockAt.load(std::memory_order_relaxed), streamStartedAt);
    if (!inputLost && now - last > 1.0) {
        inputLost = true;
        lc_logmsg(LC_LOG_ERROR, "Audio: no audio from \"%s\" for a second: the device or audio server is gone",
                  streamName.c_str());
        // PortAudio's stream of a device that was unplugged stays dead when it is plugged back, and
        // PortAudio lists devices only as it starts: the stream closes, and the device is looked
        // for by name once a second (not where PortAudio holds a client of a gone JACK server,
        // which would abort its end).
        if (stream && !paOutlivedJack) {
            closeStream();
            waitingForDevice = true;
            nextRejoinAttempt = now + 1.0;
        }
    } else if (inputLost && now - last < 0.5) {
        inputLost = false;
        lc_logmsg(LC_LOG_WARNING, "Audio: \"%s\" delivers audio again", streamName.c_str());
    }
    return inputLost;
}

double AudioInterface::GetStreamTime(void* self) {
    auto* audio = static_cast<AudioInterface*>(self);
    if (!audio->streamOpen.load())
        return audio->frozenTime.load();
    return audio->clock.now(hostSeconds());
}

double AudioInterface::hostSeconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void AudioInterface::mixToMono(const float* in, unsigned long frames, int channelCount,
                               const std::atomic<unsigned char>* flags, float* out) {
    int selected = 0;
    for (int c = 0; c < channelCount; ++c)
        if (flags[c].load(std::memory_order_relaxed))
            ++selected;
    if (!in || selected == 0) {
        for (unsigned long f = 0; f < frames; ++f)
            out[f] = 0.0f;
        return;
    }
    const float scale = 1.0f / static_cast<float>(selected);
    for (unsigned long f = 0; f < frames; ++f) {
        const float* frame = in + f * static_cast<unsigned long>(channelCount);
        float sum = 0.0f;
        for (int c = 0; c < channelCount; ++c)
            if (flags[c].load(std::memory_order_relaxed))
                sum += frame[c];
        out[f] = sum * scale;
    }
}

void AudioInterface::deliver(const float* mono, unsigned long frames, double time) {
    if (RateConverter* rateConverter = converter.get())
        rateConverter->push(mono, frames);
    else if (engine)
        lc_process_audio(mono, frames, engine, time);
}

int AudioInterface::streamCallback(const void* input, void*, unsigned long frames,
                                   const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags statusFlags,
                                   void* userData) {
    auto* self = static_cast<AudioInterface*>(userData);
    if (!self->delivering.load(std::memory_order_acquire))
        return paContinue;
    self->lastBlockAt.store(steadySeconds(), std::memory_order_relaxed);
    if (statusFlags & paInputOverflow)
        self->overflows.fetch_add(1, std::memory_order_relaxed);
    // The block's first sample lies where the previous block ended: the first block at 0.
    const double blockStart = self->clock.lastBlockEnd();
    self->clock.onBlock(frames, hostSeconds());
    mixInPieces(static_cast<const float*>(input), frames, self->channelCount, self->channelGates.get(), self->mix,
                blockStart, [self](const float* block, unsigned long n, double t) { self->deliver(block, n, t); });
    return paContinue;
}

void AudioInterface::jackCallback(void* owner, const float* const* channels, int count, unsigned long frames) {
    auto* self = static_cast<AudioInterface*>(owner);
    if (!self->delivering.load(std::memory_order_acquire))
        return;
    self->lastBlockAt.store(steadySeconds(), std::memory_order_relaxed);
    const double blockStart = self->clock.lastBlockEnd();
    self->clock.onBlock(frames, hostSeconds());
    const std::atomic<unsigned char>* flags = self->channelGates.get();
    int selected = 0;
    for (int c = 0; c < count; ++c)
        selected += flags[c].load(std::memory_order_relaxed) ? 1 : 0;
    const float scale = selected > 0 ? 1.0f / static_cast<float>(selected) : 0.0f;
    for (unsigned long done = 0; done < frames;) {
        const unsigned long n = frames - done < mixFrames ? frames - done : mixFrames;
        for (unsigned long f = 0; f < n; ++f)
            self->mix[f] = 0.0f;
        for (int c = 0; c < count; ++c)
            if (flags[c].load(std::memory_order_relaxed))
                for (unsigned long f = 0; f < n; ++f)
                    self->mix[f] += channels[c][done + f] * scale;
        self->deliver(self->mix, n, blockStart + static_cast<double>(done) / sampleRate);
        done += n;
    }
}
