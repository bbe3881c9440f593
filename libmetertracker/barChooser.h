/* Chooses the bar (three to seven beats, and which beat starts it) on a known beat grid.
 *
 * The comb resonators find the bar's period and a downbeat from the whole accent pattern of
 * one bar, where a kick on 1 and 3 under a snare on 2 and 4 leaves 1 and 3 (and, with loud
 * snares, 2 and 4) hard to tell apart, and where a waltz's bar often comes out four beats
 * long. The chooser looks at the music beat by beat instead: it keeps the last seconds of
 * band accents, takes each beat's attack in every band, and
 *  - judges the bar length from repetition: beats one and two bars apart sound alike. Four
 *    beats are taken unless another length repeats clearly better: three a little, five
 *    and seven much better (a busy bar in four repeats at many lags);
 *  - judges the downbeat from how the bands share the attacks of each beat of the bar: a
 *    kick without snare starts the bar, the snare and cymbals come on the backbeats. The
 *    weights were fitted on rendered and played music together and hold when fitted on
 *    either alone and tested on the other. Bars of five to seven beats start on their
 *    strongest kick;
 *  - takes the beginning of the music as a downbeat for the first seconds, as most music
 *    begins on one, until the template says clearly otherwise, and counts the bar from it
 *    after those seconds where the bars chosen in them mostly agreed with it.
 * A downbeat already taken is kept until another one scores clearly better, so the bar does
 * not flip between nearly equal candidates.
 *
 * Works on the 36-band layout of 44.1 kHz (and 32 kHz) audio; with fewer bands it declines
 * and the tracker keeps the resonators' bar. No locking; allocates only on construction.
 */
#ifndef BEATLUME_BARCHOOSER_H
#define BEATLUME_BARCHOOSER_H

#include "Matrix.h"
#include "percussionEntry.h"

#include <limits>
#include <vector>

namespace meterTracker {

class BarChooser {
public:
    // accentRate in accent frames per second; nBands the front end's band count; sampleRate
    // of the audio. Forgets everything.
    void configure(double accentRate, unsigned int nBands, double sampleRate);
    void reset();
    // The audio as it arrives (finite samples), to hear whether the music begins after silence.
    void addAudio(double const* samples, unsigned int count);
    // Stores the band accents of absolute frames first … first + count − 1, which are columns
    // firstColumn … of `bands` (bands × frames). Frames must arrive in order.
    void addFrames(ARGMathLibrary::Matrix<double> const& bands, unsigned int firstColumn, unsigned int first,
                   unsigned int count);
    // The bar on the beat grid (beatPeriod, beatTime in seconds; frame n lies at (n + 1.5) /
    // accentRate): on success beatsPerBar (3 to 7) and the latest downbeat at or before
    // beatTime. False when there are too few beats heard yet or the band layout is another.
    bool choose(double beatPeriod, double beatTime, unsigned int& beatsPerBar, double& downbeatTime);
    // The band groups' attacks on the two halves of the beats of beatPeriod over the judged
    // seconds (each group's mean attack, from the kick's fundamental up to the cymbals): on the
    // quarter of the beat, counted from beatTime, where the lowest group hits hardest, and on
    // the quarter half a beat from it. False with fewer than a few beats heard or another band
    // layout.
    static constexpr unsigned int bandGroups = 7;
    bool halvesOfBeat(double beatPeriod, double beatTime, double kickHalf[bandGroups],
                      double otherHalf[bandGroups]) const;
    // The music's first onset in seconds, where the audio opened in silence; −1 while unknown.
    double musicStart() const { return startTime; }
    // Drums that came in after a stretch without them (see PercussionEntry) since the last
    // call: their first hit in seconds, −1 for none. beginAgain makes such a hit the music's
    // beginning from then on, for the bar as for a first onset after silence.
    double takeEntry();
    void beginAgain(double time);

private:
    // A beat's attack in `band`: its strongest accent in the frames around accent frame `at`
    // (all of them kept in the ring), 0 at least.
    double attackIn(long at, unsigned int band) const;
    // True for a beat whose attack (around accent frame `frame`) was over before the music began
    // after silence: the silence's beats, all alike, would make every short bar repeat well.
    bool beforeTheMusic(long frame) const;
    // Keeps the summed accent of the first seconds and finds the music's first onset in it.
    void watchBeginning(unsigned int frame, double total);

    double rate = 0.0;
    unsigned int nBands = 0;
    bool usable = false;
    ARGMathLibrary::Matrix<double> ring; // ringFrames × bands, frame n in row n % ringFrames
    unsigned int framesStored = 0;       // absolute frame one past the newest stored
    // Work space: per beat (newest first) its attack in every band.
    std::vector<double> attacks;
    std::vector<double> present; // 1 where the beat's attack lies in the kept frames
    unsigned int keptBeats = 0;
    double keptDownbeat = 0.0;
    // Each bar length's repetition (3 … 7 beats), smoothed over the steps judged so far.
    double smoothedRepetition[5] = {};
    unsigned int judgedLengths = 0;
    // The beginning of the music: its first onset in seconds (−1 while unknown), found from
    // the accents summed over the bands in the first seconds.
    double startTime = -1.0;
    // The bars chosen in the first seconds that started on the count from the beginning, less
    // those that did not; the count goes on after those seconds where this is positive, until
    // it is lost.
    long startBorneOut = 0;
    std::vector<double> beginning;
    // Beats from the beginning to the beat grid's tick at lastBeatTime (−1 before the first),
    // counted on beats of lastBeatPeriod.
    long beatsSinceStart = -1;
    double lastBeatTime = 0.0;
    double lastBeatPeriod = 0.0;
    unsigned int beginFrame = 0; // the frame of beginning[0]
    PercussionEntry entry;
    double entryTime = -1.0; // the latest entry not yet taken
    // The silence the audio opens with: the samples it needs, the samples heard until the first
    // sound (all quiet), and when that sound began (seconds; −1 for none, or for audio that
    // opened with sound).
    unsigned long openingLength = 0;
    double audioRate = 0.0;
    unsigned long samplesHeard = 0;
    double soundStart = -1.0;
    bool soundJudged = false;
    // Mean squares of the silence's last blocks, their mean (a stretch) and the quietest stretch
    // so far; the blocks heard.
    static constexpr unsigned int blocksPerStretch = 8;
    double recentLevels[blocksPerStretch] = {};
    double stretchLevel = 0.0, quietestStretch = std::numeric_limits<double>::infinity();
    unsigned long stretchBlocks = 0;
};

} // namespace meterTracker

#endif
