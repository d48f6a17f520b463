#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "kolm/clock.h"
#include "kolm/event.h"
#include "kolm/video_hardware_accelerator.h"

// A presenter over YV12 surfaces in memory, for headless playback and tests.
// It records every presented picture with the playback time at which it was
// shown, and can hand each picture to a writer (a Y4M file, a checksum).
class CMemoryPresenter final : public IVideoHardwareAccelerator {
 public:
  struct Presented {
    int surfaceIndex;  // order in which the surface was handed out
    int width;
    int height;
    std::int64_t playbackTime;  // timekeeper reading at present; 0 without one
  };
  // One picture: planes with their pitches, the visible size.
  struct Picture {
    const std::uint8_t* y;
    const std::uint8_t* u;
    const std::uint8_t* v;
    int pitchY;
    int pitchC;
    int width;
    int height;
  };
  using Writer = std::function<void(const Picture&)>;

  explicit CMemoryPresenter(kolm::CTimekeeper* timekeeper = nullptr);
  ~CMemoryPresenter();
  CMemoryPresenter(const CMemoryPresenter&) = delete;
  CMemoryPresenter& operator=(const CMemoryPresenter&) = delete;

  int getWidth() override;
  int getHeight() override;
  bool present(int width, int height, VideoSurface surface) override;
  bool configure(int* width, int* height, int* count, int kind) override;
  bool allocateSurface(int width, int height, VideoSurface* surface) override;
  bool lockSurface(int* height, int* width, int* pitch, std::uint8_t** bits,
                   VideoSurface surface) override;
  void unlockSurface(VideoSurface surface) override;
  bool surfacesInSystemMemory() override { return systemMemory_; }

  // Test controls: refuse configure; hand out at most this many surfaces
  // (default: the count last configured, unlimited before that); claim to be
  // video memory, which decoders only write to.
  void setAcceptConfigure(bool accept);
  void setSurfaceLimit(int limit);
  void setSystemMemory(bool systemMemory) { systemMemory_ = systemMemory; }
  // Called on the presenting thread for every shown picture.
  void setWriter(Writer writer);

  std::vector<Presented> presented();
  int surfaceCount();
  // Raised on every present, so a test can wait for pictures without sleeping.
  CEvent presentedEvent;

 private:
  struct Surface;
  Surface* find(VideoSurface surface);

  kolm::CTimekeeper* timekeeper_;
  kolm::sys::CriticalSection lock_;
  std::vector<std::unique_ptr<Surface>> surfaces_;
  std::vector<Presented> presented_;
  Writer writer_;
  int width_ = 0;
  int height_ = 0;
  std::uintptr_t lastHandle_ = 0;
  int configuredCount_ = -1;
  int surfaceLimit_ = -1;
  bool acceptConfigure_ = true;
  bool sized_ = false;
  bool systemMemory_ = true;
};
