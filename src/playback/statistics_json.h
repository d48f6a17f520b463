#pragma once

#include <string>

#include "playback/player.h"

// What one file's playback showed and played, as the one JSON object that
// --stats-json writes: {"path", "pictures", "early_pictures", "lateness_ms":
// {"mean", "p50", "p99", "max"}, "sound": {"blocks_played", "blocks_dropped",
// "underruns"}}, on one line with a line feed.
std::string statisticsJson(const PlaybackStatistics& statistics);

// Writes the object to path, or to standard output for "-". False with the
// reason in *error when it could not be written whole.
bool writeStatisticsJson(const std::string& path, const PlaybackStatistics& statistics, std::string* error);
