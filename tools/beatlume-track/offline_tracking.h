/* --offline: the meter tracker alone over the whole file, as fast as it runs. */
#ifndef BEATLUME_TRACK_OFFLINE_TRACKING_H
#define BEATLUME_TRACK_OFFLINE_TRACKING_H

#include "audio_source.h"
#include "track_result.h"

#include <string>

// Feeds the source to a new tracker in blocks of 128 samples, processing after every block,
// and collects every step's estimates and, at the end, the complete tick lists. The dump
// file is written when dumpPath is not empty; `dumped` is false when that failed.
TrackResult trackOffline(AudioSource& source, std::string const& dumpPath, bool& dumped);

#endif
