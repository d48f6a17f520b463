#include "video/position_bar.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr int glyphWidth = 3;
constexpr int glyphHeight = 5;
constexpr std::size_t maxLabel = 64;  // longer labels are no label a strip can hold

// Five rows of three pixels, the high bit on the left.
struct Glyph {
  char c;
  std::uint8_t rows[glyphHeight];
};
constexpr Glyph font[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}}, {'3', {7, 1, 3, 1, 7}},
    {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}}, {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 2, 2, 2}},
    {'8', {7, 5, 7, 5, 7}}, {'9', {7, 5, 7, 1, 7}}, {':', {0, 2, 0, 2, 0}}, {'/', {1, 1, 2, 4, 4}},
    {'.', {0, 0, 0, 0, 2}}, {'-', {0, 0, 7, 0, 0}}, {'a', {0, 3, 5, 5, 3}}, {'c', {0, 7, 4, 4, 7}},
    {'d', {1, 1, 7, 5, 7}}, {'e', {7, 5, 7, 4, 7}}, {'k', {4, 5, 6, 5, 5}}, {'n', {0, 6, 5, 5, 5}},
    {'o', {0, 7, 5, 5, 7}}, {'p', {0, 7, 5, 7, 4}}, {'s', {0, 3, 4, 1, 6}}, {'t', {2, 7, 2, 2, 3}},
    {'u', {0, 5, 5, 5, 7}},
};

const Glyph* glyphOf(char c) {
  for (const Glyph& glyph : font)
    if (glyph.c == c) return &glyph;
  return nullptr;
}

}  // namespace

PositionBarColour positionBarColour(PositionBarRect::Kind kind) {
  switch (kind) {
    case PositionBarRect::strip:
      return {0, 0, 0, 160};
    case PositionBarRect::elapsed:
      return {70, 140, 230, 200};
    case PositionBarRect::text:
      break;
  }
  return {255, 255, 255, 255};
}

std::vector<PositionBarRect> positionBarLayout(int x, int y, int width, int height, double fraction,
                                               const std::string& label) {
  std::vector<PositionBarRect> rects;
  if (width <= 0 || height <= 0) return rects;
  const int stripHeight = std::min(height, std::max(6, height / 24));
  const int top = y + height - stripHeight;
  rects.push_back({PositionBarRect::strip, x, top, width, stripHeight});
  // NaN fails every comparison, so it draws no elapsed portion.
  if (fraction >= 0) {
    const double part = std::min(fraction, 1.0) * width;
    const int filled = static_cast<int>(std::lround(part));
    if (filled > 0) rects.push_back({PositionBarRect::elapsed, x, top, filled, stripHeight});
  }
  // Font pixels of `scale` screen pixels, with a pixel of room above and
  // below; a space of one font pixel between characters.
  const int scale = std::max(1, (stripHeight - 2) / glyphHeight);
  const std::size_t length = label.size();
  if (length == 0 || length > maxLabel) return rects;
  const int labelWidth = static_cast<int>(length) * (glyphWidth + 1) * scale - scale;
  const int margin = 2 * scale;
  if (labelWidth + 2 * margin > width || glyphHeight * scale > stripHeight) return rects;
  const int left = x + width - margin - labelWidth;
  const int glyphTop = top + (stripHeight - glyphHeight * scale) / 2;
  for (std::size_t i = 0; i < length; ++i) {
    const Glyph* glyph = glyphOf(label[i]);
    if (!glyph) continue;
    const int glyphLeft = left + static_cast<int>(i) * (glyphWidth + 1) * scale;
    for (int row = 0; row < glyphHeight; ++row)
      for (int column = 0; column < glyphWidth; ++column)
        if (glyph->rows[row] & (4 >> column))
          rects.push_back({PositionBarRect::text, glyphLeft + column * scale, glyphTop + row * scale, scale, scale});
  }
  return rects;
}

double positionBarHit(int outputWidth, int outputHeight, int shapeWidth, int shapeHeight, int x, int y) {
  if (outputWidth <= 0 || outputHeight <= 0 || shapeWidth <= 0 || shapeHeight <= 0) return -1;
  std::int64_t width = outputWidth;
  std::int64_t height = static_cast<std::int64_t>(outputWidth) * shapeHeight / shapeWidth;
  if (height > outputHeight) {
    height = outputHeight;
    width = static_cast<std::int64_t>(outputHeight) * shapeWidth / shapeHeight;
  }
  if (width <= 0 || height <= 0) return -1;
  const std::int64_t left = (outputWidth - width) / 2;
  const std::int64_t bottom = (outputHeight - height) / 2 + height;
  const std::int64_t strip = std::min<std::int64_t>(height, std::max<std::int64_t>(6, height / 24));
  if (y < bottom - strip || y >= bottom || x < left || x >= left + width) return -1;
  return static_cast<double>(x - left) / static_cast<double>(width);
}
