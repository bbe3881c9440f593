/* Deterministic drum-machine music for tests and benchmarks: kick, snare and hi-hat patterns
 * with an accented downbeat (a louder kick plus a bass note), at a given tempo and meter,
 * optionally with a linear tempo ramp. Every beat's onset time is known exactly, so tests can
 * compare tracked beats with the truth.
 */
#ifndef BEATLUME_SYNTH_MUSIC_H
#define BEATLUME_SYNTH_MUSIC_H

#include <cstdint>
#include <vector>

namespace synth {

struct MusicSpec {
    double bpm = 120.0;           // tempo at the start (beats per minute)
    double endBpm = 0.0;          // tempo at the end for a linear ramp in time; 0 = constant tempo
    unsigned int beatsPerBar = 4; // 4 for 4/4, 3 for 3/4, ...
    double seconds = 10.0;
    unsigned int sampleRate = 44100;
    double startOffset = 0.0; // time of the first beat (s)
    std::uint32_t seed = 1;   // noise seed: same spec, same samples
    double gain = 0.5;        // overall level (a downbeat kick peaks near this)
};

// Onset times (s) of every beat inside the duration; the first is a downbeat.
std::vector<double> beatTimes(MusicSpec const& spec);
// Onset times (s) of every bar's first beat.
std::vector<double> downbeatTimes(MusicSpec const& spec);
// The rendered mono signal, spec.seconds long.
std::vector<double> renderMusic(MusicSpec const& spec);
// Same signal as float (for sound files and audio blocks).
std::vector<float> renderMusicFloat(MusicSpec const& spec);

} // namespace synth

#endif
