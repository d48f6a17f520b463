#pragma once

#include <cstdint>

// An opaque surface handed out by a presenter and only ever passed back to it.
using VideoSurface = void*;

// A presenter: owns the YV12 surfaces decoders write into and shows one on request.
// Surfaces are Y (height rows of pitch bytes), then V, then U (height / 2 rows
// of pitch / 2 bytes each). No virtual destructor: presenters are deleted
// through their own type.
class IVideoHardwareAccelerator {
 public:
  virtual int getWidth() = 0;
  virtual int getHeight() = 0;
  // Shows the picture in surface now; true when it was shown.
  virtual bool present(int width, int height, VideoSurface surface) = 0;
  // The pool announces size, surface count and sample kind; the presenter may
  // change them in place. False: the pool keeps its own request.
  virtual bool configure(int* width, int* height, int* count, int kind) = 0;
  // The next surface, or false when none is left (the pool then uses memory).
  virtual bool allocateSurface(int width, int height, VideoSurface* surface) = 0;
  // Opens a surface for writing. Height comes before width.
  virtual bool lockSurface(int* height, int* width, int* pitch, std::uint8_t** bits,
                           VideoSurface surface) = 0;
  virtual void unlockSurface(VideoSurface surface) = 0;
  // True when locked surfaces are ordinary memory, as fast to read as to
  // write; video memory is not, and decoders then only ever write to it.
  virtual bool surfacesInSystemMemory() { return false; }

 protected:
  ~IVideoHardwareAccelerator() = default;
};
