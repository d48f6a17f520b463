// Feeds arbitrary bytes through the Ogg path: the page reader of both streams,
// the header stage, and a few picture and sound steps.
#include <cstddef>
#include <cstdint>

#include "kolm/audio_downstream.h"
#include "kolm/audio_sample_queue.h"
#include "kolm/memory_stream.h"
#include "kolm/sample_queue.h"
#include "kolm/video_downstream.h"
#include "ogg/ogg_decoder.h"
#include "ogg/ogg_stream.h"

namespace {

class PictureSink : public kolm::IVideoDownstream {
 public:
  PictureSink() : pool_(nullptr) {}
  CSampleQueue* sampleQueue() override { return &pool_; }
  void deliver(CSample* sample) override {
    // Touch both ends of the picture so that a wrongly sized sample shows up.
    YV12Planes planes;
    if (sample->lockPlanes(&planes)) {
      volatile std::uint8_t first = planes.y[0];
      volatile std::uint8_t last =
          planes.u[static_cast<std::size_t>(planes.pitchC) * (planes.chromaHeight() - 1) + planes.chromaWidth() - 1];
      (void)first;
      (void)last;
      sample->unlockPlanes();
    }
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
    volatile std::uint8_t last = sample->buffer[chunkBytes(sample->format) - 1];
    (void)last;
    pool_.release(sample);
  }

 private:
  CAudioSampleQueue pool_;
};

// Every packet of one stream, page group by page group; bounded for the fuzzer's time.
void readAll(ogg::COggStream& reader) {
  if (!reader.findStream()) return;
  for (int groups = 0; groups < 4096; ++groups) {
    while (reader.nextPacket()) {
      const ogg_packet* packet = reader.packet();
      if (packet->bytes > 0) {
        volatile std::uint8_t last = packet->packet[packet->bytes - 1];
        (void)last;
      }
    }
    reader.resetPackets();
    if (!reader.readPage()) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kolm::CMemoryStream stream(data, size);
  {
    ogg::CVideoStream video(&stream);
    readAll(video);
    ogg::CAudioStream audio(&stream);
    readAll(audio);
  }
  PictureSink pictures;
  SoundSink sound;
  COggDecoder decoder(&pictures, &sound, &stream);
  decoder.audioPacing = false;
  // Keeps the codec's frame buffers small enough for many runs a second.
  decoder.frameAreaLimit = 1024 * 1024;
  try {
    if (!decoder.open()) return 0;
  } catch (const ogg::CHeaderError&) {
    return 0;
  }
  for (int steps = 0; steps < 32; ++steps) {
    const bool video = decoder.videoStep();
    const bool audio = decoder.audioStep();
    if (!video && !audio) break;
  }
  return 0;
}
