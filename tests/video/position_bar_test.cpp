// Where the position bar's rectangles go, the same for both presenters.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "video/position_bar.h"

namespace {

int count(const std::vector<PositionBarRect>& rects, PositionBarRect::Kind kind) {
  int n = 0;
  for (const PositionBarRect& rect : rects) n += rect.kind == kind;
  return n;
}

// Every rectangle lies within the strip, which lies within the picture.
void expectWithinStrip(const std::vector<PositionBarRect>& rects, int x, int y, int width, int height) {
  ASSERT_FALSE(rects.empty());
  const PositionBarRect& strip = rects.front();
  EXPECT_EQ(strip.kind, PositionBarRect::strip);
  EXPECT_EQ(strip.x, x);
  EXPECT_EQ(strip.width, width);
  EXPECT_EQ(strip.y + strip.height, y + height);
  EXPECT_GE(strip.y, y);
  for (const PositionBarRect& rect : rects) {
    EXPECT_GE(rect.x, strip.x);
    EXPECT_GE(rect.y, strip.y);
    EXPECT_LE(rect.x + rect.width, strip.x + strip.width);
    EXPECT_LE(rect.y + rect.height, strip.y + strip.height);
    EXPECT_GT(rect.width, 0);
    EXPECT_GT(rect.height, 0);
  }
}

TEST(PositionBar, AStripAlongTheBottomWithTheElapsedPartAndTheLabelAtItsEnd) {
  // 1280 x 720 drawn at 20, 40: a strip of 30 rows, font pixels of 5.
  const auto rects = positionBarLayout(20, 40, 1280, 720, 0.25, "1:23 / 4:56");
  expectWithinStrip(rects, 20, 40, 1280, 720);
  EXPECT_EQ(rects[0].height, 30);
  ASSERT_EQ(rects[1].kind, PositionBarRect::elapsed);
  EXPECT_EQ(rects[1].x, 20);
  EXPECT_EQ(rects[1].width, 320);
  EXPECT_GT(count(rects, PositionBarRect::text), 11 * 3);  // a few pixels per character, none for spaces
  int left = 1 << 30;
  for (const PositionBarRect& rect : rects)
    if (rect.kind == PositionBarRect::text) {
      EXPECT_EQ(rect.width, 5);
      left = std::min(left, rect.x);
    }
  // Eleven characters of 4 font pixels less the last gap, 2 from the end.
  EXPECT_GE(left, 20 + 1280 - 10 - (11 * 4 - 1) * 5);
}

TEST(PositionBar, FractionsOutOfRangeAndUnknownOnesAreSafe) {
  for (double unknown : {-1.0, std::numeric_limits<double>::quiet_NaN(), 0.0}) {
    const auto rects = positionBarLayout(0, 0, 320, 240, unknown, "cannot seek");
    expectWithinStrip(rects, 0, 0, 320, 240);
    EXPECT_EQ(count(rects, PositionBarRect::elapsed), 0);
    EXPECT_GT(count(rects, PositionBarRect::text), 0);
  }
  for (double beyond : {1.0, 7.5, std::numeric_limits<double>::infinity()}) {
    const auto rects = positionBarLayout(0, 0, 320, 240, beyond, "");
    expectWithinStrip(rects, 0, 0, 320, 240);
    ASSERT_EQ(count(rects, PositionBarRect::elapsed), 1);
    EXPECT_EQ(rects[1].width, 320);
  }
}

TEST(PositionBar, SmallPicturesAndLabelsThatDoNotFit) {
  // At least 6 rows, but never more than the picture.
  auto rects = positionBarLayout(0, 0, 16, 16, 0.5, "1:00");
  expectWithinStrip(rects, 0, 0, 16, 16);
  EXPECT_EQ(rects[0].height, 6);
  EXPECT_EQ(count(rects, PositionBarRect::text), 0);  // 15 pixels of label and margins in 16: left out
  rects = positionBarLayout(0, 0, 64, 3, 0.5, "0");
  expectWithinStrip(rects, 0, 0, 64, 3);
  EXPECT_EQ(rects[0].height, 3);
  EXPECT_EQ(count(rects, PositionBarRect::text), 0);
  // A label longer than any strip, and characters the font has not.
  rects = positionBarLayout(0, 0, 1920, 1080, 0.5, std::string(5000, '8'));
  EXPECT_EQ(count(rects, PositionBarRect::text), 0);
  rects = positionBarLayout(0, 0, 1920, 1080, 0.5, "\xff\x01{}ZZ");
  expectWithinStrip(rects, 0, 0, 1920, 1080);
  EXPECT_EQ(count(rects, PositionBarRect::text), 0);
  // No picture, no bar.
  EXPECT_TRUE(positionBarLayout(0, 0, 0, 100, 0.5, "1").empty());
  EXPECT_TRUE(positionBarLayout(0, 0, 100, -1, 0.5, "1").empty());
}

// A click lands on the bar where the presenters draw it: along the bottom of
// the picture as fitted, black bars and all, and nowhere else.
TEST(PositionBar, AClickFindsTheBarOfTheFittedPicture) {
  // A 16:9 picture in a 640x480 output: 640x360, from y 60 to 420; the strip is 15 high.
  EXPECT_DOUBLE_EQ(positionBarHit(640, 480, 16, 9, 0, 410), 0.0);
  EXPECT_DOUBLE_EQ(positionBarHit(640, 480, 16, 9, 320, 419), 0.5);
  EXPECT_EQ(positionBarHit(640, 480, 16, 9, 320, 420), -1);  // the black bar below
  EXPECT_EQ(positionBarHit(640, 480, 16, 9, 320, 400), -1);  // the picture above the strip
  // A tall picture: pillars left and right are no bar.
  EXPECT_EQ(positionBarHit(640, 480, 3, 4, 10, 475), -1);
  EXPECT_NEAR(positionBarHit(640, 480, 3, 4, 320, 475), 0.5, 0.01);
  // Nothing to hit without a picture or an output.
  EXPECT_EQ(positionBarHit(0, 480, 16, 9, 0, 470), -1);
  EXPECT_EQ(positionBarHit(640, 480, 0, 9, 0, 470), -1);
  EXPECT_EQ(positionBarHit(640, 480, 1, 1000000, 320, 479), -1);
}

}  // namespace
