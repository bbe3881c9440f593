#pragma once

#include <string>

// What the headless status line shows of the tracking, read from the engine a few times a second.
struct TrackingReading {
    double bpm = 0.0;
    double barPhase = 0.0;       // full phase: bars plus fraction
    double beatsPerBar = 4.0;
    const char* state = "searching";
    double confidence = 0.0;     // 0 … 1
    double levelDb = -100.0;
};

// "120.0 BPM  12.3  locked  confidence 0.92  level -14 dB" (bar 12, beat 3), with "  | note" when
// one is given. Non-finite or absurd readings show as 0 or the nearest sane value.
std::string formatStatus(const TrackingReading& reading, const std::string& note);
