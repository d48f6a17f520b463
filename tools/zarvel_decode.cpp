// zarvel-decode: probes a file as the player does, then decodes it as fast as
// it can, writing pictures in display order as Y4M and sound as WAV (or
// discarding them), and prints what it did. The end-to-end test tool and the
// benchmark harness.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kolm/audio_downstream.h"
#include "kolm/audio_sample_queue.h"
#include "kolm/clock.h"
#include "kolm/decode_path.h"
#include "kolm/printable.h"
#include "kolm/sample_queue.h"
#include "kolm/seek_gate.h"
#include "kolm/stream.h"
#include "kolm/sys/sys.h"
#include "kolm/video_downstream.h"
#include "mpeg1/kernels.h"
#include "playback/probe.h"
#include "y4m_writer.h"

namespace {

struct Options {
  std::string file;
  std::string y4m;
  std::string wav;
  std::string path = "auto";
  std::string simd;  // "" for the processor's best
  long frames = -1;
  std::int64_t start = -1;  // --start, 100 ns units; -1 from the beginning
  bool postprocess = true;
  bool audio = true;
};

void usage() {
  std::fprintf(stderr,
               "usage: zarvel-decode FILE [--y4m OUT] [--wav OUT] [--frames N] [--start TIME]\n"
               "                      [--path auto|mpeg1|ogg|ffmpeg] [--no-postprocess] [--no-audio]\n"
               "                      [--simd plain|sse2|avx2]\n"
               "       TIME: seconds (90, 1.5) or [h:]m:s (1:30, 0:01:30.5), as the player seeks\n"
               "       (-- before a FILE whose name begins with a dash)\n");
}

bool parse(int argc, char** argv, Options& options) {
  bool optionsEnd = false;  // after "--", a name that begins with a dash is a file
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnd) {
      if (!options.file.empty()) return false;
      options.file = arg;
      continue;
    }
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string number;
    if (arg == "--y4m") {
      if (!value(options.y4m)) return false;
    } else if (arg == "--wav") {
      if (!value(options.wav)) return false;
    } else if (arg == "--path") {
      if (!value(options.path)) return false;
      if (options.path != "auto" && !kolm::isDecodePath(options.path)) return false;
    } else if (arg == "--simd") {
      // The MPEG-1 decoder's routines, for comparisons; a level the processor
      // lacks gives the best one it has.
      mpeg1::SimdLevel level;
      if (!value(options.simd) || !mpeg1::simdLevelFromName(options.simd.c_str(), &level)) return false;
    } else if (arg == "--frames") {
      if (!value(number)) return false;
      char* end = nullptr;
      options.frames = std::strtol(number.c_str(), &end, 10);
      if (*end || options.frames < 0) return false;
    } else if (arg == "--start") {
      if (!value(number) || !kolm::parseTime(number.c_str(), &options.start)) return false;
    } else if (arg == "--no-postprocess") {
      options.postprocess = false;
    } else if (arg == "--no-audio") {
      options.audio = false;
    } else if (arg == "--") {
      optionsEnd = true;
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      return false;
    } else if (options.file.empty()) {
      options.file = arg;
    } else {
      return false;
    }
  }
  return !options.file.empty();
}

// Takes every delivered picture at once: writes it (visible size) and gives it
// back. After a seek the gate passes only the pictures on the screen from the
// target on, as the player shows them; the one it holds back is copied.
class DecodeSink : public kolm::IVideoDownstream {
 public:
  DecodeSink() : pool_(nullptr) {}
  CSampleQueue* sampleQueue() override { return &pool_; }
  void deliver(CSample* sample) override {
    switch (gate.judge(sample->time)) {
      case kolm::CSeekGate::Verdict::hold:
      case kolm::CSeekGate::Verdict::replaceHeld:
        keep(sample);
        break;
      case kolm::CSeekGate::Verdict::showHeldFirst:
        writeHeld();
        write(sample);
        break;
      case kolm::CSeekGate::Verdict::show:
      case kolm::CSeekGate::Verdict::dropHeldAndShow:
        write(sample);
        break;
    }
    pool_.release(sample);
  }
  // The pictures have ended: the held one still counts if it is on the screen at the target.
  void finish() {
    if (gate.finish(heldTime_)) writeHeld();
  }

  kolm::CSeekGate gate;
  Y4mWriter writer;
  long pictures = 0;
  bool writeFailed = false;

