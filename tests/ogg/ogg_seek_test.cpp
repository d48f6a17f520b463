// Seeking in the Ogg path. End to end through zarvel-decode --start against
// the whole-file references: the first picture is the reference's picture
// floor(T x rate) and every later one follows it, the sound is the
// reference's from frame round(T x rate). Then what the tool cannot show:
// a seek at once after a seek, a seek after the end, the length and the
// pixel shape, through the path itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "kolm/decode_path.h"
#include "kolm/stream.h"
#include "ogg/ogg_decoder.h"
#include "ogg/path.h"
#include "ogg_test_support.h"
#include "support/fixtures.h"

namespace {

const std::string kTool = ZARVEL_DECODE;
constexpr std::int64_t kUnits = 10000000;  // 100 ns units a second

std::string seconds(int ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%d.%03d", ms / 1000, ms % 1000);
  return text;
}

// The whole-file references of one file.
struct Reference {
  std::string file;  // full path
  fixtures::Video video;
  int rateNum = 0, rateDen = 1;
  oggtest::Wav sound;         // empty: the file has no sound
  std::int64_t soundLength = 0;  // frames, from the last granule position
};

Reference loadReference(const std::string& file, const std::string& y4m, const std::string& wav) {
  Reference r;
  r.file = file;
  EXPECT_TRUE(fixtures::readY4m(y4m, r.video)) << y4m;
  std::sscanf(r.video.rate.c_str(), "%d:%d", &r.rateNum, &r.rateDen);
  if (!wav.empty()) {
    EXPECT_TRUE(oggtest::readWav(wav, r.sound)) << wav;
    r.soundLength = oggtest::lastSoundGranule(file);
  }
  return r;
}

// zarvel-decode from `ms` on, without post-processing (its pictures are then
// bit-exact with the reference decoder's).
struct Seeked {
  int status = -1;
  fixtures::Video video;
  oggtest::Wav sound;  // no frames when no block came
};

Seeked decodeFrom(const std::string& file, int ms) {
  Seeked s;
  const std::string y4m = fixtures::tempPath(".y4m"), wav = fixtures::tempPath(".wav");
  s.status = fixtures::runTool(kTool, file + " --path ogg --no-postprocess --start " + seconds(ms) + " --y4m " + y4m +
                                          " --wav " + wav);
  fixtures::readY4m(y4m, s.video);
  oggtest::readWav(wav, s.sound);
  std::remove(y4m.c_str());
  std::remove(wav.c_str());
  return s;
}

void expectSeekMatches(const Reference& ref, int ms) {
  SCOPED_TRACE(ref.file + " from " + seconds(ms));
  const Seeked s = decodeFrom(ref.file, ms);
  ASSERT_EQ(s.status, 0);
  const std::size_t first = static_cast<std::size_t>(std::int64_t{ms} * ref.rateNum / (1000 * ref.rateDen));
  const std::size_t count = ref.video.frames.size();
  ASSERT_EQ(s.video.frames.size(), first < count ? count - first : 0);
  for (std::size_t i = 0; i < s.video.frames.size(); ++i)
    EXPECT_TRUE(s.video.frames[i] == ref.video.frames[first + i]) << "picture " << first + i;
  if (ref.sound.channels == 0) return;
  const std::int64_t start = (std::int64_t{ms} * ref.sound.rate + 500) / 1000;
  if (start >= ref.soundLength) {
    EXPECT_EQ(s.sound.frames(), 0u);
    return;
  }
  // Whole blocks of 200 ms from the target, the last padded.
  const std::int64_t block = ref.sound.rate / 5;
  EXPECT_EQ(static_cast<std::int64_t>(s.sound.frames()), (ref.soundLength - start + block - 1) / block * block);
  ASSERT_EQ(s.sound.channels, ref.sound.channels);
  const std::size_t from = static_cast<std::size_t>(start) * static_cast<std::size_t>(ref.sound.channels);
  ASSERT_LT(from, ref.sound.samples.size());
  const std::size_t n = std::min(s.sound.samples.size(), ref.sound.samples.size() - from);
  int worst = 0;
  for (std::size_t i = 0; i < n; ++i) worst = std::max(worst, std::abs(s.sound.samples[i] - ref.sound.samples[from + i]));
  // FFmpeg scales by 32768, we by 32767: as in the whole-file comparison.
  EXPECT_LE(worst, 2);
}

TEST(OggSeek, FixturesFromTheStartInsideAGopAroundKeyframesAndNearTheEnd) {
  struct Case {
    const char* file;
    bool sound;
    std::vector<int> targets;  // ms
  };
  // Keyframes: tv at pictures 0, 12, 24 (25/s); t at 0, 6 (30/s); mono at 0, 11 (24/s),
  // whose picture 2 is a repeat of picture 1.
  const Case cases[] = {{"ogg-tv-176x120", true, {0, 200, 440, 520, 960, 990}},
                        {"ogg-t-352x240", false, {0, 100, 180, 200, 234, 390}},
                        {"ogg-tv-mono-176x120", true, {0, 84, 430, 520, 990}}};
  for (const Case& c : cases) {
    const std::string base = fixtures::dataPath(c.file);
    const Reference ref = loadReference(base + ".ogv", base + ".y4m.gz", c.sound ? base + ".wav" : "");
    for (int ms : c.targets) expectSeekMatches(ref, ms);
  }
}

TEST(OggSeek, PastTheEndNothingComesAndBothSidesEndCleanly) {
  for (const char* file : {"ogg-tv-176x120.ogv", "ogg-t-352x240.ogv"}) {
    for (int ms : {1000, 3600000}) {
      SCOPED_TRACE(std::string(file) + " from " + seconds(ms));
      const Seeked s = decodeFrom(fixtures::dataPath(file), ms);
      EXPECT_EQ(s.status, 0);
      EXPECT_EQ(s.video.frames.size(), 0u);
      EXPECT_EQ(s.sound.frames(), 0u);
    }
  }
}

TEST(OggSeek, DamagedFilesNeverHangOrCrash) {
  // Junk between pages and a page failing its checksum lose no picture: the
  // pictures still match from any target.
  for (const char* name : {"ogg-junk-96x64", "ogg-badcrc-96x64", "ogg-cut-352x240"}) {
    const std::string base = fixtures::dataPath(name);
    const Reference ref = loadReference(base + ".ogv", base + ".y4m.gz", "");
    for (int ms : {0, 120, 200, 310, 900, 5000}) {
      const Seeked s = decodeFrom(ref.file, ms);
      EXPECT_EQ(s.status, 0) << name << " from " << seconds(ms);
      if (std::string(name) != "ogg-cut-352x240") expectSeekMatches(ref, ms);
    }
  }
  // Files the path refuses or cannot seek in say so.
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] != "bad") continue;
    for (int ms : {0, 500}) {
      const int status = decodeFrom(fixtures::dataPath(row["file"]), ms).status;
      EXPECT_TRUE(status == 0 || status == 1) << row["file"] << " status " << status;
    }
  }
}

