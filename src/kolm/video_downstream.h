#pragma once

#include "kolm/sample_queue.h"

namespace kolm {

// Where a video decoder sends its pictures. A producer takes empty samples
// from sampleQueue(), fills them, sets their time and hands each one over with
// deliver(); from then on the sample belongs to the sink.
class IVideoDownstream {
 public:
  virtual ~IVideoDownstream() = default;
  // The pool to take samples from; the same pointer for the sink's whole life.
  virtual CSampleQueue* sampleQueue() = 0;
  virtual void deliver(CSample* sample) = 0;
};

}  // namespace kolm
