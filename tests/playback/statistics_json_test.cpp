// The --stats-json object: its keys, the lateness figures and hostile values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "playback/statistics_json.h"

namespace {

TEST(StatisticsJson, KeysAndFiguresOfOnePlayback) {
  PlaybackStatistics statistics;
  statistics.path = "ogg";
  statistics.pictures = 4;
  statistics.earlyPictures = 1;
  statistics.latenessMs = {40, 10, 20, 30};  // in the order shown, not sorted
  statistics.blocksPlayed = 12;
  statistics.blocksDropped = 2;
  statistics.underruns = 3;
  statistics.seeks = 3;  // one showed nothing (past the end)
  statistics.seekLatencyMs = {90, 30};
  statistics.pausedMs = 1500;
  EXPECT_EQ(statisticsJson(statistics),
            "{\"path\": \"ogg\", \"pictures\": 4, \"early_pictures\": 1, \"lateness_ms\": {\"mean\": 25.000, "
            "\"p50\": 20.000, \"p99\": 40.000, \"max\": 40.000}, \"sound\": {\"blocks_played\": 12, "
            "\"blocks_dropped\": 2, \"underruns\": 3}, \"seeks\": {\"count\": 3, \"latency_ms\": {\"p50\": 30.000, "
            "\"max\": 90.000}}, \"paused_ms\": 1500.000}\n");
}

TEST(StatisticsJson, NothingShownIsAllZeros) {
  EXPECT_EQ(statisticsJson(PlaybackStatistics{}),
            "{\"path\": \"\", \"pictures\": 0, \"early_pictures\": 0, \"lateness_ms\": {\"mean\": 0.000, "
            "\"p50\": 0.000, \"p99\": 0.000, \"max\": 0.000}, \"sound\": {\"blocks_played\": 0, "
            "\"blocks_dropped\": 0, \"underruns\": 0}, \"seeks\": {\"count\": 0, \"latency_ms\": {\"p50\": 0.000, "
            "\"max\": 0.000}}, \"paused_ms\": 0.000}\n");
}

TEST(StatisticsJson, PercentilesOfALongListAndValuesThatAreNoNumbers) {
  PlaybackStatistics statistics;
  for (int i = 200; i >= 1; --i) statistics.latenessMs.push_back(i - 101);  // -100 .. 99
  statistics.latenessMs.push_back(std::numeric_limits<double>::quiet_NaN());
  statistics.latenessMs.push_back(std::numeric_limits<double>::infinity());
  statistics.path = "a\"b\\c\n";
  const std::string text = statisticsJson(statistics);
  EXPECT_NE(text.find("\"path\": \"a\\\"b\\\\c\\u000a\""), std::string::npos) << text;
  EXPECT_NE(text.find("{\"mean\": -0.500, \"p50\": -1.000, \"p99\": 97.000, \"max\": 99.000}"), std::string::npos)
      << text;
}

TEST(StatisticsJson, WrittenWholeOrRefused) {
  const std::string path = ::testing::TempDir() + "zarvel-statistics.json";
  ASSERT_TRUE(writeStatisticsJson(path, PlaybackStatistics{}, nullptr));
  FILE* file = std::fopen(path.c_str(), "r");
  ASSERT_NE(file, nullptr);
  char text[512] = {};
  EXPECT_GT(std::fread(text, 1, sizeof text - 1, file), 0u);
  std::fclose(file);
  std::remove(path.c_str());
  EXPECT_EQ(std::string(text), statisticsJson(PlaybackStatistics{}));

  std::string error;
  EXPECT_FALSE(writeStatisticsJson("/nonexistent/dir/out.json", PlaybackStatistics{}, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
