// The DirectDraw overlay presenter. Wine's DirectDraw has no overlays (yet
// would create an overlay surface and accept UpdateOverlay), so this checks
// the adapter-without-overlays path, which any display may take.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "video/dx_overlay.h"

namespace {

TEST(DXOverlay, AdapterWithoutOverlaysRefusesQuietly) {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = DefWindowProcA;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "zarvel_overlay_test";
  RegisterClassA(&windowClass);
  HWND window = CreateWindowA("zarvel_overlay_test", "zarvel test", WS_OVERLAPPEDWINDOW, 0, 0, 320, 240,
                              nullptr, nullptr, windowClass.hInstance, nullptr);
  ASSERT_NE(window, nullptr) << "no display: run under Xvfb";

  {
    kolm::CDXOverlay overlay;
    // Before create: only configure answers, with its defaults for zeros.
    int width = 0, height = 0, count = 0;
    EXPECT_TRUE(overlay.configure(&width, &height, &count, 2));
    EXPECT_EQ(width, 16);
    EXPECT_EQ(height, 16);
    EXPECT_EQ(count, 1);
    overlay.moveOverlay(10, 10);

    bool created = true;
    EXPECT_NO_THROW(created = overlay.create(window, 320, 240));
    EXPECT_FALSE(created);
    EXPECT_FALSE(overlay.initialisedForTest());

    // Nothing is made or shown, and nothing is touched.
    VideoSurface surface = nullptr;
    EXPECT_FALSE(overlay.allocateSurface(320, 240, &surface));
    EXPECT_EQ(surface, nullptr);
    int pitch = 0;
    std::uint8_t* bits = nullptr;
    EXPECT_FALSE(overlay.lockSurface(&height, &width, &pitch, &bits, surface));
    EXPECT_FALSE(overlay.present(320, 240, surface));
    overlay.moveOverlay(20, 20);
    overlay.showOverlay(true);
    EXPECT_EQ(overlay.getWidth(), 0);
    EXPECT_EQ(overlay.getHeight(), 0);
    width = 320;
    height = 240;
    count = 3;
    EXPECT_TRUE(overlay.configure(&width, &height, &count, 2));
    EXPECT_EQ(width, 320);

    // resize has nothing to resize.
    const char* thrown = nullptr;
    try {
      overlay.resize(640, 480);
    } catch (const char* text) {
      thrown = text;
    }
    ASSERT_NE(thrown, nullptr);
    EXPECT_STREQ(thrown, "DirectXが初期化されていません");
  }
  DestroyWindow(window);
}

}  // namespace
