#include "video/memory_presenter.h"

#include <algorithm>

#include "kolm/sample_queue.h"

struct CMemoryPresenter::Surface {
  std::vector<std::uint8_t> bits;
  int index;
  std::uintptr_t handle;  // never reused, so a handle from before a configure stays unknown
  int width;
  int height;
  int pitch;
};

CMemoryPresenter::CMemoryPresenter(kolm::CTimekeeper* timekeeper) : timekeeper_(timekeeper) {}

CMemoryPresenter::~CMemoryPresenter() = default;

int CMemoryPresenter::getWidth() {
  kolm::sys::Guard guard(lock_);
  return width_;
}

int CMemoryPresenter::getHeight() {
  kolm::sys::Guard guard(lock_);
  return height_;
}

CMemoryPresenter::Surface* CMemoryPresenter::find(VideoSurface surface) {
  for (auto& candidate : surfaces_)
    if (reinterpret_cast<VideoSurface>(candidate->handle) == surface) return candidate.get();
  return nullptr;
}

bool CMemoryPresenter::configure(int* width, int* height, int* count, int) {
  kolm::sys::Guard guard(lock_);
  if (!acceptConfigure_ || !width || !height || !count) return false;
  // A new pool starts afresh: the surfaces of the last one are given back.
  // Its samples are all free by now, so nothing writes or shows them.
  surfaces_.clear();
  width_ = *width;
  height_ = *height;
  configuredCount_ = *count;
  sized_ = true;
  return true;
}

bool CMemoryPresenter::allocateSurface(int width, int height, VideoSurface* surface) {
  kolm::sys::Guard guard(lock_);
  const int limit = surfaceLimit_ >= 0 ? surfaceLimit_ : configuredCount_;
  if (!surface || width <= 0 || height <= 0 || width > 16384 || height > 16384 ||
      (limit >= 0 && static_cast<int>(surfaces_.size()) >= limit))
    return false;
  if (!sized_) {
    width_ = width;
    height_ = height;
    sized_ = true;
  }
  auto made = std::make_unique<Surface>();
  made->index = static_cast<int>(surfaces_.size());
  made->width = width;
  made->height = height;
  // Wider than the picture, as video memory is, so a writer that ignores the
  // pitch shows up in tests.
  made->pitch = ((width + 31) & ~31) + 32;
  made->bits.assign(YV12Planes::bytes(made->pitch, height), 0x10);
  made->handle = ++lastHandle_;
  *surface = reinterpret_cast<VideoSurface>(made->handle);
  surfaces_.push_back(std::move(made));
  return true;
}

bool CMemoryPresenter::lockSurface(int* height, int* width, int* pitch, std::uint8_t** bits,
                                   VideoSurface surface) {
  kolm::sys::Guard guard(lock_);
  Surface* found = find(surface);
  if (!found) return false;
  *height = found->height;
  *width = found->width;
  *pitch = found->pitch;
  *bits = found->bits.data();
  return true;
}

void CMemoryPresenter::unlockSurface(VideoSurface) {}

bool CMemoryPresenter::present(int width, int height, VideoSurface surface) {
  Writer writer;
  Picture picture{};
  {
    kolm::sys::Guard guard(lock_);
    Surface* found = find(surface);
    if (!found) return false;
    const std::int64_t now = timekeeper_ ? timekeeper_->playbackTime() : 0;
    presented_.push_back({found->index, width, height, now});
    writer = writer_;
    YV12Planes planes;
    YV12Planes::layout(found->bits.data(), found->pitch, found->width, found->height, &planes);
    // Never more than the surface holds, whatever size the caller claims.
    picture = {planes.y, planes.u, planes.v, planes.pitchY, planes.pitchC, std::min(width, found->width),
               std::min(height, found->height)};
  }
  // The surface stays valid: it belongs to this presenter until it is destroyed.
  if (writer) writer(picture);
  presentedEvent.set();
  return true;
}

void CMemoryPresenter::setAcceptConfigure(bool accept) {
  kolm::sys::Guard guard(lock_);
  acceptConfigure_ = accept;
}

void CMemoryPresenter::setSurfaceLimit(int limit) {
  kolm::sys::Guard guard(lock_);
  surfaceLimit_ = limit;
}

void CMemoryPresenter::setWriter(Writer writer) {
  kolm::sys::Guard guard(lock_);
  writer_ = std::move(writer);
}

std::vector<CMemoryPresenter::Presented> CMemoryPresenter::presented() {
  kolm::sys::Guard guard(lock_);
  return presented_;
}

int CMemoryPresenter::surfaceCount() {
  kolm::sys::Guard guard(lock_);
  return static_cast<int>(surfaces_.size());
}
