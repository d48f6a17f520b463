// The Direct3D 9 presenter on a real device: under Wine this needs a display
// (Xvfb). Pictures are read back from the back buffer after present.
#include <gtest/gtest.h>

#include <windows.h>

#include <d3d9.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kolm/sample_queue.h"
#include "video/dx3d_draw.h"

namespace {

struct Yuv {
  int y, u, v;
};
struct Rgb {
  int r, g, b;
};

// Limited-range BT.601 colour bars: white, yellow, cyan, green, magenta, red,
// blue, black.
constexpr Yuv kBars[8] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                          {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128}};

int clamp255(double value) { return value < 0 ? 0 : value > 255 ? 255 : static_cast<int>(std::lround(value)); }

Rgb limitedRange(Yuv c) {
  const double y = 1.164 * (c.y - 16);
  return {clamp255(y + 1.596 * (c.v - 128)), clamp255(y - 0.392 * (c.u - 128) - 0.813 * (c.v - 128)),
          clamp255(y + 2.017 * (c.u - 128))};
}

// Some drivers (Wine's among them) convert as if Y used the full range.
Rgb fullRange(Yuv c) {
  return {clamp255(c.y + 1.402 * (c.v - 128)), clamp255(c.y - 0.344 * (c.u - 128) - 0.714 * (c.v - 128)),
          clamp255(c.y + 1.772 * (c.u - 128))};
}

bool closeTo(Rgb a, Rgb b) {
  constexpr int tolerance = 8;
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
         std::abs(a.b - b.b) <= tolerance;
}

// A hidden top-level window, the device's window.
class TestWindow {
 public:
  TestWindow() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "zarvel_dx3d_test";
    RegisterClassA(&windowClass);  // fails harmlessly when already registered
    handle = CreateWindowA("zarvel_dx3d_test", "zarvel test", WS_OVERLAPPEDWINDOW, 0, 0, 320, 240, nullptr,
                           nullptr, windowClass.hInstance, nullptr);
  }
  ~TestWindow() {
    if (handle) DestroyWindow(handle);
  }
  HWND handle;
};

// Fills a surface with eight vertical bars, through the pool's one YV12 layout.
void paintBars(kolm::CDX3DDraw& presenter, VideoSurface surface) {
  int height = 0, width = 0, pitch = 0;
  std::uint8_t* bits = nullptr;
  ASSERT_TRUE(presenter.lockSurface(&height, &width, &pitch, &bits, surface));
  YV12Planes planes;
  ASSERT_TRUE(YV12Planes::layout(bits, pitch, width, height, &planes));
  const auto bar = [&](int x) { return kBars[x * 8 / width]; };
  for (int row = 0; row < height; ++row)
    for (int x = 0; x < width; ++x) planes.y[row * planes.pitchY + x] = static_cast<std::uint8_t>(bar(x).y);
  for (int row = 0; row < planes.chromaHeight(); ++row)
    for (int x = 0; x < planes.chromaWidth(); ++x) {
      planes.u[row * planes.pitchC + x] = static_cast<std::uint8_t>(bar(2 * x).u);
      planes.v[row * planes.pitchC + x] = static_cast<std::uint8_t>(bar(2 * x).v);
    }
  presenter.unlockSurface(surface);
}

// The back buffer as 32-bit pixels.
std::vector<std::uint32_t> readBack(IDirect3DDevice9* device, int* width, int* height) {
  std::vector<std::uint32_t> pixels;
  IDirect3DSurface9* target = nullptr;
  IDirect3DSurface9* copy = nullptr;
  D3DSURFACE_DESC desc;
  D3DLOCKED_RECT locked;
  if (device && SUCCEEDED(device->GetRenderTarget(0, &target)) && SUCCEEDED(target->GetDesc(&desc)) &&
      SUCCEEDED(device->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM,
                                                    &copy, nullptr)) &&
      SUCCEEDED(device->GetRenderTargetData(target, copy)) &&
      SUCCEEDED(copy->LockRect(&locked, nullptr, D3DLOCK_READONLY))) {
    *width = static_cast<int>(desc.Width);
    *height = static_cast<int>(desc.Height);
    pixels.resize(desc.Width * desc.Height);
    for (UINT row = 0; row < desc.Height; ++row)
      std::memcpy(&pixels[row * desc.Width], static_cast<std::uint8_t*>(locked.pBits) + row * locked.Pitch,
                  desc.Width * 4);
    copy->UnlockRect();
  }
  if (copy) copy->Release();
  if (target) target->Release();
  return pixels;
}

