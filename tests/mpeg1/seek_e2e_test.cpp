// Seeking in MPEG-1 files: zarvel-decode --start against the whole-file
// references (the picture on screen at the target, then every later one; the
// sound from frame round(T x rate)), the edge cases, the length and the pixel
// shape. Longer files are made with ffmpeg at test time when it is installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "kolm/audio_sample_queue.h"
#include "kolm/clock.h"
#include "kolm/decode_path.h"
#include "kolm/memory_stream.h"
#include "kolm/sample_queue.h"
#include "kolm/stream.h"
#include "kolm/video_downstream.h"
#include "mpeg1/path.h"
#include "mpeg1/stream_reader.h"
#include "support/fixtures.h"

namespace {

const std::string kTool = ZARVEL_DECODE;

std::vector<std::uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Wav {
  int channels = 0, rate = 0;
  std::vector<std::int16_t> samples;
  std::size_t frames() const { return channels ? samples.size() / static_cast<std::size_t>(channels) : 0; }
};

bool readWav(const std::string& path, Wav& wav) {
  const std::vector<std::uint8_t> d = readBytes(path);
  const auto u16 = [&](std::size_t at) { return static_cast<std::uint32_t>(d[at] | d[at + 1] << 8); };
  const auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
  for (std::size_t at = 12; at + 8 <= d.size();) {
    const std::size_t size = u32(at + 4), end = std::min(d.size(), at + 8 + size);
    if (d[at] == 'f' && d[at + 1] == 'm' && size >= 16) {
      wav.channels = static_cast<int>(u16(at + 10));
      wav.rate = static_cast<int>(u32(at + 12));
    } else if (d[at] == 'd' && d[at + 1] == 'a') {
      for (std::size_t i = at + 8; i + 1 < end; i += 2) wav.samples.push_back(static_cast<std::int16_t>(u16(i)));
      return wav.channels > 0;
    }
    at = end + (size & 1);
  }
  return false;
}

// Sound frames the reference (which starts at the sound's first frame) has
// before our frame 0 (the first picture).
long referenceCut(const std::string& path, int rate) {
  std::unique_ptr<kolm::CStream> stream(kolm::openFileStream(path.c_str(), 1));
  CMpegStreamReader reader(stream.get());
  std::int64_t video = 0, audio = 0;
  if (!reader.detectFormat() || !reader.firstTimeStamp(false, 0, &video) ||
      !reader.firstTimeStamp(true, reader.firstAudioStream(), &audio))
    return 0;
  return -std::lround(static_cast<double>(audio - video) * rate / 90000.0);
}

// In process: the stamps of a play from the start, seeks one after another.

class PictureSink : public kolm::IVideoDownstream {
 public:
  PictureSink() : pool_(nullptr) {}
  CSampleQueue* sampleQueue() override { return &pool_; }
  void deliver(CSample* sample) override {
    times.push_back(sample->time);
    luma.emplace_back(sample->planeY, sample->planeY + sample->width * sample->height);
    pool_.release(sample);
  }
  std::vector<std::int64_t> times;
  std::vector<std::vector<std::uint8_t>> luma;

 private:
  CSampleQueue pool_;
};

class BlockSink : public kolm::IAudioDownstream {
 public:
  BlockSink() : pool_(nullptr) {}
  CAudioSampleQueue* sampleQueue() override { return &pool_; }
  void deliver(CAudioSample* sample) override {
    positions.push_back(sample->position);
    rate = sample->format.sampleRate;
    const auto* data = sample->buffer.get();
    bytes.insert(bytes.end(), data, data + chunkBytes(sample->format));
    pool_.release(sample);
  }
  std::vector<std::int64_t> positions;
  std::vector<std::uint8_t> bytes;
  std::int64_t rate = 0;

