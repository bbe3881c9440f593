// The tracker's free functions whose edge cases (plateaus, ends, gaps, empty input) the music
// does not reach; the smooth likelihoods are pinned by the tracker's results on music.
#include "meterPerPha2Pulse.h"
#include "peakPickHeight.h"

#include <gtest/gtest.h>

#include <vector>

using namespace meterTracker;

TEST(PeakPickHeight, HighestPeaksFirstAndMarkersForMissingOnes) {
    // The ends count as peaks when above their only neighbour; equal neighbours make no peak;
    // missing peaks are marked with the length. No peak or no request returns false.
    struct Case {
        std::vector<double> x;
        unsigned int n;
        bool found;
        std::vector<unsigned int> idx;
    };
    for (Case const& c : {Case{{1, 3, 2, 5, 4}, 2, true, {3, 1}}, Case{{5, 4, 3}, 3, true, {0, 3, 3}},
                          Case{{1, 2, 2, 1, 3}, 2, true, {4, 5}}, Case{{7}, 2, true, {0, 1}},
                          Case{{2, 2, 2, 2}, 3, false, {4, 4, 4}}, Case{{1, 3, 2}, 0, false, {42}}}) {
        std::vector<unsigned int> idx{42};
        EXPECT_EQ(peakPickHeight(c.x, c.n, idx), c.found) << ::testing::PrintToString(c.x);
        EXPECT_EQ(idx, c.idx) << ::testing::PrintToString(c.x);
    }
    std::vector<unsigned int> idx;
    EXPECT_FALSE(peakPickHeight({}, 2, idx));
}

TEST(MeterPerPha2Pulse, FillsGapsAndSkipsPhasesThatDidNotMoveOn) {
    // Over a gap of several periods the fill stops half a period before the next phase; no
    // phases at all leave the single zero, whatever the list held.
    struct Case {
        std::vector<double> periods, phases, before, pulses;
    };
    for (Case const& c : {Case{{0.5, 0.5}, {10.0, 11.0}, {0, 1, 2}, {10.0, 10.5, 11.0}},
                          Case{{0.5, 0.5, 0.5}, {10.0, 10.2, 11.0}, {0, 1, 2}, {10.0, 11.0}},
                          Case{{0.5, 0.4}, {1.0, 2.3}, {}, {1.0, 1.5, 2.0, 2.3}},
                          Case{{}, {}, {0, 1, 2}, {0.0}}, Case{{}, {}, {}, {0.0}}}) {
        std::vector<double> pulses = c.before;
        meterPerPha2Pulse(c.periods, c.phases, pulses);
        EXPECT_EQ(pulses, c.pulses) << ::testing::PrintToString(c.phases);
    }
}
