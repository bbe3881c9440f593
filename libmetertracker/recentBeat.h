/* The beat as the last few seconds play it.
 *
 * The resonators remember the music with a half-life of seconds: their lines average the
 * beat's place over many past beats. When the tempo moves (a drift, an accelerando, a player's
 * rubato) that average lags: the tick read from a line falls late while the music hurries and
 * early while it slows down, by tens of milliseconds, and a grid extrapolated from it drifts
 * further off within a beat or two. This keeps the last seconds of the channels' accents and
 * reads the same comb sum with half the resonators' memory, at the chosen period and at
 * periods a few per cent around it: the period and tick where the recent beats line up best.
 * Half of that move is taken, so that steady music, where the long memory measures best, keeps
 * most of its precision. It moves the beat by a few per cent of its period at most: the
 * metrical level and the phase candidate stay the tracker's choice.
 */
#ifndef BEATLUME_RECENTBEAT_H
#define BEATLUME_RECENTBEAT_H

#include <cstddef>
#include <vector>

namespace meterTracker {

class RecentBeat {
public:
    // Share of the move towards the recent beats taken. The whole move follows a drifting tempo
    // closest but lets steady music wobble by the accents' own scatter over a few beats; half kept
    // the gains on both development sets.
    static constexpr double moveShare = 0.5;

    // Forgets the accents; `channels` values per frame from now on.
    void reset(unsigned int channels);
    // Appends absolute accent frame `frame`: one value per channel, mean removed.
    void add(unsigned int frame, double const* values);
    // The beat period (frames, finer than a frame) and tick (absolute frame, fractional) moved
    // towards where the accents before frame `newest` line up best, the channels weighed by
    // `weights`, older beats fading with `halfLifeFrames`. False, with the inputs unchanged, when
    // fewer than two beats have been kept or `newest` is not the newest frame added.
    bool refine(double periodFrames, double tickFrame, unsigned int newest, double const* weights,
                double halfLifeFrames, double& refinedPeriod, double& refinedTick);

private:
    double weightedAt(double frame) const; // linear between frames, 0 outside those kept

    static constexpr std::size_t capacity = 1024; // frames, about 6 s
    unsigned int nChannels = 0;
    std::vector<double> ring;     // capacity × nChannels
    std::vector<double> weighted; // capacity: the channels weighed, per refinement
    unsigned int newestFrame = 0;
    std::size_t count = 0;
};

} // namespace meterTracker

#endif
