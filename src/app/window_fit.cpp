#include "app/window_fit.h"

#include <algorithm>
#include <cstdint>

namespace {

// value kept within [low, high]; low wins when the range is empty.
std::int64_t within(std::int64_t value, std::int64_t low, std::int64_t high) {
  return std::max(low, std::min(value, high));
}

}  // namespace

WindowPlace fitWindow(int pictureWidth, int pictureHeight, const FrameBorders& frame, int windowX, int windowY,
                      const ScreenRect& area) {
  // 64-bit throughout: a hostile size or frame must not overflow a product.
  const std::int64_t width = std::max(pictureWidth, 1);
  const std::int64_t height = std::max(pictureHeight, 1);
  WindowPlace place;
  place.x = windowX;
  place.y = windowY;
  place.clientWidth = static_cast<int>(width);
  place.clientHeight = static_cast<int>(height);
  if (area.width <= 0 || area.height <= 0) return place;

  const std::int64_t frameWidth = std::max(frame.left, 0) + static_cast<std::int64_t>(std::max(frame.right, 0));
  const std::int64_t frameHeight = std::max(frame.top, 0) + static_cast<std::int64_t>(std::max(frame.bottom, 0));
  const std::int64_t roomWidth = std::max<std::int64_t>(area.width - frameWidth, 1);
  const std::int64_t roomHeight = std::max<std::int64_t>(area.height - frameHeight, 1);
  std::int64_t clientWidth = width;
  std::int64_t clientHeight = height;
  if (width > roomWidth || height > roomHeight) {
    // The side that meets its limit first sets the scale; the other follows,
    // rounded to the nearest pixel, and never past its own limit.
    if (width * roomHeight >= height * roomWidth) {
      clientWidth = roomWidth;
      clientHeight = std::min((roomWidth * height * 2 + width) / (width * 2), roomHeight);
    } else {
      clientHeight = roomHeight;
      clientWidth = std::min((roomHeight * width * 2 + height) / (height * 2), roomWidth);
    }
    clientWidth = std::max<std::int64_t>(clientWidth, 1);
    clientHeight = std::max<std::int64_t>(clientHeight, 1);
  }
  place.clientWidth = static_cast<int>(clientWidth);
  place.clientHeight = static_cast<int>(clientHeight);

  // The smallest move that brings the whole window onto the area; a frame
  // wider than the area keeps its left (top) edge on the area's.
  const std::int64_t outerWidth = clientWidth + frameWidth;
  const std::int64_t outerHeight = clientHeight + frameHeight;
  place.x = static_cast<int>(within(windowX, area.x, area.x + area.width - outerWidth));
  place.y = static_cast<int>(within(windowY, area.y, area.y + area.height - outerHeight));
  return place;
}