 private:
  CAudioSampleQueue pool_;
};

struct Opened {
  std::unique_ptr<kolm::CStream> stream;
  PictureSink pictures;
  BlockSink sound;
  std::unique_ptr<kolm::IDecodePath> path;
};

std::unique_ptr<Opened> open(const std::string& file) {
  auto o = std::make_unique<Opened>();
  o->stream.reset(kolm::openFileStream(file.c_str(), 1));
  kolm::DecodeRequest request;
  request.video = &o->pictures;
  request.audio = &o->sound;
  request.stream = o->stream.get();
  request.fileName = file.c_str();
  request.realTime = false;
  std::string refusal;
  o->path = mpeg1::openPath(request, &refusal);
  return o;
}

void runToEnd(Opened& o) {
  bool video = true, audio = o.path->sound() != nullptr;
  for (int guard = 0; (video || audio) && guard < 100000; ++guard) {
    if (video) video = o.path->videoStep();
    if (audio) audio = o.path->sound()->audioStep();
  }
}

struct Clip {
  std::string file;      // the stream
  std::string pictures;  // its whole-file reference pictures (y4m, maybe gzip'ed)
  std::string sound;     // its whole-file reference sound, or ""
  int rateNum = 0, rateDen = 1;
};

// The reference's pictures and sound; the whole decode of ours for a check to
// the byte, and its stamps, which say which picture is on the screen when.
struct Expected {
  fixtures::Video reference, ours;
  std::vector<std::int64_t> times;
  Wav sound;
  long cut = 0;
};

bool load(const Clip& clip, Expected& e) {
  if (!fixtures::readY4m(clip.pictures, e.reference)) return false;
  const std::string out = fixtures::tempPath(".y4m");
  const bool ok = fixtures::runTool(kTool, clip.file + " --path mpeg1 --no-audio --y4m " + out) == 0 &&
                  fixtures::readY4m(out, e.ours);
  std::remove(out.c_str());
  auto whole = open(clip.file);
  if (!ok || !whole->path) return false;
  runToEnd(*whole);
  e.times = whole->pictures.times;
  if (e.times.size() != e.ours.frames.size()) return false;
  if (clip.sound.empty()) return true;
  if (!readWav(clip.sound, e.sound)) return false;
  e.cut = referenceCut(clip.file, e.sound.rate);
  return true;
}

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", value);
  return text;
}

// One seek through zarvel-decode: the picture on screen at the target first,
// then all later ones; the sound from frame round(T x rate).
void checkSeek(const Clip& clip, const Expected& e, double target) {
  SCOPED_TRACE(clip.file + " --start " + seconds(target));
  const std::string y4m = fixtures::tempPath(".y4m"), wav = fixtures::tempPath(".wav");
  std::string printed;
  ASSERT_EQ(fixtures::runTool(kTool, clip.file + " --path mpeg1 --start " + seconds(target) + " --y4m " + y4m +
                                         (clip.sound.empty() ? "" : " --wav " + wav),
                              &printed, true),
            0)
      << printed;
  fixtures::Video ours;
  ASSERT_TRUE(fixtures::readY4m(y4m, ours)) << printed;
  std::remove(y4m.c_str());
  const auto total = static_cast<long>(e.reference.frames.size());
  // The picture on the screen at the target: the last one stamped at or
  // before it (the first when none is), none past the last one's time.
  const auto at = static_cast<std::int64_t>(std::llround(target * kolm::unitsPerSecond));
  const std::int64_t frame = kolm::unitsPerSecond * clip.rateDen / clip.rateNum;
  long first = 0;
  while (first + 1 < total && e.times[static_cast<std::size_t>(first + 1)] <= at) ++first;
  if (e.times.back() + frame <= at) first = total;
  ASSERT_EQ(static_cast<long>(ours.frames.size()), total - first) << printed;
  for (long i = 0; i < total - first; ++i) {
    EXPECT_TRUE(ours.frames[i] == e.ours.frames[first + i]) << "picture " << first + i << " differs from a whole decode";
    EXPECT_GE(fixtures::lumaPsnr(ours.frames[i], e.reference.frames[first + i], ours.width, ours.height), 55.0)
        << "picture " << first + i;
  }
  if (clip.sound.empty()) return;
  Wav sound;
  const bool hasSound = readWav(wav, sound);
  std::remove(wav.c_str());
  const long start = std::lround(target * e.sound.rate);
  const long available = static_cast<long>(e.sound.frames()) - e.cut - start;
  if (available <= 0) {
    EXPECT_EQ(sound.frames(), 0u);
    return;
  }
  ASSERT_TRUE(hasSound) << printed;
  ASSERT_EQ(sound.channels, e.sound.channels);
  const long block = e.sound.rate / 5;
  EXPECT_EQ(static_cast<long>(sound.frames()), (available + block - 1) / block * block);
  const std::size_t channels = static_cast<std::size_t>(sound.channels);
  const std::size_t from = static_cast<std::size_t>(e.cut + start) * channels;
  int worst = 0;
  for (std::size_t i = 0; i < static_cast<std::size_t>(available) * channels && i < sound.samples.size(); ++i)
    worst = std::max(worst, std::abs(sound.samples[i] - e.sound.samples[from + i]));
  EXPECT_LE(worst, 2);
}

