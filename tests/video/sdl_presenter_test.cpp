// The SDL presenter on SDL's dummy video driver with the software renderer, so
// no display is needed: pictures are read back from the renderer.
#include <gtest/gtest.h>

#include <SDL.h>

#include <cstdint>
#include <cstdlib>
#include <thread>
#include <utility>

#include "kolm/event.h"
#include "video/position_bar.h"
#include "video/sdl_presenter.h"

namespace {

constexpr int kNoHang = 10000;

struct Yuv {
  std::uint8_t y, u, v;
};
// Limited-range BT.601.
constexpr Yuv kRed{81, 90, 240};
constexpr Yuv kBlue{41, 240, 110};

// Paints a surface: columns before `split` in one colour, the rest in another.
void paint(CSdlPresenter& presenter, VideoSurface surface, int split, Yuv left, Yuv right) {
  int height = 0, width = 0, pitch = 0;
  std::uint8_t* bits = nullptr;
  ASSERT_TRUE(presenter.lockSurface(&height, &width, &pitch, &bits, surface));
  std::uint8_t* v = bits + pitch * height;
  std::uint8_t* u = v + (pitch / 2) * ((height + 1) / 2);
  for (int row = 0; row < height; ++row)
    for (int x = 0; x < width; ++x) bits[row * pitch + x] = x < split ? left.y : right.y;
  for (int row = 0; row < (height + 1) / 2; ++row)
    for (int x = 0; x < (width + 1) / 2; ++x) {
      const Yuv& colour = 2 * x < split ? left : right;
      u[row * (pitch / 2) + x] = colour.u;
      v[row * (pitch / 2) + x] = colour.v;
    }
  presenter.unlockSurface(surface);
}

class SdlPresenter : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    window = SDL_CreateWindow("zarvel test", 0, 0, 160, 120, 0);
    ASSERT_NE(window, nullptr) << SDL_GetError();
    renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE);
    ASSERT_NE(renderer, nullptr) << SDL_GetError();
  }
  void TearDown() override {
    presenter.releaseTexture();
    if (renderer) SDL_DestroyRenderer(renderer);
    if (window) SDL_DestroyWindow(window);
    SDL_Quit();
  }

  // Takes the picture events waiting in the queue, as the window loop would.
  int takePictureEvents() {
    SDL_PumpEvents();
    SDL_Event events[8];
    const std::uint32_t type = presenter.pictureEventType();
    const int taken = SDL_PeepEvents(events, 8, SDL_GETEVENT, type, type);
    for (int i = 0; i < taken; ++i) EXPECT_EQ(events[i].user.data1, &presenter);
    return taken;
  }

  // Presents on another thread, as the renderer does.
  bool presentElsewhere(int width, int height, VideoSurface surface) {
    bool shown = false;
    std::thread other([&] { shown = presenter.present(width, height, surface); });
    other.join();
    return shown;
  }

  void expectPixel(int x, int y, int r, int g, int b) {
    const SDL_Rect at{x, y, 1, 1};
    std::uint32_t pixel = 0;
    ASSERT_EQ(SDL_RenderReadPixels(renderer, &at, SDL_PIXELFORMAT_ARGB8888, &pixel, 4), 0);
    const int got[3] = {int((pixel >> 16) & 255), int((pixel >> 8) & 255), int(pixel & 255)};
    const int want[3] = {r, g, b};
    for (int i = 0; i < 3; ++i)
      EXPECT_NEAR(got[i], want[i], 12) << "channel " << i << " at " << x << "," << y;
  }

  CSdlPresenter presenter;
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
};

