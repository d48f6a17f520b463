// The FFmpeg path in-process: time stamps, the timing mode, teardown, damaged
// files and a machine without FFmpeg.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <vector>

#include "ffmpeg/ffmpeg_decoder.h"
#include "ffmpeg/path.h"
#include "kolm/video_downstream.h"
#include "support/fixtures.h"

namespace {

// Keeps the time of every delivered picture; gives samples back unless told to hold them.
class TimeSink : public kolm::IVideoDownstream {
 public:
  TimeSink() : pool(nullptr) {}
  CSampleQueue* sampleQueue() override { return &pool; }
  void deliver(CSample* sample) override {
    times.push_back(sample->time);
    if (hold)
      held.push_back(sample);
    else
      pool.release(sample);
  }
  CSampleQueue pool;
  std::vector<std::int64_t> times;
  std::vector<CSample*> held;
  bool hold = false;
};

std::vector<std::int64_t> decodeTimes(const std::string& file) {
  TimeSink sink;
  const std::string path = fixtures::dataPath(file);
  CFFmpegDecoder decoder(&sink, path.c_str());
  EXPECT_TRUE(decoder.openVideoPath()) << decoder.lastError();
  while (decoder.decodeAndDeliver()) {
  }
  return sink.times;
}

TEST(FFmpegDecoder, VariableRatePicturesKeepTheFilesOwnTimes) {
  std::ifstream in(fixtures::dataPath("mp4-vfr-176x120.times"));
  std::vector<std::int64_t> expected;
  for (double seconds; in >> seconds;) expected.push_back(std::llround(seconds * 1e7));
  ASSERT_EQ(expected.size(), 40u);
  const auto times = decodeTimes("mp4-vfr-176x120.mp4");
  ASSERT_EQ(times.size(), expected.size());
  for (std::size_t i = 0; i < times.size(); ++i) EXPECT_EQ(times[i], expected[i] - expected[0]) << i;
}

TEST(FFmpegDecoder, ConstantRatePicturesAreOneNominalIntervalApart) {
  const auto times = decodeTimes("mp4-h264-176x120.mp4");
  ASSERT_EQ(times.size(), 25u);
  for (std::size_t i = 0; i < times.size(); ++i) EXPECT_EQ(times[i], static_cast<std::int64_t>(i) * 400000);
}

TEST(FFmpegDecoder, TimingModeRecyclesEveryPictureUnseen) {
  TimeSink sink;
  const std::string path = fixtures::dataPath("webm-vp8-177x101.webm");
  CFFmpegDecoder decoder(&sink, path.c_str());
  decoder.deliverPictures = false;
  ASSERT_TRUE(decoder.openVideoPath());
  EXPECT_EQ(decoder.pictureWidth(), 177);
  EXPECT_EQ(decoder.pictureHeight(), 101);
  while (decoder.decodeAndDeliver()) {
  }
  EXPECT_EQ(decoder.frameCount, 30);
  EXPECT_TRUE(sink.times.empty());
  EXPECT_FALSE(decoder.decodeAndDeliver());  // stays ended
}

TEST(FFmpegDecoder, TeardownInTheMiddleReleasesEverything) {
  TimeSink sink;
  sink.hold = true;
  const std::string path = fixtures::dataPath("mp4-h264-176x120.mp4");
  {
    CFFmpegDecoder decoder(&sink, path.c_str());
    ASSERT_TRUE(decoder.openVideoPath());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(decoder.decodeAndDeliver());
  }  // the sanitizers see anything the decoder leaves behind
  EXPECT_EQ(sink.held.size(), 3u);
}

TEST(FFmpegDecoder, DamagedCopiesDecodeWithoutACrash) {
  for (const char* file : {"mp4-h264-176x120.mp4", "webm-vp8-177x101.webm", "avi-mjpeg422-176x120.avi",
                           "ts-resize-176x120.ts", "mkv-h264-444-176x120.mkv"}) {
    std::ifstream in(fixtures::dataPath(file), std::ios::binary);
    const std::vector<char> original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (int variant = 0; variant < 4; ++variant) {
      SCOPED_TRACE(std::string(file) + " variant " + std::to_string(variant));
      std::vector<char> bytes = original;
      if (variant == 0) bytes.resize(bytes.size() / 2);  // cut short
      for (std::size_t i = bytes.size() / 4 + variant; variant > 0 && i < bytes.size(); i += 97 * variant)
        bytes[i] = static_cast<char>(bytes[i] ^ (0x5A + variant));  // scattered damage
      const std::string copy = fixtures::tempPath(std::string(".") + file);
      std::ofstream(copy, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      TimeSink sink;
      CFFmpegDecoder decoder(&sink, copy.c_str());
      if (decoder.openVideoPath()) {
        int pictures = 0;
        while (decoder.decodeAndDeliver() && ++pictures < 1000) {
        }
        EXPECT_LT(pictures, 1000);
        for (std::size_t i = 1; i < sink.times.size(); ++i) EXPECT_GE(sink.times[i], sink.times[i - 1]);
      }
      std::remove(copy.c_str());
    }
  }
}

TEST(FFmpegDecoder, WithoutTheLibrariesThePathRefusesCleanly) {
  ffmpeg::overrideLibraryName(ffmpeg::avcodec, "libzarvel-no-such-library.so.0");
  TimeSink sink;
  const std::string path = fixtures::dataPath("mp4-h264-176x120.mp4");
  {
    CFFmpegDecoder decoder(&sink, path.c_str());
    EXPECT_FALSE(decoder.openVideoPath());
    EXPECT_NE(decoder.lastError().find("FFmpeg is not installed"), std::string::npos) << decoder.lastError();
    EXPECT_FALSE(decoder.decodeAndDeliver());
    // The user reads first that the file is none zarvel plays without FFmpeg.
    kolm::DecodeRequest request;
    request.video = &sink;
    request.fileName = path.c_str();
    std::string refusal;
    EXPECT_EQ(ffmpeg::openPath(request, &refusal), nullptr);
    EXPECT_EQ(refusal.rfind("not a file zarvel can play without FFmpeg, and FFmpeg is not installed (", 0), 0u)
        << refusal;
  }
  ffmpeg::overrideLibraryName(ffmpeg::avcodec, nullptr);
  CFFmpegDecoder decoder(&sink, path.c_str());
  EXPECT_TRUE(decoder.openVideoPath()) << decoder.lastError();
}

}  // namespace
