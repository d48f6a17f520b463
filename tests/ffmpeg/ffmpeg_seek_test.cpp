// Seeking on the FFmpeg path, end to end: zarvel-decode --start against
// FFmpeg's own decodes of the fixtures and of longer clips made here (a
// keyframe a second), the edges, files it cannot seek in and damaged files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "support/wav.h"
#include "kolm/audio_downstream.h"
#include "kolm/audio_sample_queue.h"
#include "kolm/decode_path.h"
#include "kolm/video_downstream.h"
#include "playback/probe.h"
#include "support/fixtures.h"

namespace {

using fixtures::readWav;
using fixtures::Wav;

const std::string kTool = ZARVEL_DECODE;
constexpr std::int64_t kUnits = 10000000;

bool haveFFmpeg() { return std::system("command -v ffmpeg >/dev/null 2>&1") == 0; }

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// What zarvel-decode makes of FILE --start START.
struct Decoded {
  int status = -1;
  std::string printed;
  fixtures::Video video;
  bool haveSound = false;
  Wav sound;
};

Decoded decodeFrom(const std::string& file, const std::string& start, const std::string& more = "") {
  const std::string y4m = fixtures::tempPath(".y4m"), wav = fixtures::tempPath(".wav");
  Decoded out;
  out.status = fixtures::runTool(
      kTool, quoted(file) + " --start " + start + " --y4m " + y4m + " --wav " + wav + " " + more, &out.printed, true);
  fixtures::readY4m(y4m, out.video);
  out.haveSound = readWav(wav, out.sound);
  std::remove(y4m.c_str());
  std::remove(wav.c_str());
  return out;
}

double psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  return sum == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / sum);
}

// The pictures from the reference's picture `first` on, identical (or above
// 50 dB where the path scales them).
void expectPicturesFrom(const fixtures::Video& ours, const fixtures::Video& reference, std::size_t first,
                        bool exact = true) {
  const std::size_t expected = first < reference.frames.size() ? reference.frames.size() - first : 0;
  ASSERT_EQ(ours.frames.size(), expected) << "from reference picture " << first;
  for (std::size_t i = 0; i < expected; ++i) {
    if (exact)
      ASSERT_TRUE(ours.frames[i] == reference.frames[first + i]) << "picture " << first + i;
    else
      ASSERT_GE(psnr(ours.frames[i], reference.frames[first + i]), 50.0) << "picture " << first + i;
  }
}

// The sound from the reference's frame `first` on, within the whole-file
// limits: 2 LSB, and whole 200 ms blocks (the last padded with silence; a
// reference that is itself such a decode may be padded one block further).
// Where minimumSnr is set, only that close (AAC's noise substitution is
// random: no decoder that starts mid-stream can repeat it).
void expectSoundFrom(const Decoded& ours, const Wav& reference, std::size_t first, double minimumSnr = 0) {
  if (first >= reference.frames()) {
    EXPECT_FALSE(ours.haveSound && ours.sound.frames() > 0) << "sound after the end";
    return;
  }
  ASSERT_TRUE(ours.haveSound) << ours.printed;
  ASSERT_EQ(ours.sound.channels, reference.channels);
  ASSERT_EQ(ours.sound.rate, reference.rate);
  const std::size_t expected = reference.frames() - first, block = static_cast<std::size_t>(reference.rate) / 5;
  EXPECT_GE(ours.sound.frames() + block, expected);
  EXPECT_LT(ours.sound.frames(), expected + block + 1);
  const std::size_t count = std::min(ours.sound.frames(), expected) * static_cast<std::size_t>(reference.channels);
  const std::size_t skip = first * static_cast<std::size_t>(reference.channels);
  int worst = 0;
  double signal = 0, noise = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const int difference = std::abs(ours.sound.samples[i] - reference.samples[skip + i]);
    worst = std::max(worst, difference);
    signal += double(reference.samples[skip + i]) * reference.samples[skip + i];
    noise += double(difference) * difference;
  }
  if (minimumSnr > 0)
    EXPECT_GT(noise == 0 ? 99.0 : 10 * std::log10(signal / noise), minimumSnr);
  else
    EXPECT_LE(worst, 2) << "from reference frame " << first;
}

