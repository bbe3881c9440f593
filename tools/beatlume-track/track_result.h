/* What a tracking run over a sound file produces, whatever mode ran it. */
#ifndef BEATLUME_TRACK_RESULT_H
#define BEATLUME_TRACK_RESULT_H

#include <cstddef>
#include <vector>

// One analysis step's estimates, all in seconds on the audio's time line.
struct StepEstimate {
    double audioTime; // audio fed when the step completed
    double tatumPeriod, beatPeriod, barPeriod;
    double tatumPhase, beatPhase, barPhase; // latest tick of each level
    double beatyness;
};

struct TrackResult {
    std::size_t samples = 0; // mono samples analysed at the tracker's rate
    double seconds = 0.0;
    std::vector<StepEstimate> steps;
    std::vector<double> tatums, beats, downbeats; // tick times
    bool silent = false;                          // nothing but (near) digital silence
};

#endif
