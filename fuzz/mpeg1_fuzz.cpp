// Feeds arbitrary bytes through the MPEG-1 path: format detection, packet and
// payload reading, every header, the whole picture decode, and the sound of a
// system stream (its own reader and libmpg123) stepped beside the pictures.
#include <cstddef>
#include <cstdint>

#include <string>

#include "kolm/audio_downstream.h"
#include "kolm/audio_sample_queue.h"
#include "kolm/memory_stream.h"
#include "kolm/sample_queue.h"
#include "kolm/video_downstream.h"
#include "mpeg1/probe.h"

namespace {

class Sink : public kolm::IVideoDownstream {
 public:
  Sink() : pool_(nullptr) {}
  CSampleQueue* sampleQueue() override { return &pool_; }
  void deliver(CSample* sample) override {
    // Touch the picture so that a wrongly sized sample shows up.
    volatile std::uint8_t sink = sample->planeY[0];
    (void)sink;
    pool_.release(sample);
  }

 private:
  CSampleQueue pool_;
};

class SoundSink : public kolm::IAudioDownstream {
 public:
  SoundSink() : pool_(nullptr) {}
  CAudioSampleQueue* sampleQueue() override { return &pool_; }
  void deliver(CAudioSample* sample) override {
    // The whole block, so that a wrongly sized one shows up.
    volatile std::uint8_t sink = sample->buffer[chunkBytes(sample->format) - 1];
    (void)sink;
    pool_.release(sample);
  }

 private:
  CAudioSampleQueue pool_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kolm::CMemoryStream stream(data, size);
  Sink sink;
  auto source = mpeg1::openMpeg1(&stream, &sink);
  if (!source) return 0;
  SoundSink soundSink;
  std::string problem;
  // Deleted before the source whose stream it reopened.
  auto sound = mpeg1::openMpeg1Sound(*source, &stream, &soundSink, &problem);
  // Every step consumes data or ends; the bound only guards the fuzzer's time.
  bool pictures = true, blocks = sound != nullptr;
  for (int steps = 0; steps < 200000 && (pictures || blocks); ++steps) {
    if (pictures) pictures = source->decoder->step();
    if (blocks) blocks = sound->audioStep();
  }
  sound.reset();
  return 0;
}