// A target in milliseconds: the picture on the screen then (constant rate
// num/den) and the sound frame it starts at.
std::size_t pictureAt(int ms, int num, int den) {
  return static_cast<std::size_t>(static_cast<std::int64_t>(ms) * num / (std::int64_t{1000} * den));
}
std::size_t soundAt(int ms, int rate) {
  return static_cast<std::size_t>((static_cast<std::int64_t>(ms) * rate + 500) / 1000);
}
std::string seconds(int ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%d.%03d", ms / 1000, ms % 1000);
  return text;
}

struct Clip {
  std::string file, y4m, wav;
  int num = 25, den = 1;
  double soundCut = 0;  // seconds of the reference sound before the first picture
  bool exactSoundMidway = true;
  bool scaled = false;  // pictures the path converts: close, not identical
};

void checkTargets(const Clip& clip, const std::vector<int>& targets) {
  fixtures::Video reference;
  ASSERT_TRUE(fixtures::readY4m(clip.y4m, reference)) << clip.y4m;
  Wav sound;
  const bool haveSound = !clip.wav.empty();
  if (haveSound) {
    ASSERT_TRUE(readWav(clip.wav, sound)) << clip.wav;
  }
  for (const int ms : targets) {
    SCOPED_TRACE(clip.file + " --start " + seconds(ms));
    const Decoded ours = decodeFrom(clip.file, seconds(ms));
    ASSERT_EQ(ours.status, 0) << ours.printed;
    expectPicturesFrom(ours.video, reference, pictureAt(ms, clip.num, clip.den), !clip.scaled);
    if (!haveSound) continue;
    const std::size_t cut = static_cast<std::size_t>(std::lround(clip.soundCut * sound.rate));
    expectSoundFrom(ours, sound, cut + soundAt(ms, sound.rate), ms == 0 || clip.exactSoundMidway ? 0 : 30.0);
  }
}

// The fixtures hold one keyframe each: every seek starts at their first
// picture, and the stamps and the sound's cut must still come out right.
TEST(FFmpegSeek, FixturesFromAnyTargetMatchFFmpegsDecode) {
  auto data = [](const std::string& name) { return fixtures::dataPath(name); };
  const std::vector<Clip> clips = {
      {data("mp4-h264-176x120.mp4"), data("mp4-h264-176x120.y4m.gz"), data("mp4-h264-176x120.wav")},
      {data("mkv-flac-96x64.mkv"), data("mkv-flac-96x64.y4m.gz"), data("mkv-flac-96x64.wav")},
      {data("mkv-audiofirst-176x120.mkv"), data("mkv-audiofirst-176x120.y4m.gz"), data("mkv-audiofirst-176x120.wav")},
      {data("webm-vp8-177x101.webm"), data("webm-vp8-177x101.y4m.gz"), data("webm-vp8-177x101.wav"), 30},
      // The sound from 1.52 s before the pictures: sound midway is AAC from
      // the middle of its stream.
      {data("mp4-earlysound-96x64.mp4"), data("mp4-earlysound-96x64.y4m.gz"), data("mp4-earlysound-96x64.wav"), 25, 1,
       1.52, false},
  };
  // The start, inside the GOP, the middle, the last picture, just before the end.
  for (const Clip& clip : clips) checkTargets(clip, {0, 130, 510, 965, 990});
}

// Fixtures with a keyframe every few pictures, by index (MP4 with MPEG-4
// video, a keyframe every 12 pictures; AVI with MJPEG, all keyframes) and by bisection
// (an MPEG-2 program stream, which comes to this path).
TEST(FFmpegSeek, OtherContainersSeekToKeyframesBeforeTheTarget) {
  auto data = [](const std::string& name) { return fixtures::dataPath(name); };
  Clip part2{data("mp4-176x120.mp4"), data("mp4-176x120.y4m.gz"), data("mp4-176x120.wav")};
  part2.exactSoundMidway = false;
  checkTargets(part2, {0, 470, 490, 700, 960});
  Clip mjpeg{data("avi-mjpeg422-176x120.avi"), data("avi-mjpeg422-176x120.y4m.gz"), data("avi-mjpeg422-176x120.wav")};
  mjpeg.scaled = true;
  checkTargets(mjpeg, {0, 390, 790});
  const std::string program = data("mpeg2-ps-176x120.mpg");
  fixtures::Video reference;
  ASSERT_TRUE(fixtures::readY4m(data("mpeg2-ps-176x120.y4m.gz"), reference));
  for (const int ms : {0, 200, 440}) {
    SCOPED_TRACE(ms);
    const Decoded ours = decodeFrom(program, seconds(ms), "--path ffmpeg");
    ASSERT_EQ(ours.status, 0) << ours.printed;
    EXPECT_NE(ours.printed.find("path ffmpeg"), std::string::npos) << ours.printed;
    expectPicturesFrom(ours.video, reference, pictureAt(ms, 25, 1));
  }
}

