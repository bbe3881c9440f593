/* The noise floor under each band of the accent front end.
 *
 * A live input never falls silent: mixer hiss, the room and mains hum lie under the whole
 * piece. The front end scales every band to the same footing, so in a band where the music is
 * quiet (the top octave of a drum kit, the bass of a piano) the floor's own flicker would
 * otherwise count as much as the music's accents. Each band's floor is the lowest energy it
 * has shown over the last few seconds, each energy first smoothed over a few frames so that
 * the floor of a noise band sits near its mean, not at its deepest dip. Music with true
 * silence between its notes keeps a floor of about zero and is analysed as before.
 *
 * Energies are raw (before the input's scaling), so the floor does not move when the running
 * scale does. No allocation after configure; one thread at a time.
 */
#ifndef BEATLUME_BANDNOISEFLOOR_H
#define BEATLUME_BANDNOISEFLOOR_H

#include <vector>

namespace meterTracker {

class BandNoiseFloor {
public:
    // framesPerSecond: the analysis frames' rate. Forgets everything.
    void configure(unsigned int bands, double framesPerSecond);
    void reset();
    // Takes the next frame's energies (one per band) and returns every band's floor: the
    // lowest smoothed energy of the blocks kept and the block under way, from the first frame
    // on (the input's noise is there before the music; a floor as loud as music is capped by
    // the caller).
    std::vector<double> const& addFrame(double const* energies);

private:
    static constexpr unsigned int smoothingFrames = 4;
    static constexpr unsigned int blocksKept = 8;
    unsigned int nBands = 0, framesPerBlock = 1, frameInBlock = 0, newestBlock = 0;
    // Per band: the last smoothingFrames energies, the current block's minimum and the kept
    // blocks' minima.
    std::vector<double> recent, blockMin, keptMin, keptFloor, floors;
    unsigned int recentCount = 0, recentNext = 0;
};

} // namespace meterTracker

#endif
