// The accent front end at work: silence, history access and the block-by-block envelope that
// must not depend on where the blocks were cut (the frame bookkeeping is pinned sample by sample
// by the tracker's first steps).
#include "onsets.h"

#include "drum_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

using ARGMathLibrary::Matrix;

namespace {

void feedInBlocks(Onsets& onsets, std::vector<double> const& x, std::size_t blockSize) {
    for (std::size_t i = 0; i < x.size(); i += blockSize) {
        unsigned int const n = static_cast<unsigned int>(std::min(blockSize, x.size() - i));
        onsets.addData(x.data() + i, n);
        onsets.process();
    }
}

Matrix<double> bandEnvs(Onsets& onsets, unsigned int from) {
    Matrix<double> m;
    EXPECT_TRUE(onsets.getBandEnvs(m, from)) << "from " << from;
    return m;
}

// The band accents of x handed over whole and analysed in one go.
Matrix<double> analysed(std::vector<double> const& x) {
    Onsets onsets(44100);
    onsets.addData(x);
    EXPECT_TRUE(onsets.process());
    return bandEnvs(onsets, 0);
}

// Column j of part is column offset + j of all, whatever the start asked for.
void expectColumnsFrom(Matrix<double> const& all, Matrix<double> const& part, unsigned int offset) {
    ASSERT_EQ(part.nCols(), all.nCols() - offset);
    for (unsigned int b = 0; b < all.nRows(); ++b)
        for (unsigned int j = 0; j < part.nCols(); ++j)
            ASSERT_EQ(part[b][j], all[b][j + offset]) << b << " " << j + offset;
}

TEST(Onsets, SilenceIsDitheredAlikeEveryTimeAndTheBufferKeepsTheZeros) {
    std::vector<double> const silence(4096, 0.0);
    Matrix<double> first, second;
    for (Matrix<double>* out : {&first, &second}) {
        std::srand(99); // whatever the generator's state, the dither is the same
        for (int i = 0; i < 17; ++i)
            (void)std::rand();
        Onsets onsets(44100);
        onsets.addData(silence);
        ASSERT_TRUE(onsets.process());
        EXPECT_TRUE(onsets.bufferedSamples() == std::vector<double>(onsets.bufferedSamples().size(), 0.0));
        ASSERT_TRUE(onsets.getBandEnvs(*out, 0));
        double mean = 0, sd = 0;
        onsets.getMeanAndStd(mean, sd, {});
        EXPECT_TRUE(mean < 0.0 && sd > 0.0); // the dither entered the statistics
    }
    EXPECT_TRUE(first.nCols() == 14u && first == second);
    EXPECT_TRUE(std::all_of(first.begin(), first.end(), [](double v) { return std::isfinite(v) && v >= 0; }));
    EXPECT_TRUE(std::any_of(first.begin(), first.end(), [](double v) { return v > 0; }));
}

TEST(Onsets, NonFiniteSamplesAreTakenAsZero) {
    std::vector<double> x = drumLoop(4096, 44100), cleaned = x;
    x[100] = std::numeric_limits<double>::quiet_NaN();
    x[2000] = std::numeric_limits<double>::infinity();
    cleaned[100] = cleaned[2000] = 0;
    EXPECT_TRUE(analysed(x) == analysed(cleaned));
}

TEST(Onsets, HistoryBoundsTailAndDiscarding) {
    Onsets onsets(44100);
    onsets.addData(drumLoop(8192, 44100)); // 15 frames → 30 accents
    ASSERT_TRUE(onsets.process());
    unsigned int const G = onsets.getGroupDelay();
    ASSERT_EQ(onsets.bandEnvEnd(), 30u);

    Matrix<double> untouched(2, 2, 7.0);
    EXPECT_TRUE(!onsets.getBandEnvs(untouched, 30) && untouched == 7.0);

    Matrix<double> const all = bandEnvs(onsets, 0);
    ASSERT_TRUE(all.nRows() == 36u && all.nCols() == 30u);
    // The newest G columns are the same look-ahead tail; a start inside it reads its end.
    expectColumnsFrom(all, bandEnvs(onsets, 3), 3);
    expectColumnsFrom(all, bandEnvs(onsets, 25), 25);

    // The band accents summed over bands are the summed accents.
    std::vector<double> accents;
    ASSERT_TRUE(onsets.getAccents(accents, 0) && accents.size() == 30u);
    for (unsigned int j = 0; j < 30; ++j) {
        double sum = 0;
        for (unsigned int b = 0; b < 36; ++b)
            sum += all[b][j];
        EXPECT_NEAR(accents[j], sum, 1e-12 * std::max(1.0, sum)) << j;
    }

    // Discard the first 4 indices.
    EXPECT_TRUE(onsets.clearBandEnvs(4, true) && onsets.bandEnvEnd() == 30u);
    EXPECT_FALSE(onsets.getBandEnvs(untouched, 3)); // before the kept history
    expectColumnsFrom(all, bandEnvs(onsets, 4), 4);
    std::vector<double> keptAccents;
    ASSERT_TRUE(onsets.getAccents(keptAccents, 4));
    EXPECT_EQ(keptAccents, std::vector<double>(accents.begin() + 4, accents.end()));

    EXPECT_FALSE(onsets.clearBandEnvs(100, true)); // after the end: nothing to discard
    // Once the kept history is no longer than the look-ahead there is nothing settled
    // to hand out.
    ASSERT_TRUE(onsets.clearBandEnvs(30 - G, true));
    EXPECT_FALSE(onsets.getBandEnvs(untouched, 30 - G));
}

TEST(Onsets, LookAheadIsRevisedByTheNextBlock) {
    std::vector<double> const x = drumLoop(44100, 44100);
    Onsets onsets(44100);
    onsets.addData(x.data(), 1024);
    ASSERT_TRUE(onsets.process());
    onsets.addData(x.data() + 1024, 4096);
    ASSERT_TRUE(onsets.process());
    Matrix<double> const before = bandEnvs(onsets, 0);
    unsigned int const T = onsets.bandEnvEnd(), G = onsets.getGroupDelay();
    onsets.addData(x.data() + 5120, 4096);
    ASSERT_TRUE(onsets.process());
    Matrix<double> const after = bandEnvs(onsets, 0);
    // Settled indices stay; the newest stored value, computed from the look-ahead, is replaced
    // by one from the real envelope.
    bool revised = false;
    for (unsigned int b = 0; b < 36; ++b) {
        for (unsigned int j = 0; j + G + 1 < T; ++j)
            ASSERT_EQ(after[b][j], before[b][j]) << b << " " << j;
        revised = revised || after[b][T - G - 1] != before[b][T - G - 1];
    }
    EXPECT_TRUE(revised);
}

TEST(Onsets, AnySplitIntoBlocksOfAtMostAHopAnalysesTheSameFrames) {
    std::vector<double> const x = drumLoop(3 * 44100, 44100);
    Onsets small(44100), odd(44100);
    feedInBlocks(small, x, 128);
    feedInBlocks(odd, x, 509);
    Matrix<double> const a = bandEnvs(small, 0), b = bandEnvs(odd, 0);
    EXPECT_TRUE(a.equalSized(b) && a == b);
}

} // namespace