TEST(FFmpegSeek, VariableRateShowsThePictureOnTheScreenAtTheTarget) {
  std::ifstream in(fixtures::dataPath("mp4-vfr-176x120.times"));
  std::vector<double> times;
  for (double t; in >> t;) times.push_back(t);
  ASSERT_EQ(times.size(), 40u);
  fixtures::Video reference;
  ASSERT_TRUE(fixtures::readY4m(fixtures::dataPath("mp4-vfr-176x120.y4m.gz"), reference));
  // In the slow half, at the change of pace, in the fast half, the last picture.
  for (const int ms : {0, 520, 1000, 1010, 1130, 1385}) {
    SCOPED_TRACE(ms);
    std::size_t onScreen = 0;
    while (onScreen + 1 < times.size() && times[onScreen + 1] * 1000 <= ms + 1e-6) ++onScreen;
    const Decoded ours = decodeFrom(fixtures::dataPath("mp4-vfr-176x120.mp4"), seconds(ms));
    ASSERT_EQ(ours.status, 0) << ours.printed;
    EXPECT_FALSE(ours.haveSound);
    expectPicturesFrom(ours.video, reference, onScreen);
  }
}

// MPEG-TS seeks by bisecting its time stamps. This one restarts them for its
// second half (a different size), so on the time line it lasts 0.4 s.
TEST(FFmpegSeek, TransportStreamSeeksWithinItsTimeLine) {
  fixtures::Video reference;
  ASSERT_TRUE(fixtures::readY4m(fixtures::dataPath("ts-resize-176x120.y4m.gz"), reference));
  for (const int ms : {0, 210}) {
    SCOPED_TRACE(ms);
    const Decoded ours = decodeFrom(fixtures::dataPath("ts-resize-176x120.ts"), seconds(ms));
    ASSERT_EQ(ours.status, 0) << ours.printed;
    const std::size_t first = pictureAt(ms, 25, 1);
    ASSERT_EQ(ours.video.frames.size(), reference.frames.size() - first);
    for (std::size_t i = 0; first + i < 10; ++i) EXPECT_TRUE(ours.video.frames[i] == reference.frames[first + i]) << i;
  }
}

