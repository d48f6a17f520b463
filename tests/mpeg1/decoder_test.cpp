// The MPEG-1 path in process: format detection, time stamps, picture size,
// and damaged streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>

#include "kolm/clock.h"
#include "kolm/sample_queue.h"
#include "kolm/video_downstream.h"
#include "mpeg1/probe.h"
#include "support/fixtures.h"
#include "video/memory_presenter.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes load(const std::string& name) {
  std::ifstream in(fixtures::dataPath(name), std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string save(const Bytes& bytes) {
  const std::string path = fixtures::tempPath(".mpg");
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  return path;
}

class RecordingSink : public kolm::IVideoDownstream {
 public:
  RecordingSink() : pool_(nullptr) {}
  CSampleQueue* sampleQueue() override { return &pool_; }
  void deliver(CSample* sample) override {
    if (std::find(samplesSeen.begin(), samplesSeen.end(), sample) == samplesSeen.end()) samplesSeen.push_back(sample);
    times.push_back(sample->time);
    width = sample->width;
    height = sample->height;
    pool_.release(sample);
  }
  std::vector<std::int64_t> times;
  std::vector<const CSample*> samplesSeen;
  int width = 0, height = 0;

 private:
  CSampleQueue pool_;
};

struct Decoded {
  bool accepted = false;
  std::vector<std::int64_t> times;
  std::size_t samplesUsed = 0;
  int width = 0, height = 0, rateNum = 0, rateDen = 0;
};

Decoded decodeFile(const std::string& path) {
  Decoded result;
  std::unique_ptr<kolm::CStream> stream(kolm::openFileStream(path.c_str(), 1));
  if (!stream) return result;
  RecordingSink sink;
  auto source = mpeg1::openMpeg1(stream.get(), &sink);
  if (!source) return result;
  result.accepted = true;
  int guard = 0;
  while (source->decoder->step() && ++guard < 1000000) {
  }
  result.times = sink.times;
  result.samplesUsed = sink.samplesSeen.size();
  result.width = sink.width;
  result.height = sink.height;
  result.rateNum = source->decoder->frameRateNum();
  result.rateDen = source->decoder->frameRateDen();
  return result;
}

// Display order, one picture period apart, starting at 0 (a unit of slack
// for the truncating division of non-integer periods).
void expectRegularTimes(const Decoded& decoded, std::size_t expectedPictures) {
  ASSERT_TRUE(decoded.accepted);
  ASSERT_EQ(decoded.times.size(), expectedPictures);
  for (std::size_t i = 0; i < decoded.times.size(); ++i) {
    const std::int64_t ideal = static_cast<std::int64_t>(i) * kolm::unitsPerSecond * decoded.rateDen / decoded.rateNum;
    EXPECT_NEAR(static_cast<double>(decoded.times[i]), static_cast<double>(ideal), 2.0) << "picture " << i;
  }
}

TEST(Mpeg1TimeStamps, DisplayOrderOnePeriodApartFromZero) {
  expectRegularTimes(decodeFile(fixtures::dataPath("m1v-intra-176x120.m1v")), 16);   // I only
  expectRegularTimes(decodeFile(fixtures::dataPath("m1v-ibbp-176x120.m1v")), 24);    // IBBP
  expectRegularTimes(decodeFile(fixtures::dataPath("m1v-ibbbp-176x120.m1v")), 24);   // IBBBP
  expectRegularTimes(decodeFile(fixtures::dataPath("m1v-gop6-176x120.m1v")), 30);    // open GOPs
  expectRegularTimes(decodeFile(fixtures::dataPath("mpg-ibbp-352x240.mpg")), 16);    // system stream
  // Its time stamps start 0.415 s in, after its sound: the first picture is still 0.
  expectRegularTimes(decodeFile(fixtures::dataPath("mpg-soundfirst-96x64.mpg")), 15);
}

// The decoder takes a sample only to hand a picture over, so a renderer that
// gives every picture back at once gets the pool's first sample every time:
// no sample waits inside the decoder with a reference picture while the B
// pictures before it are shown.
TEST(Mpeg1Decoder, ReferencePicturesHoldNoSampleUntilTheyAreShown) {
  for (const char* name : {"m1v-ibbp-176x120.m1v", "m1v-ibbbp-176x120.m1v", "m1v-gop6-176x120.m1v",
                           "mpg-ibbp-352x240.mpg"}) {
    const Decoded decoded = decodeFile(fixtures::dataPath(name));
    ASSERT_TRUE(decoded.accepted) << name;
    EXPECT_GT(decoded.times.size(), 10u) << name;
    EXPECT_EQ(decoded.samplesUsed, 1u) << name;
  }
}

// Keeps the visible part of every picture, read from the presenter's surfaces.
class PresenterSink : public kolm::IVideoDownstream {
 public:
  explicit PresenterSink(bool systemMemory) : pool_(&presenter_) { presenter_.setSystemMemory(systemMemory); }
  CSampleQueue* sampleQueue() override { return &pool_; }
  void deliver(CSample* sample) override {
    YV12Planes planes;
    std::vector<std::uint8_t> picture;
    if (sample->lockPlanes(&planes)) {
      pitches.push_back(planes.pitchY);
      auto keep = [&](const std::uint8_t* plane, int pitch, int width, int height) {
        for (int y = 0; y < height; ++y) picture.insert(picture.end(), plane + y * pitch, plane + y * pitch + width);
      };
      keep(planes.y, planes.pitchY, planes.width, planes.height);
      keep(planes.u, planes.pitchC, planes.chromaWidth(), planes.chromaHeight());
      keep(planes.v, planes.pitchC, planes.chromaWidth(), planes.chromaHeight());
      sample->unlockPlanes();
    }
    pictures.push_back(std::move(picture));
    pool_.release(sample);
  }
  std::vector<std::vector<std::uint8_t>> pictures;
  std::vector<int> pitches;

 private:
  CMemoryPresenter presenter_;
  CSampleQueue pool_;
};

// B pictures go straight into surfaces in system memory, whose rows are wider
// than the decoder's; into video memory they are copied. Both must give the
// same pictures, and the same as zarvel-decode's memory pictures.
TEST(Mpeg1Decoder, PicturesDecodedIntoTheSurfacesEqualCopiedOnes) {
  for (const char* name : {"m1v-ibbp-352x240.m1v", "m1v-ibbp-360x240.m1v", "m1v-brokenlink-96x64.m1v",
                           "mpg-vcd-pal-176x120.mpg"}) {
    SCOPED_TRACE(name);
    std::vector<std::vector<std::uint8_t>> decoded[2];
    for (int systemMemory = 0; systemMemory < 2; ++systemMemory) {
      std::unique_ptr<kolm::CStream> stream(kolm::openFileStream(fixtures::dataPath(name).c_str(), 1));
      ASSERT_TRUE(stream);
      PresenterSink sink(systemMemory == 1);
      auto source = mpeg1::openMpeg1(stream.get(), &sink);
      ASSERT_TRUE(source);
      while (source->decoder->step()) {
      }
      ASSERT_FALSE(sink.pitches.empty());
      EXPECT_GT(sink.pitches[0], static_cast<int>(source->decoder->horizontalSize) + 16);
      decoded[systemMemory] = std::move(sink.pictures);
    }
    EXPECT_TRUE(decoded[0] == decoded[1]);
    const std::string out = fixtures::tempPath(".y4m");
    ASSERT_EQ(fixtures::runTool(ZARVEL_DECODE, fixtures::dataPath(name) + " --y4m " + out), 0);
    fixtures::Video tool;
    ASSERT_TRUE(fixtures::readY4m(out, tool));
    std::remove(out.c_str());
    EXPECT_TRUE(tool.frames == decoded[1]);
  }
}

// Rewrites the time code of every GOP header: first + index * step seconds,
// keeping the flags around it.
Bytes withTimeCodes(Bytes bytes, int firstHours, int stepSeconds, int jumpBackAt = -1) {
  int gop = 0;
  for (std::size_t i = 0; i + 8 <= bytes.size(); ++i) {
    if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1 || bytes[i + 3] != 0xB8) continue;
    std::uint32_t word = std::uint32_t{bytes[i + 4]} << 24 | std::uint32_t{bytes[i + 5]} << 16 |
                         std::uint32_t{bytes[i + 6]} << 8 | bytes[i + 7];
    const std::uint32_t pictures = (word >> 7) & 63;
    int total = firstHours * 3600 + gop * stepSeconds;
    if (gop >= jumpBackAt && jumpBackAt >= 0) total = (gop - jumpBackAt) * stepSeconds;  // back to zero
    const std::uint32_t h = total / 3600, m = (total / 60) % 60, s = total % 60;
    word = (word & 0x7Fu) | h << 26 | m << 20 | 1u << 19 | s << 13 | pictures << 7;
    for (int b = 0; b < 4; ++b) bytes[i + 4 + b] = static_cast<std::uint8_t>(word >> (24 - 8 * b));
    ++gop;
  }
  return bytes;
}

