#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kolm/event.h"
#include "kolm/sys/sys.h"
#include "kolm/video_hardware_accelerator.h"

struct SDL_Renderer;
struct SDL_Texture;

// The Linux presenter: YV12 surfaces in memory, shown in an SDL window.
//
// present() copies the picture into a front buffer and wakes the window thread
// with one SDL user event (at most one is ever pending); it never waits for the
// window thread, which joins the renderer thread when playback stops. The
// window thread then calls draw(), which uploads the picture to a streaming
// YV12 texture and draws it scaled to fit the window, with black bars.
//
// Threads: configure() and allocateSurface() on the probing thread,
// lockSurface()/unlockSurface() on decode threads, present() on the renderer
// thread; the constructor, draw(), redraw() and releaseTexture() on the window
// thread, the only one that touches SDL's renderer and texture.
class CSdlPresenter final : public IVideoHardwareAccelerator {
 public:
  // Registers the picture event type; SDL need not be initialised yet.
  CSdlPresenter();
  // Frees the surfaces. Leaves the texture to its renderer, which may already
  // be gone (SDL frees a renderer's textures with it).
  ~CSdlPresenter();
  CSdlPresenter(const CSdlPresenter&) = delete;
  CSdlPresenter& operator=(const CSdlPresenter&) = delete;

  // The size last given to configure(), or to the first allocateSurface()
  // when there was none; 0 by 0 before either.
  int getWidth() override;
  int getHeight() override;
  // Copies the visible picture (width x height, clipped to the surface) for
  // the window thread; false for a handle that is not a live surface.
  bool present(int width, int height, VideoSurface surface) override;
  // Stores the size and surface count, never changing them, and frees every
  // surface handed out so far: later surfaces have the new size.
  bool configure(int* width, int* height, int* count, int kind) override;
  // A new surface, up to the configured count; false after a 0 by 0 configure.
  bool allocateSurface(int width, int height, VideoSurface* surface) override;
  bool lockSurface(int* height, int* width, int* pitch, std::uint8_t** bits,
                   VideoSurface surface) override;
  void unlockSurface(VideoSurface surface) override;
  bool surfacesInSystemMemory() override { return true; }

  // The SDL event type that present() pushes (user.data1 is this presenter);
  // 0xFFFFFFFF when SDL had no event type left.
  std::uint32_t pictureEventType() const { return pictureEvent_; }

  // Window thread, the answer to the picture event: takes the newest picture,
  // draws the last one taken into the renderer's whole output scaled to fit
  // (black without one) and presents. True when a picture was drawn.
  bool draw(SDL_Renderer* renderer);
  // Window thread, for expose and resize: draws the last picture drawn again,
  // without taking a newer one.
  bool redraw(SDL_Renderer* renderer);
  // Window thread: the shape the pictures are shown in (their display size,
  // or any size of that shape), from the next draw on; the stored picture's
  // own shape for square pixels or when either side is not positive.
  void setDisplayShape(int width, int height);

  // Window thread: a thin bar over the bottom of the picture from the next
  // draw or redraw on (see position_bar.h): fraction of the file played
  // (0..1, negative when unknown) and a label ("1:23 / 4:56", "cannot seek").
  // Drawn only while visible; redraw() shows a change on a paused picture.
  void showPositionBar(double fraction, const char* label, bool visible);

  // Window thread: destroys the texture. Call it before destroying the
  // renderer that draw() was given if this presenter will draw again.
  void releaseTexture();

  // Also set with every picture event, for a window loop whose video driver
  // cannot wait for events and would otherwise poll for them.
  CEvent wakeEvent;

 private:
  struct Surface;
  // A tightly packed 4:2:0 picture.
  struct Picture {
    std::vector<std::uint8_t> y, u, v;
    int width = 0;
    int height = 0;
  };

  Surface* find(VideoSurface surface);
  bool render(SDL_Renderer* renderer, bool upload);
  void drawPositionBar(SDL_Renderer* renderer, int x, int y, int width, int height);

  // Guards surfaces_ and the size fields; present() copies under it, so a
  // surface cannot be freed mid-copy. Order: before frontLock_.
  kolm::sys::CriticalSection surfaceLock_;
  std::vector<std::unique_ptr<Surface>> surfaces_;
  int width_ = 0;
  int height_ = 0;
  int count_ = -1;  // no limit until configured
  bool sized_ = false;
  std::uintptr_t lastHandle_ = 0;  // handles are never reused
  Picture back_;  // filled by present(), under surfaceLock_

  // Guards front_, fresh_ and eventPending_; held only for swaps.
  kolm::sys::CriticalSection frontLock_;
  Picture front_;
  bool fresh_ = false;         // front_ holds a picture draw() has not taken
  bool eventPending_ = false;  // a picture event is queued and not yet handled

  // Window thread only.
  Picture shown_;
  SDL_Texture* texture_ = nullptr;
  SDL_Renderer* textureRenderer_ = nullptr;
  int textureWidth_ = 0;
  int textureHeight_ = 0;
  int shapeWidth_ = 0;  // 0: the picture's own shape
  int shapeHeight_ = 0;
  bool barVisible_ = false;
  double barFraction_ = -1;
  std::string barLabel_;

  std::uint32_t pictureEvent_;
};
