#include "RateConverter.h"

#include <algorithm>
#include <chrono>
#include <samplerate.h>

namespace {
constexpr std::size_t ringFrames = 1u << 18; // over a second at 192 kHz
constexpr std::size_t chunkFrames = 1024;
constexpr unsigned long engineBlock = 512;
} // namespace

RateConverter::RateConverter(LumaCore_t* engine, double deviceRate)
    : engine_(engine), ratio_(engineRate / deviceRate), ring_(ringFrames, 0.0f) {
    int error = 0;
    if (deviceRate > 0.0 && src_is_valid_ratio(ratio_))
        state_ = src_new(SRC_SINC_FASTEST, 1, &error);
    if (state_)
        thread_ = std::thread(&RateConverter::run, this);
    else
        lc_logmsg(LC_LOG_ERROR, "Audio: cannot convert %.0f Hz to %.0f Hz", deviceRate, engineRate);
}

RateConverter::~RateConverter() {
    stop_.store(true);
    if (thread_.joinable())
        thread_.join();
    if (state_)
        src_delete(state_);
}

void RateConverter::push(const float* mono, unsigned long frames) {
    const std::size_t w = written_.load(std::memory_order_relaxed);
    const std::size_t room = ringFrames - (w - taken_.load(std::memory_order_acquire));
    if (frames > room) {
        dropped_.fetch_add(frames - room, std::memory_order_relaxed);
        frames = static_cast<unsigned long>(room);
    }
    for (unsigned long i = 0; i < frames; ++i)
        ring_[(w + i) % ringFrames] = mono[i];
    written_.store(w + frames, std::memory_order_release);
}

void RateConverter::run() {
    std::vector<float> in(chunkFrames);
    std::vector<float> out(static_cast<std::size_t>(chunkFrames * ratio_) + 64);
    while (!stop_.load()) {
        const std::size_t t = taken_.load(std::memory_order_relaxed);
        const std::size_t n = std::min(written_.load(std::memory_order_acquire) - t, chunkFrames);
        if (n == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        for (std::size_t i = 0; i < n; ++i)
            in[i] = ring_[(t + i) % ringFrames];
        SRC_DATA data{};
        data.data_in = in.data();
        data.input_frames = static_cast<long>(n);
        data.data_out = out.data();
        data.output_frames = static_cast<long>(out.size());
        data.src_ratio = ratio_;
        if (src_process(state_, &data) != 0)
            break;
        taken_.store(t + static_cast<std::size_t>(data.input_frames_used), std::memory_order_release);
        for (long done = 0; done < data.output_frames_gen;) {
            const auto piece = static_cast<unsigned long>(std::min<long>(data.output_frames_gen - done, engineBlock));
            if (engine_)
                lc_process_audio(out.data() + done, piece, engine_, static_cast<double>(delivered_) / engineRate);
            delivered_ += piece;
            done += static_cast<long>(piece);
        }
    }
}
