// The FFmpeg path's sound: zarvel-decode against FFmpeg's own decode of every
// fixture, a device at another rate, and a machine without libswresample.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ffmpeg/ffmpeg_decoder.h"
#include "support/wav.h"
#include "kolm/audio_downstream.h"
#include "kolm/audio_sample_queue.h"
#include "kolm/sound_format_sink.h"
#include "kolm/video_downstream.h"
#include "playback/probe.h"
#include "support/fixtures.h"

namespace {

const std::string kTool = ZARVEL_DECODE;

using fixtures::readWav;
using fixtures::Wav;

// Frames of the reference that lie before the first picture: the sound of
// mp4-earlysound starts 1.52 s before it (1.5 s, and the MP4 muxer's edit
// list rounds the pictures' start to its own units).
std::size_t cutFrames(const std::string& file, int rate) {
  return file.find("earlysound") != std::string::npos ? static_cast<std::size_t>(rate) * 152 / 100 : 0;
}

TEST(FFmpegSound, EverySoundMatchesFFmpegsOwnDecode) {
  int checked = 0;
  for (const auto& row : fixtures::manifest()) {
    if (row["kind"] != "ffmpeg" || row["ref_wav"] == "-") continue;
    const std::string file = row["file"];
    SCOPED_TRACE(file);
    const std::string out = fixtures::tempPath(".wav");
    std::string printed;
    ASSERT_EQ(fixtures::runTool(kTool, fixtures::dataPath(file) + " --wav " + out, &printed), 0);
    Wav ours, reference;
    ASSERT_TRUE(readWav(out, ours)) << printed;
    std::remove(out.c_str());
    ASSERT_TRUE(readWav(fixtures::dataPath(row["ref_wav"]), reference));
    ASSERT_EQ(ours.channels, reference.channels);
    ASSERT_EQ(ours.rate, reference.rate);
    const std::size_t cut = cutFrames(file, reference.rate);
    ASSERT_GT(reference.frames(), cut);
    const std::size_t expected = reference.frames() - cut;
    // Whole blocks of 200 ms: the last one is padded with silence.
    EXPECT_GE(ours.frames(), expected);
    EXPECT_LT(ours.frames(), expected + static_cast<std::size_t>(reference.rate) / 5 + 1);
    int worst = 0;
    const std::size_t count = std::min(ours.frames(), expected) * static_cast<std::size_t>(ours.channels);
    const std::size_t skip = cut * static_cast<std::size_t>(reference.channels);
    for (std::size_t i = 0; i < count; ++i)
      worst = std::max(worst, std::abs(ours.samples[i] - reference.samples[skip + i]));
    EXPECT_LE(worst, 2);
    std::printf("%-30s %zu frames at %d Hz, largest difference %d LSB\n", file.c_str(), expected, ours.rate, worst);
    ++checked;
  }
  EXPECT_GE(checked, 7);
}

// A sound device that wants its own rate, as the sound pool agrees it.
class RateDevice : public kolm::ISoundFormatSink {
 public:
  void setFormat(AudioFormat& format) override { format.sampleRate = 48000; }
  bool createStream(int) override { return true; }
};

class Pictures : public kolm::IVideoDownstream {
 public:
  Pictures() : pool(nullptr) {}
  CSampleQueue* sampleQueue() override { return &pool; }
  void deliver(CSample* sample) override {
    ++count;
    pool.release(sample);
  }
  CSampleQueue pool;
  int count = 0;
};

class Sound : public kolm::IAudioDownstream {
 public:
  explicit Sound(kolm::ISoundFormatSink* device) : pool(device) {}
  CAudioSampleQueue* sampleQueue() override { return &pool; }
  void deliver(CAudioSample* sample) override {
    EXPECT_EQ(sample->position, static_cast<std::int64_t>(samples.size() / sample->format.channels));
    const auto* pcm = reinterpret_cast<const std::int16_t*>(sample->buffer.get());
    samples.insert(samples.end(), pcm, pcm + sample->frameCount * static_cast<int>(sample->format.channels));
    pool.release(sample);
  }
  CAudioSampleQueue pool;
  std::vector<std::int16_t> samples;
};

TEST(FFmpegSound, ADeviceAtAnotherRateGetsTheSoundResampled) {
  RateDevice device;
  Pictures pictures;
  Sound sound(&device);
  const std::string path = fixtures::dataPath("mkv-flac-96x64.mkv");
  std::unique_ptr<kolm::CStream> stream(kolm::openFileStream(path.c_str(), 1));
  kolm::DecodeRequest request;
  request.video = &pictures;
  request.audio = &sound;
  request.stream = stream.get();
  request.fileName = path.c_str();
  std::string refusal;
  std::unique_ptr<kolm::IDecodePath> decoders = kolm::probeFile(request, nullptr, &refusal);
  ASSERT_NE(decoders, nullptr) << refusal;
  ASSERT_STREQ(decoders->name(), "ffmpeg");
  kolm::IAudioSource* audioSource = decoders->sound();
  ASSERT_NE(audioSource, nullptr) << decoders->soundProblem();
  EXPECT_EQ(sound.pool.format().sampleRate, 48000u);
  bool video = true, audio = true;
  while (video || audio) {
    if (video) video = decoders->videoStep();
    if (audio) audio = audioSource->audioStep();
  }
  decoders.reset();
  EXPECT_EQ(pictures.count, 25);
  Wav reference;
  ASSERT_TRUE(readWav(fixtures::dataPath("mkv-flac-96x64.48000.wav"), reference));
  ASSERT_EQ(reference.channels, 2);
  ASSERT_GE(sound.samples.size(), reference.samples.size());
  double signal = 0, noise = 0;
  for (std::size_t i = 0; i < reference.samples.size(); ++i) {
    const double r = reference.samples[i], d = r - sound.samples[i];
    signal += r * r;
    noise += d * d;
  }
  const double snr = noise == 0 ? 99.0 : 10.0 * std::log10(signal / noise);
  std::printf("mkv-flac-96x64.mkv resampled to 48000 Hz: SNR %.1f dB against FFmpeg's\n", snr);
  EXPECT_GT(snr, 60.0);
}

// Windows without swresample-N.dll: the pictures play, the sound is refused
// with the reason.
TEST(FFmpegSound, WithoutTheConverterThePicturesPlaySilent) {
  ffmpeg::overrideLibraryName(ffmpeg::swresample, "libzarvel-no-such-library.so.0");
  {
    Pictures pictures;
    Sound sound(nullptr);
    const std::string path = fixtures::dataPath("mkv-flac-96x64.mkv");
    CFFmpegDecoder decoder(&pictures, path.c_str());
    ASSERT_TRUE(decoder.openVideoPath()) << decoder.lastError();
    std::string problem;
    EXPECT_EQ(decoder.openSound(&sound, &problem), nullptr);
    EXPECT_NE(problem.find("libzarvel-no-such-library.so.0 not found"), std::string::npos) << problem;
    while (decoder.decodeAndDeliver()) {
    }
    EXPECT_EQ(pictures.count, 25);
    EXPECT_EQ(decoder.droppedPackets(), 0u);
  }
  ffmpeg::overrideLibraryName(ffmpeg::swresample, nullptr);
}

}  // namespace