// Each bar's middle reads back as its colour, in either range. The picture
// is drawn once more and held in the back buffer: a presented one is gone.
void expectDrawnAsBars(kolm::CDX3DDraw& presenter, VideoSurface surface) {
  presenter.holdPresentsForTest(true);
  const bool drawn = presenter.present(0, 0, surface);
  presenter.holdPresentsForTest(false);
  ASSERT_TRUE(drawn);
  int width = 0, height = 0;
  const std::vector<std::uint32_t> pixels = readBack(presenter.deviceForTest(), &width, &height);
  ASSERT_FALSE(pixels.empty());
  ASSERT_EQ(width, presenter.getWidth());
  ASSERT_EQ(height, presenter.getHeight());
  for (int i = 0; i < 8; ++i) {
    const int x = (2 * i + 1) * width / 16;
    const std::uint32_t pixel = pixels[(height / 2) * width + x];
    const Rgb seen{static_cast<int>(pixel >> 16 & 0xFF), static_cast<int>(pixel >> 8 & 0xFF),
                   static_cast<int>(pixel & 0xFF)};
    EXPECT_TRUE(closeTo(seen, limitedRange(kBars[i])) || closeTo(seen, fullRange(kBars[i])))
        << "bar " << i << " at x " << x << " reads " << seen.r << "," << seen.g << "," << seen.b;
  }
}

class DX3DDraw : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(window.handle, nullptr) << "no display: run under Xvfb";
  }
  bool configure(int width, int height, int count) {
    return presenter.configure(&width, &height, &count, CSample::presenterSurface);
  }
  std::vector<VideoSurface> allocate(int width, int height, int count) {
    std::vector<VideoSurface> surfaces(count);
    for (VideoSurface& surface : surfaces) EXPECT_TRUE(presenter.allocateSurface(width, height, &surface));
    return surfaces;
  }

  TestWindow window;
  kolm::CDX3DDraw presenter{window.handle};
};

TEST_F(DX3DDraw, PoolPicturesShowAsColourBars) {
  CSampleQueue pool(&presenter);
  int count = 0, width = 0, height = 0;
  pool.setFormat(3, 128, 64, &count, &width, &height);
  EXPECT_EQ(presenter.deviceForTest(), nullptr) << "nothing made before the first surface";
  ASSERT_TRUE(pool.allocate());
  EXPECT_EQ(presenter.getWidth(), 128);
  EXPECT_EQ(presenter.getHeight(), 64);

  // Every picture a presenter surface; the count is used up.
  CSample* samples[3];
  for (CSample*& sample : samples) {
    ASSERT_TRUE(pool.acquire(&sample));
    EXPECT_EQ(sample->kind, CSample::presenterSurface);
  }
  VideoSurface extra = nullptr;
  EXPECT_FALSE(presenter.allocateSurface(128, 64, &extra));

  // Not written yet: nothing to show.
  EXPECT_FALSE(presenter.present(128, 64, samples[1]->surface));
  YV12Planes planes;
  ASSERT_TRUE(samples[1]->lockPlanes(&planes));
  EXPECT_EQ(planes.width, 128);
  EXPECT_EQ(planes.height, 64);
  samples[1]->unlockPlanes();
  paintBars(presenter, samples[1]->surface);
  // The size arguments are not used: the configured size is.
  ASSERT_TRUE(presenter.present(1, 1, samples[1]->surface));
  expectDrawnAsBars(presenter, samples[1]->surface);

  // A memory picture or a stranger cannot be shown.
  EXPECT_FALSE(presenter.present(128, 64, nullptr));
  EXPECT_FALSE(presenter.present(128, 64, reinterpret_cast<VideoSurface>(0x12345)));
  for (CSample* sample : samples) pool.release(sample);
}

