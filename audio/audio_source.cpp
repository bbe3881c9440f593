#include "audio_source.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>

namespace {
constexpr std::size_t chunkFrames = 8192;
constexpr double maxResampleRatio = 256.0;
} // namespace

AudioSource::~AudioSource() {
    if (resampler_)
        src_delete(resampler_);
    if (file_)
        sf_close(file_);
}

bool AudioSource::open(std::string const& path, unsigned int outputRate, std::string& error) {
    SF_INFO info{};
    file_ = sf_open(path.c_str(), SFM_READ, &info);
    if (file_ == nullptr) {
        error = sf_strerror(nullptr);
        return false;
    }
    if (info.channels < 1 || info.samplerate < 1) {
        error = "no audio channels or no sample rate";
        return false;
    }
    // The resampler converts by at most 256 either way; beyond that lies no real recording, and
    // the buffers sized by the ratio would grow without bound.
    double const lowest = std::floor(outputRate / maxResampleRatio) + 1.0;
    double const highest = outputRate * maxResampleRatio;
    if (info.samplerate < lowest || info.samplerate > highest) {
        error = "a sample rate of " + std::to_string(info.samplerate) + " Hz is not a recording (" +
                std::to_string(static_cast<long>(lowest)) + " to " + std::to_string(static_cast<long>(highest)) +
                " Hz can be read)";
        return false;
    }
    fileRate_ = static_cast<unsigned int>(info.samplerate);
    channels_ = static_cast<unsigned int>(info.channels);
    outputRate_ = outputRate;
    if (fileRate_ != outputRate_) {
        int err = 0;
        resampler_ = src_new(SRC_SINC_MEDIUM_QUALITY, 1, &err);
        if (resampler_ == nullptr) {
            error = std::string("cannot resample: ") + src_strerror(err);
            return false;
        }
    }
    interleaved_.resize(chunkFrames * channels_);
    // Room for a chunk at the highest conversion ratio, plus the resampler's tail.
    double const ratio = static_cast<double>(outputRate_) / fileRate_;
    resampled_.resize(static_cast<std::size_t>(std::ceil(chunkFrames * ratio)) + 1024);
    return true;
}

bool AudioSource::fillMono() {
    if (fileEnded_)
        return false;
    sf_count_t const got = sf_readf_float(file_, interleaved_.data(), static_cast<sf_count_t>(chunkFrames));
    if (got <= 0) {
        fileEnded_ = true;
        if (sf_error(file_) != SF_ERR_NO_ERROR)
            readError_ = sf_strerror(file_);
        mono_.clear();
        monoPos_ = 0;
        return false;
    }
    mono_.resize(static_cast<std::size_t>(got));
    float const scale = 1.0f / static_cast<float>(channels_);
    if (channels_ == 1) {
        // The sum below for one channel, written so that it runs in vector lanes.
        for (std::size_t f = 0; f < mono_.size(); ++f)
            mono_[f] = (0.0f + interleaved_[f]) * scale;
        monoPos_ = 0;
        return true;
    }
    for (std::size_t f = 0; f < mono_.size(); ++f) {
        float sum = 0.0f;
        for (unsigned int c = 0; c < channels_; ++c)
            sum += interleaved_[f * channels_ + c];
        mono_[f] = sum * scale;
    }
    monoPos_ = 0;
    return true;
}

std::size_t AudioSource::read(double* out, std::size_t count) {
    std::size_t written = 0;
    while (written < count) {
        if (!resampler_) {
            if (monoPos_ >= mono_.size() && !fillMono())
                break;
            std::size_t const n = std::min(count - written, mono_.size() - monoPos_);
            std::copy(mono_.begin() + monoPos_, mono_.begin() + monoPos_ + n, out + written);
            written += n;
            monoPos_ += n;
            continue;
        }
        if (resampledPos_ < resampledLen_) {
            std::size_t const n = std::min(count - written, resampledLen_ - resampledPos_);
            std::copy(resampled_.begin() + resampledPos_, resampled_.begin() + resampledPos_ + n,
                      out + written);
            written += n;
            resampledPos_ += n;
            continue;
        }
        if (resamplerDrained_)
            break;
        if (monoPos_ >= mono_.size())
            fillMono();
        SRC_DATA data{};
        data.data_in = mono_.data() + monoPos_;
        data.input_frames = static_cast<long>(mono_.size() - monoPos_);
        data.data_out = resampled_.data();
        data.output_frames = static_cast<long>(resampled_.size());
        data.end_of_input = fileEnded_ ? 1 : 0;
        data.src_ratio = static_cast<double>(outputRate_) / fileRate_;
        int const err = src_process(resampler_, &data);
        if (err != 0) {
            readError_ = std::string("resampling failed: ") + src_strerror(err);
            resamplerDrained_ = true;
            break;
        }
        monoPos_ += static_cast<std::size_t>(data.input_frames_used);
        resampledPos_ = 0;
        resampledLen_ = static_cast<std::size_t>(data.output_frames_gen);
        if (fileEnded_ && data.output_frames_gen == 0)
            resamplerDrained_ = true;
    }
    // Four running maxima side by side, so that the comparisons do not wait on each other;
    // a NaN leaves them alone.
    double peak[4] = {peak_, peak_, peak_, peak_};
    std::size_t i = 0;
    for (; i + 4 <= written; i += 4)
        for (std::size_t j = 0; j < 4; ++j) {
            double const magnitude = std::fabs(out[i + j]);
            peak[j] = magnitude > peak[j] ? magnitude : peak[j];
        }
    for (; i < written; ++i) {
        double const magnitude = std::fabs(out[i]);
        peak[0] = magnitude > peak[0] ? magnitude : peak[0];
    }
    peak_ = std::max(std::max(peak[0], peak[1]), std::max(peak[2], peak[3]));
    return written;
}