// Longer clips, made here by FFmpeg: H.264 with two B pictures and a
// keyframe each second, in MP4 (AAC, its noise substitution off: that noise
// is random), Matroska (FLAC) and MPEG-TS (AAC), 10 s; and sound that starts
// 1.5 s before the pictures.
class FFmpegSeekLong : public ::testing::Test {
 protected:
  static void TearDownTestSuite() {
    if (!folder_.empty()) std::system(("rm -rf " + folder_).c_str());
    folder_.clear();
  }
  void SetUp() override {
    if (!haveFFmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    if (folder_.empty()) {
      folder_ = fixtures::tempPath("-seek");
      ASSERT_EQ(std::system(("mkdir -p " + folder_).c_str()), 0);
    }
  }
  static std::string path(const std::string& name) { return folder_ + "/" + name; }
  // Makes the clip (once a run) with FFmpeg's decodes beside it, NAME.y4m
  // and NAME.wav; its path.
  static std::string clip(const std::string& name) {
    const std::string file = path(name);
    if (std::ifstream(file + ".wav").good()) return file;
    const std::string ff = "ffmpeg -nostdin -hide_banner -loglevel error -y ";
    const std::string source =
        "-f lavfi -i testsrc2=s=96x64:r=25,trim=end_frame=250 "
        "-f lavfi -i 'aevalsrc=0.4*sin(2*PI*440*t)|0.4*sin(2*PI*660*t*(1+t/10)):s=44100:c=stereo:d=10' "
        "-map 0:v -map 1:a -pix_fmt yuv420p -c:v libx264 -preset veryfast -crf 28 -g 25 -bf 2 -threads 1 ";
    const std::string aac = "-c:a aac -aac_pns 0 -b:a 96k ";
    std::string make;
    if (name == "long.mp4") make = source + aac + "-movflags +faststart ";
    if (name == "long.mkv") make = source + "-c:a flac ";
    if (name == "long.ts") make = source + aac;
    if (name == "early.mp4")
      make = "-f lavfi -i sine=f=523:b=4:r=22050:d=2.5 -itsoffset 1.5 -f lavfi -i testsrc2=s=96x64:r=25,trim=end_frame=25 "
             "-map 1:v -map 0:a -pix_fmt yuv420p -c:v libx264 -preset veryfast -crf 28 -c:a aac -aac_pns 0 -b:a 32k "
             "-threads 1 -fps_mode passthrough ";
    const bool made = !make.empty() && std::system((ff + make + file).c_str()) == 0 &&
                      std::system((ff + "-i " + file + " -map 0:v -fps_mode passthrough -f yuv4mpegpipe " + file +
                                   ".y4m").c_str()) == 0 &&
                      std::system((ff + "-i " + file + " -map 0:a -c:a pcm_s16le " + file + ".wav").c_str()) == 0;
    EXPECT_TRUE(made) << "ffmpeg could not make " << name;
    return file;
  }

  static std::string folder_;
};
std::string FFmpegSeekLong::folder_;

// The start, the first GOP, just before and just after the keyframe at 4 s,
// the middle of a GOP, near the end, the last picture, past the end.
const std::vector<int> kLongTargets = {0, 200, 3960, 4040, 4500, 9900, 9960, 10500};

TEST_F(FFmpegSeekLong, Mp4ByItsIndex) {
  const std::string file = clip("long.mp4");
  checkTargets({file, file + ".y4m", file + ".wav"}, kLongTargets);
}

TEST_F(FFmpegSeekLong, MatroskaByItsCues) {
  const std::string file = clip("long.mkv");
  checkTargets({file, file + ".y4m", file + ".wav"}, kLongTargets);
}

// The sound of this TS starts a little before its pictures, where a play
// from the start cuts it: the sound is held to the path's own whole decode
// (which the fixtures hold to FFmpeg's), the pictures to FFmpeg's.
TEST_F(FFmpegSeekLong, TransportStreamByBisection) {
  const std::string file = clip("long.ts"), whole = file + ".whole.wav";
  std::string printed;
  ASSERT_EQ(fixtures::runTool(kTool, file + " --wav " + whole, &printed), 0) << printed;
  checkTargets({file, file + ".y4m", whole}, kLongTargets);
}

TEST_F(FFmpegSeekLong, SoundThatStartsFirstIsCutAtTheTarget) {
  const std::string file = clip("early.mp4");
  Clip early{file, file + ".y4m", file + ".wav"};
  early.soundCut = 1.52;
  checkTargets(early, {0, 300, 700, 960, 1500});
}

// Sinks that keep what the path delivers, for driving it directly.
class Pictures : public kolm::IVideoDownstream {
 public:
  Pictures() : pool(nullptr) {}
  CSampleQueue* sampleQueue() override { return &pool; }
  void deliver(CSample* sample) override {
    YV12Planes planes;
    std::vector<std::uint8_t> bytes;
    if (sample->lockPlanes(&planes)) {
      for (int row = 0; row < planes.height; ++row)
        bytes.insert(bytes.end(), planes.y + row * planes.pitchY, planes.y + row * planes.pitchY + planes.width);
      for (std::uint8_t* plane : {planes.u, planes.v})
        for (int row = 0; row < planes.chromaHeight(); ++row)
          bytes.insert(bytes.end(), plane + row * planes.pitchC, plane + row * planes.pitchC + planes.chromaWidth());
      sample->unlockPlanes();
    }
    times.push_back(sample->time);
    frames.push_back(std::move(bytes));
    pool.release(sample);
  }
  CSampleQueue pool;
  std::vector<std::int64_t> times;
  std::vector<std::vector<std::uint8_t>> frames;
};

class Sound : public kolm::IAudioDownstream {
 public:
  Sound() : pool(nullptr) {}
  CAudioSampleQueue* sampleQueue() override { return &pool; }
  void deliver(CAudioSample* sample) override {
    if (positions.empty()) first = sample->position;
    positions.push_back(sample->position);
    const auto* pcm = reinterpret_cast<const std::int16_t*>(sample->buffer.get());
    samples.insert(samples.end(), pcm, pcm + sample->frameCount * static_cast<int>(sample->format.channels));
    pool.release(sample);
  }
  CAudioSampleQueue pool;
  std::int64_t first = -1;
  std::vector<std::int64_t> positions;
  std::vector<std::int16_t> samples;
};

struct Opened {
  Pictures pictures;
  Sound sound;
  std::unique_ptr<kolm::CStream> stream;
  std::unique_ptr<kolm::IDecodePath> path;
  std::string file;