TEST_F(SdlPresenter, DrawsOddAndEvenPicturesInColourScaledToFitAcrossAReconfigure) {
  // 33 x 17 in a 160 x 120 window: 160 x 82 with bars above and below.
  int width = 33, height = 17, count = 2;
  ASSERT_TRUE(presenter.configure(&width, &height, &count, 2));
  VideoSurface odd = nullptr;
  ASSERT_TRUE(presenter.allocateSurface(33, 17, &odd));
  paint(presenter, odd, 16, kRed, kBlue);
  ASSERT_TRUE(presentElsewhere(33, 17, odd));
  ASSERT_TRUE(presentElsewhere(33, 17, odd));
  EXPECT_EQ(takePictureEvents(), 1);  // two pictures, one wake-up
  ASSERT_TRUE(presenter.draw(renderer));
  expectPixel(40, 60, 255, 0, 0);
  expectPixel(120, 60, 0, 0, 255);
  expectPixel(80, 5, 0, 0, 0);

  // 40 x 60 afresh: 80 x 120 with bars left and right; the old surface is gone.
  width = 40, height = 60, count = 1;
  ASSERT_TRUE(presenter.configure(&width, &height, &count, 2));
  EXPECT_EQ(presenter.getWidth(), 40);
  EXPECT_EQ(presenter.getHeight(), 60);
  EXPECT_FALSE(presentElsewhere(33, 17, odd));
  VideoSurface even = nullptr;
  ASSERT_TRUE(presenter.allocateSurface(40, 60, &even));
  paint(presenter, even, 20, kBlue, kRed);
  ASSERT_TRUE(presentElsewhere(40, 60, even));
  EXPECT_EQ(takePictureEvents(), 1);  // the first was handled: a new wake-up
  ASSERT_TRUE(presenter.draw(renderer));
  expectPixel(10, 60, 0, 0, 0);
  expectPixel(60, 60, 0, 0, 255);
  expectPixel(100, 60, 255, 0, 0);
  expectPixel(150, 60, 0, 0, 0);

  // An expose: the last picture again, with no new one presented.
  SDL_SetRenderDrawColor(renderer, 255, 255, 255, 255);
  SDL_RenderClear(renderer);
  ASSERT_TRUE(presenter.redraw(renderer));
  expectPixel(60, 60, 0, 0, 255);
  expectPixel(150, 60, 0, 0, 0);
}

TEST_F(SdlPresenter, PicturesTakeTheirDisplayShapeNotTheirStoredOne) {
  // 72 x 58 stored (720 x 576 in small), in a 160 x 120 window.
  int width = 72, height = 58, count = 1;
  ASSERT_TRUE(presenter.configure(&width, &height, &count, 2));
  VideoSurface surface = nullptr;
  ASSERT_TRUE(presenter.allocateSurface(72, 58, &surface));
  paint(presenter, surface, 72, kRed, kRed);
  ASSERT_TRUE(presentElsewhere(72, 58, surface));
  takePictureEvents();

  // Square pixels: 149 x 120, bars left and right only.
  ASSERT_TRUE(presenter.draw(renderer));
  expectPixel(2, 60, 0, 0, 0);
  expectPixel(80, 5, 255, 0, 0);
  // Shown 16:9: 160 x 90, bars above and below only.
  presenter.setDisplayShape(1024, 576);
  ASSERT_TRUE(presenter.redraw(renderer));
  expectPixel(2, 60, 255, 0, 0);
  expectPixel(80, 5, 0, 0, 0);
  expectPixel(80, 116, 0, 0, 0);
  expectPixel(80, 20, 255, 0, 0);
  // The stored size itself, or no shape at all, is the picture's own shape.
  for (const auto& shape : {std::pair<int, int>{72, 58}, {0, 576}, {-1, -1}}) {
    presenter.setDisplayShape(shape.first, shape.second);
    ASSERT_TRUE(presenter.redraw(renderer));
    expectPixel(2, 60, 0, 0, 0);
    expectPixel(80, 5, 255, 0, 0);
  }
  // A shape no picture has still draws something, within the window.
  presenter.setDisplayShape(1, 1000000);
  EXPECT_TRUE(presenter.redraw(renderer));
  expectPixel(2, 60, 0, 0, 0);
}

TEST_F(SdlPresenter, APositionBarIsBlendedOverTheBottomOfThePictureAndGoesAgain) {
  // 32 x 24 red, scaled to fill the 160 x 120 window: the strip is rows 114-119.
  int width = 32, height = 24, count = 1;
  ASSERT_TRUE(presenter.configure(&width, &height, &count, 2));
  VideoSurface surface = nullptr;
  ASSERT_TRUE(presenter.allocateSurface(32, 24, &surface));
  paint(presenter, surface, 32, kRed, kRed);
  ASSERT_TRUE(presentElsewhere(32, 24, surface));
  takePictureEvents();
  presenter.showPositionBar(0.5, "1:23 / 4:56", true);
  ASSERT_TRUE(presenter.draw(renderer));
  expectPixel(80, 60, 255, 0, 0);     // the picture above the strip is untouched
  expectPixel(10, 116, 75, 110, 180);  // elapsed: light blue over the darkened red
  expectPixel(100, 116, 95, 0, 0);    // the rest of the strip: darkened
  const std::vector<PositionBarRect> rects = positionBarLayout(0, 0, 160, 120, 0.5, "1:23 / 4:56");
  ASSERT_GT(rects.size(), 2u);
  EXPECT_EQ(rects.back().kind, PositionBarRect::text);
  expectPixel(rects.back().x, rects.back().y, 255, 255, 255);

  // A paused player redraws the same picture with the bar changed, or gone.
  presenter.showPositionBar(-1, "cannot seek", true);
  ASSERT_TRUE(presenter.redraw(renderer));
  expectPixel(10, 116, 95, 0, 0);
  presenter.showPositionBar(0.5, "1:23 / 4:56", false);
  ASSERT_TRUE(presenter.redraw(renderer));
  expectPixel(10, 116, 255, 0, 0);
  expectPixel(100, 116, 255, 0, 0);
  // No label at all, or a hostile one, is no trouble.
  presenter.showPositionBar(2.5, nullptr, true);
  ASSERT_TRUE(presenter.redraw(renderer));
  expectPixel(150, 116, 75, 110, 180);
}

