#pragma once

#include <cstdint>

#include "kolm/video_hardware_accelerator.h"

// A presenter whose pictures end up in one surface of its own that is always
// on screen (a display overlay): the video renderer's second route, taken by
// a renderer that has such an overlay and no presenter. No virtual
// destructor: overlays are deleted through their own type.
class IVideoOverlay : public IVideoHardwareAccelerator {
 public:
  // The overlay anew at another picture size, shown. May throw as the
  // overlay's other failures do.
  virtual void resize(int width, int height) = 0;
  // Opens the overlay's own surface for writing, laid out as a YV12 surface
  // (height before width, as lockSurface); false when it cannot be opened.
  virtual bool lockOverlay(int* height, int* width, int* pitch, std::uint8_t** bits) = 0;
  virtual void unlockOverlay() = 0;

 protected:
  ~IVideoOverlay() = default;
};
