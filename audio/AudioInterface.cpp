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
    const PaError err = Pa_Initialize();
    paReady = err == paNoError;
    if (!paReady) {
        lc_logmsg(LC_LOG_ERROR, "Audio: cannot initialise PortAudio: %s", Pa_GetErrorText(err));
        return;
    }
    InitializeDeviceList();
}

AudioInterface::~AudioInterface() {
    closeStream();
    player.reset();
    // The engine's threads outlive this object: they fall back to the sequencer's own time.
    if (engine)
        lc_register_gettime_cb(engine, nullptr, nullptr);
    if (paReady)
        Pa_Terminate();
}

bool AudioInterface::rescanDevices() {
    if (!stream) {
        if (paReady)
            Pa_Terminate();
        paReady = Pa_Initialize() == paNoError;
        InitializeDeviceList();
    }
    return !deviceNames.empty();
}

void AudioInterface::InitializeDeviceList() {
    deviceNumbers.clear();
    deviceNames.clear();
    currentIndex = -1;
    if (!paReady)
        return;
    const PaDeviceIndex count = Pa_GetDeviceCount();
    const PaDeviceIndex defaultInput = Pa_GetDefaultInputDevice();
    if (defaultInput == paNoDevice)
        return;
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info)
            continue;
        lc_logmsg(LC_LOG_PROGRESS, "Audio device #%d: %s (%d in %d out) %s", i, info->name, info->maxInputChannels,
                  info->maxOutputChannels, i == defaultInput ? "<default>" : "");
        if (info->maxInputChannels > 0) {
            if (i == defaultInput)
                currentIndex = static_cast<int>(deviceNumbers.size());
            deviceNames.emplace_back(info->name);
            deviceNumbers.push_back(i);
        }
    }
}

int AudioInterface::getInputChannelAmount(int index) const {
    if (index < 0 || index >= static_cast<int>(deviceNumbers.size()))
        return 0;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(deviceNumbers[static_cast<size_t>(index)]);
    return info ? info->maxInputChannels : 0;
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
    if (!stream)
        return;
    // The time source stops at the last stream time; stopping and closing may wait for the
    // audio host, and the time source's readers never wait with them.
    PaStream* closing = stream;
    frozenTime.store(clock.now(hostSeconds()));
    streamOpen.store(false);
    stream = nullptr;
    if (Pa_IsStreamActive(closing) == 1)
        Pa_StopStream(closing);
    Pa_CloseStream(closing);
    converter.reset();
}

