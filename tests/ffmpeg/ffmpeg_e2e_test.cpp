// End to end: zarvel-decode's FFmpeg path against FFmpeg's own decodes of the fixtures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>

#include "support/fixtures.h"

namespace {

const std::string kTool = ZARVEL_DECODE;

double framePsnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  return sum == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / sum);
}

// Decodes file through the tool and checks it against reference: the same
// count and size, identical pictures up to converted, then above 50 dB.
void expectMatches(const std::string& file, const std::string& arguments, const std::string& reference,
                   std::size_t converted, const std::string& path) {
  SCOPED_TRACE(file);
  const std::string out = fixtures::tempPath(".y4m");
  std::string printed;
  ASSERT_EQ(fixtures::runTool(kTool, fixtures::dataPath(file) + " " + arguments + " --y4m " + out, &printed), 0);
  EXPECT_NE(printed.find("path " + path), std::string::npos) << printed;
  fixtures::Video ours, expected;
  ASSERT_TRUE(fixtures::readY4m(out, ours));
  std::remove(out.c_str());
  ASSERT_TRUE(fixtures::readY4m(fixtures::dataPath(reference), expected));
  EXPECT_EQ(ours.width, expected.width);
  EXPECT_EQ(ours.height, expected.height);
  // A variable-rate file has no one rate: ours is its average, FFmpeg's its base rate.
  if (file.find("vfr") == std::string::npos) {
    EXPECT_EQ(ours.rate, expected.rate);
  }
  ASSERT_EQ(ours.frames.size(), expected.frames.size());
  double lowest = 99;
  for (std::size_t i = 0; i < ours.frames.size(); ++i) {
    if (i < converted) {
      EXPECT_TRUE(ours.frames[i] == expected.frames[i]) << "picture " << i;
    } else {
      lowest = std::min(lowest, framePsnr(ours.frames[i], expected.frames[i]));
    }
  }
  EXPECT_GE(lowest, 50.0);
  std::printf("%-30s %3zu pictures, %s\n", file.c_str(), ours.frames.size(),
              converted >= ours.frames.size() ? "identical" : ("converted, lowest PSNR " + std::to_string(lowest)).c_str());
}

TEST(FFmpegEndToEnd, EveryOtherContainerMatchesFFmpegsOwnDecode) {
  // Pictures that are not 8-bit limited-range 4:2:0 go through the scaler.
  const std::set<std::string> scaled = {"avi-mjpeg422-176x120.avi", "mkv-h264-10bit-176x120.mkv",
                                        "mkv-h264-444-176x120.mkv", "mkv-h264-422-176x120.mkv",
                                        "gif-176x120.gif",
                                        "mkv-png-pal8-96x64.mkv"};
  int checked = 0;
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] != "ffmpeg") continue;
    std::size_t exact = scaled.count(row["file"]) ? 0 : SIZE_MAX;
    if (row["file"] == "ts-resize-176x120.ts") exact = 10;  // the 128x96 half is scaled up
    expectMatches(row["file"], "", row["ref_y4m"], exact, "ffmpeg");
    ++checked;
  }
  EXPECT_GE(checked, 10);
}

TEST(FFmpegEndToEnd, Mpeg2ReachesFFmpegAndMpeg1CanBeForcedThere) {
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] == "mpeg2-es" || row["kind"] == "mpeg2-ps")
      expectMatches(row["file"], "", row["ref_y4m"], SIZE_MAX, "ffmpeg");
  }
  expectMatches("m1v-ibbp-176x120.m1v", "--path ffmpeg", "m1v-ibbp-176x120.y4m.gz", SIZE_MAX, "ffmpeg");
  expectMatches("mpg-ibbp-352x240.mpg", "--path ffmpeg", "mpg-ibbp-352x240.y4m.gz", SIZE_MAX, "ffmpeg");
}

TEST(FFmpegEndToEnd, ProbingOrderIsMpeg1ThenOggThenFFmpeg) {
  std::string printed;
  ASSERT_EQ(fixtures::runTool(kTool, fixtures::dataPath("m1v-ibbp-176x120.m1v"), &printed), 0);
  EXPECT_NE(printed.find("path mpeg1"), std::string::npos) << printed;
  ASSERT_EQ(fixtures::runTool(kTool, fixtures::dataPath("mpg-ip-176x120.mpg"), &printed), 0);
  EXPECT_NE(printed.find("path mpeg1"), std::string::npos) << printed;
  ASSERT_EQ(fixtures::runTool(kTool, fixtures::dataPath("ogg-tv-176x120.ogv"), &printed), 0);
  EXPECT_NE(printed.find("path ogg"), std::string::npos) << printed;
  // Ogg without Theora: the Ogg path refuses it, and so does FFmpeg (no video).
  EXPECT_EQ(fixtures::runTool(kTool, fixtures::dataPath("ogg-v-stereo.ogg"), &printed, true), 1);
  EXPECT_NE(printed.find("no video stream"), std::string::npos) << printed;
}

TEST(FFmpegEndToEnd, FilesWithoutPicturesAreRefusedWithAReason) {
  std::vector<std::pair<std::string, std::string>> cases = {
      {"bad-empty.mpg", "FFmpeg cannot open the file"}, {"bad-random.bin", "FFmpeg cannot open the file"}};
  for (const auto& row : fixtures::manifest())
    if (row["kind"] == "audio-only") cases.push_back({row["file"], "no video stream"});
  EXPECT_GE(cases.size(), 4u);
  for (const auto& [file, reason] : cases) {
    SCOPED_TRACE(file);
    std::string printed;
    EXPECT_EQ(fixtures::runTool(kTool, fixtures::dataPath(file), &printed, true), 1);
    EXPECT_NE(printed.find("no decode path accepts"), std::string::npos) << printed;
    EXPECT_NE(printed.find(reason), std::string::npos) << printed;
  }
}

// FFmpeg opens text as a film of characters and follows playlists to other
// files: neither is a movie. A name with a colon is a file, not an address.
TEST(FFmpegEndToEnd, TextAndPlaylistsAreNotMediaFiles) {
  const std::string text = fixtures::tempPath(".txt");
  const std::string playlist = fixtures::tempPath(".m3u8");
  const std::string colon = fixtures::tempPath("http:named.mp4");
  {
    std::ofstream out(text);
    for (int line = 0; line < 100; ++line) out << "A line of plain text, as a README has them. " << line << "\n";
    std::ofstream(playlist) << "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n"
                            << fixtures::dataPath("mp4-h264-176x120.mp4") << "\n#EXT-X-ENDLIST\n";
    std::ifstream in(fixtures::dataPath("mp4-h264-176x120.mp4"), std::ios::binary);
    std::ofstream(colon, std::ios::binary) << in.rdbuf();
  }
  for (const std::string& file : {text, playlist}) {
    std::string printed;
    EXPECT_EQ(fixtures::runTool(kTool, file, &printed, true), 1);
    EXPECT_NE(printed.find("(not a media file)"), std::string::npos) << printed;
  }
  std::string printed;
  EXPECT_EQ(fixtures::runTool(kTool, colon, &printed), 0);
  EXPECT_NE(printed.find(" 25 pictures"), std::string::npos) << printed;
  for (const std::string& file : {text, playlist, colon}) std::remove(file.c_str());
}

}  // namespace
