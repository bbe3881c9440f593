#pragma once

#include <atomic>
#include <thread>
#include <vector>

#include "lumacore.h"

typedef struct SRC_STATE_tag SRC_STATE;

// Carries mono audio of a device that runs at its own rate (48, 88.2, 96 kHz …) to the engine at
// the tracker's 44.1 kHz. The audio thread only copies into a ring; a thread of its own resamples
// (libsamplerate) and hands the engine blocks whose stream times count the converted samples at
// 44.1 kHz, which is the device's own time line: the resampler neither adds nor loses time.
class RateConverter {
public:
    static constexpr double engineRate = 44100.0;

    RateConverter(LumaCore_t* engine, double deviceRate);
    ~RateConverter();
    RateConverter(const RateConverter&) = delete;
    RateConverter& operator=(const RateConverter&) = delete;

    // False when the resampler could not be created (nothing reaches the engine then).
    bool ready() const { return state_ != nullptr; }

    // AUDIO THREAD: copies `frames` samples into the ring; no allocation, lock or I/O. What does
    // not fit (the converter fell more than a second behind) is dropped and counted.
    void push(const float* mono, unsigned long frames);
    unsigned long dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    void run();

    LumaCore_t* engine_;
    double ratio_;
    SRC_STATE* state_ = nullptr;
    std::vector<float> ring_;
    std::atomic<std::size_t> written_{0};
    std::atomic<std::size_t> taken_{0};
    std::atomic<unsigned long> dropped_{0};
    std::atomic<bool> stop_{false};
    unsigned long long delivered_ = 0;
    std::thread thread_;
};
