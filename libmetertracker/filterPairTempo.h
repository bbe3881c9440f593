/* How much of the fine beat tick's drift is the resonators' smear, not the music.
 *
 * The fine beat tick is read in the two filters whose delays enclose the beat period, weighed by
 * how near each delay lies to it. In a filter whose delay misses the period, the echoes of older
 * beats creep along its line by the miss per beat: earlier in the shorter filter, later in the
 * longer, by the miss times the echoes' mean age. While the resonators' memory fills after the
 * music starts, that mean age grows, both peaks drift apart, and the weighed tick drifts with
 * them wherever the weights do not balance the misses exactly (they come from a period that is
 * itself a little off, and a peak does not follow its smear quite linearly): 5-10 ms over the
 * first ten seconds, which a 12 s line through the ticks reads as a tempo off by a tenth of a
 * per cent.
 *
 * Both peaks drift with the same mean age. Through each filter's peaks runs a line, of slopes
 * s1 (delay d1 frames) and s2 (d1 + 1) in frames per beat; where the mean age grows by k beats
 * per beat, s1 = P − k·(P − d1) and s2 = P − k·(P − d1 − 1), so s2 − s1 = k and the period is
 * P = (s1 − d1·k) / (1 − k), whatever k is. The weighed ticks' slope minus P is the smear's share.
 */
#ifndef BEATLUME_FILTERPAIRTEMPO_H
#define BEATLUME_FILTERPAIRTEMPO_H

#include <array>
#include <cstddef>

namespace meterTracker {

class FilterPairTempo {
public:
    void reset();
    // Takes one step's beat peak in the filter of `shorterDelay` accent frames and in the one a
    // frame longer, and the tick weighed between them (seconds), with the beat period (seconds)
    // and the accent frame rate. Returns by how much the smear steepens the weighed ticks' line
    // (seconds per beat), 0 while the lines rest on too few ticks. Another filter pair, period
    // or phase starts the lines afresh; non-finite input returns 0 and keeps them.
    double update(double shorterPeak, double longerPeak, double tick, unsigned int shorterDelay, double period,
                  double frameRate);
    // Time of the oldest tick the lines rest on; NaN when there is none.
    double firstTick() const;

private:
    static constexpr std::size_t capacity = 24; // ticks kept, about 12 s (the recent beat's line)
    std::array<double, capacity> index{};       // tick numbers along the grid, oldest first
    std::array<double, capacity> shorter{}, longer{}, weighed{};
    std::size_t count = 0;
    unsigned int pairDelay = 0;
    double lastPeriod = 0.0;
};

} // namespace meterTracker

#endif