// An odd size (FFmpeg's files have them): surfaces and texture a column and
// a row larger, the picture written through memory of its own layout, and
// only the picture drawn.
TEST_F(DX3DDraw, OddSizedPicturesShowAsColourBars) {
  ASSERT_TRUE(configure(177, 101, 2));
  const std::vector<VideoSurface> surfaces = allocate(177, 101, 2);
  const kolm::CDX3DDraw::Geometry geometry = presenter.geometryForTest();
  EXPECT_EQ(geometry.textureWidth, 178);
  EXPECT_EQ(geometry.textureHeight, 102);
  EXPECT_FLOAT_EQ(geometry.u, 177.0f / 178.0f);
  EXPECT_FLOAT_EQ(geometry.v, 101.0f / 102.0f);
  for (VideoSurface surface : surfaces) {
    paintBars(presenter, surface);
    expectDrawnAsBars(presenter, surface);
  }
}

TEST_F(DX3DDraw, PowerOfTwoTexturesAndASecondConfigure) {
  presenter.forcePowerOfTwoForTest(true);
  ASSERT_TRUE(configure(720, 480, 1));
  const VideoSurface big = allocate(720, 480, 1)[0];
  kolm::CDX3DDraw::Geometry geometry = presenter.geometryForTest();
  EXPECT_EQ(geometry.textureWidth, 1024);
  EXPECT_EQ(geometry.textureHeight, 512);
  EXPECT_FLOAT_EQ(geometry.u, 720.0f / 1024.0f);
  EXPECT_FLOAT_EQ(geometry.v, 480.0f / 512.0f);
  // Only the picture's corner of the texture is drawn.
  paintBars(presenter, big);
  ASSERT_TRUE(presenter.present(720, 480, big));
  expectDrawnAsBars(presenter, big);

  // Another size drops the device; a count of 0 makes one surface.
  ASSERT_TRUE(configure(40, 30, 0));
  EXPECT_EQ(presenter.getWidth(), 40);
  EXPECT_EQ(presenter.deviceForTest(), nullptr);
  const VideoSurface small = allocate(40, 30, 1)[0];
  VideoSurface extra = nullptr;
  EXPECT_FALSE(presenter.allocateSurface(40, 30, &extra));
  geometry = presenter.geometryForTest();
  EXPECT_EQ(geometry.textureWidth, 64);
  EXPECT_EQ(geometry.textureHeight, 64);
  // The last configuration's handle is refused.
  int height = 0, width = 0, pitch = 0;
  std::uint8_t* bits = nullptr;
  EXPECT_NE(big, small);
  EXPECT_FALSE(presenter.lockSurface(&height, &width, &pitch, &bits, big));
  EXPECT_FALSE(presenter.present(720, 480, big));
  paintBars(presenter, small);
  expectDrawnAsBars(presenter, small);

  // Without the rule (Wine's device does not ask for it) the texture is the
  // picture's size.
  presenter.forcePowerOfTwoForTest(false);
  D3DCAPS9 caps;
  ASSERT_EQ(presenter.deviceForTest()->GetDeviceCaps(&caps), D3D_OK);
  if (!(caps.TextureCaps & D3DPTEXTURECAPS_POW2)) {
    ASSERT_TRUE(configure(40, 30, 1));
    allocate(40, 30, 1);
    geometry = presenter.geometryForTest();
    EXPECT_EQ(geometry.textureWidth, 40);
    EXPECT_EQ(geometry.textureHeight, 30);
    EXPECT_FLOAT_EQ(geometry.u, 1.0f);
    EXPECT_FLOAT_EQ(geometry.v, 1.0f);
  }
}

