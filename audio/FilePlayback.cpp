#include "FilePlayback.h"

#include <algorithm>
#include <chrono>

namespace {

constexpr std::size_t ringFrames = 1u << 16;

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

FilePlayback::FilePlayback(LumaCore_t* engine) : engine_(engine), ring_(ringFrames, 0.0f) {}

FilePlayback::~FilePlayback() {
    stop();
}

void FilePlayback::start(std::unique_ptr<SampleSource> source) {
    source_ = std::move(source);
    name_ = source_ ? source_->name() : std::string();
    clock_.reset();
    if (!source_) {
        finished_.store(true);
        return;
    }
    reader_ = std::thread(&FilePlayback::readLoop, this);

    paReady_ = Pa_Initialize() == paNoError;
    const PaDeviceIndex device = paReady_ ? Pa_GetDefaultOutputDevice() : paNoDevice;
    const PaDeviceInfo* info = device == paNoDevice ? nullptr : Pa_GetDeviceInfo(device);
    const PaHostApiInfo* api = info ? Pa_GetHostApiInfo(info->hostApi) : nullptr;
    if (api && api->type == paJACK) {
        // Its server is alive now: PortAudio may still end here, and a client of our own plays.
        const int channels = std::min(info->maxOutputChannels, 2);
        Pa_Terminate();
        paReady_ = false;
        std::string error;
        jack_ = JackCapture::openPlayback(channels, &FilePlayback::render, this, error);
        if (jack_ && jack_->rate() != SampleSource::sampleRate)
            jack_.reset();
    } else if (info && info->maxOutputChannels > 0) {
        outputChannels_ = std::min(info->maxOutputChannels, 2);
        PaStreamParameters out{device, outputChannels_, paFloat32, info->defaultLowOutputLatency, nullptr};
        PaStream* opened = nullptr;
        if (Pa_OpenStream(&opened, nullptr, &out, SampleSource::sampleRate, 128, paClipOff,
                          &FilePlayback::outputCallback, this) == paNoError) {
            stream_ = opened;
            if (Pa_StartStream(stream_) != paNoError) {
                Pa_CloseStream(stream_);
                stream_ = nullptr;
            }
        }
    }
    paOnJack_ = paReady_ && Pa_HostApiTypeIdToHostApiIndex(paJACK) >= 0;
    if (!stream_ && !jack_) {
        lc_logmsg(LC_LOG_NOTICE, "Playing \"%s\" without an output device", name_.c_str());
        pacer_ = std::thread(&FilePlayback::paceLoop, this);
    }
}

void FilePlayback::jackServerGone() {
    paAbandoned_ = paOnJack_;
}

void FilePlayback::checkOutput() {
    if (jack_ && jack_->serverGone() && !stopping_.load()) {
        jack_.reset();
        lc_logmsg(LC_LOG_ERROR, "The JACK server has gone: \"%s\" plays on without an output", name_.c_str());
        pacing_.store(true);
        pacer_ = std::thread(&FilePlayback::paceLoop, this);
        jackLost_ = true;
    }
}

void FilePlayback::rejoinOutput() {
    if (jackLost_ && !stopping_.load()) {
        // The pacing hands over to a new client, which takes the ring where the pacing left it.
        pacing_.store(false);
        pacer_.join();
        std::string error;
        jack_ = JackCapture::openPlayback(2, &FilePlayback::render, this, error);
        if (jack_ && jack_->rate() != SampleSource::sampleRate)
            jack_.reset();
        jackLost_ = false;
        if (!jack_) {
            pacing_.store(true);
            pacer_ = std::thread(&FilePlayback::paceLoop, this);
        }
    }
}

void FilePlayback::stop() {
    stopping_.store(true);
    jack_.reset();
    if (stream_ && !paAbandoned_) {
        Pa_StopStream(stream_);
        Pa_CloseStream(stream_);
    }
    stream_ = nullptr;
    if (pacer_.joinable())
        pacer_.join();
    if (reader_.joinable())
        reader_.join();
    if (paReady_ && !paAbandoned_)
        Pa_Terminate();
    paReady_ = false;
}

double FilePlayback::streamTime(void* self) {
    return static_cast<FilePlayback*>(self)->clock_.now(steadySeconds());
}

void FilePlayback::readLoop() {
    std::vector<float> chunk(4096);
    while (!stopping_.load()) {
        const std::size_t free = ringFrames - (written_.load() - taken_.load());
        if (free < chunk.size()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        const std::size_t n = source_->read(chunk.data(), chunk.size());
        if (n == 0) {
            sourceEnded_.store(true);
            return;
        }
        const std::size_t w = written_.load(std::memory_order_relaxed);
        for (std::size_t i = 0; i < n; ++i)
            ring_[(w + i) % ringFrames] = chunk[i];
        written_.store(w + n, std::memory_order_release);
    }
}

void FilePlayback::play(float* mono, unsigned long frames) {
    const std::size_t t = taken_.load(std::memory_order_relaxed);
    const bool ended = sourceEnded_.load(std::memory_order_acquire);
    const std::size_t available = written_.load(std::memory_order_acquire) - t;
    const std::size_t n = std::min<std::size_t>(available, frames);
    for (std::size_t i = 0; i < n; ++i)
        mono[i] = ring_[(t + i) % ringFrames];
    std::fill(mono + n, mono + frames, 0.0f);
    taken_.store(t + n, std::memory_order_release);
    if (ended && n == available)
        finished_.store(true, std::memory_order_relaxed);

    const double blockStart = clock_.lastBlockEnd();
    clock_.onBlock(frames, steadySeconds());
    if (engine_)
        lc_process_audio(mono, frames, engine_, blockStart);
}

int FilePlayback::outputCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                                 PaStreamCallbackFlags, void* userData) {
    auto* self = static_cast<FilePlayback*>(userData);
    auto* out = static_cast<float*>(output);
    const auto channels = static_cast<unsigned long>(self->outputChannels_);
    for (unsigned long done = 0; done < frames;) {
        const unsigned long n = std::min(frames - done, blockFrames);
        self->play(self->mono_, n);
        for (unsigned long f = 0; f < n; ++f)
            for (unsigned long c = 0; c < channels; ++c)
                out[(done + f) * channels + c] = self->mono_[f];
        done += n;
    }
    return paContinue;
}

void FilePlayback::render(void* self, float* const* channels, int channelCount, unsigned long frames) {
    auto* player = static_cast<FilePlayback*>(self);
    for (unsigned long done = 0; done < frames;) {
        const unsigned long n = std::min(frames - done, blockFrames);
        player->play(player->mono_, n);
        for (int c = 0; c < channelCount; ++c)
            std::copy_n(player->mono_, n, channels[c] + done);
        done += n;
    }
}

void FilePlayback::paceLoop() {
    using clock = std::chrono::steady_clock;
    const auto begin = clock::now();
    unsigned long long played = 0;
    while (!stopping_.load() && pacing_.load()) {
        play(mono_, blockFrames);
        played += blockFrames;
        std::this_thread::sleep_until(begin + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(
                                                  static_cast<double>(played) / SampleSource::sampleRate)));
    }
}
