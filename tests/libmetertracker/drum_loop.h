// Test audio for the accent front end.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

// Drum-like test audio: a noise burst with a fast decay every quarter second and a low
// thump every half second, from a fixed linear congruential generator.
inline std::vector<double> drumLoop(std::size_t count, double srate) {
    std::vector<double> x(count);
    std::uint32_t seed = 12345;
    std::size_t const beat = static_cast<std::size_t>(srate / 4);
    for (std::size_t i = 0; i < count; ++i) {
        seed = seed * 1664525u + 1013904223u;
        double const noise = (seed >> 8) / 16777216.0 - 0.5;
        double const t = static_cast<double>(i % beat) / srate;
        double const t2 = static_cast<double>(i % (2 * beat)) / srate;
        x[i] = 0.8 * noise * std::exp(-30 * t) + 0.5 * std::sin(2 * M_PI * 60 * t2) * std::exp(-12 * t2);
    }
    return x;
}
