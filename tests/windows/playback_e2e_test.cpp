// End to end: zarvel.exe plays each demo clip to its end in its window, with
// the Direct3D 9 presenter and DirectSound (the null device where no sound
// card opens), writes the statistics line to the debug output and exits 0.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>

#include "zarvel_process.h"

namespace {

using namespace zarvel_test;

struct Clip {
  const char* file;
  const char* path;   // decode path in the statistics
  bool sound;
  const char* line;   // the statistics line
  long pictures;      // every picture of the clip
};
void PrintTo(const Clip& clip, std::ostream* out) { *out << clip.file; }

std::string tempFile(const char* name) {
  char folder[MAX_PATH + 1] = "";
  GetTempPathA(sizeof folder, folder);
  return std::string(folder) + name;
}

class DemoPlayback : public ::testing::TestWithParam<Clip> {};

TEST_P(DemoPlayback, PlaysToTheEndAndWritesTheStatisticsLine) {
  const Clip clip = GetParam();
  const std::string json = tempFile("zarvel-playback-e2e.json");
  DeleteFileA(json.c_str());
  {
    DebuggedZarvel zarvel("--exit-at-end --stats-json \"" + json + "\" \"" + sample(clip.file) + "\"");
    ASSERT_TRUE(zarvel.running());
    // Five seconds of film, and the program's start and end under Wine.
    EXPECT_EQ(zarvel.waitForExit(90000), 0);
    const std::string line = zarvel.waitForLine("zarvel : ", 0);
    EXPECT_TRUE(std::regex_match(line, std::regex(clip.line))) << "statistics line: \"" << line << "\"";
    for (const std::string& other : zarvel.lines()) EXPECT_EQ(other.find("cannot"), std::string::npos) << other;
  }
  std::ifstream in(json);
  std::stringstream text;
  text << in.rdbuf();
  in.close();
  DeleteFileA(json.c_str());
  std::smatch match;
  const std::string statistics = text.str();
  ASSERT_TRUE(std::regex_search(statistics, match,
                                std::regex(R"re(\{"path": "(\w+)", "pictures": (\d+), "early_pictures": (\d+), )re"
                                           R"re(.*"sound": \{"blocks_played": (\d+),)re")))
      << statistics;
  EXPECT_EQ(match[1].str(), clip.path);
  EXPECT_EQ(std::stol(match[2]), clip.pictures);
  EXPECT_EQ(match[3].str(), "0") << "pictures shown before their time";
  // How late the pictures came, for the log: a presenter slow to start shows
  // here as the first pictures' lateness.
  std::smatch late;
  if (std::regex_search(statistics, late, std::regex(R"re("p99": ([\d.]+), "max": ([\d.]+))re")))
    std::printf("[ lateness ] %s: p99 %s ms, max %s ms\n", clip.file, late[1].str().c_str(), late[2].str().c_str());
  if (clip.sound) {
    EXPECT_GT(std::stol(match[4]), 0) << "the sound did not play";
  } else {
    EXPECT_EQ(match[4].str(), "0");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Demos, DemoPlayback,
    ::testing::Values(Clip{"demo.mpg", "mpeg1", true, R"(zarvel : \d+:\d\d\.\d\d\d)", 125},
                      Clip{"demo.ogv", "ogg", true, R"(zarvel : total \d+:\d\d\.\d\d\d, decode \d+:\d\d\.\d\d\d)", 125}),
    [](const ::testing::TestParamInfo<Clip>& info) { return std::string(info.param.path); });

}  // namespace

namespace {

// --overlay on an adapter without overlays (Wine's has none): said once on
// the debug output, and the pictures go through Direct3D to the end.
TEST(OverlaySwitch, WithoutAnOverlayTheFilePlaysThroughDirect3D) {
  DebuggedZarvel zarvel("--overlay --exit-at-end \"" + sample("demo.mpg") + "\"");
  ASSERT_TRUE(zarvel.running());
  EXPECT_EQ(zarvel.waitForExit(90000), 0);
  EXPECT_NE(zarvel.waitForLine("zarvel: no display overlay can be had", 0), "");
  EXPECT_NE(zarvel.waitForLine("zarvel : ", 0), "");
}

}  // namespace
