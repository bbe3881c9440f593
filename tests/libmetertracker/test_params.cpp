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
    for (unsigned srate : {44100u, 32000u, 22050u, 16000u, 8000u, 48000u}) {
        SCOPED_TRACE(srate);
        Params const p(srate);
        for (unsigned k = 0; k < p.nPeriods; ++k) {
            ASSERT_TRUE(p.periods[k] == k + 1 && p.feedback[k] > 0.0 && p.feedback[k] < 1.0) << k;
            // Output power of a comb with gain a for unit white noise: (1 − a)²/(1 − a²) = (1 − a)/(1 + a).
            double const a = p.feedback[k], gain = (1 - a) / (1 + a);
            ASSERT_NEAR(std::abs(p.noiseGains[k] - std::complex<double>(gain, gain * gain)), 0.0, 1e-15);
        }
    }
}

TEST(Params, HalfTimeChangesAndSampleRateResets) {
    Params const original(44100);
    Params p(44100);
    p.beatMyy = 0.6; // the medians survive half-life changes

    p.changeHalfTime(6.0);
    EXPECT_EQ(p.halfTime, 2.0 * original.halfTime);
    for (unsigned k = 0; k < p.nPeriods; k += 97)
        EXPECT_DOUBLE_EQ(p.feedback[k], std::pow(0.5, p.periods[k] / (6.0 * 172.265625)));
    EXPECT_EQ(p.beatMyy, 0.6);

    Params const beforeAbsurd(p);
    for (double absurd : {0.0, -3.0, std::nan(""), HUGE_VAL}) {
        p.changeHalfTime(absurd);
        EXPECT_EQ(p.halfTime, beforeAbsurd.halfTime);
        EXPECT_EQ(p.decay, beforeAbsurd.decay);
    }

    p.setSrate(44100);
    EXPECT_TRUE(p.halfTime == original.halfTime && p.feedback == original.feedback);

    p.setSrate(16000);
    EXPECT_EQ(p.feedback, Params(16000).feedback);
}
