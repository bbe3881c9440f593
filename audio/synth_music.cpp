#include "synth_music.h"

#include <algorithm>
#include <cmath>

namespace synth {

namespace {

constexpr double twoPi = 6.283185307179586;

// xorshift32: small, fast and the same on every platform.
class Noise {
public:
    explicit Noise(std::uint32_t seed) : state(seed == 0 ? 0x9e3779b9u : seed) {}
    double next() { // uniform in [−1, 1)
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state / 2147483648.0 - 1.0;
    }

private:
    std::uint32_t state;
};

// Musical position (in beats) reached at time t, for a tempo linear in time.
double beatPosition(MusicSpec const& spec, double t) {
    double const b0 = spec.bpm / 60.0;
    double const b1 = (spec.endBpm > 0.0 ? spec.endBpm : spec.bpm) / 60.0;
    double const u = t - spec.startOffset;
    return b0 * u + (b1 - b0) * u * u / (2.0 * spec.seconds);
}

// Time of musical position x (beats): the root of the position's quadratic.
double timeOfPosition(MusicSpec const& spec, double x) {
    double const b0 = spec.bpm / 60.0;
    double const b1 = (spec.endBpm > 0.0 ? spec.endBpm : spec.bpm) / 60.0;
    double const a = (b1 - b0) / (2.0 * spec.seconds);
    if (std::fabs(a) < 1e-12)
        return spec.startOffset + x / b0;
    return spec.startOffset + (-b0 + std::sqrt(b0 * b0 + 4.0 * a * x)) / (2.0 * a);
}

void addKick(std::vector<double>& out, std::size_t start, double level, unsigned int sr) {
    std::size_t const n = static_cast<std::size_t>(0.25 * sr);
    double phase = 0.0;
    for (std::size_t i = 0; i < n && start + i < out.size(); ++i) {
        double const t = static_cast<double>(i) / sr;
        double const freq = 50.0 + 90.0 * std::exp(-t / 0.03); // pitch drop
        phase += twoPi * freq / sr;
        out[start + i] += level * std::exp(-t / 0.09) * std::sin(phase);
    }
}

void addSnare(std::vector<double>& out, std::size_t start, double level, unsigned int sr, Noise& noise) {
    std::size_t const n = static_cast<std::size_t>(0.2 * sr);
    for (std::size_t i = 0; i < n && start + i < out.size(); ++i) {
        double const t = static_cast<double>(i) / sr;
        double const body = 0.5 * std::sin(twoPi * 190.0 * t) * std::exp(-t / 0.04);
        out[start + i] += level * (body + 0.7 * noise.next() * std::exp(-t / 0.06));
    }
}

void addHat(std::vector<double>& out, std::size_t start, double level, unsigned int sr, Noise& noise) {
    std::size_t const n = static_cast<std::size_t>(0.06 * sr);
    double prev = 0.0;
    for (std::size_t i = 0; i < n && start + i < out.size(); ++i) {
        double const t = static_cast<double>(i) / sr;
        double const w = noise.next();
        out[start + i] += level * (w - prev) * 0.5 * std::exp(-t / 0.015); // differenced: bright
        prev = w;
    }
}

void addBass(std::vector<double>& out, std::size_t start, double level, double seconds, unsigned int sr) {
    std::size_t const n = static_cast<std::size_t>(seconds * sr);
    for (std::size_t i = 0; i < n && start + i < out.size(); ++i) {
        double const t = static_cast<double>(i) / sr;
        double const env = std::min(1.0, t / 0.005) * std::exp(-t / (0.4 * seconds));
        out[start + i] += level * env * (std::sin(twoPi * 55.0 * t) + 0.3 * std::sin(twoPi * 110.0 * t));
    }
}

} // namespace

std::vector<double> beatTimes(MusicSpec const& spec) {
    std::vector<double> times;
    for (unsigned int n = 0;; ++n) {
        double const t = timeOfPosition(spec, n);
        if (!(t < spec.seconds))
            break;
        times.push_back(t);
    }
    return times;
}

std::vector<double> downbeatTimes(MusicSpec const& spec) {
    std::vector<double> beats = beatTimes(spec), bars;
    for (std::size_t i = 0; i < beats.size(); i += spec.beatsPerBar)
        bars.push_back(beats[i]);
    return bars;
}

std::vector<double> renderMusic(MusicSpec const& spec) {
    unsigned int const sr = spec.sampleRate;
    std::vector<double> out(static_cast<std::size_t>(spec.seconds * sr), 0.0);
    Noise noise(spec.seed);
    double const lastPosition = beatPosition(spec, spec.seconds);
    unsigned int const bar = spec.beatsPerBar == 0 ? 4 : spec.beatsPerBar;
    // Eighth-note grid: beats carry kick or snare, every eighth a hi-hat.
    for (unsigned int e = 0; e <= static_cast<unsigned int>(2.0 * lastPosition); ++e) {
        double const t = timeOfPosition(spec, e * 0.5);
        if (t >= spec.seconds)
            break;
        auto const start = static_cast<std::size_t>(std::llround(t * sr));
        bool const onBeat = e % 2 == 0;
        addHat(out, start, onBeat ? 0.25 : 0.15, sr, noise);
        if (!onBeat)
            continue;
        unsigned int const inBar = (e / 2) % bar;
        if (inBar == 0) { // accented downbeat
            addKick(out, start, 1.0, sr);
            double const beatLen = timeOfPosition(spec, e * 0.5 + 1.0) - t;
            addBass(out, start, 0.35, beatLen * 1.5, sr);
        } else if (bar % 2 == 0 && inBar == bar / 2) {
            addKick(out, start, 0.7, sr);
        } else {
            addSnare(out, start, 0.6, sr, noise);
        }
    }
    for (double& v : out)
        v *= spec.gain;
    return out;
}

std::vector<float> renderMusicFloat(MusicSpec const& spec) {
    std::vector<double> const d = renderMusic(spec);
    return std::vector<float>(d.begin(), d.end());
}

} // namespace synth
