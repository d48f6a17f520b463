#pragma once

#include "kolm/audio_sample_queue.h"

namespace kolm {

// Where a producer of sound takes its blocks from and hands them back filled.
class IAudioDownstream {
 public:
  virtual ~IAudioDownstream() = default;
  virtual CAudioSampleQueue* sampleQueue() = 0;
  virtual void deliver(CAudioSample* sample) = 0;
};

}  // namespace kolm