TEST(Mpeg1TimeStamps, AClipCutFromARecordingStartsAtZero) {
  // I only at 25 fps, so a GOP of pictures spans whole seconds only if the
  // time codes say so; compare against the same stream's own decode.
  const Bytes original = load("m1v-ibbp-176x120.m1v");
  const Decoded plain = decodeFile(fixtures::dataPath("m1v-ibbp-176x120.m1v"));
  const std::string cut = save(withTimeCodes(original, 5, 0));
  const Decoded shifted = decodeFile(cut);
  std::remove(cut.c_str());
  ASSERT_TRUE(shifted.accepted);
  ASSERT_FALSE(shifted.times.empty());
  EXPECT_EQ(shifted.times.front(), 0);
  EXPECT_EQ(shifted.times.size(), plain.times.size());
}

TEST(Mpeg1TimeStamps, ATimeCodeThatJumpsBackCarriesTheTimeLineOn) {
  const Bytes original = load("m1v-gop6-176x120.m1v");
  // GOPs at 1:00:00, then from the third GOP on back at 0:00:00.
  const std::string path = save(withTimeCodes(original, 1, 0, 2));
  const Decoded decoded = decodeFile(path);
  std::remove(path.c_str());
  ASSERT_TRUE(decoded.accepted);
  ASSERT_EQ(decoded.times.size(), 30u);
  EXPECT_EQ(decoded.times.front(), 0);
  for (std::size_t i = 1; i < decoded.times.size(); ++i)
    EXPECT_GT(decoded.times[i], decoded.times[i - 1]) << "picture " << i << " goes back in time";
}

