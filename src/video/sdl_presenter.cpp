#include "video/sdl_presenter.h"

#include <SDL.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "kolm/sample_queue.h"
#include "video/position_bar.h"

namespace {

constexpr int maxSide = 16384;
constexpr std::uint32_t noEvent = static_cast<std::uint32_t>(-1);

void copyPlane(std::vector<std::uint8_t>& to, const std::uint8_t* from, int pitch, int width,
               int rows) {
  to.resize(static_cast<std::size_t>(width) * rows);
  for (int row = 0; row < rows; ++row)
    std::memcpy(to.data() + static_cast<std::size_t>(row) * width,
                from + static_cast<std::size_t>(row) * pitch, static_cast<std::size_t>(width));
}

}  // namespace

struct CSdlPresenter::Surface {
  VideoSurface handle;
  std::vector<std::uint8_t> bits;
  int width;
  int height;
  int pitch;
};

CSdlPresenter::CSdlPresenter() : pictureEvent_(SDL_RegisterEvents(1)) {}

CSdlPresenter::~CSdlPresenter() = default;

int CSdlPresenter::getWidth() {
  kolm::sys::Guard guard(surfaceLock_);
  return width_;
}

int CSdlPresenter::getHeight() {
  kolm::sys::Guard guard(surfaceLock_);
  return height_;
}

CSdlPresenter::Surface* CSdlPresenter::find(VideoSurface surface) {
  // Compared, never dereferenced: the handle may be one that configure freed.
  for (auto& candidate : surfaces_)
    if (candidate->handle == surface) return candidate.get();
  return nullptr;
}

bool CSdlPresenter::configure(int* width, int* height, int* count, int) {
  if (!width || !height || !count) return false;
  kolm::sys::Guard guard(surfaceLock_);
  // The pool configures only while none of its samples is in use and after
  // dropping them, so no one holds these surfaces any more.
  surfaces_.clear();
  width_ = *width;
  height_ = *height;
  count_ = *count;
  sized_ = true;
  return true;
}

bool CSdlPresenter::allocateSurface(int width, int height, VideoSurface* surface) {
  if (!surface || width <= 0 || height <= 0 || width > maxSide || height > maxSide) return false;
  kolm::sys::Guard guard(surfaceLock_);
  // A size that is no picture (say 0 by 0 from a path that found no video)
  // gets no surfaces; the pool then falls back to memory or refuses.
  if (sized_ && (width_ <= 0 || height_ <= 0)) return false;
  if (count_ >= 0 && surfaces_.size() >= static_cast<std::size_t>(count_)) return false;
  auto made = std::make_unique<Surface>();
  made->width = width;
  made->height = height;
  // Even, and a little wider than the picture, as video memory is: the chroma
  // pitch is half of it, and a writer that ignores the pitch shows up.
  made->pitch = ((width + 31) & ~31) + 32;
  const std::size_t lumaBytes = static_cast<std::size_t>(made->pitch) * height;
  try {
    // Black until written: limited-range Y 16, neutral chroma.
    made->bits.assign(YV12Planes::bytes(made->pitch, height), 128);
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::memset(made->bits.data(), 16, lumaBytes);
  if (!sized_) {
    width_ = width;
    height_ = height;
    sized_ = true;
  }
  // A serial number, not the address: memory freed by a configure comes back
  // for the next surfaces, and an old handle must not find one of them.
  made->handle = reinterpret_cast<VideoSurface>(++lastHandle_);
  *surface = made->handle;
  surfaces_.push_back(std::move(made));
  return true;
}

bool CSdlPresenter::lockSurface(int* height, int* width, int* pitch, std::uint8_t** bits,
                                VideoSurface surface) {
  if (!height || !width || !pitch || !bits) return false;
  kolm::sys::Guard guard(surfaceLock_);
  Surface* found = find(surface);
  if (!found) return false;
  *height = found->height;
  *width = found->width;
  *pitch = found->pitch;
  *bits = found->bits.data();
  return true;
}

void CSdlPresenter::unlockSurface(VideoSurface) {}

bool CSdlPresenter::present(int width, int height, VideoSurface surface) {
  if (width <= 0 || height <= 0) return false;
  bool wake = false;
  {
    kolm::sys::Guard guard(surfaceLock_);
    Surface* found = find(surface);
    if (!found) return false;
    // Never more than the surface holds, whatever size the caller claims.
    const int w = std::min(width, found->width);
    const int h = std::min(height, found->height);
    YV12Planes planes;
    if (!YV12Planes::layout(found->bits.data(), found->pitch, found->width, found->height, &planes)) return false;
    copyPlane(back_.y, planes.y, planes.pitchY, w, h);
    copyPlane(back_.v, planes.v, planes.pitchC, (w + 1) / 2, (h + 1) / 2);
    copyPlane(back_.u, planes.u, planes.pitchC, (w + 1) / 2, (h + 1) / 2);
    back_.width = w;
    back_.height = h;

    // A swap, not a copy: the window thread only ever waits this long.
    kolm::sys::Guard front(frontLock_);
    std::swap(front_, back_);
    fresh_ = true;
    if (!eventPending_ && pictureEvent_ != noEvent) eventPending_ = wake = true;
  }
  if (wake) {
    // Thread-safe in SDL; a picture that arrives before the window handles
    // this event rides on it instead of queueing another.
    SDL_Event event;
    SDL_zero(event);
    event.type = pictureEvent_;
    event.user.data1 = this;
    if (SDL_PushEvent(&event) != 1) {
      // Queue full or event filtered: let the next picture try again.
      kolm::sys::Guard front(frontLock_);
      eventPending_ = false;
    }
    wakeEvent.set();
  }
  return true;
}

bool CSdlPresenter::draw(SDL_Renderer* renderer) {
  bool taken = false;
  {
    kolm::sys::Guard front(frontLock_);
    eventPending_ = false;
    if (fresh_) {
      std::swap(shown_, front_);
      fresh_ = false;
      taken = true;
    }
  }
  return render(renderer, taken);
}

bool CSdlPresenter::redraw(SDL_Renderer* renderer) {
  // Uploaded again: a lost or reset device may have dropped the texture's
  // contents.
  return render(renderer, true);
}

void CSdlPresenter::setDisplayShape(int width, int height) {
  const bool shaped = width > 0 && height > 0;
  shapeWidth_ = shaped ? width : 0;
  shapeHeight_ = shaped ? height : 0;
}

void CSdlPresenter::showPositionBar(double fraction, const char* label, bool visible) {
  barVisible_ = visible;
  barFraction_ = fraction;
  barLabel_ = label ? label : "";
}

void CSdlPresenter::drawPositionBar(SDL_Renderer* renderer, int x, int y, int width, int height) {
  // A few rectangles blended by the renderer; the picture itself is never
  // touched on the CPU.
  const std::vector<PositionBarRect> rects = positionBarLayout(x, y, width, height, barFraction_, barLabel_);
  std::vector<SDL_Rect> text;
  SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
  for (const PositionBarRect& rect : rects) {
    const SDL_Rect area{rect.x, rect.y, rect.width, rect.height};
    if (rect.kind == PositionBarRect::text) {
      text.push_back(area);
      continue;
    }
    const PositionBarColour colour = positionBarColour(rect.kind);
    SDL_SetRenderDrawColor(renderer, colour.r, colour.g, colour.b, colour.a);
    SDL_RenderFillRect(renderer, &area);
  }
  if (!text.empty()) {
    const PositionBarColour colour = positionBarColour(PositionBarRect::text);
    SDL_SetRenderDrawColor(renderer, colour.r, colour.g, colour.b, colour.a);
    SDL_RenderFillRects(renderer, text.data(), static_cast<int>(text.size()));
  }
  SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_NONE);
}