TEST(OggSeek, SoundAloneIsNotThisPathsToSeek) {
  // The path takes no file without pictures; FFmpeg's path plays it.
  EXPECT_EQ(decodeFrom(fixtures::dataPath("ogg-v-stereo.ogg"), 500).status, 1);
}

// The path itself, with sinks that keep everything delivered.
struct Opened {
  std::unique_ptr<kolm::CStream> stream;
  oggtest::PictureSink pictures;
  oggtest::SoundSink sound;
  std::unique_ptr<kolm::IDecodePath> path;

  explicit Opened(const std::string& file) {
    stream.reset(kolm::openFileStream(file.c_str(), 1));
    if (!stream) return;
    kolm::DecodeRequest request;
    request.video = &pictures;
    request.audio = &sound;
    request.stream = stream.get();
    request.fileName = file.c_str();
    request.postprocess = false;
    request.realTime = false;
    path = ogg::openPath(request, nullptr);
  }
  void run() {
    bool video = true, audio = path->sound() != nullptr;
    while (video || audio) {
      if (video) video = path->videoStep();
      if (audio) audio = path->sound()->audioStep();
    }
  }
};

// After a seek to `ms`: the pictures delivered run on from a keyframe at or
// before the target to the last, each with its play-from-the-start stamp and
// content; the sound starts at round(T x rate) and matches.
void expectDeliveredFrom(Opened& o, const Reference& ref, int ms) {
  SCOPED_TRACE("seek to " + seconds(ms));
  const auto& pictures = o.pictures.pictures;
  ASSERT_FALSE(pictures.empty());
  const std::int64_t target = std::int64_t{ms} * 10000;
  const std::int64_t firstIndex =
      pictures.front().time * ref.rateNum / (kUnits * ref.rateDen);  // stamps are exact picture times
  EXPECT_LE(pictures.front().time, target);
  const std::size_t lumaSize = static_cast<std::size_t>(ref.video.width) * ref.video.height;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    const std::int64_t index = firstIndex + static_cast<std::int64_t>(i);
    ASSERT_LT(index, static_cast<std::int64_t>(ref.video.frames.size()));
    EXPECT_EQ(pictures[i].time, ogg::frameTime(index, ref.rateNum, ref.rateDen));
    const auto& expected = ref.video.frames[static_cast<std::size_t>(index)];
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + static_cast<long>(lumaSize), pictures[i].y.begin()))
        << "picture " << index;
  }
  EXPECT_EQ(firstIndex + static_cast<std::int64_t>(pictures.size()), static_cast<std::int64_t>(ref.video.frames.size()));
  const auto& blocks = o.sound.blocks;
  ASSERT_FALSE(blocks.empty());
  const std::int64_t start = (std::int64_t{ms} * ref.sound.rate + 500) / 1000;
  EXPECT_EQ(blocks.front().position, start);
  for (std::size_t b = 1; b < blocks.size(); ++b)
    EXPECT_EQ(blocks[b].position, blocks[b - 1].position + blocks[b - 1].frameCount);
  const int channels = ref.sound.channels;
  int worst = 0;
  for (int i = 0; i < blocks.front().frameCount * channels; ++i)
    worst = std::max(worst, std::abs(oggtest::sample16(blocks.front().bytes, static_cast<std::size_t>(i)) -
                                     ref.sound.samples[static_cast<std::size_t>(start * channels + i)]));
  EXPECT_LE(worst, 2);
}