TEST(Mpeg1Decoder, PicturesCarryTheVisibleSize) {
  const Decoded odd = decodeFile(fixtures::dataPath("m1v-ibbp-360x240.m1v"));
  ASSERT_TRUE(odd.accepted);
  EXPECT_EQ(odd.width, 360);
  EXPECT_EQ(odd.height, 240);
  EXPECT_EQ(odd.rateNum, 60000);
  EXPECT_EQ(odd.rateDen, 1001);
}

TEST(Mpeg1Decoder, RefusesWhatIsNotMpeg1Video) {
  for (const char* name : {"m2v-176x120.m2v", "mpeg2-ps-176x120.mpg", "ogg-tv-176x120.ogv", "bad-empty.mpg",
                           "bad-random.bin", "mp4-176x120.mp4"})
    EXPECT_FALSE(decodeFile(fixtures::dataPath(name)).accepted) << name;
}

TEST(Mpeg1Decoder, SequenceHeaderWithZeroSizeIsRefused) {
  Bytes bytes = load("m1v-intra-176x120.m1v");
  ASSERT_EQ(bytes[3], 0xB3);
  bytes[4] = bytes[5] = 0;
  bytes[6] &= 0x0F;  // width 0
  const std::string path = save(bytes);
  EXPECT_FALSE(decodeFile(path).accepted);
  std::remove(path.c_str());
}

TEST(Mpeg1Decoder, TruncatedStreamsDeliverWhatTheyHold) {
  const Decoded cut = decodeFile(fixtures::dataPath("bad-m1v-cut-late.m1v"));
  ASSERT_TRUE(cut.accepted);
  EXPECT_GT(cut.times.size(), 0u);
  for (std::size_t i = 1; i < cut.times.size(); ++i) EXPECT_GT(cut.times[i], cut.times[i - 1]);
}

// Damaged copies of real streams: bytes flipped, runs zeroed, start codes
// planted. Under the sanitizers any read or write outside a buffer fails here.
TEST(Mpeg1Decoder, DamagedStreamsNeverCrash) {
  std::mt19937 random(20261208);
  for (const char* name : {"m1v-ibbp-176x120.m1v", "m1v-matrix-176x120.m1v", "mpg-ibbp-352x240.mpg"}) {
    const Bytes original = load(name);
    for (int round = 0; round < 60; ++round) {
      Bytes bytes = original;
      const int damage = 1 + static_cast<int>(random() % 40);
      for (int d = 0; d < damage; ++d) {
        const std::size_t at = 12 + random() % (bytes.size() - 16);
        switch (random() % 4) {
          case 0: bytes[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
          case 1: bytes[at] = static_cast<std::uint8_t>(random()); break;
          case 2: bytes[at] = 0; bytes[at + 1] = 0; bytes[at + 2] = 1; bytes[at + 3] = static_cast<std::uint8_t>(random()); break;
          default: std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + 64)), 0xFF);
        }
      }
      const std::string path = save(bytes);
      decodeFile(path);
      std::remove(path.c_str());
    }
  }
}

}  // namespace