// 0, the first GOP, around the keyframes (picture numbers), the middle of a
// GOP, the last picture and past the end: picture k's middle, so that no
// target falls on the edge between two pictures.
void checkClip(const Clip& clip, std::vector<long> pictures) {
  Expected e;
  ASSERT_TRUE(load(clip, e)) << clip.file;
  const long total = static_cast<long>(e.reference.frames.size());
  pictures.push_back(0);
  pictures.push_back(total - 1);
  const double frame = static_cast<double>(clip.rateDen) / clip.rateNum;
  checkSeek(clip, e, 0.0);
  for (long k : pictures)
    if (k >= 0 && k < total) checkSeek(clip, e, (k + 0.5) * frame);
  checkSeek(clip, e, total * frame + 0.5);
}

Clip fixture(const std::string& name, int num, int den, bool sound) {
  const std::string stem = name.substr(0, name.rfind('.'));
  return {fixtures::dataPath(name), fixtures::dataPath(stem + ".y4m.gz"), sound ? fixtures::dataPath(stem + ".wav") : "",
          num, den};
}

TEST(Mpeg1Seek, SystemStreamsWithSound) {
  checkClip(fixture("mpg-ip-176x120.mpg", 25, 1, true), {5, 11, 12, 13, 18});
  checkClip(fixture("mpg-ibbp-352x240.mpg", 30000, 1001, true), {4, 8, 9, 10, 13});
  checkClip(fixture("mpg-vcd-pal-176x120.mpg", 25, 1, true), {1, 3});
  checkClip(fixture("mpg-mp3-176x120.mpg", 25, 1, true), {6, 11, 12, 13, 20});
  checkClip(fixture("mpg-soundfirst-96x64.mpg", 25, 1, true), {2, 5, 6, 7, 11});
}

// No sound, no time stamps: the GOP time codes, as for a bare stream.
TEST(Mpeg1Seek, SystemStreamsWithoutSoundOrStamps) {
  checkClip(fixture("mpg-junk-96x64.mpg", 25, 1, false), {2, 3, 4, 5});
  checkClip(fixture("mpg-emptypackets-96x64.mpg", 25, 1, false), {2, 3, 4, 5});
}

TEST(Mpeg1Seek, ElementaryStreamsWithOpenGops) {
  checkClip(fixture("m1v-ibbp-176x120.m1v", 24000, 1001, false), {5, 11, 12, 13, 17});
  checkClip(fixture("m1v-opencut-96x64.m1v", 50, 1, false), {2, 3, 4, 5});
  checkClip(fixture("m1v-brokenlink-96x64.m1v", 50, 1, false), {3, 4, 5, 9});
}

