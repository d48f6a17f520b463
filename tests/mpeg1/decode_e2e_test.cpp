// End to end: zarvel-decode against FFmpeg's reference decodes of the fixtures.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "mpeg1/kernels.h"
#include "support/fixtures.h"

namespace {

const std::string kTool = ZARVEL_DECODE;

struct Fidelity {
  int frames;
  double meanPsnr;
  double minPsnr;
};

Fidelity compare(const fixtures::Video& ours, const fixtures::Video& reference) {
  Fidelity result{static_cast<int>(ours.frames.size()), 0, 99};
  const std::size_t n = std::min(ours.frames.size(), reference.frames.size());
  for (std::size_t i = 0; i < n; ++i) {
    const double psnr = fixtures::lumaPsnr(ours.frames[i], reference.frames[i], ours.width, ours.height);
    result.meanPsnr += psnr;
    result.minPsnr = std::min(result.minPsnr, psnr);
  }
  if (n) result.meanPsnr /= static_cast<double>(n);
  return result;
}

TEST(Mpeg1EndToEnd, EveryMpeg1FixtureMatchesTheReferenceDecode) {
  int checked = 0;
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] != "mpeg1-es" && row["kind"] != "mpeg1-ps") continue;
    SCOPED_TRACE(row["file"]);
    const std::string out = fixtures::tempPath(".y4m");
    std::string printed;
    ASSERT_EQ(fixtures::runTool(kTool, fixtures::dataPath(row["file"]) + " --path mpeg1 --y4m " + out, &printed), 0);
    fixtures::Video ours, reference;
    ASSERT_TRUE(fixtures::readY4m(out, ours));
    std::remove(out.c_str());
    ASSERT_TRUE(fixtures::readY4m(fixtures::dataPath(row["ref_y4m"]), reference));
    EXPECT_EQ(ours.width, reference.width);
    EXPECT_EQ(ours.height, reference.height);
    EXPECT_EQ(ours.rate, reference.rate);
    ASSERT_EQ(ours.frames.size(), reference.frames.size());
    EXPECT_EQ(static_cast<int>(ours.frames.size()), std::stoi(row["frames"]));
    const Fidelity fidelity = compare(ours, reference);
    EXPECT_GE(fidelity.meanPsnr, 55.0);
    EXPECT_GE(fidelity.minPsnr, 55.0);
    std::printf("%-28s %3d pictures, luma PSNR mean %.1f dB, min %.1f dB\n", row["file"].c_str(),
                fidelity.frames, fidelity.meanPsnr, fidelity.minPsnr);
    ++checked;
  }
  EXPECT_GE(checked, 10);
}

std::string readWhole(const std::string& path) {
  std::string bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, got);
    std::fclose(f);
  }
  return bytes;
}

// Every level of routines this processor runs (plain, SSE2, AVX2), chosen with
// --simd: every picture of every fixture the same to the byte.
TEST(Mpeg1EndToEnd, EveryLevelOfRoutinesDecodesTheSamePictures) {
  int checked = 0;
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] != "mpeg1-es" && row["kind"] != "mpeg1-ps") continue;
    SCOPED_TRACE(row["file"]);
    std::string plainBytes;
    for (mpeg1::SimdLevel level : mpeg1::availableSimdLevels()) {
      const std::string name = mpeg1::simdLevelName(level);
      SCOPED_TRACE(name);
      const std::string out = fixtures::tempPath(".y4m");
      ASSERT_EQ(fixtures::runTool(kTool, fixtures::dataPath(row["file"]) + " --path mpeg1 --simd " + name +
                                             " --y4m " + out, nullptr),
                0);
      const std::string bytes = readWhole(out);
      std::remove(out.c_str());
      ASSERT_FALSE(bytes.empty());
      if (level == mpeg1::SimdLevel::None)
        plainBytes = bytes;
      else
        EXPECT_TRUE(bytes == plainBytes);
    }
    ++checked;
  }
  EXPECT_GE(checked, 10);
}

TEST(Mpeg1EndToEnd, Mpeg2StreamsAreRefused) {
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] != "mpeg2-es" && row["kind"] != "mpeg2-ps") continue;
    SCOPED_TRACE(row["file"]);
    EXPECT_EQ(fixtures::runTool(kTool, fixtures::dataPath(row["file"]) + " --path mpeg1"), 1);
  }
}

TEST(Mpeg1EndToEnd, BadInputsEndCleanly) {
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] != "bad") continue;
    SCOPED_TRACE(row["file"]);
    const int status = fixtures::runTool(kTool, fixtures::dataPath(row["file"]) + " --path mpeg1");
    EXPECT_TRUE(status == 0 || status == 1) << "status " << status;
  }
}

}  // namespace
