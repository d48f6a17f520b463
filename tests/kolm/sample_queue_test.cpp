#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <thread>

#include "kolm/sample_queue.h"
#include "kolm/thread.h"
#include "video/memory_presenter.h"

namespace sys = kolm::sys;

namespace {

constexpr int kNoHang = 10000;

std::vector<CSample*> acquireAll(CSampleQueue& queue, int n) {
  std::vector<CSample*> taken;
  for (int i = 0; i < n; ++i) {
    CSample* sample = nullptr;
    EXPECT_TRUE(queue.acquire(&sample));
    taken.push_back(sample);
  }
  return taken;
}

TEST(SampleQueue, MemoryPicturesWithoutPresenter) {
  CSampleQueue queue(nullptr);
  int count = 0, width = 0, height = 0;
  queue.setFormat(3, 352, 240, &count, &width, &height);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(width, 352);
  ASSERT_TRUE(queue.allocate());
  for (CSample* sample : acquireAll(queue, 3)) {
    EXPECT_EQ(sample->kind, CSample::memoryYV12);
    EXPECT_EQ(sample->planeV - sample->planeY, 352 * 240);
    EXPECT_EQ(sample->planeU - sample->planeV, 352 * 240 / 4);
    int w = 0, h = 0, pitch = 0;
    std::uint8_t* bits = nullptr;
    ASSERT_TRUE(sample->lockPlanes(&w, &h, &pitch, &bits));
    EXPECT_EQ(bits, sample->planeY);
    EXPECT_EQ(pitch, 352);
    // The whole picture, 1.5 bytes a pixel, is writable (the sanitizers check).
    std::fill(bits, bits + 352 * 240 * 3 / 2, 0x80);
    sample->unlockPlanes();
  }
}

// Small blocks come from the heap, large ones from whole mapped large pages:
// both zeroed and writable to their last byte, and owned by one holder.
TEST(PictureMemory, ZeroedAndWritableOnEitherSideOfTheLargePageThreshold) {
  for (std::size_t bytes : {std::size_t{1}, std::size_t{(1 << 20) - 1}, std::size_t{1 << 20},
                            std::size_t{(2 << 20) + 1}, std::size_t{5 << 20}}) {
    sys::PictureMemory block(bytes);
    ASSERT_NE(block.data(), nullptr) << bytes;
    EXPECT_EQ(block.data()[0], 0);
    EXPECT_EQ(block.data()[bytes / 2], 0);
    EXPECT_EQ(block.data()[bytes - 1], 0);
    std::fill(block.data(), block.data() + bytes, 0xA5);
    sys::PictureMemory moved(std::move(block));
    EXPECT_EQ(block.data(), nullptr);
    EXPECT_EQ(moved.data()[bytes - 1], 0xA5);
    moved = sys::PictureMemory(bytes);
    EXPECT_EQ(moved.data()[bytes - 1], 0);
  }
  EXPECT_EQ(sys::PictureMemory(0, std::nothrow).data(), nullptr);
}

TEST(SampleQueue, SetFormatWhileASampleIsTakenKeepsTheValuesInForce) {
  CSampleQueue queue(nullptr);
  queue.setFormat(3, 176, 120, nullptr, nullptr, nullptr);
  ASSERT_TRUE(queue.allocate());
  CSample* taken = nullptr;
  ASSERT_TRUE(queue.acquire(&taken));
  int count = 0, width = 0, height = 0;
  queue.setFormat(5, 640, 480, &count, &width, &height);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(width, 176);
  EXPECT_EQ(height, 120);
  EXPECT_TRUE(queue.allocate());
  CSample* sample = nullptr;
  ASSERT_TRUE(queue.acquire(&sample));
  EXPECT_EQ(sample->width, 176);
}

// A rejected path may size the pool before the next one does: every free
// pool takes the new format, with the presenter's surfaces made again.
TEST(SampleQueue, AFreePoolTakesANewFormatIncludingFromNothing) {
  CMemoryPresenter presenter;
  CSampleQueue queue(&presenter);
  queue.setFormat(5, 0, 0, nullptr, nullptr, nullptr);
  EXPECT_FALSE(queue.allocate());
  for (auto [w, h] : {std::pair{176, 120}, {177, 101}, {64, 48}}) {
    int count = 0, width = 0, height = 0;
    queue.setFormat(w == 64 ? 2 : 5, w, h, &count, &width, &height);
    EXPECT_EQ(width, w);
    ASSERT_TRUE(queue.allocate());
    auto taken = acquireAll(queue, count);
    EXPECT_EQ(presenter.surfaceCount(), count);
    for (CSample* sample : taken) {
      YV12Planes planes;
      ASSERT_TRUE(sample->lockPlanes(&planes));
      EXPECT_EQ(planes.width, w);
      EXPECT_EQ(planes.height, h);
      // The last chroma byte of an odd size is inside the surface (asan checks).
      planes.u[static_cast<std::size_t>(planes.pitchC) * (planes.chromaHeight() - 1) + planes.chromaWidth() - 1] = 1;
      sample->unlockPlanes();
      queue.release(sample);
    }
  }
}

TEST(SampleQueue, TwoPoolsInTurnOnOnePresenterBothShowTheirPictures) {
  CMemoryPresenter presenter;
  for (int round = 0; round < 2; ++round) {
    CSampleQueue queue(&presenter);
    queue.setFormat(3, 32 + 16 * round, 16, nullptr, nullptr, nullptr);
    ASSERT_TRUE(queue.allocate());
    for (CSample* sample : acquireAll(queue, 3)) {
      EXPECT_EQ(sample->kind, CSample::presenterSurface);
      EXPECT_TRUE(presenter.present(sample->width, sample->height, sample->surface));
      queue.release(sample);
    }
  }
  EXPECT_EQ(presenter.presented().size(), 6u);
}

TEST(SampleQueue, PictureSizesThatCannotBeAllocatedAreRefused) {
  for (auto [w, h, n] : {std::tuple{0, 240, 3}, {-16, 240, 3}, {352, -2, 3}, {100000, 100000, 3},
                         {352, 240, 0}, {352, 240, -1}}) {
    CSampleQueue queue(nullptr);
    queue.setFormat(n, w, h, nullptr, nullptr, nullptr);
    EXPECT_FALSE(queue.allocate()) << w << "x" << h << " x" << n;
    CSample* sample = nullptr;
    EXPECT_FALSE(queue.acquire(&sample));
  }
}

TEST(SampleQueue, PresenterSurfacesAndFallbackToMemory) {
  CMemoryPresenter presenter;
  presenter.setSurfaceLimit(2);
  CSampleQueue queue(&presenter);
  queue.setFormat(3, 320, 240, nullptr, nullptr, nullptr);
  ASSERT_TRUE(queue.allocate());
  auto taken = acquireAll(queue, 3);
  EXPECT_EQ(taken[0]->kind, CSample::presenterSurface);
  EXPECT_EQ(taken[1]->kind, CSample::presenterSurface);
  EXPECT_EQ(taken[2]->kind, CSample::memoryYV12);
  int w = 0, h = 0, pitch = 0;
  std::uint8_t* bits = nullptr;
  ASSERT_TRUE(taken[0]->lockPlanes(&w, &h, &pitch, &bits));
  // Height and width come back the right way round from the presenter.
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 240);
  EXPECT_GE(pitch, 320);
  taken[0]->unlockPlanes();
}