// ffprobe's length of the pictures where it is installed, else the pictures
// counted; within one picture.
double probedSeconds(const std::string& file, const std::string& fallback) {
  std::string printed;
  if (fixtures::runTool("ffprobe", "-v error -select_streams v:0 -show_entries stream=duration -of csv=p=0 " + file,
                        &printed) == 0 &&
      !printed.empty() && printed.find("N/A") == std::string::npos)
    return std::atof(printed.c_str());
  return std::atof(fallback.c_str());
}

// ffmpeg makes the longer files: 6 s, GOPs of 15 with B pictures, MP2 sound.
class Mpeg1SeekLong : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) return;
    folder_ = fixtures::tempPath("-seek");
    const std::string make = "mkdir -p " + folder_ + " && cd " + folder_ +
                             " && ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=176x120:rate=25"
                             " -f lavfi -i sine=frequency=440:sample_rate=44100 -t 6 -c:v mpeg1video -g 15 -bf 2"
                             " -q:v 5 -c:a mp2 -b:a 128k -ac 2 -f mpeg long.mpg"
                             " && ffmpeg -nostdin -loglevel error -y -i long.mpg -f yuv4mpegpipe long.y4m"
                             " -f wav long.wav"
                             " && ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=96x64:rate=24000/1001"
                             " -t 6 -c:v mpeg1video -g 15 -bf 2 -q:v 5 -f mpeg1video long.m1v"
                             " && ffmpeg -nostdin -loglevel error -y -i long.m1v -fps_mode passthrough"
                             " -f yuv4mpegpipe long-m1v.y4m"
                             " && head -c 120000 long.mpg > cut.mpg";
    ready_ = std::system(make.c_str()) == 0;
  }
  static void TearDownTestSuite() {
    if (!folder_.empty()) std::system(("rm -rf " + folder_).c_str());
  }
  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "ffmpeg is not installed";
  }
  static std::string file(const std::string& name) { return folder_ + "/" + name; }
  static std::string folder_;
  static bool ready_;
};
std::string Mpeg1SeekLong::folder_;
bool Mpeg1SeekLong::ready_ = false;

TEST_F(Mpeg1SeekLong, SystemStreamInEveryPartOfAGop) {
  checkClip({file("long.mpg"), file("long.y4m"), file("long.wav"), 25, 1}, {7, 14, 15, 16, 52, 89, 90, 133});
}

TEST_F(Mpeg1SeekLong, ElementaryStreamInEveryPartOfAGop) {
  checkClip({file("long.m1v"), file("long-m1v.y4m"), "", 24000, 1001}, {7, 14, 15, 16, 52, 89, 90, 130});
}

// The decode starts at the GOP of the target, not at the file's start: the
// first picture delivered (before the caller drops any) is that GOP's I
// picture, at or before the target and less than a GOP before it.
TEST_F(Mpeg1SeekLong, TheDecodeBeginsAtTheKeyframeBeforeTheTarget) {
  for (const char* name : {"long.mpg", "long.m1v"}) {
    for (std::int64_t target : {std::int64_t{7000000}, std::int64_t{32000000}, std::int64_t{58000000}}) {
      SCOPED_TRACE(std::string(name) + " at " + std::to_string(target));
      auto o = open(file(name));
      ASSERT_TRUE(o->path && o->path->canSeek());
      ASSERT_TRUE(o->path->seek(target));
      runToEnd(*o);
      ASSERT_FALSE(o->pictures.times.empty());
      EXPECT_LE(o->pictures.times.front(), target);
      EXPECT_GT(o->pictures.times.front(), target - kolm::unitsPerSecond * 16 / 24);
      EXPECT_TRUE(std::is_sorted(o->pictures.times.begin(), o->pictures.times.end()));
    }
  }
  // Their lengths: 6 s of pictures at 25 and at 24000/1001 a second.
  auto mpg = open(file("long.mpg")), m1v = open(file("long.m1v"));
  EXPECT_NEAR(mpg->path->duration(), probedSeconds(file("long.mpg"), "6") * kolm::unitsPerSecond, 400000);
  EXPECT_NEAR(m1v->path->duration(), 144 * 417083, 417083);
}