  explicit Opened(const std::string& name) : file(name) {
    stream.reset(kolm::openFileStream(file.c_str(), 1));
    kolm::DecodeRequest request;
    request.video = &pictures;
    request.audio = &sound;
    request.stream = stream.get();
    request.fileName = file.c_str();
    request.realTime = false;
    std::string refusal;
    path = kolm::probeFile(request, "ffmpeg", &refusal);
  }
  void playOut() {
    pictures.times.clear();
    pictures.frames.clear();
    sound.positions.clear();
    sound.samples.clear();
    kolm::IAudioSource* audio = path->sound();
    bool video = true, more = audio != nullptr;
    for (int steps = 0; (video || more) && steps < 100000; ++steps) {
      if (video) video = path->videoStep();
      if (more) more = audio->audioStep();
    }
  }
};

// After seek(time): the pictures start at a keyframe not after it with the
// stamps of a play from the start, and those from the one on the screen at
// it on are the reference's; the sound starts at its frame, block after block.
void expectPlayFrom(Opened& opened, std::int64_t time, const fixtures::Video& reference, const Wav& sound) {
  opened.playOut();
  const std::size_t onScreen = static_cast<std::size_t>(time * 25 / kUnits);
  ASSERT_FALSE(opened.pictures.times.empty());
  EXPECT_LE(opened.pictures.times.front(), time);
  std::size_t at = 0;
  while (at < opened.pictures.times.size() && opened.pictures.times[at] < static_cast<std::int64_t>(onScreen) * kUnits / 25)
    ++at;
  ASSERT_EQ(opened.pictures.frames.size() - at, reference.frames.size() - onScreen);
  for (std::size_t i = at; i < opened.pictures.frames.size(); ++i) {
    EXPECT_EQ(opened.pictures.times[i], static_cast<std::int64_t>(onScreen + i - at) * kUnits / 25);
    ASSERT_TRUE(opened.pictures.frames[i] == reference.frames[onScreen + i - at]) << "picture " << onScreen + i - at;
  }
  const std::int64_t frame = (time * sound.rate + kUnits / 2) / kUnits;
  ASSERT_FALSE(opened.sound.positions.empty());
  EXPECT_EQ(opened.sound.first, frame);
  for (std::size_t i = 1; i < opened.sound.positions.size(); ++i)
    EXPECT_EQ(opened.sound.positions[i] - opened.sound.positions[i - 1], sound.rate / 5);
  const std::size_t count = std::min(opened.sound.samples.size(), sound.samples.size() - static_cast<std::size_t>(frame) * 2);
  int worst = 0;
  for (std::size_t i = 0; i < count; ++i)
    worst = std::max(worst, std::abs(opened.sound.samples[i] - sound.samples[static_cast<std::size_t>(frame) * 2 + i]));
  EXPECT_LE(worst, 2);
}

// Seek, seek again at once; play out; seek back from the end; seek past it.
TEST_F(FFmpegSeekLong, SeeksFollowEachOtherAndTheEnd) {
  fixtures::Video reference;
  Wav sound;
  const std::string file = clip("long.mp4");
  ASSERT_TRUE(fixtures::readY4m(file + ".y4m", reference));
  ASSERT_TRUE(readWav(file + ".wav", sound));
  Opened opened(file);
  ASSERT_NE(opened.path, nullptr);
  ASSERT_TRUE(opened.path->canSeek());
  EXPECT_NEAR(static_cast<double>(opened.path->duration()), 10.0 * kUnits, 0.05 * kUnits);
  ASSERT_TRUE(opened.path->seek(7 * kUnits + 300000));
  ASSERT_TRUE(opened.path->seek(2 * kUnits + 400000));
  {
    SCOPED_TRACE("2.04 s after 7.03 s");
    expectPlayFrom(opened, 2 * kUnits + 400000, reference, sound);
  }
  ASSERT_TRUE(opened.path->seek(5 * kUnits + 520000));
  {
    SCOPED_TRACE("5.52 s after the end");
    expectPlayFrom(opened, 5 * kUnits + 520000, reference, sound);
  }
  ASSERT_TRUE(opened.path->seek(11 * kUnits));
  opened.playOut();
  for (const std::int64_t time : opened.pictures.times) EXPECT_LT(time, 10 * kUnits);
  EXPECT_TRUE(opened.sound.positions.empty());
}

// Where FFmpeg could only read forward through the file to a time (a raw
// stream without a container), the path does not offer to seek; the file
// still plays from the start.
TEST_F(FFmpegSeekLong, ARawStreamDoesNotSeek) {
  const std::string raw = path("long.h264");
  ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -y -i " + clip("long.mp4") + " -map 0:v -c copy -f h264 " +
                         raw).c_str()), 0);
  Opened opened(raw);
  ASSERT_NE(opened.path, nullptr);
  EXPECT_FALSE(opened.path->canSeek());
  EXPECT_FALSE(opened.path->seek(kUnits));
  opened.playOut();
  EXPECT_EQ(opened.pictures.frames.size(), 250u);
  std::string printed;
  EXPECT_EQ(fixtures::runTool(kTool, raw + " --start 1", &printed, true), 1);
  EXPECT_NE(printed.find("cannot seek"), std::string::npos) << printed;
}