TEST(SampleQueue, ARefusedConfigureKeepsTheRequest) {
  CMemoryPresenter presenter;
  presenter.setAcceptConfigure(false);
  CSampleQueue queue(&presenter);
  int count = 0, width = 0, height = 0;
  queue.setFormat(3, 368, 240, &count, &width, &height);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(width, 368);
  EXPECT_EQ(height, 240);
}

TEST(SampleQueue, AcquireReusesTheFirstFreeSampleInCreationOrder) {
  CSampleQueue queue(nullptr);
  queue.setFormat(3, 16, 16, nullptr, nullptr, nullptr);
  ASSERT_TRUE(queue.allocate());
  auto taken = acquireAll(queue, 3);
  queue.release(taken[2]);
  queue.release(taken[0]);
  CSample* next = nullptr;
  ASSERT_TRUE(queue.acquire(&next));
  EXPECT_EQ(next, taken[0]);
  ASSERT_TRUE(queue.acquire(&next));
  EXPECT_EQ(next, taken[2]);
}

TEST(SampleQueue, DoubleAndForeignReleasesAreHarmless) {
  CSampleQueue queue(nullptr), other(nullptr);
  queue.setFormat(2, 16, 16, nullptr, nullptr, nullptr);
  other.setFormat(1, 16, 16, nullptr, nullptr, nullptr);
  ASSERT_TRUE(queue.allocate());
  ASSERT_TRUE(other.allocate());
  CSample* sample = nullptr;
  ASSERT_TRUE(queue.acquire(&sample));
  queue.release(sample);
  queue.release(sample);
  EXPECT_EQ(sample->useCount, 0);
  CSample* foreign = nullptr;
  ASSERT_TRUE(other.acquire(&foreign));
  queue.release(foreign);
  queue.release(nullptr);
  EXPECT_EQ(foreign->useCount, 1);
  // Both samples of the pool are still there to be taken, once each.
  auto taken = acquireAll(queue, 2);
  EXPECT_NE(taken[0], taken[1]);
}

