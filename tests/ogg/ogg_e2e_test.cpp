// End to end: zarvel-decode's Ogg path against FFmpeg's reference decodes of
// the fixtures, pictures and sound.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "ogg_test_support.h"
#include "support/fixtures.h"

namespace {

const std::string kTool = ZARVEL_DECODE;

double planePsnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, std::size_t offset,
                 std::size_t length) {
  double sum = 0;
  for (std::size_t i = offset; i < offset + length; ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    sum += d * d;
  }
  if (sum == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(length) / sum);
}

std::string decode(const std::string& file, const std::string& options, int* status) {
  std::string printed;
  *status = fixtures::runTool(kTool, fixtures::dataPath(file) + " --path ogg " + options, &printed);
  return printed;
}

TEST(OggEndToEnd, FourTwoZeroPicturesAreBitExactWithoutPostProcessing) {
  int checked = 0;
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] != "ogg" || row["chroma"] != "420" || row["ref_y4m"] == "-") continue;
    SCOPED_TRACE(row["file"]);
    const std::string out = fixtures::tempPath(".y4m");
    int status = 0;
    const std::string printed = decode(row["file"], "--no-postprocess --y4m " + out, &status);
    ASSERT_EQ(status, 0);
    EXPECT_NE(printed.find("path ogg"), std::string::npos);
    fixtures::Video ours, reference;
    ASSERT_TRUE(fixtures::readY4m(out, ours));
    std::remove(out.c_str());
    ASSERT_TRUE(fixtures::readY4m(fixtures::dataPath(row["ref_y4m"]), reference));
    EXPECT_EQ(ours.width, std::stoi(row["width"]));
    EXPECT_EQ(ours.height, std::stoi(row["height"]));
    EXPECT_EQ(ours.width, reference.width);
    EXPECT_EQ(ours.height, reference.height);
    EXPECT_EQ(ours.rate, reference.rate);
    ASSERT_EQ(ours.frames.size(), reference.frames.size());
    ASSERT_EQ(static_cast<int>(ours.frames.size()), std::stoi(row["frames"]));
    int identical = 0;
    for (std::size_t i = 0; i < ours.frames.size(); ++i) {
      EXPECT_TRUE(ours.frames[i] == reference.frames[i]) << "picture " << i;
      identical += ours.frames[i] == reference.frames[i];
    }
    std::printf("%-28s %3zu pictures, %3d bit-identical to the reference\n", row["file"].c_str(), ours.frames.size(),
                identical);
    ++checked;
  }
  EXPECT_GE(checked, 6);
}

TEST(OggEndToEnd, FourTwoTwoAndFourFourFourKeepLumaAndSubsampleChroma) {
  int checked = 0;
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] != "ogg" || (row["chroma"] != "422" && row["chroma"] != "444")) continue;
    SCOPED_TRACE(row["file"]);
    const std::string out = fixtures::tempPath(".y4m");
    int status = 0;
    decode(row["file"], "--no-postprocess --y4m " + out, &status);
    ASSERT_EQ(status, 0);
    fixtures::Video ours, reference;
    ASSERT_TRUE(fixtures::readY4m(out, ours));
    std::remove(out.c_str());
    // FFmpeg's own conversion of its decode to 4:2:0.
    ASSERT_TRUE(fixtures::readY4m(fixtures::dataPath(row["ref_y4m"]), reference));
    ASSERT_EQ(ours.width, reference.width);
    ASSERT_EQ(ours.height, reference.height);
    ASSERT_EQ(ours.frames.size(), reference.frames.size());
    const std::size_t luma = static_cast<std::size_t>(ours.width) * ours.height;
    const std::size_t chroma = static_cast<std::size_t>((ours.width + 1) / 2) * ((ours.height + 1) / 2);
    double minU = 99, minV = 99, meanU = 0, meanV = 0;
    for (std::size_t i = 0; i < ours.frames.size(); ++i) {
      EXPECT_TRUE(std::equal(ours.frames[i].begin(), ours.frames[i].begin() + static_cast<long>(luma),
                             reference.frames[i].begin()))
          << "luma of picture " << i;
      const double u = planePsnr(ours.frames[i], reference.frames[i], luma, chroma);
      const double v = planePsnr(ours.frames[i], reference.frames[i], luma + chroma, chroma);
      minU = std::min(minU, u);
      minV = std::min(minV, v);
      meanU += u;
      meanV += v;
    }
    meanU /= static_cast<double>(ours.frames.size());
    meanV /= static_cast<double>(ours.frames.size());
    EXPECT_GE(minU, 40.0);
    EXPECT_GE(minV, 40.0);
    std::printf("%-28s %3zu pictures, luma bit-identical; chroma PSNR U mean %.2f min %.2f, V mean %.2f min %.2f dB\n",
                row["file"].c_str(), ours.frames.size(), meanU, minU, meanV, minV);
    ++checked;
  }
  EXPECT_EQ(checked, 2);
}

TEST(OggEndToEnd, PostProcessingLevelOneAgainstTheReference) {
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] != "ogg" || row["chroma"] != "420" || row["ref_y4m"] == "-") continue;
    SCOPED_TRACE(row["file"]);
    const std::string out = fixtures::tempPath(".y4m");
    int status = 0;
    decode(row["file"], "--y4m " + out, &status);
    ASSERT_EQ(status, 0);
    fixtures::Video ours, reference;
    ASSERT_TRUE(fixtures::readY4m(out, ours));
    std::remove(out.c_str());
    ASSERT_TRUE(fixtures::readY4m(fixtures::dataPath(row["ref_y4m"]), reference));
    ASSERT_EQ(ours.frames.size(), reference.frames.size());
    double minPsnr = 99;
    for (std::size_t i = 0; i < ours.frames.size(); ++i)
      minPsnr = std::min(minPsnr, fixtures::lumaPsnr(ours.frames[i], reference.frames[i], ours.width, ours.height));
    EXPECT_GE(minPsnr, 35.0);
    std::printf("%-28s post-processing level 1: luma PSNR min %.2f dB against the reference (99 = identical)\n",
                row["file"].c_str(), minPsnr);
  }
}

