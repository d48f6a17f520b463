// The position bar that both presenters draw over the bottom of the picture:
// where its rectangles go, worked out once so that the SDL and the Direct3D
// presenter draw the same thing, each with its own fill.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PositionBarRect {
  enum Kind { strip, elapsed, text };
  Kind kind;
  int x, y, width, height;
};

// The colour of each kind (red, green, blue, alpha): a dark translucent
// strip, the elapsed portion lighter, the label white.
struct PositionBarColour {
  std::uint8_t r, g, b, a;
};
PositionBarColour positionBarColour(PositionBarRect::Kind kind);

// The rectangles, in drawing order, of the bar over the picture drawn at x, y,
// width x height: a strip along the picture's bottom, 1/24 of its height and
// at least 6 pixels (never more than the picture); the portion of it before
// fraction (0..1; none when negative or not a number) filled; and the label
// in a small built-in bitmap font at its right end, each lit font pixel one
// rectangle. The font has digits, ':', '/', '.', '-', space and the lower-case
// letters of "cannot seek" and "paused"; other characters show as spaces.
// A label too long for the strip is left out; nothing for an empty picture.
std::vector<PositionBarRect> positionBarLayout(int x, int y, int width, int height, double fraction,
                                               const std::string& label);

// Where a click at x, y in an output of outputWidth x outputHeight falls on
// the bar of a picture of display shape shapeWidth:shapeHeight fitted into
// that output with black bars (as the presenters fit it): the fraction of
// the bar to its left (0..1), or -1 when the click is not on the bar.
double positionBarHit(int outputWidth, int outputHeight, int shapeWidth, int shapeHeight, int x, int y);