TEST(SampleQueue, AcquireOnAnEmptyPoolFailsAtOnce) {
  CSampleQueue queue(nullptr);
  CSample* sample = nullptr;
  EXPECT_FALSE(queue.acquire(&sample));
}

TEST(SampleQueue, AFullPoolBlocksUntilAReleaseAndReturnsThatSample) {
  CSampleQueue queue(nullptr);
  queue.setFormat(3, 16, 16, nullptr, nullptr, nullptr);
  ASSERT_TRUE(queue.allocate());
  auto taken = acquireAll(queue, 3);
  CSample* got = nullptr;
  std::thread producer([&] { queue.acquire(&got); });
  // Every sample is taken, so the producer can only come back with this one.
  queue.release(taken[1]);
  producer.join();
  EXPECT_EQ(got, taken[1]);
}

// A producer and a consumer thread pass pictures through a three-sample pool
// and a delivery list, as a decoder and a renderer do. Every picture arrives,
// in order, and both ends block and wake many times on the way.
TEST(SampleQueue, PicturesFlowBetweenThreadsInOrder) {
  constexpr int kPictures = 3000;
  CSampleQueue queue(nullptr);
  queue.setFormat(3, 32, 16, nullptr, nullptr, nullptr);
  ASSERT_TRUE(queue.allocate());

  sys::CriticalSection listLock;
  std::deque<CSample*> delivered;
  CEvent deliveredEvent, done;
  std::atomic<bool> outOfOrder{false};
  std::atomic<int> received{0};

  class Consumer : public kolm::CThread {
   public:
    std::function<void(Consumer&)> body;
    void run() override {
      CThread::run();
      body(*this);
    }
  } consumer;
  consumer.body = [&](Consumer& self) {
    std::int64_t expected = 0;
    while (self.keepRunning() && expected < kPictures) {
      CSample* sample = nullptr;
      {
        sys::Guard guard(listLock);
        if (!delivered.empty()) {
          sample = delivered.front();
          delivered.pop_front();
        }
      }
      if (!sample) {
        self.waitForObjectOrStop(&deliveredEvent.handle, kNoHang);
        continue;
      }
      if (sample->time != expected || sample->planeY[0] != static_cast<std::uint8_t>(expected))
        outOfOrder = true;
      ++expected;
      received.fetch_add(1);
      queue.release(sample);
    }
    done.set();
  };
  ASSERT_EQ(consumer.start(), 0);
  for (int i = 0; i < kPictures; ++i) {
    CSample* sample = nullptr;
    ASSERT_TRUE(queue.acquire(&sample));
    sample->time = i;
    sample->planeY[0] = static_cast<std::uint8_t>(i);
    {
      sys::Guard guard(listLock);
      delivered.push_back(sample);
    }
    deliveredEvent.set();
  }
  EXPECT_EQ(done.wait(kNoHang), sys::waitSignalled);
  EXPECT_EQ(consumer.stop(), 0);
  EXPECT_FALSE(outOfOrder);
  EXPECT_EQ(received.load(), kPictures);
}

}  // namespace