TEST(OggEndToEnd, SoundMatchesTheReferenceDecode) {
  struct Case {
    const char* file;
    const char* reference;
    int channels;
  };
  // The 5.1 clip comes out mixed down to stereo; its reference is FFmpeg's
  // down-mix with the same weights (checked by fitting it against the 5.1
  // reference: 0.4142 front, 0.2929 centre and surround, no LFE).
  const Case cases[] = {{"ogg-tv-176x120.ogv", "ogg-tv-176x120.wav", 2},
                        {"ogg-tv-mono-176x120.ogv", "ogg-tv-mono-176x120.wav", 1},
                        {"ogg-tv51-176x120.ogv", "ogg-tv51-176x120.stereo.wav", 2},
                        {"ogg-junk-96x64.ogv", "ogg-junk-96x64.wav", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string out = fixtures::tempPath(".wav");
    int status = 0;
    const std::string printed = decode(c.file, "--wav " + out, &status);
    ASSERT_EQ(status, 0);
    oggtest::Wav ours, reference;
    ASSERT_TRUE(oggtest::readWav(out, ours));
    std::remove(out.c_str());
    ASSERT_TRUE(oggtest::readWav(fixtures::dataPath(c.reference), reference));
    ASSERT_EQ(ours.channels, c.channels);
    ASSERT_EQ(reference.channels, c.channels);
    ASSERT_EQ(ours.rate, reference.rate);
    ASSERT_EQ(ours.bits, 16);
    // Blocks of 200 ms, the last padded; the stream ends at its last granule position.
    const std::size_t block = static_cast<std::size_t>(ours.rate) / 5;
    const std::int64_t length = oggtest::lastSoundGranule(fixtures::dataPath(c.file));
    ASSERT_GT(length, 0);
    const std::size_t streamFrames = static_cast<std::size_t>(length);
    EXPECT_EQ(ours.frames(), (streamFrames + block - 1) / block * block);
    ASSERT_GE(ours.frames(), reference.frames());
    ASSERT_LE(reference.frames(), streamFrames);
    // FFmpeg scales by 32768, we by 32767: within 2 steps over all of FFmpeg's length.
    int worst = 0;
    const std::size_t compared = reference.samples.size();
    for (std::size_t i = 0; i < compared; ++i) worst = std::max(worst, std::abs(ours.samples[i] - reference.samples[i]));
    EXPECT_LE(worst, 2);
    // Past the stream's end only the silence that fills the last block.
    const std::size_t end = streamFrames * static_cast<std::size_t>(ours.channels);
    bool silent = true;
    for (std::size_t i = end; i < ours.samples.size(); ++i) silent = silent && ours.samples[i] == 0;
    EXPECT_TRUE(silent);
    std::printf("%-26s %d ch %d Hz: %zu frames against FFmpeg's %zu, max difference %d over FFmpeg's length; "
                "stream length %zu, %zu frames of padding\n",
                c.file, ours.channels, ours.rate, ours.frames(), reference.frames(), worst, streamFrames,
                ours.frames() - streamFrames);
  }
}

TEST(OggEndToEnd, ProbingOrderAndRefusals) {
  std::string printed;
  EXPECT_EQ(fixtures::runTool(kTool, fixtures::dataPath("ogg-tv-176x120.ogv"), &printed), 0);
  EXPECT_NE(printed.find("path ogg"), std::string::npos);
  EXPECT_NE(printed.find("sound 44100 Hz"), std::string::npos);
  EXPECT_EQ(fixtures::runTool(kTool, fixtures::dataPath("m1v-ip-176x120.m1v"), &printed), 0);
  EXPECT_NE(printed.find("path mpeg1"), std::string::npos);
  EXPECT_EQ(fixtures::runTool(kTool, fixtures::dataPath("m1v-ip-176x120.m1v") + " --path ogg"), 1);
  EXPECT_EQ(fixtures::runTool(kTool, fixtures::dataPath("ogg-tv-176x120.ogv") + " --path mpeg1"), 1);
  // Sound alone is not for this path.
  EXPECT_EQ(fixtures::runTool(kTool, fixtures::dataPath("ogg-v-stereo.ogg") + " --path ogg"), 1);
  EXPECT_EQ(fixtures::runTool(kTool, fixtures::dataPath("ogg-tv-176x120.ogv") + " --no-audio", &printed), 0);
  EXPECT_NE(printed.find(" 25 pictures"), std::string::npos);
  EXPECT_EQ(printed.find("sound"), std::string::npos);
  EXPECT_EQ(fixtures::runTool(kTool, fixtures::dataPath("ogg-tv-176x120.ogv") + " --frames 3", &printed), 0);
  EXPECT_NE(printed.find(" 3 pictures"), std::string::npos);
}

TEST(OggEndToEnd, BadInputsEndCleanly) {
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] != "bad") continue;
    SCOPED_TRACE(row["file"]);
    const std::string y4m = fixtures::tempPath(".y4m"), wav = fixtures::tempPath(".wav");
    const int status =
        fixtures::runTool(kTool, fixtures::dataPath(row["file"]) + " --path ogg --y4m " + y4m + " --wav " + wav);
    EXPECT_TRUE(status == 0 || status == 1) << "status " << status;
    std::remove(y4m.c_str());
    std::remove(wav.c_str());
  }
}

}  // namespace