TEST_F(Mpeg1SeekLong, ACutFileSeeksWithinWhatIsLeftAndEndsCleanly) {
  for (const char* start : {"0", "1.5", "3.3", "5.9", "60"}) {
    SCOPED_TRACE(start);
    std::string printed;
    const int status =
        fixtures::runTool(kTool, file("cut.mpg") + " --path mpeg1 --start " + start, &printed, true);
    EXPECT_TRUE(status == 0 || status == 1) << printed;
  }
}

TEST(Mpeg1Seek, DamagedFilesNeitherCrashNorHang) {
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] != "bad") continue;
    for (const char* start : {"0", "0.3", "100"}) {
      SCOPED_TRACE(row["file"] + " --start " + start);
      const int status = fixtures::runTool(kTool, fixtures::dataPath(row["file"]) + " --path mpeg1 --start " + start);
      EXPECT_TRUE(status == 0 || status == 1) << "status " << status;
    }
  }
  // Random bytes behind a valid start: no time stamps, nothing to seek by.
  std::vector<std::uint8_t> bytes = readBytes(fixtures::dataPath("mpg-ip-176x120.mpg"));
  std::uint32_t seed = 12345;
  for (std::size_t i = bytes.size() / 3; i < bytes.size(); ++i) {
    seed = seed * 1103515245u + 12345u;
    if ((seed >> 16) % 7 == 0) bytes[i] = static_cast<std::uint8_t>(seed >> 24);
  }
  const std::string damaged = fixtures::tempPath(".mpg");
  std::ofstream(damaged, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
  for (const char* start : {"0", "0.5", "0.9", "5"}) {
    SCOPED_TRACE(start);
    const int status = fixtures::runTool(kTool, damaged + " --path mpeg1 --start " + start);
    EXPECT_TRUE(status == 0 || status == 1) << "status " << status;
  }
  std::remove(damaged.c_str());
}

TEST(Mpeg1Seek, ASeekRightAfterASeekOrAfterTheEndIsLikeTheSeekAlone) {
  for (const char* name : {"mpg-ibbp-352x240.mpg", "m1v-ibbp-176x120.m1v", "mpg-soundfirst-96x64.mpg"}) {
    SCOPED_TRACE(name);
    const std::string file = fixtures::dataPath(name);
    const std::int64_t target = kolm::unitsPerSecond * 3 / 10;
    auto alone = open(file);
    ASSERT_TRUE(alone->path && alone->path->canSeek());
    ASSERT_TRUE(alone->path->seek(target));
    runToEnd(*alone);
    ASSERT_FALSE(alone->pictures.times.empty());

    auto twice = open(file);
    ASSERT_TRUE(twice->path->seek(kolm::unitsPerSecond / 2));
    ASSERT_TRUE(twice->path->seek(target));
    runToEnd(*twice);
    const auto same = [&](const Opened& o) {
      EXPECT_EQ(o.pictures.times, alone->pictures.times);
      EXPECT_TRUE(o.pictures.luma == alone->pictures.luma);
      EXPECT_EQ(o.sound.positions, alone->sound.positions);
      EXPECT_TRUE(o.sound.bytes == alone->sound.bytes);
    };
    same(*twice);

    auto after = open(file);
    runToEnd(*after);
    const std::vector<std::int64_t> whole = after->pictures.times;
    after->pictures.times.clear();
    after->pictures.luma.clear();
    after->sound.positions.clear();
    after->sound.bytes.clear();
    ASSERT_TRUE(after->path->seek(target));
    runToEnd(*after);
    same(*after);
    // The stamps are those of the play from the start.
    for (std::int64_t time : alone->pictures.times)
      EXPECT_NE(std::find(whole.begin(), whole.end(), time), whole.end()) << time;
    // The sound starts at frame round(T x rate), in whole blocks from there.
    if (!alone->sound.positions.empty()) {
      const std::int64_t rate = alone->sound.rate;
      EXPECT_EQ(alone->sound.positions.front(), (target * rate + kolm::unitsPerSecond / 2) / kolm::unitsPerSecond);
      for (std::size_t i = 1; i < alone->sound.positions.size(); ++i)
        EXPECT_EQ(alone->sound.positions[i], alone->sound.positions[i - 1] + rate / 5);
    }
  }
}

