#include "barChooser.h"

#include "openingSilence.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace meterTracker {

namespace {

// Seconds of music judged: enough bars for a fill or a crash not to decide alone, few enough
// to follow a new section.
constexpr double judgedSeconds = 12.0;
// Two bars of four already tell more than the resonators' bar template; the music's beginning,
// where it is known, tells more than the template of three bars.
constexpr unsigned int minBeats = 8, minBeatsAfterBeginning = 12;
// A beat's attack: the strongest accent of each band from 4 frames before the beat time to 2
// after (the accents rise ahead of the heard onset).
constexpr int attackBefore = 4, attackAfter = 2;

// The bands in seven groups from the kick's fundamental to the cymbals (36-band layout).
constexpr unsigned int layoutBands = 36;
constexpr unsigned int nGroups = 7;
constexpr unsigned int groupEdges[nGroups + 1] = {0, 3, 6, 9, 14, 20, 27, 36};

// Weight of each group's share of the attacks on the downbeat and on the 2nd, 3rd and 4th
// beat after it (a log ratio to the group's mean over the beats of the bar). Fitted as a
// choice among the four rotations of 4/4 bars: the downbeat takes the lowest bands without
// the snare's body, the backbeats the snare and the cymbals.
constexpr double barTemplate[4][nGroups] = {
    {0.92, -0.33, -0.36, -0.06, -0.08, -0.12, 0.0},
    {-0.47, 0.2, 0.02, -0.06, -0.02, 0.29, 0.25},
    {-0.13, -0.11, 0.14, -0.19, -0.27, -0.31, -0.16},
    {-0.32, 0.24, 0.2, 0.32, 0.37, 0.14, -0.09},
};

// How much better (in template score) another downbeat must be before the bar moves; twice
// that to move a four-beat bar by half, between the two kick beats the template tells
// apart least well.
constexpr double moveMargin = 0.3;
constexpr double halfBarMoveMargin = 0.6;

// Bar lengths judged by repetition, and how much more alike (mean cosine) their beats one and
// two bars apart must sound than four beats apart: most music is in four, some in three, and
// five- and seven-beat bars need clear evidence, as a busy bar in four repeats at many lags.
// Six-beat bars hardly differ from three-beat ones but by their fills.
constexpr unsigned int minLength = 3, maxLength = 7;
constexpr double lengthPenalty[maxLength + 1] = {0, 0, 0, 0.02, 0.0, 0.05, 0.08, 0.05};
// A length once taken is kept until another one repeats this much better, on repetition
// smoothed from step to step with this memory. Four, the most common, comes back as soon as it
// repeats better: a fill or a break that made three beats repeat best for some bars of a piece
// in four is no new bar, and the margin held it at three for many bars after.
constexpr double lengthMargin = 0.01;
constexpr double repetitionMemory = 0.85;
// Lag pairs needed before a lag counts.
constexpr unsigned int minPairs = 2;

// Music mostly begins on a downbeat. Its first onset counts as one for the bars of the first
// seconds; the template's evidence outweighs it where the music begins elsewhere. Where the bars
// chosen in those seconds mostly started on the count from the beginning, it keeps counting for
// as long as the count holds: later on, a section whose backbeat or bass line draws the template
// onto another beat is no new bar, and the count from a beginning heard on the downbeat is
// surer than anything the template hears. Where the template mostly overruled it, the music
// began on a pickup and the template alone decides after the first seconds. Only music
// that begins after silence (see silentBlock; for at least 0.1 s, from the start of the stream:
// a file, or a live input opened before the music starts) has a beginning: a stream joined
// while music plays would take any beat for it. The first onset is looked for among the first
// seconds of sound, once the front end has settled: the first accent that reaches a share of
// the loudest there and stands far above all before it.
constexpr double openingSeconds = 0.1;
// A live input's hiss or hum is silence too: before the first sound, a block below the ceiling
// whose stretch (the mean of it and the blocks before it, long enough to hold a whole cycle of
// mains hum) is no louder than this many times the quietest stretch heard so far is still
// silence, and so is every block of the first stretch.
constexpr double hissMargin = 4.0;
constexpr double hissCeiling = 1e-4; // -40 dBFS
constexpr double secondsBeforeSound = 0.25;
// Frames more than this before the sound began lie in the silence: the front end, which scales
// the audio by its deviation so far, makes a noise floor there (a live input's hiss at -80 dBFS)
// accent as strongly as music, and the onset would not stand out against it. They count as
// quiet. Later frames may already rise with the onset: the analysis window and the envelope's
// smoothing put a hard attack's accent peak about 47 ms, its rise about 70 ms, before its sound
// passes the level test.
constexpr double silentFramesBeforeSound = 0.075;
constexpr double settleSeconds = 0.17;
// The first estimates come about 1.5 s into the music: a beginning found only after 2.5 s left
// them on whatever phase the first bars' accents drew, and the lock waited for it.
constexpr double beginSearchSeconds = 1.5;
constexpr double beginShareOfLoudest = 0.3;
constexpr unsigned int quietFramesNeeded = 4, riseFrames = 4;
constexpr double onsetJump = 8.0;
constexpr double startPriorSeconds = 30.0;
constexpr double startBonus = 1.0;

long positiveMod(long a, long n) {
    long const m = a % n;
    return m < 0 ? m + n : m;
}

} // namespace

