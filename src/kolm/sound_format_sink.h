#pragma once

#include "kolm/audio_format.h"

namespace kolm {

// What the sound pool needs of the sound device: agree a format, then make the
// streaming buffer its blocks will fill. The pool knows the device only
// through this, so the core does not depend on the sound output.
class ISoundFormatSink {
 public:
  virtual ~ISoundFormatSink() = default;
  // Adjusts the record in place to what the device supports and agrees it.
  virtual void setFormat(AudioFormat& format) = 0;
  // Replaces the streaming buffer by one of count chunks of the agreed format;
  // false when there is none afterwards.
  virtual bool createStream(int count) = 0;
};

}  // namespace kolm
