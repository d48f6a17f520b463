#include "kolm/sample_queue.h"

#include <new>

bool YV12Planes::layout(std::uint8_t* bits, int pitch, int width, int height, YV12Planes* out) {
  *out = YV12Planes();
  if (!bits || width <= 0 || height <= 0 || pitch < width || pitch / 2 < (width + 1) / 2) return false;
  out->y = bits;
  out->pitchY = pitch;
  out->pitchC = pitch / 2;
  out->width = width;
  out->height = height;
  out->v = bits + static_cast<std::size_t>(pitch) * height;
  out->u = out->v + static_cast<std::size_t>(out->pitchC) * out->chromaHeight();
  return true;
}

std::size_t YV12Planes::bytes(int pitch, int height) {
  return static_cast<std::size_t>(pitch) * height + 2 * static_cast<std::size_t>(pitch / 2) * ((height + 1) / 2);
}

bool CSample::lockPlanes(int* outWidth, int* outHeight, int* pitch, std::uint8_t** bits) {
  if (kind == presenterSurface && presenter && surface)
    return presenter->lockSurface(outHeight, outWidth, pitch, bits, surface);
  *outWidth = width;
  *outHeight = height;
  *bits = buffer.data();
  *pitch = kind == memoryRGB32 ? 4 * width : memoryPitch(width);
  return true;
}

bool CSample::lockPlanes(YV12Planes* planes) {
  int w = 0, h = 0, pitch = 0;
  std::uint8_t* bits = nullptr;
  *planes = YV12Planes();
  if (kind == memoryRGB32 || !lockPlanes(&w, &h, &pitch, &bits)) return false;
  if (YV12Planes::layout(bits, pitch, w, h, planes)) return true;
  unlockPlanes();
  return false;
}

void CSample::unlockPlanes() {
  if (kind == presenterSurface && presenter && surface) presenter->unlockSurface(surface);
}

CSampleQueue::CSampleQueue(IVideoHardwareAccelerator* presenter) : presenter_(presenter) {}

CSampleQueue::~CSampleQueue() = default;

void CSampleQueue::setFormat(int count, int width, int height, int* outCount, int* outWidth,
                             int* outHeight) {
  kolm::sys::Guard guard(lock_);
  bool inUse = false;
  for (auto& sample : samples_) inUse = inUse || sample->useCount > 0;
  if (!inUse) {
    // Nobody holds a sample, so none can be written or shown after this; the
    // presenter's configure below takes back the surfaces they wrapped.
    samples_.clear();
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
  const int pitch = CSample::memoryPitch(width_);
  const std::size_t bytes = YV12Planes::bytes(pitch, height_);
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
      sample->buffer = kolm::sys::PictureMemory(bytes, std::nothrow);
      if (!sample->buffer.data()) {
        samples_.clear();
        return false;
      }
      YV12Planes planes;
      YV12Planes::layout(sample->buffer.data(), pitch, width_, height_, &planes);
      sample->planeY = planes.y;
      sample->planeV = planes.v;
      sample->planeU = planes.u;
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