TEST(Mpeg1Seek, LengthFromTheEndOfTheFile) {
  int checked = 0;
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] != "mpeg1-ps" && row["kind"] != "mpeg1-es") continue;
    SCOPED_TRACE(row["file"]);
    const std::string file = fixtures::dataPath(row["file"]);
    const std::string& rate = row["frame_rate"];
    const double num = std::atof(rate.c_str()), den = std::atof(rate.substr(rate.find('/') + 1).c_str());
    const double frame = den / num;
    const double counted = std::stoi(row["frames"]) * frame;
    // A bare stream's length is a guess to ffprobe: the pictures counted are the truth.
    const double expected = row["kind"] == "mpeg1-es" ? counted : probedSeconds(file, std::to_string(counted));
    auto o = open(file);
    ASSERT_TRUE(o->path);
    const double ours = static_cast<double>(o->path->duration()) / kolm::unitsPerSecond;
    EXPECT_NEAR(ours, expected, frame * 1.01);
    ++checked;
  }
  EXPECT_GE(checked, 20);
}

TEST(Mpeg1Seek, StreamsWithoutTimeCodesOrStampsSayTheyCannotSeek) {
  // Every GOP time code 0 in a stream of several GOPs.
  std::vector<std::uint8_t> bytes = readBytes(fixtures::dataPath("m1v-ibbp-176x120.m1v"));
  for (std::size_t i = 0; i + 8 < bytes.size(); ++i)
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1 && bytes[i + 3] == 0xB8) {
      bytes[i + 4] &= 0x80;
      bytes[i + 5] = 0x08;  // the marker bit
      bytes[i + 6] = 0;
      bytes[i + 7] &= 0x7F;
    }
  kolm::CMemoryStream stream(std::move(bytes));
  PictureSink sink;
  kolm::DecodeRequest request;
  request.video = &sink;
  request.stream = &stream;
  auto path = mpeg1::openPath(request, nullptr);
  ASSERT_TRUE(path);
  EXPECT_FALSE(path->canSeek());
  EXPECT_FALSE(path->seek(kolm::unitsPerSecond / 2));
  // Playback goes on untouched.
  int steps = 0;
  while (path->videoStep() && ++steps < 100000) {
  }
  EXPECT_EQ(sink.times.size(), 24u);
}

TEST(Mpeg1Seek, PixelShapeFromTheAspectRatioCode) {
  std::vector<std::uint8_t> original = readBytes(fixtures::dataPath("m1v-ip-176x120.m1v"));
  // FFmpeg's sample aspect ratios for codes 0 (forbidden), 1, 3 (16:9 on 625
  // lines), 8 (4:3 on 625 lines), 12 (4:3 on 525 lines) and 15 (reserved).
  const int expected[][3] = {{0, 1, 1}, {1, 1, 1}, {3, 64, 45}, {8, 178, 163}, {12, 200, 219}, {15, 1, 1}};
  for (const auto& row : expected) {
    SCOPED_TRACE(row[0]);
    std::vector<std::uint8_t> bytes = original;
    ASSERT_EQ(bytes[3], 0xB3);
    bytes[7] = static_cast<std::uint8_t>(row[0] << 4 | (bytes[7] & 15));
    kolm::CMemoryStream stream(std::move(bytes));
    PictureSink sink;
    kolm::DecodeRequest request;
    request.video = &sink;
    request.stream = &stream;
    auto path = mpeg1::openPath(request, nullptr);
    ASSERT_TRUE(path);
    const kolm::VideoFormat format = path->videoFormat();
    EXPECT_EQ(format.pixelAspectNumerator, row[1]);
    EXPECT_EQ(format.pixelAspectDenominator, row[2]);
  }
}

}  // namespace