TEST_F(DX3DDraw, ZeroSizeMakesNoSurfaces) {
  // An Ogg attempt that found no Theora stream sizes the pool 0 by 0.
  CSampleQueue pool(&presenter);
  int count = 0, width = 0, height = 0;
  pool.setFormat(5, 0, 0, &count, &width, &height);
  EXPECT_FALSE(pool.allocate());
  VideoSurface surface = nullptr;
  EXPECT_FALSE(presenter.allocateSurface(0, 0, &surface));
  EXPECT_EQ(surface, nullptr);
  EXPECT_FALSE(presenter.present(0, 0, surface));
  EXPECT_EQ(presenter.deviceForTest(), nullptr);
  EXPECT_FALSE(presenter.geometryForTest().texture);

  // The next file still gets its surfaces.
  pool.setFormat(3, 64, 32, &count, &width, &height);
  ASSERT_TRUE(pool.allocate());
  CSample* sample = nullptr;
  ASSERT_TRUE(pool.acquire(&sample));
  EXPECT_EQ(sample->kind, CSample::presenterSurface);
  pool.release(sample);
}

TEST_F(DX3DDraw, RecreatedDeviceRebindsTheSameHandles) {
  ASSERT_TRUE(configure(128, 64, 2));
  const std::vector<VideoSurface> surfaces = allocate(128, 64, 2);
  paintBars(presenter, surfaces[0]);
  ASSERT_TRUE(presenter.present(128, 64, surfaces[0]));

  // A decoder holds one surface when the loss is found: the device is made
  // again only once it lets go, and no new writer starts meanwhile.
  int height = 0, width = 0, pitch = 0;
  std::uint8_t* bits = nullptr;
  ASSERT_TRUE(presenter.lockSurface(&height, &width, &pitch, &bits, surfaces[1]));
  presenter.simulateDeviceResetForTest();
  EXPECT_FALSE(presenter.present(128, 64, surfaces[0]));
  EXPECT_FALSE(presenter.lockSurface(&height, &width, &pitch, &bits, surfaces[0]));
  bits[0] = 16;  // still the surface it locked
  presenter.unlockSurface(surfaces[1]);

  // Made again now; the old pictures went with the old device.
  EXPECT_FALSE(presenter.present(128, 64, surfaces[0]));
  ASSERT_NE(presenter.deviceForTest(), nullptr);
  EXPECT_TRUE(presenter.geometryForTest().texture);
  EXPECT_FALSE(presenter.present(128, 64, surfaces[1]));
  VideoSurface extra = nullptr;
  EXPECT_FALSE(presenter.allocateSurface(128, 64, &extra));

  // The same handles write and show on the new device.
  paintBars(presenter, surfaces[1]);
  ASSERT_TRUE(presenter.present(128, 64, surfaces[1]));
  expectDrawnAsBars(presenter, surfaces[1]);
}

TEST_F(DX3DDraw, DisplayShapeFitsThePictureIntoTheWindowWithBlackBars) {
  // A 256 x 128 client area, the stored picture's own shape.
  RECT frame = {0, 0, 256, 128};
  AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
  ASSERT_TRUE(SetWindowPos(window.handle, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                           SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE));
  RECT client;
  ASSERT_TRUE(GetClientRect(window.handle, &client));
  if (client.right != 256 || client.bottom != 128) GTEST_SKIP() << "the window manager would not size the window";
  ASSERT_TRUE(configure(128, 64, 1));
  const VideoSurface surface = allocate(128, 64, 1)[0];
  paintBars(presenter, surface);
  // The back buffer's pixel at x, y is black (a bar) or not (the picture).
  const auto black = [&](int x, int y) {
    presenter.holdPresentsForTest(true);
    const bool drawn = presenter.present(0, 0, surface);
    presenter.holdPresentsForTest(false);
    EXPECT_TRUE(drawn);
    int width = 0, height = 0;
    const std::vector<std::uint32_t> pixels = readBack(presenter.deviceForTest(), &width, &height);
    if (pixels.empty() || x >= width || y >= height) {
      ADD_FAILURE() << "no back buffer to read";
      return false;
    }
    return (pixels[y * width + x] & 0xFFFFFF) == 0;
  };
  // Shown square (pixels twice as tall as wide): 128 x 128 in the middle of
  // the client area, so the middle half of the back buffer's width.
  presenter.setDisplayShape(1, 1);
  EXPECT_TRUE(black(8, 32));
  EXPECT_TRUE(black(120, 32));
  EXPECT_FALSE(black(64, 32));  // the magenta bar, squeezed
  EXPECT_FALSE(black(64, 62));
  // Shown 4:1: bars above and below.
  presenter.setDisplayShape(4, 1);
  EXPECT_TRUE(black(16, 4));
  EXPECT_TRUE(black(16, 60));
  EXPECT_FALSE(black(16, 32));
  // Square pixels, or no shape: the whole back buffer again.
  for (int side : {2, 0}) {
    presenter.setDisplayShape(side, side / 2);
    expectDrawnAsBars(presenter, surface);
  }
}