TEST_F(SdlPresenter, SurfacesFollowTheConfigurationAndForeignHandlesAreRefused) {
  EXPECT_EQ(presenter.getWidth(), 0);
  EXPECT_FALSE(presenter.draw(renderer));  // black, nothing to show yet
  VideoSurface first = nullptr;
  ASSERT_TRUE(presenter.allocateSurface(64, 48, &first));
  EXPECT_EQ(presenter.getWidth(), 64);
  EXPECT_EQ(presenter.getHeight(), 48);

  int width = 31, height = 15, count = 2;
  ASSERT_TRUE(presenter.configure(&width, &height, &count, 2));
  EXPECT_EQ(width, 31);
  EXPECT_EQ(count, 2);
  VideoSurface surfaces[3] = {};
  ASSERT_TRUE(presenter.allocateSurface(31, 15, &surfaces[0]));
  ASSERT_TRUE(presenter.allocateSurface(31, 15, &surfaces[1]));
  EXPECT_FALSE(presenter.allocateSurface(31, 15, &surfaces[2]));
  int h = 0, w = 0, pitch = 0;
  std::uint8_t* bits = nullptr;
  ASSERT_TRUE(presenter.lockSurface(&h, &w, &pitch, &bits, surfaces[1]));
  EXPECT_EQ(w, 31);
  EXPECT_EQ(h, 15);
  EXPECT_EQ(pitch % 2, 0);
  EXPECT_GT(pitch, 31);

  // Freed by the configure, or never ours: refused, never read.
  int stranger = 0;
  for (VideoSurface bad : {first, static_cast<VideoSurface>(&stranger), VideoSurface{}}) {
    EXPECT_FALSE(presenter.lockSurface(&h, &w, &pitch, &bits, bad));
    EXPECT_FALSE(presenter.present(31, 15, bad));
  }
  EXPECT_FALSE(presenter.present(0, 15, surfaces[0]));
  // A claimed size beyond the surface is cut to it.
  ASSERT_TRUE(presenter.present(4000, 4000, surfaces[0]));
  EXPECT_EQ(takePictureEvents(), 1);
  EXPECT_TRUE(presenter.draw(renderer));

  width = 0, height = 0, count = 5;
  ASSERT_TRUE(presenter.configure(&width, &height, &count, 2));
  EXPECT_EQ(presenter.getWidth(), 0);
  EXPECT_FALSE(presenter.allocateSurface(64, 48, &surfaces[2]));
  EXPECT_FALSE(presenter.present(31, 15, surfaces[0]));
}

TEST_F(SdlPresenter, PresentNeverWaitsForTheWindowAndRunsBesideDrawing) {
  int width = 16, height = 16, count = 2;
  ASSERT_TRUE(presenter.configure(&width, &height, &count, 2));
  VideoSurface surfaces[2] = {};
  for (VideoSurface& surface : surfaces) ASSERT_TRUE(presenter.allocateSurface(16, 16, &surface));
  paint(presenter, surfaces[0], 16, kRed, kRed);
  paint(presenter, surfaces[1], 16, kBlue, kBlue);

  // Nobody draws: every present still returns, leaving one wake-up queued.
  CEvent done;
  std::thread presenting([&] {
    for (int i = 0; i < 500; ++i) presenter.present(16, 16, surfaces[i % 2]);
    done.set();
  });
  EXPECT_EQ(done.wait(kNoHang), 0);
  presenting.join();
  EXPECT_EQ(takePictureEvents(), 1);

  // Presenting and drawing side by side (for the thread sanitizer).
  std::thread again([&] {
    for (int i = 0; i < 200; ++i) presenter.present(16, 16, surfaces[i % 2]);
    done.set();
  });
  while (done.wait(0) != 0) presenter.draw(renderer);
  again.join();
  takePictureEvents();
  ASSERT_TRUE(presenter.draw(renderer));
  expectPixel(80, 60, 0, 0, 255);  // the last one presented is the blue one
}

}  // namespace
