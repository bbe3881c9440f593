#include "TrackingStatus.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {
double sane(double value, double low, double high, double fallback) {
    return std::isfinite(value) ? std::clamp(value, low, high) : fallback;
}
} // namespace

std::string formatStatus(const TrackingReading& r, const std::string& note) {
    const double barPhase = sane(r.barPhase, 0.0, 1e9, 0.0);
    const int beats = static_cast<int>(std::round(sane(r.beatsPerBar, 1.0, 32.0, 4.0)));
    const long bar = static_cast<long>(barPhase) + 1;
    const int beat = std::min(static_cast<int>((barPhase - std::floor(barPhase)) * beats), beats - 1) + 1;
    char line[256];
    std::snprintf(line, sizeof line, "%5.1f BPM  %ld.%d  %s  confidence %.2f  level %.0f dB",
                  sane(r.bpm, 0.0, 9999.0, 0.0), bar, beat, r.state ? r.state : "unknown",
                  sane(r.confidence, 0.0, 1.0, 0.0), sane(r.levelDb, -100.0, 100.0, -100.0));
    std::string text = line;
    if (!note.empty())
        text += "  | " + note;
    return text;
}
