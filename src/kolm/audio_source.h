#pragma once

namespace kolm {

// The sound of an open file, whatever its path: decodes and delivers one
// sound block per step to the sound pool the path was given when it probed.
// audioStep() runs on the audio decode thread only, beside the video side of
// the same path on the video decode thread.
class IAudioSource {
 public:
  virtual ~IAudioSource() = default;
  // Fills and delivers one block: false when the sound has ended (or can go
  // on no further), after which it is not called again.
  virtual bool audioStep() = 0;
};

}  // namespace kolm