void BarChooser::configure(double accentRate, unsigned int bands, double sampleRate) {
    rate = accentRate;
    openingLength =
        sampleRate > 0.0 && sampleRate < 1e6 ? static_cast<unsigned long>(openingSeconds * sampleRate) : 0;
    audioRate = sampleRate;
    nBands = bands;
    usable = bands == layoutBands && accentRate > 0.0 && accentRate < 1000.0;
    ring.resize(usable ? static_cast<unsigned int>(std::ceil(judgedSeconds * accentRate)) + 32 : 1,
                usable ? bands : 1);
    auto const maxBeats = static_cast<std::size_t>(judgedSeconds * 5.0) + 2; // up to 300 BPM
    attacks.reserve(maxBeats * nBands);
    present.reserve(maxBeats);
    beginning.reserve(usable ? static_cast<std::size_t>(beginSearchSeconds * accentRate) : 0);
    entry.configure(usable ? accentRate : 0.0);
    reset();
}

void BarChooser::reset() {
    framesStored = 0;
    keptBeats = 0;
    keptDownbeat = 0.0;
    judgedLengths = 0;
    beginAgain(-1.0);
    beginning.clear();
    entry.reset();
    entryTime = -1.0;
    samplesHeard = 0;
    soundStart = -1.0;
    soundJudged = false;
    quietestStretch = std::numeric_limits<double>::infinity();
    stretchLevel = 0.0;
    stretchBlocks = 0;
    std::fill(std::begin(recentLevels), std::end(recentLevels), 0.0);
}

void BarChooser::addFrames(ARGMathLibrary::Matrix<double> const& bands, unsigned int firstColumn,
                           unsigned int first, unsigned int count) {
    if (!usable || bands.nRows() < nBands || firstColumn + count > bands.nCols() || first != framesStored)
        return;
    unsigned int const n = ring.nRows();
    for (unsigned int i = 0; i < count; ++i) {
        double* const row = ring[(first + i) % n];
        double total = 0.0;
        for (unsigned int b = 0; b < nBands; ++b) {
            row[b] = bands[b][firstColumn + i];
            total += row[b];
        }
        watchBeginning(first + i, total);
        unsigned int peakFrame = 0;
        if (entry.add(first + i, total, peakFrame))
            entryTime = (peakFrame + 1.5) / rate;
    }
    framesStored = first + count;
}

void BarChooser::addAudio(double const* samples, unsigned int count) {
    for (unsigned int i = 0; i < count && !soundJudged; i += silenceBlock) {
        unsigned int const n = std::min(silenceBlock, count - i);
        // Around zero, not the block's own mean: that would take away more or less of the hum's
        // slow cycle from block to block.
        double level = 0.0;
        for (unsigned int j = 0; j < n; ++j)
            level += samples[i + j] * samples[i + j] / n;
        // The stretch up to this block: what one block of hum lacks, the others hold.
        stretchLevel += (level - recentLevels[stretchBlocks % blocksPerStretch]) / blocksPerStretch;
        recentLevels[stretchBlocks++ % blocksPerStretch] = level;
        bool const hiss = level < hissCeiling &&
                          (stretchBlocks <= blocksPerStretch || stretchLevel < hissMargin * quietestStretch);
        if (stretchBlocks >= blocksPerStretch)
            quietestStretch = std::min(quietestStretch, stretchLevel);
        if (!silentBlock(samples + i, n) && !hiss) {
            soundJudged = true;
            if (openingLength > 0 && samplesHeard >= openingLength)
                soundStart = static_cast<double>(samplesHeard) / audioRate;
        }
        samplesHeard += n;
    }
}