// Damage anywhere: every seek ends, cleanly or with a reason, never by a crash.
TEST_F(FFmpegSeekLong, DamagedFilesNeverCrashOrHang) {
  std::vector<std::string> damaged;
  for (const char* name : {"long.mp4", "long.mkv", "long.ts"}) {
    std::ifstream in(clip(name), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 20000u);
    // Cut at 60 %; and 4 KB of junk at 20, 50 and 80 %.
    const std::string cut = path(std::string("cut-") + name), junk = path(std::string("junk-") + name);
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() * 6 / 10);
    std::string spoiled = bytes;
    unsigned seed = 12345;
    for (const std::size_t at : {spoiled.size() / 5, spoiled.size() / 2, spoiled.size() * 4 / 5})
      for (std::size_t i = 0; i < 4096 && at + i < spoiled.size(); ++i) spoiled[at + i] = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
    std::ofstream(junk, std::ios::binary) << spoiled;
    damaged.push_back(cut);
    damaged.push_back(junk);
  }
  for (const std::string& file : damaged) {
    for (const char* start : {"0", "2.2", "5", "9.9", "30"}) {
      SCOPED_TRACE(file + " --start " + start);
      const Decoded ours = decodeFrom(file, start);
      EXPECT_TRUE(ours.status == 0 || ours.status == 1) << ours.printed;
    }
  }
}

// The pixel's shape: from the container or the codec, reduced; square where
// the file says nothing.
TEST_F(FFmpegSeekLong, PixelShapeComesFromTheFile) {
  const std::string ff = "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=s=96x64:r=25,trim=end_frame=5";
  ASSERT_EQ(std::system((ff + ",setsar=32/22 -c:v libx264 -preset veryfast " + path("sar.mp4")).c_str()), 0);
  ASSERT_EQ(std::system((ff + " -c:v libx264 -preset veryfast -aspect 16:9 " + path("dar.mkv")).c_str()), 0);
  const std::vector<std::tuple<std::string, int, int>> cases = {
      {path("sar.mp4"), 16, 11}, {path("dar.mkv"), 32, 27}, {fixtures::dataPath("mp4-h264-176x120.mp4"), 1, 1}};
  for (const auto& [file, num, den] : cases) {
    SCOPED_TRACE(file);
    Opened opened(file);
    ASSERT_NE(opened.path, nullptr);
    const kolm::VideoFormat format = opened.path->videoFormat();
    EXPECT_EQ(format.pixelAspectNumerator, num);
    EXPECT_EQ(format.pixelAspectDenominator, den);
  }
}

// The length is on the pictures' time line: sound before the first picture
// and a late first picture do not count.
TEST(FFmpegSeek, DurationRunsFromTheFirstPicture) {
  for (const char* name : {"mp4-earlysound-96x64.mp4", "webm-vp8-177x101.webm", "mkv-audiofirst-176x120.mkv"}) {
    SCOPED_TRACE(name);
    Opened opened(fixtures::dataPath(name));
    ASSERT_NE(opened.path, nullptr);
    EXPECT_NEAR(static_cast<double>(opened.path->duration()), 1.0 * kUnits, 0.002 * kUnits);
  }
}

}  // namespace
