#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kolm/audio_format.h"
#include "kolm/event.h"
#include "kolm/sound_format_sink.h"

// One pooled block of interleaved PCM.
class CAudioSample {
 public:
  std::unique_ptr<std::uint8_t[]> buffer;
  AudioFormat format;         // the pool's format when the block was made
  int frameCount = 0;         // frames written so far
  std::int64_t position = 0;  // stream position of the first frame, in frames
  bool inUse = false;
};

// The audio renderer's pool of PCM blocks, tied to the sound device, which
// agrees the format and creates the streaming buffer when the pool allocates.
// Works on memory blocks alone without a device.
class CAudioSampleQueue {
 public:
  explicit CAudioSampleQueue(kolm::ISoundFormatSink* soundDevice);
  virtual ~CAudioSampleQueue();
  CAudioSampleQueue(const CAudioSampleQueue&) = delete;
  CAudioSampleQueue& operator=(const CAudioSampleQueue&) = delete;

  // Takes effect only while no block exists; a count of 0 becomes 1; the
  // device may adjust channels, rate and bits. Always reports what is in force.
  void setFormat(int count, const AudioFormat& requested, int* outCount, AudioFormat* outFormat);
  // Creates the device's streaming buffer and the blocks once. False when the
  // device cannot create its buffer (the pool then stays empty).
  bool allocate();
  // Blocks until a block is free; false at once when none exist.
  bool acquire(CAudioSample** sample);
  // Gives a block back; foreign or null pointers are ignored.
  void release(CAudioSample* sample);

  AudioFormat format();
  // The blocks (and the device's buffer) exist.
  bool isAllocated();

 private:
  std::vector<std::unique_ptr<CAudioSample>> samples_;
  int count_ = 5;
  AudioFormat format_;
  kolm::ISoundFormatSink* soundDevice_;
  kolm::sys::CriticalSection lock_;
  CEvent freeEvent_;
};
