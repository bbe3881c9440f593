/* The silence an input opens with, before the music.
 *
 * A live input is open long before the music starts, and a file may begin with seconds of
 * silence. Analysed, a long silence leaves nothing but harm: the accents' running means count
 * it as if the music were quieter, the resonators' start-up correction takes them for settled
 * when the music finds them empty, and every vote and grid has run on nothing. So the tracker
 * analyses the first 1.5 s of it, as much as most recordings open with (the front end settles
 * in it, and the bar chooser hears there that the music begins after silence), and skips the
 * rest until the first sound: the music is analysed as if the stream had begun just before it.
 * The times the tracker reports are shifted by the silence skipped.
 *
 * Silence is a block of 128 samples below -60 dBFS (see silentBlock); the first louder block
 * ends the opening for good, until reset. Only digital silence is skipped: where the first
 * 1.5 s carry an input's hiss, the whole opening is analysed. No locking, no allocation.
 */
#ifndef BEATLUME_OPENINGSILENCE_H
#define BEATLUME_OPENINGSILENCE_H

namespace meterTracker {

// Silence as the tracker hears it before the music, judged this many samples at a time: their
// mean square around their own mean (a sound card's DC offset is no sound) below -60 dBFS.
constexpr unsigned int silenceBlock = 128;
bool silentBlock(double const* samples, unsigned int count);

class OpeningSilence {
public:
    // Forgets everything.
    void configure(double sampleRate);
    void reset();
    // A new opening from here on (the tracker restarted between pieces): the samples taken so
    // far count as skipped, so reported times go on from them.
    void restart();
    // The next `count` samples (finite) split in three: the first `analysedBefore` are
    // analysed, the next `skipped` are not, the rest are.
    struct Split {
        unsigned int analysedBefore, skipped;
    };
    Split take(double const* samples, unsigned int count);
    // The silence skipped, in seconds: what the tracker adds to the times it reports.
    double skippedSeconds() const { return rate > 0.0 ? static_cast<double>(skippedSamples) / rate : 0.0; }

private:
    double rate = 0.0;
    unsigned long long keptLength = 0, silenceAnalysed = 0, skippedSamples = 0, samplesTaken = 0;
    bool soundHeard = false;
    bool noiseHeard = false; // the silence is an input's hiss, not digital: nothing is skipped
};

} // namespace meterTracker

#endif
