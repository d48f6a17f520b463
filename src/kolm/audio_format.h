#pragma once

#include <cstdint>

// The PCM format shared by the sound pool, the sound device and the producer.
// One block (and one chunk of the sound buffer) lasts `milliseconds`.
struct AudioFormat {
  std::uint32_t channels = 2;
  std::uint32_t sampleRate = 44100;   // frames per second
  std::uint32_t bitsPerSample = 16;   // per channel
  std::uint32_t milliseconds = 200;
};

inline std::uint32_t blockAlign(const AudioFormat& f) { return f.bitsPerSample / 8 * f.channels; }
inline std::uint32_t chunkFrames(const AudioFormat& f) { return f.milliseconds * f.sampleRate / 1000; }
// Computed in this order, truncating, as the buffer and the blocks are sized.
inline std::uint32_t chunkBytes(const AudioFormat& f) {
  return f.milliseconds * f.sampleRate / 1000 * (f.bitsPerSample / 8) * f.channels;
}
