#include "playback/statistics_json.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kolm/sys/sys.h"

namespace {

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

// Nearest rank over a sorted list: the smallest value with at least p % of
// the list at or below it.
double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
  const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

std::string statisticsJson(const PlaybackStatistics& statistics) {
  // A value that is no number would make the JSON invalid and the sort
  // undefined; none should come, so none is counted.
  std::vector<double> lateness;
  lateness.reserve(statistics.latenessMs.size());
  for (double value : statistics.latenessMs)
    if (std::isfinite(value)) lateness.push_back(value);
  std::sort(lateness.begin(), lateness.end());
  double sum = 0;
  for (double value : lateness) sum += value;
  const double mean = lateness.empty() ? 0 : sum / static_cast<double>(lateness.size());
  const double max = lateness.empty() ? 0 : lateness.back();
  std::vector<double> seekLatency;
  for (double value : statistics.seekLatencyMs)
    if (std::isfinite(value)) seekLatency.push_back(value);
  std::sort(seekLatency.begin(), seekLatency.end());

  return "{\"path\": " + quoted(statistics.path) + ", \"pictures\": " + std::to_string(statistics.pictures) +
         ", \"early_pictures\": " + std::to_string(statistics.earlyPictures) + ", \"lateness_ms\": {\"mean\": " +
         number(mean) + ", \"p50\": " + number(percentile(lateness, 50)) +
         ", \"p99\": " + number(percentile(lateness, 99)) + ", \"max\": " + number(max) +
         "}, \"sound\": {\"blocks_played\": " + std::to_string(statistics.blocksPlayed) +
         ", \"blocks_dropped\": " + std::to_string(statistics.blocksDropped) +
         ", \"underruns\": " + std::to_string(statistics.underruns) + "}, \"seeks\": {\"count\": " +
         std::to_string(statistics.seeks) + ", \"latency_ms\": {\"p50\": " + number(percentile(seekLatency, 50)) +
         ", \"max\": " + number(seekLatency.empty() ? 0 : seekLatency.back()) +
         "}}, \"paused_ms\": " + number(statistics.pausedMs) + "}\n";
}

bool writeStatisticsJson(const std::string& path, const PlaybackStatistics& statistics, std::string* error) {
  const std::string text = statisticsJson(statistics);
  const bool toStdout = path == "-";
  FILE* file = toStdout ? stdout : kolm::sys::openFile(path.c_str(), "w");
  if (!file) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = (toStdout ? std::fflush(file) == 0 : std::fclose(file) == 0) && ok;
  if (!ok && error) *error = std::strerror(errno);
  return ok;
}