void BarChooser::watchBeginning(unsigned int frame, double total) {
    // Sound after silence is heard before its accent frames arrive.
    auto const frames = static_cast<std::size_t>(beginSearchSeconds * rate);
    if (!(soundStart >= 0.0) || beginning.size() >= frames)
        return;
    if (beginning.empty()) {
        double const soundFrame = std::floor((soundStart - secondsBeforeSound) * rate);
        if (frame < std::max(std::ceil(settleSeconds * rate), soundFrame))
            return;
        beginFrame = frame;
    }
    bool const silent = (frame + 1.5) / rate < soundStart - silentFramesBeforeSound;
    beginning.push_back(std::isfinite(total) && !silent ? total : 0.0);
    if (beginning.size() < frames)
        return;
    double const loudest = *std::max_element(beginning.begin(), beginning.end());
    for (std::size_t i = 0; i < beginning.size(); ++i) {
        if (!(beginning[i] >= beginShareOfLoudest * loudest) || !(loudest > 0.0))
            continue;
        // What came before the onset began to rise.
        if (i < riseFrames + quietFramesNeeded)
            return;
        double const before =
            std::accumulate(beginning.begin(), beginning.begin() + static_cast<long>(i - riseFrames), 0.0) /
            static_cast<double>(i - riseFrames);
        if (!(beginning[i] > onsetJump * before))
            return;
        // The onset's time is its accent peak, where the beat grid puts a beat.
        while (i + 1 < beginning.size() && beginning[i + 1] > beginning[i])
            ++i;
        startTime = (beginFrame + i + 1.5) / rate;
        return;
    }
}

double BarChooser::takeEntry() {
    double const t = entryTime;
    entryTime = -1.0;
    return t;
}

void BarChooser::beginAgain(double time) {
    startTime = time;
    startBorneOut = 0;
    beatsSinceStart = -1;
    lastBeatTime = 0.0;
    lastBeatPeriod = 0.0;
}

double BarChooser::attackIn(long at, unsigned int band) const {
    double strongest = 0.0;
    for (long f = at - attackBefore; f <= at + attackAfter; ++f)
        strongest = std::max(strongest, ring[static_cast<unsigned int>(f) % ring.nRows()][band]);
    return strongest;
}

bool BarChooser::beforeTheMusic(long frame) const {
    return soundStart >= 0.0 && (static_cast<double>(frame + attackAfter) + 1.5) / rate < soundStart;
}

bool BarChooser::halvesOfBeat(double beatPeriod, double beatTime, double kickHalf[bandGroups],
                              double otherHalf[bandGroups]) const {
    static_assert(bandGroups == nGroups);
    if (!usable || !(beatPeriod > 0.0) || !std::isfinite(beatPeriod) || !std::isfinite(beatTime) ||
        framesStored == 0)
        return false;
    long const oldest = std::max(static_cast<long>(framesStored) - static_cast<long>(ring.nRows()) + 1, 0L);
    long const newest = static_cast<long>(framesStored) - 1;
    // Attacks on every quarter beat back from the newest heard, counted from beatTime's grid:
    // a beat grid on the "and" of the music's own beats has its halves on quarters.
    double const quarter = 0.25 * beatPeriod;
    double const latest = (newest - attackAfter + 1.5) / rate;
    double const back = std::floor((latest - beatTime) / quarter);
    if (!(std::fabs(back) < 1e9))
        return false;
    double sums[4][nGroups] = {};
    unsigned int counts[4] = {};
    auto const quarters = static_cast<unsigned int>(std::min(judgedSeconds / quarter, judgedSeconds * 20.0));
    for (unsigned int k = 0; k < quarters; ++k) {
        long const at = std::lround((beatTime + (back - k) * quarter) * rate - 1.5);
        if (at - attackBefore < oldest || at + attackAfter > newest)
            continue;
        auto const place = static_cast<unsigned int>(positiveMod(static_cast<long>(back) - k, 4));
        ++counts[place];
        for (unsigned int g = 0; g < nGroups; ++g)
            for (unsigned int b = groupEdges[g]; b < groupEdges[g + 1]; ++b) {
                sums[place][g] += attackIn(at, b);
            }
    }
    for (unsigned int place = 0; place < 4; ++place)
        if (counts[place] < minBeats)
            return false;
    // The half the kick marks: the quarter where the lowest group hits hardest.
    unsigned int kick = 0;
    for (unsigned int place = 1; place < 4; ++place)
        if (sums[place][0] / counts[place] > sums[kick][0] / counts[kick])
            kick = place;
    unsigned int const other = (kick + 2) % 4;
    for (unsigned int g = 0; g < nGroups; ++g) {
        kickHalf[g] = sums[kick][g] / counts[kick];
        otherHalf[g] = sums[other][g] / counts[other];
    }
    return true;
}

