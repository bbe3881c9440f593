#include "SampleSource.h"

#include "audio_source.h"
#include "synth_music.h"

#include <cmath>
#include <vector>

namespace {

class SoundFileSource : public SampleSource {
public:
    explicit SoundFileSource(std::string path) : path_(std::move(path)) {}
    bool open(std::string& error) { return file_.open(path_, sampleRate, error); }

    std::size_t read(float* out, std::size_t count) override {
        if (buffer_.size() < count)
            buffer_.resize(count);
        const std::size_t n = file_.read(buffer_.data(), count);
        for (std::size_t i = 0; i < n; ++i)
            out[i] = std::isfinite(buffer_[i]) ? static_cast<float>(buffer_[i]) : 0.0f;
        return n;
    }
    std::string name() const override {
        const std::size_t slash = path_.find_last_of('/');
        return slash == std::string::npos ? path_ : path_.substr(slash + 1);
    }

private:
    std::string path_;
    AudioSource file_;
    std::vector<double> buffer_;
};

class DemoSource : public SampleSource {
public:
    DemoSource() {
        synth::MusicSpec spec;
        spec.bpm = demoBpm;
        spec.beatsPerBar = 4;
        // Eight bars: a whole number of beats, so the loop's seam keeps the beat.
        spec.seconds = 8 * 4 * 60.0 / demoBpm;
        spec.sampleRate = sampleRate;
        loop_ = synth::renderMusicFloat(spec);
    }
    std::size_t read(float* out, std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = loop_[position_];
            position_ = (position_ + 1) % loop_.size();
        }
        return count;
    }
    std::string name() const override { return "demo (drum machine, 120 BPM)"; }

private:
    std::vector<float> loop_;
    std::size_t position_ = 0;
};

} // namespace

std::unique_ptr<SampleSource> openSoundFile(const std::string& path, std::string& error) {
    auto source = std::make_unique<SoundFileSource>(path);
    if (!source->open(error))
        return nullptr;
    return source;
}

std::unique_ptr<SampleSource> makeDemoSource() {
    return std::make_unique<DemoSource>();
}
