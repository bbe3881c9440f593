// Channel mixing on the audio thread and the channel selection, without a stream.

#include "AudioInterface.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

std::unique_ptr<std::atomic<unsigned char>[]> gates(std::initializer_list<int> on) {
    auto g = std::make_unique<std::atomic<unsigned char>[]>(on.size());
    size_t i = 0;
    for (int flag : on)
        g[i++].store(static_cast<unsigned char>(flag));
    return g;
}

} // namespace

// Three interleaved channels, the last two selected and averaged; 1300 frames is more than two
// mix buffers.
TEST(ChannelMix, AveragesTheSelectedChannelsAndBlocksLargerThanTheMixBufferArriveInPieces) {
    const unsigned long frames = 1300;
    std::vector<float> in(frames * 3);
    for (unsigned long f = 0; f < frames; ++f) {
        in[f * 3] = -1.0f;
        in[f * 3 + 1] = static_cast<float>(f);
        in[f * 3 + 2] = 7.0f;
    }
    auto lastTwo = gates({0, 1, 1});
    std::vector<float> mix(AudioInterface::mixFrames + 8, -9.0f);
    std::vector<float> heard;
    std::vector<unsigned long> sizes;
    std::vector<double> times;
    AudioInterface::mixInPieces(in.data(), frames, 3, lastTwo.get(), mix.data(), 2.0,
                                [&](const float* block, unsigned long n, double t) {
                                    heard.insert(heard.end(), block, block + n);
                                    sizes.push_back(n);
                                    times.push_back(t);
                                });
    EXPECT_EQ(sizes, (std::vector<unsigned long>{512, 512, 276}));
    EXPECT_EQ(times, (std::vector<double>{2.0, 2.0 + 512 / 44100.0, 2.0 + 1024 / 44100.0}));
    ASSERT_EQ(heard.size(), frames);
    for (unsigned long f = 0; f < frames; ++f)
        ASSERT_EQ(heard[f], (static_cast<float>(f) + 7.0f) / 2.0f) << f;
    // Nothing was written past the mix buffer.
    EXPECT_TRUE(std::all_of(mix.begin() + AudioInterface::mixFrames, mix.end(), [](float v) { return v == -9.0f; }));

    // No channel selected, or a stream without input data (PortAudio passes null on some
    // hosts), gives silence.
    auto none = gates({0, 0, 0});
    AudioInterface::mixToMono(in.data(), 1, 3, none.get(), mix.data());
    AudioInterface::mixToMono(nullptr, 1, 3, lastTwo.get(), mix.data() + 1);
    EXPECT_TRUE(mix[0] == 0.0f && mix[1] == 0.0f);
}

TEST(ChannelSelection, FirstChannelAfterEveryDeviceChangeAndOutOfRangeIgnored) {
    AudioInterface device(nullptr, {});
    AudioInterface* audio = &device;
    audio->toggleChannel(0, 1);
    EXPECT_TRUE(audio->getCurrentChannels().empty());

    audio->resetChannels(3);
    EXPECT_EQ(audio->getCurrentChannels(), (std::vector<char>{1, 0, 0}));
    audio->toggleChannel(2, 1);
    audio->toggleChannel(0, 0);
    audio->toggleChannel(3, 1);
    audio->toggleChannel(-1, 1);
    EXPECT_EQ(audio->getCurrentChannels(), (std::vector<char>{0, 0, 1}));
    audio->resetChannels(2);
    EXPECT_EQ(audio->getCurrentChannels(), (std::vector<char>{1, 0}));

    // Before any stream has run the engine's clock stands at zero.
    EXPECT_EQ(AudioInterface::GetStreamTime(audio), 0.0);
    EXPECT_EQ(audio->getInputChannelAmount(999), 0);
    EXPECT_EQ(audio->getInputChannelAmount(-1), 0);
}
