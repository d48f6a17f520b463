#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kolm/event.h"
#include "kolm/sys/sys.h"
#include "kolm/video_hardware_accelerator.h"

// Where the planes of a YV12 picture lie: Y (height rows of pitchY bytes), then
// V, then U (each chromaHeight() rows of pitchC = pitchY / 2 bytes). Odd sizes
// round the chroma up, so the last column and row have chroma too. The one
// place this layout is computed; every writer and reader takes it from here.
struct YV12Planes {
  std::uint8_t* y = nullptr;
  std::uint8_t* v = nullptr;
  std::uint8_t* u = nullptr;
  int pitchY = 0;
  int pitchC = 0;
  int width = 0;
  int height = 0;

  int chromaWidth() const { return (width + 1) / 2; }
  int chromaHeight() const { return (height + 1) / 2; }
  // False when the pitch cannot hold a row (the planes are then left empty).
  static bool layout(std::uint8_t* bits, int pitch, int width, int height, YV12Planes* out);
  // Bytes of a whole picture with that pitch and height.
  static std::size_t bytes(int pitch, int height);
};

// One pooled picture: memory planes in YV12 order, or a presenter surface.
class CSample {
 public:
  enum Kind : int { memoryYV12 = 0, memoryRGB32 = 1, presenterSurface = 2 };

  // Opens the picture for writing: its size, the pitch of the luma plane and
  // the first byte. Chroma planes follow as described for YV12.
  bool lockPlanes(int* width, int* height, int* pitch, std::uint8_t** bits);
  // The same, with the three planes laid out; false also when the geometry
  // the surface reports cannot hold the picture (it is then not left locked).
  bool lockPlanes(YV12Planes* planes);
  void unlockPlanes();
  // Whether a writer may also read what it wrote without a penalty.
  bool fastToRead() const {
    return kind == memoryYV12 || (kind == presenterSurface && presenter && presenter->surfacesInSystemMemory());
  }

  kolm::sys::PictureMemory buffer;  // a memory picture's planes
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

  // The luma pitch of a memory picture: even, so the chroma pitch is exactly half.
  static int memoryPitch(int width) { return (width + 1) & ~1; }
};

// The video renderer's pool of pictures. Created empty; the producer sets the
// format, allocates, then acquires, fills and delivers; the renderer releases.
// A producer blocked in acquire() is freed only by a release(). A later
// setFormat() while every sample is free starts again: the samples go, the
// presenter is configured afresh (giving its surfaces back) and the next
// allocate() makes them in the new format.
class CSampleQueue {
 public:
  explicit CSampleQueue(IVideoHardwareAccelerator* presenter);
  virtual ~CSampleQueue();
  CSampleQueue(const CSampleQueue&) = delete;
  CSampleQueue& operator=(const CSampleQueue&) = delete;

  // Takes effect unless a sample is in use; always reports the values in force.
  void setFormat(int count, int width, int height, int* outCount, int* outWidth, int* outHeight);
  // Creates the samples (once per format). False when the format cannot make
  // a picture; the pool then stays empty.
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
