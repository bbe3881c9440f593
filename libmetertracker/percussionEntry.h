/* Where the beat comes in after a stretch without one: drums entering over an intro of pads,
 * or after a breakdown.
 *
 * Music that opens with pads, strings or a held chord has no beat to track until the drums
 * come in, and their first hit is where the music's beat begins, nearly always on a downbeat,
 * as the first onset after silence is. Such an entry stands out in the summed band accents:
 * it is at least twice as strong as anything in the four seconds before it, which a hit in
 * music already playing hardly ever is (a rendered or played kit's loudest hits reach 1.5
 * times the last seconds' loudest at most; entries over a pad 2 to 3 times). A ring-out's
 * last blip after a stop is no entry: an entry also reaches a share of the last 12 s's
 * loudest accent. The tracker takes an entry as the music's beginning only where no beat has
 * held before it (a filtered beat whose filter opens is followed already).
 *
 * Fed one summed accent per frame, in order; no locking, allocates only in configure.
 */
#ifndef BEATLUME_PERCUSSIONENTRY_H
#define BEATLUME_PERCUSSIONENTRY_H

#include <vector>

namespace meterTracker {

class PercussionEntry {
public:
    // accentRate in frames per second. Forgets everything.
    void configure(double accentRate);
    void reset();
    // The summed accent of the next frame (absolute frame number `frame`). True once an
    // entry's accent has peaked, with the peak's frame in `peakFrame`.
    bool add(unsigned int frame, double total, unsigned int& peakFrame);

private:
    double rate = 0.0;
    // The newest frames, which may still belong to the rise of the hit being judged.
    std::vector<double> rising;
    // Loudest accent of each quarter second before them, newest in blockMax[(blocks - 1) % n].
    std::vector<double> blockMax;
    unsigned int blockFrames = 1, framesInBlock = 0;
    unsigned long blocks = 0;
    double currentBlock = 0.0;
    unsigned long framesSeen = 0;
    // Blocks that must have passed before a frame is judged: the quiet seconds before an entry.
    unsigned long judgedFrom = 0;
    // An entry found and still rising: its strongest frame so far.
    bool rise = false;
    unsigned int peak = 0;
    double peakTotal = 0.0;
};

} // namespace meterTracker

#endif
