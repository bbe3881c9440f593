/* A sound file read as one mono stream at the tracker's sample rate: every channel mixed
 * down, resampled when the file's rate differs, delivered block by block so that memory
 * stays flat however long the file is.
 */
#ifndef BEATLUME_TRACK_AUDIO_SOURCE_H
#define BEATLUME_TRACK_AUDIO_SOURCE_H

#include <cstddef>
#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;
typedef struct SRC_STATE_tag SRC_STATE;

class AudioSource {
public:
    AudioSource() = default;
    ~AudioSource();
    AudioSource(AudioSource const&) = delete;
    AudioSource& operator=(AudioSource const&) = delete;

    // Opens anything libsndfile reads; false with a one-line reason in error otherwise.
    bool open(std::string const& path, unsigned int outputRate, std::string& error);

    // Fills out with up to count mono samples at the output rate; returns how many were
    // written, 0 at the end of the file. Non-finite samples in the file arrive as they are.
    std::size_t read(double* out, std::size_t count);

    unsigned int fileRate() const { return fileRate_; }
    unsigned int channels() const { return channels_; }
    unsigned int outputRate() const { return outputRate_; }
    bool resampling() const { return resampler_ != nullptr; }
    // Largest absolute sample value read so far (after mixing).
    double peak() const { return peak_; }
    // A read error that ended the stream early (empty when none).
    std::string const& readError() const { return readError_; }

private:
    // Reads the next chunk of mixed mono frames at the file's rate into mono_; false at the end.
    bool fillMono();

    SNDFILE* file_ = nullptr;
    SRC_STATE* resampler_ = nullptr;
    unsigned int fileRate_ = 0;
    unsigned int channels_ = 0;
    unsigned int outputRate_ = 0;
    double peak_ = 0.0;
    bool fileEnded_ = false;
    bool resamplerDrained_ = false;
    std::string readError_;

    std::vector<float> interleaved_;
    std::vector<float> mono_; // mixed frames at the file's rate
    std::size_t monoPos_ = 0; // next unread frame of mono_
    std::vector<float> resampled_;
    std::size_t resampledPos_ = 0;
    std::size_t resampledLen_ = 0;
};

#endif