 private:
  void write(CSample* sample) {
    ++pictures;
    YV12Planes planes;
    if (writer.isOpen() && sample->lockPlanes(&planes)) {
      if (!writer.write(planes.y, planes.pitchY, planes.u, planes.v, planes.pitchC)) writeFailed = true;
      sample->unlockPlanes();
    }
  }
  void keep(CSample* sample) {
    heldTime_ = sample->time;
    YV12Planes planes;
    held_.clear();
    if (!writer.isOpen() || !sample->lockPlanes(&planes)) return;
    heldWidth_ = planes.width;
    heldHeight_ = planes.height;
    for (int row = 0; row < planes.height; ++row)
      held_.insert(held_.end(), planes.y + static_cast<std::size_t>(row) * planes.pitchY,
                   planes.y + static_cast<std::size_t>(row) * planes.pitchY + planes.width);
    for (std::uint8_t* plane : {planes.u, planes.v})
      for (int row = 0; row < planes.chromaHeight(); ++row)
        held_.insert(held_.end(), plane + static_cast<std::size_t>(row) * planes.pitchC,
                     plane + static_cast<std::size_t>(row) * planes.pitchC + planes.chromaWidth());
    sample->unlockPlanes();
  }
  void writeHeld() {
    ++pictures;
    if (!writer.isOpen() || held_.empty()) return;
    const std::uint8_t* y = held_.data();
    const std::size_t chroma = static_cast<std::size_t>((heldWidth_ + 1) / 2) * ((heldHeight_ + 1) / 2);
    const std::uint8_t* u = y + static_cast<std::size_t>(heldWidth_) * heldHeight_;
    if (!writer.write(y, heldWidth_, u, u + chroma, (heldWidth_ + 1) / 2)) writeFailed = true;
  }

  CSampleQueue pool_;
  std::vector<std::uint8_t> held_;  // Y, U, V rows without padding
  std::int64_t heldTime_ = 0;
  int heldWidth_ = 0;
  int heldHeight_ = 0;
};

// Writes interleaved little-endian PCM as a RIFF WAVE file; the sizes are
// filled in by close().
class WavWriter {
 public:
  ~WavWriter() { close(); }
  bool open(const std::string& path, const AudioFormat& format) {
    file_ = kolm::sys::openFile(path.c_str(), "wb");
    if (!file_) return false;
    const std::uint32_t align = blockAlign(format);
    std::uint8_t header[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
                               1, 0};
    put16(header + 22, format.channels);
    put32(header + 24, format.sampleRate);
    put32(header + 28, format.sampleRate * align);
    put16(header + 32, align);
    put16(header + 34, format.bitsPerSample);
    std::memcpy(header + 36, "data", 4);
    return std::fwrite(header, 1, sizeof header, file_) == sizeof header;
  }
  bool write(const std::uint8_t* data, std::size_t bytes) {
    dataBytes_ += bytes;
    return file_ && std::fwrite(data, 1, bytes, file_) == bytes;
  }
  bool close() {
    if (!file_) return true;
    std::uint8_t size[4];
    bool ok = dataBytes_ <= 0xFFFFFFFFu - 36;
    put32(size, static_cast<std::uint32_t>(dataBytes_ + 36));
    ok = ok && std::fseek(file_, 4, SEEK_SET) == 0 && std::fwrite(size, 1, 4, file_) == 4;
    put32(size, static_cast<std::uint32_t>(dataBytes_));
    ok = ok && std::fseek(file_, 40, SEEK_SET) == 0 && std::fwrite(size, 1, 4, file_) == 4;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    return ok;
  }
  bool isOpen() const { return file_ != nullptr; }

 private:
  static void put16(std::uint8_t* at, std::uint32_t v) {
    at[0] = static_cast<std::uint8_t>(v);
    at[1] = static_cast<std::uint8_t>(v >> 8);
  }
  static void put32(std::uint8_t* at, std::uint32_t v) {
    put16(at, v & 0xFFFF);
    put16(at + 2, v >> 16);
  }
  std::FILE* file_ = nullptr;
  std::uint64_t dataBytes_ = 0;
};

// Takes every delivered sound block at once: writes it whole (a last block is
// padded with silence, as the sound device would play it) and gives it back.
class SoundSink : public kolm::IAudioDownstream {
 public:
  SoundSink() : pool_(nullptr) {}
  CAudioSampleQueue* sampleQueue() override { return &pool_; }
  void deliver(CAudioSample* sample) override {
    if (blocks++ == 0) {
      format = sample->format;
      // Paths that learn their sound format only when decoding starts.
      if (!path.empty() && !writer.isOpen() && !writer.open(path, format)) writeFailed = true;
    }
    frames += static_cast<std::uint64_t>(sample->frameCount);
    if (writer.isOpen() && !writer.write(sample->buffer.get(), chunkBytes(sample->format))) writeFailed = true;
    pool_.release(sample);
  }

  WavWriter writer;
  std::string path;  // --wav, opened at the first block unless already open
  AudioFormat format{};  // of the first block
  long blocks = 0;
  std::uint64_t frames = 0;
  bool writeFailed = false;

