#pragma once

#include <windows.h>

#include <d3d9.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kolm/sys/sys.h"
#include "kolm/video_hardware_accelerator.h"

namespace kolm {

// The Windows presenter: pictures are written straight into YV12 offscreen
// surfaces, stretched (and so converted to RGB) into a render-target texture,
// drawn on a quad over the whole back buffer and presented into the window.
//
// No library is loaded and no device exists until the first allocateSurface()
// after construction or configure(); that call builds the device, the
// texture, the quad and every surface, then hands the surfaces out one by one.
//
// Surface handles are serial numbers, not Direct3D pointers: when a lost
// device is created anew, every surface is made again behind the same handle,
// so the pool's samples keep working and nothing released is ever touched. A
// handle from before a configure() is never one of the new surfaces.
//
// Threads: configure() and allocateSurface() on the thread that sizes the pool,
// lockSurface()/unlockSurface() on decode threads, present() on the renderer
// thread, the destructor on the window's thread after the renderer is joined.
// One lock guards the device and the surface table. present() never waits for
// the window's thread: it sends the window no message and takes no lock that
// thread holds while it joins the renderer.
class CDX3DDraw final : public IVideoHardwareAccelerator {
 public:
  explicit CDX3DDraw(HWND window);
  virtual ~CDX3DDraw();
  CDX3DDraw(const CDX3DDraw&) = delete;
  CDX3DDraw& operator=(const CDX3DDraw&) = delete;

  int getWidth() override;
  int getHeight() override;
  // Shows the surface at the configured picture size (the arguments are not
  // used). False for a memory sample, an unknown handle, a surface whose
  // picture went with a lost device, or a failed draw.
  bool present(int width, int height, VideoSurface surface) override;
  // Drops the device and every surface; the next allocateSurface() builds
  // them anew at this size. Never changes the values.
  bool configure(int* width, int* height, int* count, int kind) override;
  // Throws CHResultException when no device can be created. False when the
  // configured size cannot be a picture, when the texture or the surfaces
  // cannot be made (the pool then uses memory), or past the surface count.
  bool allocateSurface(int width, int height, VideoSurface* surface) override;
  bool lockSurface(int* height, int* width, int* pitch, std::uint8_t** bits,
                   VideoSurface surface) override;
  void unlockSurface(VideoSurface surface) override;

  // The shape the pictures are shown in (their display size, or any size of
  // that shape), from the next present on: the picture is fitted into the
  // window's client area with that shape, black bars round it. Until it is
  // set, or for a side that is not positive, the picture fills the client
  // area (the window takes its size). Any thread.
  void setDisplayShape(int width, int height);

  // A thin bar over the bottom of the picture from the next present or
  // redraw on (see position_bar.h): fraction of the file played (0..1,
  // negative when unknown) and a label ("1:23 / 4:56", "cannot seek"),
  // drawn only while visible. Any thread.
  void showPositionBar(double fraction, const char* label, bool visible);
  // The window's thread: the last picture presented again, with the bar as
  // it is now and fitted to the client area as it is now (for a paused player,
  // a resized window). False when there is no picture to show.
  bool redraw();

  // The device, for tests that read the picture back; may be null.
  IDirect3DDevice9* deviceForTest();
  // What the texture and the quad were made with, for tests.
  struct Geometry {
    int textureWidth;
    int textureHeight;
    float u;  // right edge of the picture in the texture
    float v;  // bottom edge
    bool texture;  // a texture exists
  };
  Geometry geometryForTest();
  // Tests: act as if the device needed power-of-two textures.
  void forcePowerOfTwoForTest(bool force);
  // Tests: draw into the back buffer but leave it there, not presented, so
  // that it can be read back (a presented back buffer is discarded).
  void holdPresentsForTest(bool hold);
  // Tests: act as if the device had been lost and could be made again, as
  // the next present() would find it.
  void simulateDeviceResetForTest();

  // The texture side for a picture side: the side itself rounded up to even
  // (as the YV12 surfaces), or with pow2 the smallest power of two at least
  // 64 that holds it.
  static int textureSide(int pictureSide, bool pow2);
  // A YV12 surface's side for a picture side: rounded up to even, for drivers
  // lay out the chroma of odd sizes each their own way (Wine's holds one
  // chroma row fewer than the picture's rounded-up half).
  static int surfaceSide(int pictureSide) { return pictureSide + (pictureSide & 1); }

 private:
  struct Vertex {
    float x, y, z, rhw, u, v;
  };
  struct Entry {
    IDirect3DSurface9* surface = nullptr;
    std::uintptr_t handle = 0;  // 0 until handed out
    bool locked = false;
    bool written = false;  // holds a picture made on the current device
    // An odd-sized picture is written here and copied into the surface on
    // unlock (see lockSurface).
    std::vector<std::uint8_t> staging;
  };

  Entry* find(VideoSurface handle);
  HRESULT createDevice();
  UINT chooseAdapter();
  HRESULT fillPresentParameters(D3DPRESENT_PARAMETERS* parameters);
  HRESULT setupRenderStates();
  HRESULT allocateVideoResources();
  HRESULT setupQuad(int textureWidth, int textureHeight);
  HRESULT drawSurface(IDirect3DSurface9* surface, int width, int height);
  // The staged picture into the entry's surface; false when it cannot be.
  bool copyStaged(Entry& entry);
  // Moves the quad to where the display shape puts the picture in the back
  // buffer, as the client area is now; true when it covers all of it.
  bool placeQuad();
  // Blends the bar's rectangles over the back buffer; inside a scene.
  HRESULT drawPositionBar();
  HRESULT drawQuad();
  void presentToWindow();
  // A lost device that can be made again: a new device, texture, quad and
  // surfaces behind the same handles. Waits for no locked surface: while a
  // decoder writes one, it is left for a later present().
  void recreateDevice();
  void releaseVideoResources();
  void releaseDeviceObjects();

  HWND window_;
  IDirect3D9* direct3d_ = nullptr;
  IDirect3DDevice9* device_ = nullptr;
  IDirect3DVertexBuffer9* quad_ = nullptr;
  IDirect3DTexture9* texture_ = nullptr;
  IDirect3DSurface9* renderTarget_ = nullptr;
  std::vector<Entry> surfaces_;
  HMODULE d3d9Module_ = nullptr;
  int backBufferWidth_ = 0;
  int backBufferHeight_ = 0;
  int textureWidth_ = 0;
  int textureHeight_ = 0;
  int pictureWidth_ = 0;
  int pictureHeight_ = 0;
  int shapeWidth_ = 0;  // 0: the picture fills the client area
  int shapeHeight_ = 0;
  // Where placeQuad() put the picture in client-area pixels, and the scale
  // from those to the back buffer's.
  int pictureLeft_ = 0, pictureTop_ = 0, pictureRight_ = 0, pictureBottom_ = 0;
  float clientToBufferX_ = 1.0f, clientToBufferY_ = 1.0f;
  bool barVisible_ = false;
  double barFraction_ = -1;
  std::string barLabel_;
  bool pictureDrawn_ = false;  // the texture holds a picture made on this device
  unsigned surfaceCount_ = 0;
  unsigned surfacesHandedOut_ = 0;
  Vertex vertices_[4] = {};

  sys::CriticalSection lock_;
  std::uintptr_t lastHandle_ = 0;  // handles are never reused
  bool resetPending_ = false;      // the device must be made again before drawing
  bool resourcesReady_ = false;    // texture, surfaces and quad all exist
  bool forcePow2_ = false;
  bool holdPresents_ = false;
  int warmPresents_ = 0;  // presents a new device still needs before it runs at speed
};

}  // namespace kolm
