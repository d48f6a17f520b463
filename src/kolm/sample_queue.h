#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kolm/event.h"
#include "video/video_hardware_accelerator.h"

// One pooled picture: memory planes in YV12 order, or a presenter surface.
class CSample {
 public:
  enum Kind : int { memoryYV12 = 0, memoryRGB32 = 1, presenterSurface = 2 };

  // Opens the picture for writing: its size, the pitch of the luma plane and
  // the first byte. Chroma planes follow as described for YV12.
  bool lockPlanes(int* width, int* height, int* pitch, std::uint8_t** bits);
  void unlockPlanes();

  std::unique_ptr<std::uint8_t[]> buffer;
  std::uint8_t* planeY = nullptr;
  std::uint8_t* planeV = nullptr;
  std::uint8_t* planeU = nullptr;
  VideoSurface surface = nullptr;
  IVideoHardwareAccelerator* presenter = nullptr;
  std::int64_t time = 0;  // 100 ns units from the timekeeper's startTime
  int useCount = 0;       // 0 free, 1 taken
  int width = 0;
  int height = 0;
  int kind = memoryYV12;
};

// The video renderer's pool of pictures. Created empty; the producer sets the
// format, allocates once, then acquires, fills and delivers; the renderer
// releases. A producer blocked in acquire() is freed only by a release().
class CSampleQueue {
 public:
  explicit CSampleQueue(IVideoHardwareAccelerator* presenter);
  virtual ~CSampleQueue();
  CSampleQueue(const CSampleQueue&) = delete;
  CSampleQueue& operator=(const CSampleQueue&) = delete;

  // Takes effect only while no sample exists; always reports the values in force.
  void setFormat(int count, int width, int height, int* outCount, int* outWidth, int* outHeight);
  // Creates the samples once. False when the format cannot make a picture.
  bool allocate();
  // Blocks until a sample is free; false at once when nothing was allocated.
  bool acquire(CSample** sample);
  // Gives a sample back; foreign or null pointers are ignored.
  void release(CSample* sample);

 private:
  std::vector<std::unique_ptr<CSample>> samples_;
  int count_ = 5;
  int width_ = 320;
  int height_ = 240;
  IVideoHardwareAccelerator* presenter_;
  kolm::sys::CriticalSection lock_;
  CEvent freeEvent_;
};
