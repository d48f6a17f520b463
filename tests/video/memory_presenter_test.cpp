#include <gtest/gtest.h>

#include <vector>

#include "video/memory_presenter.h"

namespace {

TEST(MemoryPresenter, SurfacesReportHeightBeforeWidthAndAPaddedPitch) {
  CMemoryPresenter presenter;
  int width = 320, height = 240, count = 3;
  ASSERT_TRUE(presenter.configure(&width, &height, &count, 2));
  EXPECT_EQ(presenter.getWidth(), 320);
  EXPECT_EQ(presenter.getHeight(), 240);
  VideoSurface surface = nullptr;
  ASSERT_TRUE(presenter.allocateSurface(320, 240, &surface));
  int h = 0, w = 0, pitch = 0;
  std::uint8_t* bits = nullptr;
  ASSERT_TRUE(presenter.lockSurface(&h, &w, &pitch, &bits, surface));
  EXPECT_EQ(h, 240);
  EXPECT_EQ(w, 320);
  EXPECT_GT(pitch, 320);
  EXPECT_EQ(pitch % 2, 0);
  // All three planes, at the pitch, are inside the surface.
  std::fill(bits, bits + pitch * 240 + 2 * (pitch / 2) * 120, 0);
  presenter.unlockSurface(surface);
}

TEST(MemoryPresenter, HandsOutNoMoreSurfacesThanConfigured) {
  CMemoryPresenter presenter;
  int width = 64, height = 32, count = 2;
  ASSERT_TRUE(presenter.configure(&width, &height, &count, 2));
  VideoSurface a = nullptr, b = nullptr, c = nullptr;
  EXPECT_TRUE(presenter.allocateSurface(64, 32, &a));
  EXPECT_TRUE(presenter.allocateSurface(64, 32, &b));
  EXPECT_FALSE(presenter.allocateSurface(64, 32, &c));
  EXPECT_NE(a, b);
}

TEST(MemoryPresenter, RecordsEachPresentAndHandsTheVisiblePictureToTheWriter) {
  kolm::CTimekeeper keeper;
  keeper.setStartTime(keeper.clock->getTime());
  CMemoryPresenter presenter(&keeper);
  VideoSurface surface = nullptr;
  ASSERT_TRUE(presenter.allocateSurface(6, 4, &surface));
  int h = 0, w = 0, pitch = 0;
  std::uint8_t* bits = nullptr;
  ASSERT_TRUE(presenter.lockSurface(&h, &w, &pitch, &bits, surface));
  bits[0] = 11;                                // Y
  bits[pitch * 4] = 22;                        // V
  bits[pitch * 4 + (pitch / 2) * 2] = 33;      // U
  presenter.unlockSurface(surface);

  std::vector<int> seen;
  presenter.setWriter([&](const CMemoryPresenter::Picture& picture) {
    seen = {picture.width, picture.height, picture.y[0], picture.v[0], picture.u[0]};
  });
  EXPECT_TRUE(presenter.present(6, 4, surface));
  EXPECT_EQ(seen, (std::vector<int>{6, 4, 11, 22, 33}));
  EXPECT_EQ(presenter.presentedEvent.wait(0), 0);

  int stranger = 0;
  EXPECT_FALSE(presenter.present(6, 4, &stranger));
  auto records = presenter.presented();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].surfaceIndex, 0);
  EXPECT_GE(records[0].playbackTime, 0);
}

}  // namespace
