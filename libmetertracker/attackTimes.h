/* When the played attack of a beat sounded.
 *
 * The tracker places its beat ticks on accent frames (5.8 ms apart) smeared by the envelope
 * low-pass, and it places each tick from the pattern of the last bars: a drummer's single hits
 * move it little and late. The attack itself is sharper: where the spectrum grows most from one
 * short frame to the next. AttackTimes keeps the last seconds of audio and, asked about a tick,
 * reads the log-spectral flux around it at a fine hop (128 samples, 2.9 ms) and returns the peak
 * of its strongest rise, interpolated between frames.
 *
 * The log spectrum of a frame grows most while a hit enters its leading half: the steepest rise
 * comes when the hit's first sound lies about a quarter of a frame after the frame's centre. The
 * time given is that centre moved on by a quarter frame (5.8 ms): where the hit starts to sound,
 * the place a musician means by "on the beat".
 *
 * Times are seconds on the tracker's time line (samples taken since the last reset). Not for an
 * audio callback: attackNear runs some fifty short transforms.
 */
#ifndef BEATLUME_ATTACKTIMES_H
#define BEATLUME_ATTACKTIMES_H

#include <cstdint>
#include <vector>

class AttackTimes {
public:
    explicit AttackTimes(unsigned int srate);

    // Forgets the audio; the time line starts again at 0.
    void reset();
    // Forgets the audio but goes on counting time from `samplesTaken`.
    void continueFrom(std::uint64_t samplesTaken);
    std::uint64_t samplesTaken() const { return taken; }
    // Keeps the samples (already cleaned of non-finite values) for later questions.
    void addData(double const* samples, unsigned int count);

    // The strongest attack within `window` seconds of `tick`: its time, or −1 when the audio
    // around the tick is not all kept (yet, or any more), the window holds no rise clearly above
    // its usual flux, or the arguments are not finite.
    double attackNear(double tick, double window);

private:
    double strongestRise(double tick, double halfWidth);
    // log(1 + 100 |X|) of the frames centred on samples centreA and centreB.
    void logSpectra(std::int64_t centreA, std::int64_t centreB, double* outA, double* outB);

    unsigned int srate;
    std::vector<double> ring; // the newest samples, sample n at n % ring.size()
    std::uint64_t taken = 0;
    std::uint64_t kept = 0; // samples in the ring that belong to the time line
    std::vector<double> window;
    std::vector<double> fftData;
    std::vector<double> spectra; // one row of bins per frame
    std::vector<double> flux;
};

#endif
