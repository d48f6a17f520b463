#include "kolm/sample_queue.h"

#include <new>

bool CSample::lockPlanes(int* outWidth, int* outHeight, int* pitch, std::uint8_t** bits) {
  if (kind == presenterSurface && presenter && surface)
    return presenter->lockSurface(outHeight, outWidth, pitch, bits, surface);
  *outWidth = width;
  *outHeight = height;
  *bits = buffer.get();
  *pitch = kind == memoryRGB32 ? 4 * width : width;
  return true;
}

void CSample::unlockPlanes() {
  if (kind == presenterSurface && presenter && surface) presenter->unlockSurface(surface);
}

CSampleQueue::CSampleQueue(IVideoHardwareAccelerator* presenter) : presenter_(presenter) {}

CSampleQueue::~CSampleQueue() = default;

void CSampleQueue::setFormat(int count, int width, int height, int* outCount, int* outWidth,
                             int* outHeight) {
  kolm::sys::Guard guard(lock_);
  if (samples_.empty()) {
    count_ = count;
    width_ = width;
    height_ = height;
    const bool accepted = presenter_ && presenter_->configure(&width_, &height_, &count_, 2);
    if (!accepted && count != 0 && width != 0 && height != 0) {
      count_ = count;
      width_ = width;
      height_ = height;
    }
  }
  if (outCount) *outCount = count_;
  if (outWidth) *outWidth = width_;
  if (outHeight) *outHeight = height_;
}

bool CSampleQueue::allocate() {
  kolm::sys::Guard guard(lock_);
  if (!samples_.empty()) return true;
  // Sizes come from the stream: refuse what cannot be a picture rather than
  // make a buffer its writers would overrun.
  constexpr int maxSide = 16384, maxCount = 64;
  if (count_ <= 0 || count_ > maxCount || width_ <= 0 || height_ <= 0 || width_ > maxSide ||
      height_ > maxSide)
    return false;
  const std::size_t lumaBytes = static_cast<std::size_t>(width_) * height_;
  const std::size_t bytes = lumaBytes + lumaBytes / 2;
  for (int i = 0; i < count_; ++i) {
    auto sample = std::make_unique<CSample>();
    sample->presenter = presenter_;
    sample->width = width_;
    sample->height = height_;
    sample->kind = CSample::presenterSurface;
    if (!presenter_ || !presenter_->allocateSurface(width_, height_, &sample->surface) ||
        !sample->surface) {
      sample->surface = nullptr;
      sample->kind = CSample::memoryYV12;
      sample->buffer.reset(new (std::nothrow) std::uint8_t[bytes]);
      if (!sample->buffer) {
        samples_.clear();
        return false;
      }
      sample->planeY = sample->buffer.get();
      sample->planeV = sample->planeY + lumaBytes;
      sample->planeU = sample->planeV + static_cast<std::size_t>(height_) * (width_ / 2) / 2;
    }
    samples_.push_back(std::move(sample));
  }
  return true;
}

bool CSampleQueue::acquire(CSample** sample) {
  {
    kolm::sys::Guard guard(lock_);
    if (samples_.empty()) return false;
  }
  for (;;) {
    {
      kolm::sys::Guard guard(lock_);
      for (auto& candidate : samples_) {
        if (candidate->useCount < 1) {
          ++candidate->useCount;
          *sample = candidate.get();
          return true;
        }
      }
    }
    // The free signal is only pulsed; the bound covers one given between the
    // scan and this wait.
    freeEvent_.wait(15);
  }
}

void CSampleQueue::release(CSample* sample) {
  bool found = false;
  {
    kolm::sys::Guard guard(lock_);
    for (auto& candidate : samples_) {
      if (candidate.get() == sample) {
        if (candidate->useCount > 0) --candidate->useCount;
        found = true;
        break;
      }
    }
  }
  if (found) {
    freeEvent_.set();
    freeEvent_.reset();
  }
}
