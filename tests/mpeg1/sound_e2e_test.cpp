// End to end: the sound of MPEG-1 system streams through zarvel-decode,
// against FFmpeg's decode of the same files, placed on the pictures' time line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kolm/stream.h"
#include "mpeg1/stream_reader.h"
#include "support/fixtures.h"

namespace {

const std::string kTool = ZARVEL_DECODE;

struct Wav {
  int channels = 0, rate = 0, bits = 0;
  std::vector<std::int16_t> samples;
  std::size_t frames() const { return channels ? samples.size() / static_cast<std::size_t>(channels) : 0; }
};

bool readWav(const std::string& path, Wav& wav) {
  std::vector<std::uint8_t> d;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    std::uint8_t chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) d.insert(d.end(), chunk, chunk + got);
    std::fclose(f);
  }
  const auto u16 = [&](std::size_t at) { return static_cast<std::uint32_t>(d[at] | d[at + 1] << 8); };
  const auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
  if (d.size() < 12) return false;
  for (std::size_t at = 12; at + 8 <= d.size();) {
    const std::size_t size = u32(at + 4), end = std::min(d.size(), at + 8 + size);
    if (d[at] == 'f' && d[at + 1] == 'm' && size >= 16) {
      wav.channels = static_cast<int>(u16(at + 10));
      wav.rate = static_cast<int>(u32(at + 12));
      wav.bits = static_cast<int>(u16(at + 22));
    } else if (d[at] == 'd' && d[at + 1] == 'a') {
      for (std::size_t i = at + 8; i + 1 < end; i += 2) wav.samples.push_back(static_cast<std::int16_t>(u16(i)));
      return wav.bits == 16 && wav.channels > 0;
    }
    at = end + (size & 1);
  }
  return false;
}

// Where the file's sound starts against its first picture, in sound frames
// (negative: before it), from the first time stamps of both.
long soundLead(const std::string& path, int rate) {
  std::unique_ptr<kolm::CStream> stream(kolm::openFileStream(path.c_str(), 1));
  if (!stream) return 0;
  CMpegStreamReader reader(stream.get());
  std::int64_t video = 0, audio = 0;
  if (!reader.detectFormat() || !reader.firstTimeStamp(false, 0, &video) ||
      !reader.firstTimeStamp(true, reader.firstAudioStream(), &audio))
    return 0;
  const double ticks = static_cast<double>(audio - video);
  return std::lround(ticks * rate / 90000.0);
}

TEST(Mpeg1Sound, EverySystemStreamWithSoundMatchesFFmpegOnThePicturesTimeLine) {
  int checked = 0, layer3 = 0, earlySound = 0;
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] != "mpeg1-ps" || row["ref_wav"] == "-") continue;
    SCOPED_TRACE(row["file"]);
    const std::string file = fixtures::dataPath(row["file"]);
    const std::string out = fixtures::tempPath(".wav");
    std::string printed;
    ASSERT_EQ(fixtures::runTool(kTool, file + " --path mpeg1 --wav " + out, &printed), 0);
    Wav ours, reference;
    ASSERT_TRUE(readWav(out, ours)) << printed;
    std::remove(out.c_str());
    ASSERT_TRUE(readWav(fixtures::dataPath(row["ref_wav"]), reference));
    // Mono stays mono; the rate is the stream's.
    ASSERT_EQ(ours.channels, std::stoi(row["audio_channels"]));
    ASSERT_EQ(ours.channels, reference.channels);
    ASSERT_EQ(ours.rate, reference.rate);
    // FFmpeg's decode starts at the sound's first frame, ours at the first
    // picture: sound before it is cut off (later sound would wait in silence).
    const long lead = soundLead(file, ours.rate);
    ASSERT_LE(lead, 0);
    const std::size_t cut = static_cast<std::size_t>(-lead);
    ASSERT_GT(reference.frames(), cut);
    const std::size_t expected = reference.frames() - cut;
    const std::size_t block = static_cast<std::size_t>(ours.rate) / 5;
    // 200 ms blocks, the last padded with silence; nothing of FFmpeg's lost.
    EXPECT_EQ(ours.frames(), (expected + block - 1) / block * block);
    ASSERT_GE(ours.frames(), expected);
    const std::size_t channels = static_cast<std::size_t>(ours.channels);
    int worst = 0;
    for (std::size_t i = 0; i < expected * channels; ++i)
      worst = std::max(worst, std::abs(ours.samples[i] - reference.samples[i + cut * channels]));
    EXPECT_LE(worst, 2);
    bool silent = true;
    for (std::size_t i = expected * channels; i < ours.samples.size(); ++i) silent = silent && ours.samples[i] == 0;
    EXPECT_TRUE(silent);
    std::printf("%-28s %d ch %5d Hz: %zu frames cut before the first picture, max difference %d over %zu frames\n",
                row["file"].c_str(), ours.channels, ours.rate, cut, worst, expected);
    layer3 += row["note"].find("layer III") != std::string::npos;
    earlySound += cut > block;
    ++checked;
  }
  EXPECT_GE(checked, 6);
  EXPECT_GE(layer3, 1);
  EXPECT_GE(earlySound, 1);
}

TEST(Mpeg1Sound, NoAudioOptionAndSilentFilesWriteNoSound) {
  for (const char* name : {"mpg-junk-96x64.mpg", "m1v-ip-176x120.m1v"}) {
    SCOPED_TRACE(name);
    const std::string out = fixtures::tempPath(".wav");
    std::string printed;
    ASSERT_EQ(fixtures::runTool(kTool, fixtures::dataPath(name) + " --wav " + out, &printed), 0);
    EXPECT_EQ(printed.find("sound"), std::string::npos) << printed;
    std::remove(out.c_str());
  }
  std::string printed;
  ASSERT_EQ(fixtures::runTool(kTool, fixtures::dataPath("mpg-mp3-176x120.mpg") + " --no-audio", &printed), 0);
  EXPECT_EQ(printed.find("sound"), std::string::npos) << printed;
}

}  // namespace
