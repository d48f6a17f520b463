// Feeds arbitrary bytes through the MPEG-1 path: format detection, packet and
// payload reading, every header and the whole picture decode.
#include <cstddef>
#include <cstdint>

#include "kolm/memory_stream.h"
#include "kolm/sample_queue.h"
#include "mpeg1/probe.h"
#include "video/video_downstream.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kolm::CMemoryStream stream(data, size);
  Sink sink;
  auto source = mpeg1::openMpeg1(&stream, &sink);
  if (!source) return 0;
  // Every step consumes data or ends; the bound only guards the fuzzer's time.
  for (int steps = 0; steps < 200000 && source->decoder->step(); ++steps) {
  }
  return 0;
}
