// Where a window that takes a picture's size goes, on both platforms: the
// arithmetic alone, so that it can be tested without a display.
#pragma once

// A rectangle in screen coordinates (the desktop's, which may be negative on
// a monitor left of or above the primary one).
struct ScreenRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The window frame's thickness on each side of the client area (title bar,
// menu bar and borders); 0 where there is none.
struct FrameBorders {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

// The new client size, and the new top-left corner of the whole window
// (frame included).
struct WindowPlace {
  int x = 0;
  int y = 0;
  int clientWidth = 0;
  int clientHeight = 0;
};

// A window showing a picture of pictureWidth x pictureHeight (its display
// size) whose frame's top-left corner is at windowX, windowY, within the
// usable area of its screen (without task bars and panels):
// - when the picture and the frame fit the area, the client area is the
//   picture's size and the corner stays where it is if the window then lies
//   on the area, or moves just far enough to bring it there;
// - when they do not, the picture is scaled down, keeping its shape, to the
//   largest size whose window fits the area, and the window moves onto it.
// An empty area (unknown) leaves the corner alone and the picture unscaled.
// Sizes are never below 1 x 1, even for a frame larger than the area.
WindowPlace fitWindow(int pictureWidth, int pictureHeight, const FrameBorders& frame, int windowX, int windowY,
                      const ScreenRect& area);
