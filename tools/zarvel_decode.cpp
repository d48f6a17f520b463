// zarvel-decode: probes a file as the player does, then decodes it as fast as
// it can, writing pictures in display order as Y4M (or discarding them), and
// prints what it did. The end-to-end test tool and the benchmark harness.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kolm/sample_queue.h"
#include "kolm/stream.h"
#include "mpeg1/probe.h"
#include "video/video_downstream.h"
#include "y4m_writer.h"

namespace {

struct Options {
  std::string file;
  std::string y4m;
  std::string wav;
  std::string path = "auto";
  long frames = -1;
  bool postprocess = true;
};

void usage() {
  std::fprintf(stderr,
               "usage: zarvel-decode FILE [--y4m OUT] [--wav OUT] [--frames N]\n"
               "                      [--path auto|mpeg1|ogg|ffmpeg] [--no-postprocess]\n");
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
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
      if (options.path != "auto" && options.path != "mpeg1" && options.path != "ogg" && options.path != "ffmpeg")
        return false;
    } else if (arg == "--frames") {
      if (!value(number)) return false;
      char* end = nullptr;
      options.frames = std::strtol(number.c_str(), &end, 10);
      if (*end || options.frames < 0) return false;
    } else if (arg == "--no-postprocess") {
      options.postprocess = false;
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

// Takes every delivered picture at once: writes it (visible size) and gives it back.
class DecodeSink : public kolm::IVideoDownstream {
 public:
  DecodeSink() : pool_(nullptr) {}
  CSampleQueue* sampleQueue() override { return &pool_; }
  void deliver(CSample* sample) override {
    ++pictures;
    if (writer.isOpen()) {
      const int width = sample->width, height = sample->height;
      const std::uint8_t* y = sample->planeY;
      const std::uint8_t* v = y + static_cast<std::size_t>(width) * height;
      const std::uint8_t* u = v + static_cast<std::size_t>(width / 2) * (height / 2);
      if (!writer.write(y, width, u, v, width / 2)) writeFailed = true;
    }
    pool_.release(sample);
  }

  Y4mWriter writer;
  long pictures = 0;
  bool writeFailed = false;

 private:
  CSampleQueue pool_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    usage();
    return 2;
  }
  std::unique_ptr<kolm::CStream> stream(kolm::openFileStream(options.file.c_str(), 1));
  if (!stream) {
    std::fprintf(stderr, "zarvel-decode: cannot open %s\n", options.file.c_str());
    return 1;
  }

  DecodeSink sink;
  std::unique_ptr<mpeg1::Mpeg1Source> mpeg;
  if (options.path == "auto" || options.path == "mpeg1") mpeg = mpeg1::openMpeg1(stream.get(), &sink);
  if (!mpeg) {
    std::fprintf(stderr, "zarvel-decode: no decode path accepts %s\n", options.file.c_str());
    return 1;
  }
  CMpeg1VideoDecoder& decoder = *mpeg->decoder;
  const int width = static_cast<int>(decoder.horizontalSize), height = static_cast<int>(decoder.verticalSize);
  if (!options.y4m.empty() &&
      !sink.writer.open(options.y4m, width, height, decoder.frameRateNum(), decoder.frameRateDen())) {
    std::fprintf(stderr, "zarvel-decode: cannot write %s\n", options.y4m.c_str());
    return 1;
  }

  const auto begin = std::chrono::steady_clock::now();
  while (decoder.step()) {
    if (options.frames >= 0 && sink.pictures >= options.frames) break;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  if (!sink.writer.close() || sink.writeFailed) {
    std::fprintf(stderr, "zarvel-decode: writing %s failed\n", options.y4m.c_str());
    return 1;
  }
  std::printf("zarvel-decode: path mpeg1, %dx%d, %ld pictures in %.3f s (%.1f pictures/s)\n", width, height,
              sink.pictures, seconds, seconds > 0 ? sink.pictures / seconds : 0.0);
  // A stream without a sequence end code is common and loses nothing; say only
  // when decoding stopped for another reason.
  const std::string& why = decoder.lastError();
  if (!why.empty() && why != "Improper or missing sequence end code.")
    std::printf("zarvel-decode: decoding stopped early: %s\n", why.c_str());
  return 0;
}