int AudioInterface::selectAudioDev(int index) {
    if (!paReady)
        return 0;
    PaDeviceIndex device = paNoDevice;
    if (index == -1)
        device = Pa_GetDefaultInputDevice();
    else if (index >= 0 && index < static_cast<int>(deviceNumbers.size()))
        device = deviceNumbers[static_cast<size_t>(index)];
    const PaDeviceInfo* info = device == paNoDevice ? nullptr : Pa_GetDeviceInfo(device);
    if (!info || info->maxInputChannels < 1) {
        lc_logmsg(LC_LOG_ERROR, "Audio: no audio input device at position %d", index);
        return 0;
    }

    leaveCurrentInput();

    const int channels = info->maxInputChannels;
    resetChannels(channels);

    inputParameters.device = device;
    inputParameters.channelCount = channels;
    inputParameters.sampleFormat = paFloat32;
    inputParameters.suggestedLatency = info->defaultLowInputLatency;
    inputParameters.hostApiSpecificStreamInfo = nullptr;
    channelCount = channels;

    // The device runs at its own rate; anything but the tracker's 44.1 kHz is converted on a
    // thread of its own, never on the audio thread.
    const double ownRate = std::isfinite(info->defaultSampleRate) && info->defaultSampleRate >= 8000.0 &&
                                   info->defaultSampleRate <= 768000.0
                               ? info->defaultSampleRate
                               : sampleRate;
    PaStream* opened = nullptr;
    PaError err = Pa_OpenStream(&opened, &inputParameters, nullptr, ownRate, framesPerBuffer, paClipOff,
                                &AudioInterface::streamCallback, this);
    double rate = ownRate;
    if (err != paNoError && ownRate != sampleRate) {
        rate = sampleRate;
        err = Pa_OpenStream(&opened, &inputParameters, nullptr, sampleRate, framesPerBuffer, paClipOff,
                            &AudioInterface::streamCallback, this);
    }
    clock.reset(rate);
    if (err == paNoError && rate != sampleRate) {
        converter = std::make_unique<RateConverter>(engine, rate);
        lc_logmsg(LC_LOG_NOTICE, "Audio: \"%s\" runs at %.0f Hz, converted to %.0f Hz", info->name, rate, sampleRate);
    }
    if (err != paNoError) {
        lc_logmsg(LC_LOG_ERROR, "Audio: cannot open the input stream of \"%s\": %s", info->name,
                  Pa_GetErrorText(err));
        opened = nullptr;
    }
    stream = opened;
    streamOpen.store(opened != nullptr);

    if (index == -1) {
        currentIndex = -1;
        for (size_t i = 0; i < deviceNumbers.size(); ++i)
            if (deviceNumbers[i] == device)
                currentIndex = static_cast<int>(i);
    } else {
        currentIndex = index;
    }

    startEngine();
    if (engine)
        lc_register_gettime_cb(engine, this, &AudioInterface::GetStreamTime);

    streamName = info->name;
    streamStartedAt = steadySeconds();
    inputLost = false;
    if (stream) {
        err = Pa_StartStream(stream);
        if (err != paNoError)
            lc_logmsg(LC_LOG_ERROR, "Audio: cannot start the input stream of \"%s\": %s", info->name,
                      Pa_GetErrorText(err));
    }

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

bool AudioInterface::checkHealth() {
    const unsigned long count = overflows.load(std::memory_order_relaxed);
    if (count > overflowsReported) {
        lc_logmsg(LC_LOG_WARNING, "Audio: %lu input overflows on \"%s\" (audio was lost)", count,
                  streamName.c_str());
        overflowsReported = count;
    }
    if (!streamOpen.load())
        return false;
    const double now = steadySeconds();
    const double last = std::max(lastBlockAt.load(std::memory_order_relaxed), streamStartedAt);
    if (!inputLost && now - last > 1.0) {
        inputLost = true;
        lc_logmsg(LC_LOG_ERROR, "Audio: no audio from \"%s\" for a second: the device or audio server is gone",
                  streamName.c_str());
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

int AudioInterface::streamCallback(const void* input, void*, unsigned long frames,
                                   const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags statusFlags,
                                   void* userData) {
    auto* self = static_cast<AudioInterface*>(userData);
    self->lastBlockAt.store(steadySeconds(), std::memory_order_relaxed);
    if (statusFlags & paInputOverflow)
        self->overflows.fetch_add(1, std::memory_order_relaxed);
    // The block's first sample lies where the previous block ended: the first block at 0.
    const double blockStart = self->clock.lastBlockEnd();
    self->clock.onBlock(frames, hostSeconds());
    if (!self->engine)
        return paContinue;
    LumaCore_t* engine = self->engine;
    if (RateConverter* converter = self->converter.get()) {
        mixInPieces(static_cast<const float*>(input), frames, self->channelCount, self->channelGates.get(),
                    self->mix, blockStart,
                    [converter](const float* block, unsigned long n, double) { converter->push(block, n); });
        return paContinue;
    }
    mixInPieces(static_cast<const float*>(input), frames, self->channelCount, self->channelGates.get(),
                self->mix, blockStart, [engine](const float* block, unsigned long n, double t) {
                    lc_process_audio(block, n, engine, t);
                });
    return paContinue;
}
