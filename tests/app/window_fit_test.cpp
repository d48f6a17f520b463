// Where the window goes when it takes a picture's size: the arithmetic both
// windows share, with the frames they really have (an X window manager's
// title bar and borders, a Win32 window's with its menu bar).
#include <gtest/gtest.h>

#include "app/window_fit.h"

namespace {

const FrameBorders x11Frame{1, 24, 1, 1};
const FrameBorders win32Frame{8, 51, 8, 8};
const ScreenRect fullHd{0, 0, 1920, 1080};

void expectPlace(const WindowPlace& got, int x, int y, int width, int height) {
  EXPECT_EQ(got.x, x);
  EXPECT_EQ(got.y, y);
  EXPECT_EQ(got.clientWidth, width);
  EXPECT_EQ(got.clientHeight, height);
}

// The whole window, frame included, lies on the area.
void expectOnArea(const WindowPlace& got, const FrameBorders& frame, const ScreenRect& area) {
  EXPECT_GE(got.x, area.x);
  EXPECT_GE(got.y, area.y);
  EXPECT_LE(got.x + frame.left + got.clientWidth + frame.right, area.x + area.width);
  EXPECT_LE(got.y + frame.top + got.clientHeight + frame.bottom, area.y + area.height);
}

TEST(WindowFit, APictureThatFitsKeepsItsSizeAndTheCorner) {
  expectPlace(fitWindow(352, 240, x11Frame, 100, 50, fullHd), 100, 50, 352, 240);
  // Exactly as large as the area allows, at its corner.
  expectPlace(fitWindow(1918, 1055, x11Frame, 0, 0, fullHd), 0, 0, 1918, 1055);
  // Tiny and odd pictures are taken as they are.
  expectPlace(fitWindow(16, 16, win32Frame, 300, 200, fullHd), 300, 200, 16, 16);
  expectPlace(fitWindow(33, 17, x11Frame, 7, 9, fullHd), 7, 9, 33, 17);
}

TEST(WindowFit, AWindowOffAnEdgeMovesJustFarEnoughBack) {
  // Off the right edge: the left edge moves, the top stays.
  WindowPlace got = fitWindow(1280, 720, x11Frame, 1500, 100, fullHd);
  expectPlace(got, 1920 - 1282, 100, 1280, 720);
  // Off the bottom.
  got = fitWindow(640, 480, win32Frame, 200, 900, fullHd);
  expectPlace(got, 200, 1080 - 539, 640, 480);
  // Off the left and top edges (dragged partly off the screen).
  got = fitWindow(320, 240, x11Frame, -100, -30, fullHd);
  expectPlace(got, 0, 0, 320, 240);
  // A tiny picture at the far corner.
  got = fitWindow(16, 16, win32Frame, 1915, 1075, fullHd);
  expectPlace(got, 1920 - 32, 1080 - 75, 16, 16);
}

TEST(WindowFit, APictureLargerThanTheAreaIsScaledDownKeepingItsShape) {
  // Wider than the area: the width sets the scale. 1280 x 800 with an X
  // frame leaves 1278 x 775: 1280 x 720 becomes 1278 x 719 (718.9).
  const ScreenRect small{0, 0, 1280, 800};
  WindowPlace got = fitWindow(1280, 720, x11Frame, 1000, 100, small);
  expectPlace(got, 0, 100 - 44, 1278, 719);
  expectOnArea(got, x11Frame, small);
  // Larger both ways, taller in shape than the area: the height sets it.
  got = fitWindow(3000, 4000, win32Frame, 50, 50, fullHd);
  expectPlace(got, 50, 0, 766, 1021);  // 1021 x 3 / 4 = 765.75
  expectOnArea(got, win32Frame, fullHd);
  // Larger both ways, wider in shape: the width sets it.
  got = fitWindow(7680, 2160, x11Frame, 10, 10, fullHd);
  expectPlace(got, 0, 10, 1918, 539);  // 1918 x 9 / 32 = 539.4
  expectOnArea(got, x11Frame, fullHd);
  // An odd size that the area cuts by one pixel.
  got = fitWindow(1919, 1001, x11Frame, 0, 0, fullHd);
  expectPlace(got, 0, 0, 1918, 1000);  // 1918 x 1001 / 1919 = 1000.48
}

TEST(WindowFit, AreasWithAnOffsetAreMetWhereTheyAre) {
  // A panel 48 pixels wide on the left, a top bar of 32.
  const ScreenRect besidePanel{48, 32, 1920 - 48, 1080 - 32};
  WindowPlace got = fitWindow(640, 360, x11Frame, 10, 0, besidePanel);
  expectPlace(got, 48, 32, 640, 360);
  got = fitWindow(1920, 1080, x11Frame, 10, 0, besidePanel);
  expectOnArea(got, x11Frame, besidePanel);
  // 1870 x 1023 is left: the height sets the scale, 1023 x 16 / 9 = 1818.7.
  EXPECT_EQ(got.clientWidth, 1819);
  EXPECT_EQ(got.clientHeight, 1023);
  // A second monitor left of the primary one, at negative coordinates.
  const ScreenRect left{-1280, -200, 1280, 1024};
  got = fitWindow(800, 600, win32Frame, -300, 500, left);
  expectPlace(got, -816, 824 - 659, 800, 600);
  expectOnArea(got, win32Frame, left);
  got = fitWindow(1920, 1080, win32Frame, -1000, 0, left);
  expectPlace(got, -1280, 0, 1264, 711);  // 1264 x 9 / 16 = 711
  expectOnArea(got, win32Frame, left);
}

TEST(WindowFit, NothingBreaksOnSizesThatAreNoPicture) {
  // Unknown area: the picture's size, the corner where it was.
  expectPlace(fitWindow(1280, 720, x11Frame, 5000, -5000, ScreenRect{}), 5000, -5000, 1280, 720);
  // A frame larger than the area: at least one pixel, at the area's corner.
  WindowPlace got = fitWindow(640, 480, FrameBorders{400, 400, 400, 400}, 30, 30, ScreenRect{0, 0, 320, 240});
  EXPECT_GE(got.clientWidth, 1);
  EXPECT_GE(got.clientHeight, 1);
  EXPECT_EQ(got.x, 0);
  EXPECT_EQ(got.y, 0);
  // No picture at all, or a hostile one: 1 x 1, or the largest that fits.
  expectPlace(fitWindow(0, -5, x11Frame, 10, 10, fullHd), 10, 10, 1, 1);
  got = fitWindow(2147483647, 1, x11Frame, 0, 0, fullHd);
  expectPlace(got, 0, 0, 1918, 1);
  got = fitWindow(2147483647, 2147483647, FrameBorders{-5, -5, 2147483647, 2147483647}, 0, 0, fullHd);
  EXPECT_GE(got.clientWidth, 1);
  EXPECT_GE(got.clientHeight, 1);
}

}  // namespace