TEST(OggSeek, ASeekAtOnceAfterASeekAndAfterTheEnd) {
  const std::string base = fixtures::dataPath("ogg-tv-176x120");
  const Reference ref = loadReference(base + ".ogv", base + ".y4m.gz", base + ".wav");
  Opened o(ref.file);
  ASSERT_TRUE(o.path);
  ASSERT_TRUE(o.path->canSeek());
  ASSERT_TRUE(o.path->seek(900 * 10000));
  ASSERT_TRUE(o.path->seek(300 * 10000));
  o.run();
  expectDeliveredFrom(o, ref, 300);
  // The pictures and the sound have ended; a seek brings both back.
  o.pictures.pictures.clear();
  o.sound.blocks.clear();
  ASSERT_TRUE(o.path->seek(520 * 10000));
  o.run();
  expectDeliveredFrom(o, ref, 520);
  // A time before the start is the start.
  o.pictures.pictures.clear();
  o.sound.blocks.clear();
  ASSERT_TRUE(o.path->seek(-5 * kUnits));
  o.run();
  expectDeliveredFrom(o, ref, 0);
}

TEST(OggSeek, DurationAndPixelShapeOfTheFixtures) {
  for (const char* name : {"ogg-tv-176x120", "ogg-t-352x240", "ogg-tv-mono-176x120", "ogg-junk-96x64"}) {
    SCOPED_TRACE(name);
    const std::string base = fixtures::dataPath(name);
    fixtures::Video reference;
    ASSERT_TRUE(fixtures::readY4m(base + ".y4m.gz", reference));
    int num = 0, den = 1;
    std::sscanf(reference.rate.c_str(), "%d:%d", &num, &den);
    Opened o(base + ".ogv");
    ASSERT_TRUE(o.path);
    EXPECT_EQ(o.path->duration(), static_cast<std::int64_t>(reference.frames.size()) * kUnits * den / num);
    const kolm::VideoFormat format = o.path->videoFormat();
    EXPECT_EQ(format.pixelAspectNumerator, 1);
    EXPECT_EQ(format.pixelAspectDenominator, 1);
  }
}

