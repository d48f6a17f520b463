// The interface identifiers are defined here (selectany), so nothing needs
// DirectX's GUID library; ddraw.dll itself is loaded at run time.
#include <initguid.h>

#include "video/dx_overlay.h"

#include <algorithm>
#include <cstring>

namespace kolm {

namespace {

constexpr DWORD fourCCYV12 = MAKEFOURCC('Y', 'V', '1', '2');
constexpr int maxSide = 16384;
// More four-character codes than any driver lists; a larger count is not believed.
constexpr DWORD maxFourCCCodes = 1024;

const char* const directDrawCreateFailed = "DirectDrawCreateに失敗しました";
const char* const interfaceQueryFailed = "IID_IDirectDraw2の取得に失敗しました";
const char* const getCapsFailed = "GetCapsの呼び出しに失敗しました";
const char* const cooperativeLevelFailed = "協調レベルの設定に失敗しました";
const char* const primarySurfaceFailed = "プライマリサーフェイスの作成に失敗しました";
const char* const overlaySurfaceFailed = "オーバーレイサーフェスの作成に失敗しました";
const char* const notInitialised = "DirectXが初期化されていません";

template <class T>
void release(T*& object) {
  if (object) object->Release();
  object = nullptr;
}

}  // namespace

CDXOverlay::CDXOverlay() {
  std::memset(&overlayEffects_, 0, sizeof overlayEffects_);
  overlayEffects_.dwSize = sizeof overlayEffects_;
}

CDXOverlay::~CDXOverlay() {
  releaseSurfaces();
  release(directDraw_);
  // Last: every object above came from this library.
  if (ddrawModule_) FreeLibrary(ddrawModule_);
}

void CDXOverlay::releaseSurfaces() {
  for (IDirectDrawSurface7*& surface : handedOut_) release(surface);
  handedOut_.clear();
  release(overlaySurface_);
  release(primarySurface_);
}

int CDXOverlay::getWidth() { return overlayWidth_; }

int CDXOverlay::getHeight() { return overlayHeight_; }

bool CDXOverlay::create(HWND window, int width, int height) {
  releaseSurfaces();
  release(directDraw_);
  initialised_ = false;
  if (!ddrawModule_) ddrawModule_ = LoadLibraryA("ddraw.dll");
  using Create = HRESULT(WINAPI*)(GUID*, void**, REFIID, IUnknown*);
  const auto createEx = ddrawModule_ ? reinterpret_cast<Create>(reinterpret_cast<void*>(
                                           GetProcAddress(ddrawModule_, "DirectDrawCreateEx")))
                                     : nullptr;
  IUnknown* created = nullptr;
  if (!createEx || FAILED(createEx(nullptr, reinterpret_cast<void**>(&created), IID_IDirectDraw7, nullptr)) ||
      !created)
    throw directDrawCreateFailed;
  const HRESULT hr = created->QueryInterface(IID_IDirectDraw7, reinterpret_cast<void**>(&directDraw_));
  created->Release();
  if (FAILED(hr) || !directDraw_) {
    directDraw_ = nullptr;
    throw interfaceQueryFailed;
  }
  return initialise(window, width, height);
}

std::unique_ptr<CDXOverlay> CDXOverlay::open(HWND window, int width, int height) {
  auto overlay = std::make_unique<CDXOverlay>();
  try {
    if (overlay->create(window, width, height)) return overlay;
  } catch (const char*) {
    // What failed does not matter to a caller that has Direct3D to fall back on.
  }
  return nullptr;
}

bool CDXOverlay::checkOverlaySupport() {
  DDCAPS caps;
  std::memset(&caps, 0, sizeof caps);
  caps.dwSize = sizeof caps;
  if (FAILED(directDraw_->GetCaps(&caps, nullptr))) throw getCapsFailed;
  return (caps.dwCaps & DDCAPS_OVERLAY) != 0;
}

void CDXOverlay::createPrimarySurface() {
  release(primarySurface_);
  DDSURFACEDESC2 desc;
  std::memset(&desc, 0, sizeof desc);
  desc.dwSize = sizeof desc;
  desc.dwFlags = DDSD_CAPS;
  desc.ddsCaps.dwCaps = DDSCAPS_PRIMARYSURFACE;
  if (FAILED(directDraw_->CreateSurface(&desc, &primarySurface_, nullptr))) {
    primarySurface_ = nullptr;
    throw primarySurfaceFailed;
  }
}

IDirectDrawSurface7* CDXOverlay::createYV12Surface(int width, int height, DWORD caps) {
  if (width <= 0 || height <= 0 || width > maxSide || height > maxSide) return nullptr;
  DDSURFACEDESC2 desc;
  std::memset(&desc, 0, sizeof desc);
  desc.dwSize = sizeof desc;
  desc.dwFlags = DDSD_CAPS | DDSD_HEIGHT | DDSD_WIDTH | DDSD_PIXELFORMAT;
  desc.dwWidth = static_cast<DWORD>(width);
  desc.dwHeight = static_cast<DWORD>(height);
  desc.ddpfPixelFormat.dwSize = sizeof desc.ddpfPixelFormat;
  desc.ddpfPixelFormat.dwFlags = DDPF_FOURCC;
  desc.ddpfPixelFormat.dwFourCC = fourCCYV12;
  desc.ddsCaps.dwCaps = caps;
  IDirectDrawSurface7* surface = nullptr;
  if (FAILED(directDraw_->CreateSurface(&desc, &surface, nullptr))) return nullptr;
  return surface;
}

void CDXOverlay::createOverlaySurface(int width, int height) {
  release(overlaySurface_);
  overlaySurface_ = createYV12Surface(width, height, DDSCAPS_OVERLAY | DDSCAPS_VIDEOMEMORY);
  if (!overlaySurface_) throw overlaySurfaceFailed;
}

bool CDXOverlay::initialise(HWND window, int width, int height) {
  if (!directDraw_) return false;
  // Checked first: without overlays, creating an overlay surface may still
  // report success (Wine's does) and show nothing.
  if (!checkOverlaySupport()) return false;
  if (FAILED(directDraw_->SetCooperativeLevel(window, DDSCL_NORMAL))) throw cooperativeLevelFailed;
  createPrimarySurface();
  createOverlaySurface(width, height);
  overlayWidth_ = width;
  overlayHeight_ = height;
  window_ = window;
  initialised_ = true;

  // Black: Y 0 and chroma 0x81. Rows by the surface's own geometry, so an odd
  // height cannot reach past its chroma planes.
  int lockedHeight = 0, lockedWidth = 0, pitch = 0;
  std::uint8_t* bits = nullptr;
  if (lockSurface(&lockedHeight, &lockedWidth, &pitch, &bits, overlaySurface_)) {
    const std::size_t luma = static_cast<std::size_t>(lockedHeight) * pitch;
    std::memset(bits, 0, luma);
    std::memset(bits + luma, 0x81, 2 * static_cast<std::size_t>(lockedHeight / 2) * (pitch / 2));
    unlockSurface(overlaySurface_);
  }
  return true;
}

bool CDXOverlay::configure(int* width, int* height, int* count, int kind) {
  if (!width || !height || !count) return false;
  // A new pool: the surfaces of the last one are no longer in any sample.
  for (IDirectDrawSurface7*& surface : handedOut_) release(surface);
  handedOut_.clear();
  if (kind == 2 && initialised_ && directDraw_) {
    DWORD codes = 0;
    if (FAILED(directDraw_->GetFourCCCodes(&codes, nullptr)) || codes == 0 || codes > maxFourCCCodes)
      return false;
    std::vector<DWORD> listed(codes);
    if (FAILED(directDraw_->GetFourCCCodes(&codes, listed.data()))) return false;
    listed.resize(std::min<DWORD>(codes, static_cast<DWORD>(listed.size())));
    if (std::find(listed.begin(), listed.end(), fourCCYV12) == listed.end()) return false;
  }
  if (*count == 0) *count = 1;
  if (*width == 0) *width = 16;
  if (*height == 0) *height = 16;
  return true;
}

bool CDXOverlay::allocateSurface(int width, int height, VideoSurface* surface) {
  if (!initialised_ || width <= 0 || height <= 0 || !surface || !directDraw_) return false;
  IDirectDrawSurface7* made = createYV12Surface(width, height, DDSCAPS_OVERLAY | DDSCAPS_VIDEOMEMORY);
  if (!made) made = createYV12Surface(width, height, DDSCAPS_OFFSCREENPLAIN);
  if (!made) return false;
  handedOut_.push_back(made);
  *surface = made;
  return true;
}

bool CDXOverlay::isOurs(IDirectDrawSurface7* surface) const {
  // Compared, never dereferenced: a stranger is refused before any call.
  return surface && (surface == overlaySurface_ ||
                     std::find(handedOut_.begin(), handedOut_.end(), surface) != handedOut_.end());
}

bool CDXOverlay::lockSurface(int* height, int* width, int* pitch, std::uint8_t** bits, VideoSurface surface) {
  auto* target = static_cast<IDirectDrawSurface7*>(surface);
  if (!initialised_ || !height || !width || !pitch || !bits || !directDraw_ || !isOurs(target)) return false;
  DDSURFACEDESC2 desc;
  std::memset(&desc, 0, sizeof desc);
  desc.dwSize = sizeof desc;
  if (FAILED(target->Lock(nullptr, &desc, DDLOCK_WAIT, nullptr))) return false;
  if (!desc.lpSurface || desc.lPitch < static_cast<LONG>(desc.dwWidth)) {
    target->Unlock(nullptr);
    return false;
  }
  *height = static_cast<int>(desc.dwHeight);
  *width = static_cast<int>(desc.dwWidth);
  *pitch = static_cast<int>(desc.lPitch);
  *bits = static_cast<std::uint8_t*>(desc.lpSurface);
  return true;
}

void CDXOverlay::unlockSurface(VideoSurface surface) {
  auto* target = static_cast<IDirectDrawSurface7*>(surface);
  if (initialised_ && isOurs(target)) target->Unlock(nullptr);
}

bool CDXOverlay::update(IDirectDrawSurface7* surface, int width, int height) {
  RECT source{0, 0, width, height};
  RECT target{positionX_, positionY_, positionX_ + width, positionY_ + height};
  return SUCCEEDED(surface->UpdateOverlay(&source, primarySurface_, &target, overlayFlags_, &overlayEffects_));
}

bool CDXOverlay::present(int width, int height, VideoSurface surface) {
  auto* picture = static_cast<IDirectDrawSurface7*>(surface);
  if (width <= 0 || height <= 0 || !directDraw_ || !overlaySurface_ || !isOurs(picture)) return false;
  DDSURFACEDESC2 desc;
  std::memset(&desc, 0, sizeof desc);
  desc.dwSize = sizeof desc;
  desc.dwFlags = DDSD_CAPS | DDSD_HEIGHT | DDSD_WIDTH;
  if (FAILED(picture->GetSurfaceDesc(&desc))) return false;
  const int pictureWidth = static_cast<int>(desc.dwWidth);
  const int pictureHeight = static_cast<int>(desc.dwHeight);
  if (desc.ddsCaps.dwCaps & DDSCAPS_OVERLAY) return update(picture, pictureWidth, pictureHeight);

  // Copied into our overlay, never more than both surfaces hold.
  const int w = std::min({width, pictureWidth, overlayWidth_});
  const int h = std::min({height, pictureHeight, overlayHeight_});
  if (w <= 0 || h <= 0) return false;
  RECT source{0, 0, w, h};
  if (FAILED(overlaySurface_->BltFast(0, 0, picture, &source, DDBLTFAST_WAIT))) return false;
  return update(overlaySurface_, std::min(pictureWidth, overlayWidth_), std::min(pictureHeight, overlayHeight_));
}

void CDXOverlay::resize(int width, int height) {
  if (!initialised_) throw notInitialised;
  if (width == overlayWidth_ && height == overlayHeight_) return;
  release(overlaySurface_);
  release(primarySurface_);
  initialised_ = false;
  if (initialise(window_, width, height)) showOverlay(true);
}

void CDXOverlay::showOverlay(bool show) {
  if (!initialised_) return;
  if (show)
    overlayFlags_ = (overlayFlags_ | DDOVER_SHOW) & ~static_cast<DWORD>(DDOVER_HIDE);
  else
    overlayFlags_ = (overlayFlags_ | DDOVER_HIDE) & ~static_cast<DWORD>(DDOVER_SHOW);
  update(overlaySurface_, overlayWidth_, overlayHeight_);
}

void CDXOverlay::moveOverlay(int x, int y) {
  if (!initialised_) return;
  positionX_ = x;
  positionY_ = y;
  DDSURFACEDESC2 desc;
  std::memset(&desc, 0, sizeof desc);
  desc.dwSize = sizeof desc;
  const bool described = SUCCEEDED(overlaySurface_->GetSurfaceDesc(&desc));
  update(overlaySurface_, described ? static_cast<int>(desc.dwWidth) : overlayWidth_,
         described ? static_cast<int>(desc.dwHeight) : overlayHeight_);
}

}  // namespace kolm
