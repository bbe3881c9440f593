#include "params.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <utility>

using meterTracker::Params;

TEST(Round, HalvesRoundUpAlsoBelowZero) {
    for (auto const& [x, rounded] : std::initializer_list<std::pair<double, int>>{
             {2.5, 3}, {2.4999, 2}, {-2.5, -2}, {-2.5001, -3}, {688.0, 688}, {689.0625, 689}, {0.0, 0}})
        EXPECT_EQ(meterTracker::round(x), rounded) << x;
}

TEST(Params, ValuesAtEverySupportedRate) {
    struct Expected {
        unsigned srate, hopLen;
        double accentRate;
        unsigned nPeriods;
        double halfTime;
    };
    for (Expected const& e :
         {Expected{44100, 512, 172.265625, 689, 516.796875}, Expected{32000, 512, 125.0, 500, 375.0},
          Expected{22050, 256, 172.265625, 689, 516.796875}, Expected{16000, 256, 125.0, 500, 375.0},
          Expected{8000, 128, 125.0, 500, 375.0}, Expected{48000, 512, 187.5, 750, 562.5}}) {
        SCOPED_TRACE(e.srate);
        Params const p(e.srate);
        EXPECT_EQ(p.hopLen, e.hopLen);
        EXPECT_EQ(p.frameLen, 2 * e.hopLen);
        EXPECT_EQ(p.accentRate, e.accentRate);
        EXPECT_EQ(p.nPeriods, e.nPeriods);
        EXPECT_EQ(p.halfTime, e.halfTime);
        EXPECT_EQ(p.halfTimeCopy, e.halfTime);
        EXPECT_EQ(p.srate, double(e.srate));
        ASSERT_EQ(p.periods.size(), e.nPeriods);
        ASSERT_EQ(p.feedback.size(), e.nPeriods);
        ASSERT_EQ(p.noiseGains.size(), e.nPeriods);
        for (unsigned k = 0; k < p.nPeriods; ++k) {
            ASSERT_EQ(p.periods[k], k + 1);
            ASSERT_GT(p.feedback[k], 0.0);
            ASSERT_LT(p.feedback[k], 1.0);
        }
        EXPECT_DOUBLE_EQ(p.decay, std::pow(0.5, 1.0 / e.halfTime));
    }
}

TEST(Params, DerivedValuesAt44100) {
    Params const p(44100);
    EXPECT_DOUBLE_EQ(p.decay, 0.9986596618818055);
    EXPECT_NEAR(p.feedback.front(), 0.99866, 5e-6);
    EXPECT_NEAR(p.feedback.back(), 0.39688, 5e-6);
    // Output power of a comb with gain a for unit white noise: (1 − a)²/(1 − a²) = (1 − a)/(1 + a).
    double const a = p.feedback[99];
    EXPECT_NEAR(p.noiseGains[99].real(), (1 - a) / (1 + a), 1e-15);
    EXPECT_NEAR(p.noiseGains[99].imag(), std::pow((1 - a) / (1 + a), 2), 1e-15);

    EXPECT_EQ(p.accentPerHop, 2u);
    EXPECT_EQ(p.nBands, 36u);
    EXPECT_EQ(p.bandsPerChannel, 9u);
    EXPECT_EQ(p.resStep, 0.0);
    EXPECT_EQ(p.beatMyy, 0.55);
    EXPECT_EQ(p.patternMyy, 2.1);
    EXPECT_EQ(p.tatumMyy, 0.18);
    EXPECT_EQ(p.tatumSigma, 0.39);
    EXPECT_EQ(p.nPeriodCands, 5u);
    EXPECT_EQ(p.nPhaseCands, 15u);
    EXPECT_EQ(p.tatumObsWeight, 3u);
    EXPECT_EQ(p.logFloor, 1e-60);
    ASSERT_EQ(p.ratioWeights.size(), 9u);
    double sum = 0.0;
    for (double w : p.ratioWeights)
        sum += w;
    EXPECT_NEAR(sum, 6.998174572484267, 1e-14);
    EXPECT_EQ(p.ratioWeights[1], 1.0);
    ASSERT_EQ(p.periodTransSigma.size(), 3u);
}

TEST(Params, HalfTimeChangesAndSampleRateResets) {
    Params const original(44100);
    Params p(44100);
    p.beatMyy = 0.6; // the medians survive half-life changes

    p.changeHalfTime(3.0);
    EXPECT_EQ(p.halfTime, original.halfTime);
    EXPECT_EQ(p.decay, original.decay);
    EXPECT_EQ(p.feedback, original.feedback);
    EXPECT_EQ(p.noiseGains, original.noiseGains);

    p.changeHalfTime(6.0);
    EXPECT_EQ(p.halfTime, 2.0 * original.halfTime);
    EXPECT_EQ(p.halfTimeCopy, p.halfTime);
    EXPECT_EQ(p.nPeriods, 689u);
    for (unsigned k = 0; k < p.nPeriods; k += 97)
        EXPECT_DOUBLE_EQ(p.feedback[k], std::pow(0.5, p.periods[k] / (6.0 * 172.265625)));
    EXPECT_GT(p.decay, original.decay);
    EXPECT_EQ(p.beatMyy, 0.6);

    Params const beforeAbsurd(p);
    for (double absurd : {0.0, -3.0, std::nan(""), HUGE_VAL}) {
        p.changeHalfTime(absurd);
        EXPECT_EQ(p.halfTime, beforeAbsurd.halfTime);
        EXPECT_EQ(p.decay, beforeAbsurd.decay);
    }

    p.setSrate(44100);
    EXPECT_EQ(p.halfTime, original.halfTime);
    EXPECT_EQ(p.feedback, original.feedback);

    p.setSrate(16000);
    EXPECT_EQ(p.nPeriods, 500u);
    EXPECT_EQ(p.feedback.size(), 500u);
    EXPECT_EQ(p.halfTime, 375.0);
    EXPECT_EQ(p.srate, 16000.0);
}