 private:
  CAudioSampleQueue pool_;
};

// Steps the path as fast as it can, a picture then a sound block (when the
// file has sound) in turn, writing every one, and says what it did. The sinks
// give every sample back at once, so neither step ever waits for a pool.
int decode(kolm::IDecodePath& path, DecodeSink& sink, SoundSink& sound, const Options& options) {
  const kolm::VideoFormat format = path.videoFormat();
  if (!options.y4m.empty() &&
      !sink.writer.open(options.y4m, format.width, format.height, format.rateNumerator, format.rateDenominator)) {
    kolm::sys::printText(stderr, "zarvel-decode: cannot write " + kolm::printable(options.y4m) + "\n");
    return 1;
  }
  kolm::IAudioSource* audio = options.audio ? path.sound() : nullptr;
  if (audio) sound.path = options.wav;
  const auto begin = std::chrono::steady_clock::now();
  if (options.start >= 0) {
    if (!path.canSeek() || !path.seek(options.start)) {
      std::fprintf(stderr, "zarvel-decode: the %s path cannot seek in this file\n", path.name());
      return 1;
    }
    const std::int64_t duration =
        format.rateNumerator > 0 ? kolm::unitsPerSecond * format.rateDenominator / format.rateNumerator : 1;
    sink.gate.arm(options.start, duration);
  }
  bool video = true, more = audio != nullptr;
  while (video || more) {
    if (video) video = path.videoStep();
    if (!video) sink.finish();
    if (more) more = audio->audioStep();
    if (options.frames >= 0 && sink.pictures >= options.frames) break;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  if (!sink.writer.close() || sink.writeFailed) {
    kolm::sys::printText(stderr, "zarvel-decode: writing " + kolm::printable(options.y4m) + " failed\n");
    return 1;
  }
  if (!sound.writer.close() || sound.writeFailed) {
    kolm::sys::printText(stderr, "zarvel-decode: writing " + kolm::printable(options.wav) + " failed\n");
    return 1;
  }
  const std::string codec = path.codec();
  std::printf("zarvel-decode: path %s%s, %dx%d, %ld pictures in %.3f s (%.1f pictures/s)\n", path.name(),
              codec.empty() ? "" : (" (" + codec + ")").c_str(), format.width, format.height, sink.pictures, seconds,
              seconds > 0 ? sink.pictures / seconds : 0.0);
  if (sound.blocks > 0) {
    const AudioFormat& played = sound.format;
    std::printf("zarvel-decode: sound %u Hz, %u channels, %u bits, %.3f s in %ld blocks\n", played.sampleRate,
                played.channels, played.bitsPerSample,
                played.sampleRate ? static_cast<double>(sound.frames) / played.sampleRate : 0.0, sound.blocks);
  }
  for (const std::string& note : path.notes()) std::printf("zarvel-decode: %s\n", note.c_str());
  const std::string stopped = path.stopReason();
  if (!stopped.empty()) std::printf("zarvel-decode: decoding stopped early: %s\n", stopped.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  // On Windows the arguments come from the wide command line, in UTF-8, so
  // that a name outside the ANSI code page reaches the file calls whole.
  std::vector<std::string> arguments = kolm::sys::commandLineArguments(argc, argv);
  std::vector<char*> argumentPointers;
  for (std::string& argument : arguments) argumentPointers.push_back(&argument[0]);
  argumentPointers.push_back(nullptr);
  if (!parse(static_cast<int>(arguments.size()), argumentPointers.data(), options)) {
    usage();
    return 2;
  }
  const std::string name = kolm::printable(options.file);
  std::string why;
  std::unique_ptr<kolm::CStream> stream(kolm::openFileStream(options.file.c_str(), 1, &why));
  if (!stream) {
    kolm::sys::printText(stderr, "zarvel-decode: cannot open " + name + ": " + why + "\n");
    return 1;
  }

  // The sinks outlive the decoders that deliver to them.
  DecodeSink sink;
  SoundSink sound;
  kolm::DecodeRequest request;
  request.video = &sink;
  request.audio = &sound;
  request.stream = stream.get();
  request.fileName = options.file.c_str();
  request.simd = options.simd.empty() ? nullptr : options.simd.c_str();
  request.postprocess = options.postprocess;
  request.realTime = false;
  std::string refusal;
  const std::unique_ptr<kolm::IDecodePath> path =
      kolm::probeFile(request, options.path == "auto" ? nullptr : options.path.c_str(), &refusal);
  if (!path) {
    kolm::sys::printText(stderr, "zarvel-decode: no decode path accepts " + name +
                                     (refusal.empty() ? "" : " (" + kolm::printable(refusal) + ")") + "\n");
    return 1;
  }
  return decode(*path, sink, sound, options);
}