TEST_F(DX3DDraw, APositionBarIsBlendedOverThePictureAndRedrawShowsItOnAPausedOne) {
  ASSERT_TRUE(configure(128, 64, 1));
  const VideoSurface surface = allocate(128, 64, 1)[0];
  EXPECT_FALSE(presenter.redraw()) << "no picture yet";
  paintBars(presenter, surface);
  ASSERT_TRUE(presenter.present(0, 0, surface));
  // Redrawn and held in the back buffer, as a paused player's picture is.
  const auto pixelAt = [&](int x, int y) {
    presenter.holdPresentsForTest(true);
    EXPECT_TRUE(presenter.redraw());
    presenter.holdPresentsForTest(false);
    int width = 0, height = 0;
    const std::vector<std::uint32_t> pixels = readBack(presenter.deviceForTest(), &width, &height);
    if (pixels.empty() || x >= width || y >= height) {
      ADD_FAILURE() << "no back buffer to read";
      return 0u;
    }
    return pixels[y * width + x] & 0xFFFFFF;
  };
  const std::uint32_t white = pixelAt(4, 63);
  const std::uint32_t blue = pixelAt(100, 63);
  const std::uint32_t middle = pixelAt(4, 20);
  presenter.showPositionBar(0.5, "0:01 / 0:02", true);
  // The bottom row: the elapsed portion over the white bar, the dark strip over
  // the blue one; the middle of the picture is untouched.
  EXPECT_NE(pixelAt(4, 63), white);
  const std::uint32_t darkened = pixelAt(100, 63);
  EXPECT_NE(darkened, blue);
  EXPECT_LT(darkened & 0xFF, blue & 0xFF);
  EXPECT_EQ(pixelAt(4, 20), middle);
  presenter.showPositionBar(-1, "cannot seek", false);
  EXPECT_EQ(pixelAt(100, 63), blue);
  expectDrawnAsBars(presenter, surface);
}

struct PresentJob {
  kolm::CDX3DDraw* presenter;
  VideoSurface surface;
  bool afterReset = true;
  bool shown = false;
};

DWORD WINAPI presentAfterReset(void* argument) {
  auto* job = static_cast<PresentJob*>(argument);
  job->presenter->simulateDeviceResetForTest();
  job->afterReset = job->presenter->present(128, 64, job->surface);
  paintBars(*job->presenter, job->surface);
  job->shown = job->presenter->present(128, 64, job->surface);
  return 0;
}

TEST_F(DX3DDraw, RendererThreadPresentsWhileTheWindowThreadWaits) {
  // The window's thread joins the renderer when playback stops, pumping no
  // messages meanwhile: present, device re-creation included, must not need it.
  ASSERT_TRUE(configure(128, 64, 1));
  PresentJob job{&presenter, allocate(128, 64, 1)[0]};
  HANDLE thread = CreateThread(nullptr, 0, presentAfterReset, &job, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  const DWORD waited = WaitForSingleObject(thread, 30000);
  if (waited != WAIT_OBJECT_0) {
    // End the thread before failing: let it have its messages.
    MSG message;
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, 30000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
  CloseHandle(thread);
  ASSERT_EQ(waited, WAIT_OBJECT_0) << "present waited for the window's thread";
  EXPECT_FALSE(job.afterReset);
  EXPECT_TRUE(job.shown);
  expectDrawnAsBars(presenter, job.surface);
}

}  // namespace
