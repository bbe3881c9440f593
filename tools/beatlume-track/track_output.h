/* The files and the summary beatlume-track writes. */
#ifndef BEATLUME_TRACK_OUTPUT_H
#define BEATLUME_TRACK_OUTPUT_H

#include "audio_source.h"
#include "track_result.h"

#include <cstdio>
#include <string>
#include <vector>

// One time in seconds per line ("%.6f"). False when the file cannot be written.
bool writeTimes(std::string const& path, std::vector<double> const& times);

// A header line, then one tab-separated row per analysis step.
bool writeEstimates(std::string const& path, std::vector<StepEstimate> const& steps);

// The one-paragraph summary: duration, steps, final tempo and bar length.
void printSummary(std::FILE* out, std::string const& name, AudioSource const& source,
                  TrackResult const& result);

#endif
