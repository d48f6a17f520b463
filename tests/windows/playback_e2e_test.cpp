// End to end: zarvel.exe plays each demo clip to its end in its window, with
// the Direct3D 9 presenter and DirectSound (the null device where no sound
// card opens), writes the statistics line to the debug output and exits 0;
// and the release zip's copy plays FFmpeg's files with the DLLs beside it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

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

// What one play of a file to its end showed and played (--stats-json), and
// the program's debug lines.
struct Played {
  long exitCode = -1;
  std::string line;  // the statistics line
  std::vector<std::string> lines;
  std::string path;
  long pictures = -1;
  long earlyPictures = -1;
  long soundBlocks = -1;
};

void playToTheEnd(const std::string& file, const std::string& program, Played* played) {
  const std::string json = tempFile("zarvel-playback-e2e.json");
  DeleteFileA(json.c_str());
  {
    DebuggedZarvel zarvel("--exit-at-end --stats-json \"" + json + "\" \"" + file + "\"", "", program);
    ASSERT_TRUE(zarvel.running()) << program;
    // Seconds of film, and the program's start and end under Wine.
    played->exitCode = zarvel.waitForExit(90000);
    played->line = zarvel.waitForLine("zarvel : ", 0);
    played->lines = zarvel.lines();
  }
  std::ifstream in(json);
  std::stringstream text;
  text << in.rdbuf();
  in.close();
  DeleteFileA(json.c_str());
  std::smatch match;
  const std::string statistics = text.str();
  std::string said;
  for (const std::string& line : played->lines) said += "\n  " + line;
  ASSERT_TRUE(std::regex_search(statistics, match,
                                std::regex(R"re(\{"path": "(\w+)", "pictures": (\d+), "early_pictures": (\d+), )re"
                                           R"re(.*"sound": \{"blocks_played": (\d+),)re")))
      << "statistics: \"" << statistics << "\", exit code " << played->exitCode << ", debug output:" << said;
  played->path = match[1].str();
  played->pictures = std::stol(match[2]);
  played->earlyPictures = std::stol(match[3]);
  played->soundBlocks = std::stol(match[4]);
  // How late the pictures came, for the log: a presenter slow to start shows
  // here as the first pictures' lateness.
  std::smatch late;
  if (std::regex_search(statistics, late, std::regex(R"re("p99": ([\d.]+), "max": ([\d.]+))re")))
    std::printf("[ lateness ] %s: p99 %s ms, max %s ms\n", file.c_str(), late[1].str().c_str(),
                late[2].str().c_str());
}

class DemoPlayback : public ::testing::TestWithParam<Clip> {};

TEST_P(DemoPlayback, PlaysToTheEndAndWritesTheStatisticsLine) {
  const Clip clip = GetParam();
  Played played;
  ASSERT_NO_FATAL_FAILURE(playToTheEnd(sample(clip.file), ZARVEL_PROGRAM, &played));
  EXPECT_EQ(played.exitCode, 0);
  EXPECT_TRUE(std::regex_match(played.line, std::regex(clip.line))) << "statistics line: \"" << played.line << "\"";
  for (const std::string& other : played.lines) EXPECT_EQ(other.find("cannot"), std::string::npos) << other;
  EXPECT_EQ(played.path, clip.path);
  EXPECT_EQ(played.pictures, clip.pictures);
  EXPECT_EQ(played.earlyPictures, 0) << "pictures shown before their time";
  if (clip.sound) {
    EXPECT_GT(played.soundBlocks, 0) << "the sound did not play";
  } else {
    EXPECT_EQ(played.soundBlocks, 0);
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

namespace {

// The release zip as a user unpacks it (tools/check-windows unpacks it and
// names the folder in ZARVEL_WINDOWS_RELEASE): zarvel.exe finds FFmpeg's
// DLLs beside it and plays the common files with their sound.
class ReleasePlayback : public ::testing::TestWithParam<Clip> {};

TEST_P(ReleasePlayback, PlaysThroughTheFFmpegBesideIt) {
  const char* folder = std::getenv("ZARVEL_WINDOWS_RELEASE");
  if (!folder || !*folder)
    GTEST_SKIP() << "ZARVEL_WINDOWS_RELEASE names no unpacked release zip (tools/check-windows sets it)";
  const Clip clip = GetParam();
  Played played;
  ASSERT_NO_FATAL_FAILURE(playToTheEnd(fixture(clip.file), windowsPath(std::string(folder) + "/zarvel.exe"), &played));
  for (const std::string& line : played.lines) {
    EXPECT_EQ(line.find("not installed"), std::string::npos) << line;
    EXPECT_EQ(line.find("cannot"), std::string::npos) << line;
    EXPECT_EQ(line.find("stopped"), std::string::npos) << line;
  }
  EXPECT_EQ(played.exitCode, 0);
  EXPECT_TRUE(std::regex_match(played.line, std::regex(clip.line))) << "statistics line: \"" << played.line << "\"";
  EXPECT_EQ(played.path, clip.path);
  EXPECT_EQ(played.pictures, clip.pictures);
  EXPECT_EQ(played.earlyPictures, 0) << "pictures shown before their time";
  EXPECT_GT(played.soundBlocks, 0) << "the sound did not play";
}

INSTANTIATE_TEST_SUITE_P(
    Release, ReleasePlayback,
    ::testing::Values(Clip{"mp4-h264-176x120.mp4", "ffmpeg", true, R"(zarvel : \d+:\d\d\.\d\d\d)", 25},
                      Clip{"webm-vp8-177x101.webm", "ffmpeg", true, R"(zarvel : \d+:\d\d\.\d\d\d)", 30}),
    [](const ::testing::TestParamInfo<Clip>& info) {
      std::string name = info.param.file;
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

}  // namespace