void CSdlPresenter::releaseTexture() {
  if (texture_) SDL_DestroyTexture(texture_);
  texture_ = nullptr;
  textureRenderer_ = nullptr;
  textureWidth_ = textureHeight_ = 0;
}

bool CSdlPresenter::render(SDL_Renderer* renderer, bool upload) {
  if (!renderer) return false;
  const int w = shown_.width;
  const int h = shown_.height;
  if (texture_ && textureRenderer_ != renderer) {
    // Another renderer's texture: that renderer frees it, and may be gone.
    texture_ = nullptr;
  } else if (texture_ && (textureWidth_ != w || textureHeight_ != h)) {
    releaseTexture();
  }
  if (!texture_ && w > 0 && h > 0) {
    texture_ = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_YV12, SDL_TEXTUREACCESS_STREAMING, w, h);
    textureRenderer_ = texture_ ? renderer : nullptr;
    textureWidth_ = texture_ ? w : 0;
    textureHeight_ = texture_ ? h : 0;
    upload = true;
  }

  if (texture_ && upload &&
      SDL_UpdateYUVTexture(texture_, nullptr, shown_.y.data(), w, shown_.u.data(), (w + 1) / 2,
                           shown_.v.data(), (w + 1) / 2) != 0)
    releaseTexture();  // its contents are unknown; made and filled afresh next time

  bool drawn = false;
  SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
  SDL_RenderClear(renderer);
  int outWidth = 0, outHeight = 0;
  if (texture_ && SDL_GetRendererOutputSize(renderer, &outWidth, &outHeight) == 0 &&
      outWidth > 0 && outHeight > 0) {
    // As large as fits with the picture's display shape kept (the stored
    // size's for square pixels); the rest stays black.
    const std::int64_t shapeWidth = shapeWidth_ > 0 ? shapeWidth_ : w;
    const std::int64_t shapeHeight = shapeHeight_ > 0 ? shapeHeight_ : h;
    std::int64_t fitWidth = outWidth;
    std::int64_t fitHeight = (outWidth * shapeHeight + shapeWidth / 2) / shapeWidth;
    if (fitHeight > outHeight) {
      fitHeight = outHeight;
      fitWidth = (outHeight * shapeWidth + shapeHeight / 2) / shapeHeight;
    }
    fitWidth = std::max<std::int64_t>(fitWidth, 1);
    fitHeight = std::max<std::int64_t>(fitHeight, 1);
    const SDL_Rect target{static_cast<int>((outWidth - fitWidth) / 2),
                          static_cast<int>((outHeight - fitHeight) / 2), static_cast<int>(fitWidth),
                          static_cast<int>(fitHeight)};
    drawn = SDL_RenderCopy(renderer, texture_, nullptr, &target) == 0;
    if (drawn && barVisible_) drawPositionBar(renderer, target.x, target.y, target.w, target.h);
  }
  SDL_RenderPresent(renderer);
  return drawn;
}
