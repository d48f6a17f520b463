#pragma once

#include <windows.h>

#include <ddraw.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "video/video_overlay.h"

namespace kolm {

// A presenter over a DirectDraw 7 hardware overlay: a YV12 surface that the
// display shows over the screen at the window's client origin. The window
// makes one only when asked (--overlay) and the adapter has overlays; the
// video renderer then copies its memory pictures into the overlay (see
// IVideoOverlay) instead of going through the Direct3D presenter.
//
// create() must run first; on an adapter without overlays (Wine's among them)
// it returns false and every operation but configure() then does nothing. Its
// failures are thrown as C strings.
//
// Surface handles are IDirectDrawSurface7 pointers. Surfaces handed out by
// allocateSurface() stay with the presenter until the next configure() or its
// destruction, which release them.
//
// Threads as for the Direct3D presenter; moveOverlay() runs on the window's
// thread. No lock of its own.
class CDXOverlay final : public IVideoOverlay {
 public:
  CDXOverlay();
  // Releases every surface and DirectDraw.
  ~CDXOverlay();
  CDXOverlay(const CDXOverlay&) = delete;
  CDXOverlay& operator=(const CDXOverlay&) = delete;

  int getWidth() override;
  int getHeight() override;
  // Shows an overlay surface itself, or copies any other surface into the
  // presenter's overlay and shows that. False when nothing was shown.
  bool present(int width, int height, VideoSurface surface) override;
  // With kind 2 on an initialised presenter, false unless the driver lists
  // YV12. A count, width or height of 0 becomes 1, 16 and 16.
  bool configure(int* width, int* height, int* count, int kind) override;
  // A new YV12 overlay surface in video memory, or an offscreen plain one.
  bool allocateSurface(int width, int height, VideoSurface* surface) override;
  bool lockSurface(int* height, int* width, int* pitch, std::uint8_t** bits,
                   VideoSurface surface) override;
  void unlockSurface(VideoSurface surface) override;

  // Creates DirectDraw, then initialise(). Throws when DirectDraw cannot be
  // had; false (no exception) when the adapter has no overlays.
  bool create(HWND window, int width, int height);
  // A created overlay for the window, or null, without an exception, where
  // the adapter has none or it cannot be made.
  static std::unique_ptr<CDXOverlay> open(HWND window, int width, int height);
  // The primary surface and a black, hidden overlay of that size. False when
  // there is no DirectDraw or the adapter has no overlays; throws when a
  // surface cannot be made.
  bool initialise(HWND window, int width, int height);
  // The overlay anew at another size, shown. Throws when not initialised.
  void resize(int width, int height) override;
  bool lockOverlay(int* height, int* width, int* pitch, std::uint8_t** bits) override {
    return lockSurface(height, width, pitch, bits, overlaySurface_);
  }
  void unlockOverlay() override { unlockSurface(overlaySurface_); }
  void showOverlay(bool show);
  // The screen position of the window's client origin (WM_MOVE).
  void moveOverlay(int x, int y);

  bool initialisedForTest() const { return initialised_; }

 private:
  bool checkOverlaySupport();
  void createPrimarySurface();
  void createOverlaySurface(int width, int height);
  // Creates a YV12 surface of those capabilities; null on failure.
  IDirectDrawSurface7* createYV12Surface(int width, int height, DWORD caps);
  bool isOurs(IDirectDrawSurface7* surface) const;
  bool update(IDirectDrawSurface7* surface, int width, int height);
  void releaseSurfaces();

  IDirectDraw7* directDraw_ = nullptr;
  IDirectDrawSurface7* primarySurface_ = nullptr;
  IDirectDrawSurface7* overlaySurface_ = nullptr;
  DWORD overlayFlags_ = DDOVER_HIDE;
  DDOVERLAYFX overlayEffects_;
  bool initialised_ = false;
  int overlayWidth_ = 0;
  int overlayHeight_ = 0;
  int positionX_ = 0;
  int positionY_ = 0;
  HWND window_ = nullptr;
  HMODULE ddrawModule_ = nullptr;
  std::vector<IDirectDrawSurface7*> handedOut_;  // released at configure and destruction
};

}  // namespace kolm