bool BarChooser::choose(double beatPeriod, double beatTime, unsigned int& beatsPerBar, double& downbeatTime) {
    if (!usable || !(beatPeriod > 0.0) || !std::isfinite(beatPeriod) || !std::isfinite(beatTime) ||
        framesStored == 0)
        return false;
    long const oldest = static_cast<long>(framesStored) - static_cast<long>(ring.nRows()) + 1;
    long const newest = static_cast<long>(framesStored) - 1;

    // Each beat's attack in every band, newest beat first; beats whose attack is not wholly
    // heard (yet, or any more) are marked absent but keep their place in the count.
    auto const nBeats =
        static_cast<unsigned int>(std::min(judgedSeconds / beatPeriod, judgedSeconds * 5.0)) + 1;
    attacks.assign(static_cast<std::size_t>(nBeats) * nBands, 0.0);
    present.assign(nBeats, 0.0);
    unsigned int heard = 0;
    for (unsigned int k = 0; k < nBeats; ++k) {
        long const at = std::lround((beatTime - k * beatPeriod) * rate - 1.5);
        if (at - attackBefore < std::max(oldest, 0L) || at + attackAfter > newest || beforeTheMusic(at))
            continue;
        present[k] = 1.0;
        ++heard;
        double* const attack = &attacks[k * nBands];
        for (unsigned int b = 0; b < nBands; ++b)
            attack[b] = attackIn(at, b);
    }

    // The beat that the beginning of the music makes a downbeat, counted back from beatTime
    // (−1 when there is none to go by). The beats are counted from call to call, so that the
    // count follows a changing tempo; a grid that moves off its beats counts anew from the
    // beginning, but only in the first seconds: later the tempo may have moved since.
    bool const firstSeconds = beatTime - startTime <= startPriorSeconds;
    if (startTime >= 0.0 && beatTime >= startTime) {
        // Beats counted at another metrical level are no count at this one.
        if (std::fabs(beatPeriod / lastBeatPeriod - 1.0) > 0.1)
            beatsSinceStart = -1;
        if (beatsSinceStart < 0 && !firstSeconds)
            startBorneOut = 0;
        lastBeatPeriod = beatPeriod;
        double const since = beatsSinceStart < 0 ? startTime : lastBeatTime;
        double const beats = (beatTime - since) / beatPeriod;
        long const counted = std::fabs(beats) < 1e6 && std::fabs(beats - std::round(beats)) < 0.25
                                 ? std::max(beatsSinceStart, 0L) + std::lround(beats)
                                 : -1;
        beatsSinceStart = counted;
        lastBeatTime = beatTime;
    }
    long const startBeatsBack =
        startTime >= 0.0 && (firstSeconds || startBorneOut > 0) ? beatsSinceStart : -1;
    if (heard < (startBeatsBack >= 0 ? minBeatsAfterBeginning : minBeats)) {
        // Too few beats for the template, but enough to place the music's first bars.
        if (startBeatsBack < 0 || heard == 0)
            return false;
        unsigned int const N = keptBeats != 0 ? keptBeats : 4;
        beatsPerBar = N;
        downbeatTime = beatTime - static_cast<double>(positiveMod(startBeatsBack, N)) * beatPeriod;
        keptBeats = N;
        keptDownbeat = downbeatTime;
        return true;
    }

    // Bar length from repetition: how alike the attacks of beats `lag` apart are.
    auto const likeness = [&](unsigned int lag, unsigned int& pairs) {
        double sum = 0.0;
        pairs = 0;
        for (unsigned int k = 0; k + lag < nBeats; ++k) {
            if (present[k] == 0.0 || present[k + lag] == 0.0)
                continue;
            double dot = 0.0, n1 = 0.0, n2 = 0.0;
            for (unsigned int b = 0; b < nBands; ++b) {
                double const x = attacks[k * nBands + b], y = attacks[(k + lag) * nBands + b];
                dot += x * y;
                n1 += x * x;
                n2 += y * y;
            }
            // Beats of near silence (a ring-out's accents decayed to 1e-160) say nothing of the
            // bar, and their squared norms underflow: the cosine came out infinite, and once in
            // the smoothed repetition it held the bar length for the rest of the stream.
            double const norms = n1 * n2;
            if (std::isnormal(norms)) {
                sum += dot / std::sqrt(norms);
                ++pairs;
            }
        }
        return pairs > 0 ? sum / pairs : 0.0;
    };
    // Beats one and two bars apart; the second only once enough of it is heard.
    auto const repetition = [&](unsigned int length) {
        unsigned int pairs = 0, pairsTwice = 0;
        double const once = likeness(length, pairs), twice = likeness(2 * length, pairsTwice);
        if (pairs < minPairs)
            return -1.0;
        return (pairsTwice >= minPairs ? 0.5 * (once + twice) : once) - lengthPenalty[length];
    };
    // Lengths compete on their repetition smoothed over the last steps, so that a fill or a
    // break does not change the bar for a moment.
    for (unsigned int length = minLength; length <= maxLength; ++length) {
        double const r = repetition(length);
        double& smoothed = smoothedRepetition[length - minLength];
        smoothed = judgedLengths == 0 ? r : repetitionMemory * smoothed + (1.0 - repetitionMemory) * r;
    }
    ++judgedLengths;
    unsigned int const kept = keptBeats >= minLength && keptBeats <= maxLength ? keptBeats : 4;
    unsigned int N = kept;
    double bestRepetition = -std::numeric_limits<double>::infinity();
    for (unsigned int length = minLength; length <= maxLength; ++length) {
        double const r = smoothedRepetition[length - minLength];
        if (length != kept && r > bestRepetition &&
            r > smoothedRepetition[kept - minLength] + (length == 4 ? 0.0 : lengthMargin)) {
            bestRepetition = r;
            N = length;
        }
    }

    // Each group's attacks per beat of the bar, as log ratios to their mean over the bar.
    double share[maxLength][nGroups] = {};
    for (unsigned int k = 0; k < nBeats; ++k) {
        if (present[k] == 0.0)
            continue;
        for (unsigned int g = 0; g < nGroups; ++g)
            for (unsigned int b = groupEdges[g]; b < groupEdges[g + 1]; ++b)
                share[k % N][g] += attacks[k * nBands + b];
    }
    for (unsigned int g = 0; g < nGroups; ++g) {
        double mean = 0.0;
        for (unsigned int p = 0; p < N; ++p)
            mean += share[p][g] / N;
        for (unsigned int p = 0; p < N; ++p)
            share[p][g] = std::log((share[p][g] + 1e-6) / (mean + 1e-6));
    }

    // The downbeat `r` beats before beatTime scores the template over the bar that starts
    // there; a three-beat bar has no third beat of the template (its last beat is the one
    // before a downbeat, like the fourth). Bars of five to seven beats group their beats in
    // twos and threes in many ways, alike only in the kick that starts them.
    static constexpr int offsets4[4] = {0, 1, 2, 3};
    static constexpr int offsets3[4] = {0, 1, -1, -1};
    static constexpr unsigned int rows3[3] = {0, 1, 3};
    double score[maxLength] = {};
    for (unsigned int r = 0; r < N; ++r) {
        if (N > 4) {
            score[r] = share[r][0];
            continue;
        }
        for (unsigned int j = 0; j < N; ++j) {
            unsigned int const row = N == 4 ? j : rows3[j];
            int const after = N == 4 ? offsets4[j] : offsets3[j];
            auto const p = static_cast<unsigned int>(positiveMod(static_cast<long>(r) - after, N));
            for (unsigned int g = 0; g < nGroups; ++g)
                score[r] += barTemplate[row][g] * share[p][g];
        }
    }
    if (startBeatsBack >= 0)
        score[positiveMod(startBeatsBack, N)] += startBonus;
    unsigned int best = 0;
    for (unsigned int r = 1; r < N; ++r)
        if (score[r] > score[best])
            best = r;
    if (startBeatsBack >= 0 && firstSeconds)
        startBorneOut += best == positiveMod(startBeatsBack, N) ? 1 : -1;
    if (keptBeats == N) {
        double const back = std::round((beatTime - keptDownbeat) / beatPeriod);
        if (std::fabs(back) < 1e9) {
            auto const keptAt = static_cast<unsigned int>(positiveMod(static_cast<long>(back), N));
            bool const byHalfBar = N == 4 && (best + 4 - keptAt) % 4 == 2;
            if (score[best] - score[keptAt] < (byHalfBar ? halfBarMoveMargin : moveMargin))
                best = keptAt;
        }
    }
    beatsPerBar = N;
    downbeatTime = beatTime - best * beatPeriod;
    keptBeats = N;
    keptDownbeat = downbeatTime;
    return true;
}

} // namespace meterTracker