// A longer file made at test time: keyframes every 64 pictures, sound that
// changes pitch all along (a misplaced start cannot match by chance).
class OggSeekLong : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string encoders;
    if (fixtures::runTool("ffmpeg", "-hide_banner -encoders", &encoders) != 0 ||
        encoders.find("libtheora") == std::string::npos || encoders.find("libvorbis") == std::string::npos)
      return;
    const std::string file = fixtures::tempPath("-g64.ogv"), y4m = fixtures::tempPath(".y4m"),
                      wav = fixtures::tempPath(".wav");
    const std::string made =
        "-v error -y -f lavfi -i testsrc2=size=176x120:rate=25:duration=8 -f lavfi -i "
        "\"aevalsrc=sin(2*PI*(200+100*t)*t)|0.5*sin(2*PI*(300+40*t)*t):s=44100:d=8\" "
        "-c:v libtheora -q:v 6 -g 64 -c:a libvorbis -q:a 3 " + file;
    if (fixtures::runTool("ffmpeg", made) != 0 ||
        fixtures::runTool("ffmpeg", "-v error -y -i " + file + " -f yuv4mpegpipe -pix_fmt yuv420p " + y4m +
                                        " -f wav -c:a pcm_s16le " + wav) != 0)
      return;
    // A short one whose pixels are 12:11, as a 4:3 picture stored at 704x480 would be.
    shaped_ = fixtures::tempPath("-sar.ogv");
    if (fixtures::runTool("ffmpeg", "-v error -y -f lavfi -i testsrc2=size=176x120:rate=25:duration=1 "
                                    "-vf setsar=12/11 -c:v libtheora " + shaped_) != 0)
      shaped_.clear();
    reference_ = new Reference(loadReference(file, y4m, wav));
    std::remove(y4m.c_str());
    std::remove(wav.c_str());
  }
  static void TearDownTestSuite() {
    if (reference_) std::remove(reference_->file.c_str());
    if (!shaped_.empty()) std::remove(shaped_.c_str());
    delete reference_;
    reference_ = nullptr;
  }
  void SetUp() override {
    if (!reference_) GTEST_SKIP() << "ffmpeg with libtheora and libvorbis is needed to make the file";
  }
  static Reference* reference_;
  static std::string shaped_;
};

Reference* OggSeekLong::reference_ = nullptr;
std::string OggSeekLong::shaped_;

TEST_F(OggSeekLong, KeyframesEvery64Pictures) {
  ASSERT_EQ(reference_->video.frames.size(), 200u);
  // Inside the first GOP, just before and at and just after the keyframes
  // at pictures 64 and 128, the last picture, past the end.
  for (int ms : {0, 1000, 2520, 2560, 2600, 5110, 5120, 7900, 7960, 8000}) expectSeekMatches(*reference_, ms);
}

TEST_F(OggSeekLong, DurationAgreesWithFfprobeAndPixelShapeIsRead) {
  std::string printed;
  ASSERT_EQ(fixtures::runTool("ffprobe", "-v error -select_streams v:0 -show_entries stream=duration -of csv=p=0 " +
                                             reference_->file,
                              &printed),
            0);
  const double probed = std::atof(printed.c_str());
  Opened o(reference_->file);
  ASSERT_TRUE(o.path);
  const std::int64_t picture = kUnits / 25;
  EXPECT_NEAR(static_cast<double>(o.path->duration()), probed * kUnits, static_cast<double>(picture));
  EXPECT_EQ(o.path->duration(), 8 * kUnits);
  if (shaped_.empty()) return;
  Opened shaped(shaped_);
  ASSERT_TRUE(shaped.path);
  const kolm::VideoFormat format = shaped.path->videoFormat();
  EXPECT_EQ(format.pixelAspectNumerator, 12);
  EXPECT_EQ(format.pixelAspectDenominator, 11);
}

}  // namespace
