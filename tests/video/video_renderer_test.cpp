#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kolm/clock.h"
#include "kolm/sample_queue.h"
#include "video/memory_presenter.h"
#include "video/video_renderer.h"

using kolm::CVideoRenderer;
namespace sys = kolm::sys;

namespace {

constexpr int kNoHang = 10000;
constexpr auto kNoHangDuration = std::chrono::milliseconds(kNoHang);

constexpr std::int64_t ms(std::int64_t count) { return count * kolm::unitsPerMillisecond; }

// A clock that only moves when the test sets it. It counts its readings, so a
// test can wait until the renderer has looked at a new time and decided.
class FakeClock : public kolm::IReferenceClock {
 public:
  std::int64_t getTime() override {
    std::lock_guard<std::mutex> hold(lock_);
    ++reads_;
    read_.notify_all();
    return now_;
  }

  void set(std::int64_t now) {
    std::lock_guard<std::mutex> hold(lock_);
    now_ = now;
    readsAtSet_ = reads_;
  }

  // True once the clock has been read `count` times since the last set().
  bool waitForReads(int count) {
    std::unique_lock<std::mutex> hold(lock_);
    return read_.wait_for(hold, kNoHangDuration, [&] { return reads_ - readsAtSet_ >= count; });
  }

 private:
  std::mutex lock_;
  std::condition_variable read_;
  std::int64_t now_ = 0;
  long reads_ = 0;
  long readsAtSet_ = 0;
};

// A renderer over a memory presenter that records the playback time of every
// present, all driven by the fake clock.
struct Rig {
  Rig() { timekeeper.clock = &clock; }

  // Sizes the pool to `count` presenter surfaces and takes them all, in
  // creation order (so sample i is surface i).
  std::vector<CSample*> takeSamples(int count) {
    CSampleQueue* pool = renderer.sampleQueue();
    pool->setFormat(count, 64, 48, nullptr, nullptr, nullptr);
    EXPECT_TRUE(pool->allocate());
    std::vector<CSample*> samples;
    for (int i = 0; i < count; ++i) {
      CSample* sample = nullptr;
      EXPECT_TRUE(pool->acquire(&sample));
      EXPECT_EQ(sample->kind, CSample::presenterSurface);
      samples.push_back(sample);
    }
    return samples;
  }

  // Waits until `count` pictures have been presented in all.
  bool waitPresented(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kNoHangDuration;
    while (presenter.presented().size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      presenter.presentedEvent.wait(static_cast<int>(left.count()));
    }
    return true;
  }

  // Moves the clock to `now` and lets the renderer finish a whole pass at
  // that time (two readings: its decision, then either the present's own
  // reading or the next pass); then exactly `shown` pictures may be out.
  void expectShownAt(std::int64_t now, std::size_t shown) {
    clock.set(now);
    ASSERT_TRUE(clock.waitForReads(2)) << "clock at " << now;
    EXPECT_EQ(presenter.presented().size(), shown) << "clock at " << now;
  }

  FakeClock clock;
  kolm::CTimekeeper timekeeper;
  CMemoryPresenter presenter{&timekeeper};
  CVideoRenderer renderer{&presenter, &timekeeper};
};

TEST(VideoRenderer, NeverShowsAPictureBeforeItsTime) {
  Rig rig;
  auto samples = rig.takeSamples(2);
  samples[0]->time = ms(20);
  samples[1]->time = ms(40);
  rig.clock.set(0);
  ASSERT_EQ(rig.renderer.start(), 0);
  rig.renderer.deliver(samples[0]);
  rig.renderer.deliver(samples[1]);

  rig.expectShownAt(0, 0);
  rig.expectShownAt(ms(10), 0);
  rig.expectShownAt(ms(20) - 1, 0);  // under 1 ms left: polled, still not shown
  rig.clock.set(ms(20));
  ASSERT_TRUE(rig.waitPresented(1));
  rig.expectShownAt(ms(30), 1);
  rig.expectShownAt(ms(40) - 1, 1);
  rig.clock.set(ms(40));
  ASSERT_TRUE(rig.waitPresented(2));

  auto shown = rig.presenter.presented();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].surfaceIndex, 0);
  EXPECT_GE(shown[0].playbackTime, ms(20));
  EXPECT_EQ(shown[1].surfaceIndex, 1);
  EXPECT_GE(shown[1].playbackTime, ms(40));
  EXPECT_EQ(rig.renderer.stop(), 0);
}

TEST(VideoRenderer, PicturesAreShownInDeliveryOrderEvenWhenLate) {
  Rig rig;
  auto samples = rig.takeSamples(3);
  samples[0]->time = 0;
  samples[1]->time = ms(80);
  samples[2]->time = ms(40);
  rig.clock.set(0);
  ASSERT_EQ(rig.renderer.start(), 0);
  for (CSample* sample : samples) rig.renderer.deliver(sample);

  ASSERT_TRUE(rig.waitPresented(1));
  // The third is due, but the second is in front of it and is not.
  rig.expectShownAt(ms(50), 1);
  rig.clock.set(ms(100));
  ASSERT_TRUE(rig.waitPresented(3));

  auto shown = rig.presenter.presented();
  ASSERT_EQ(shown.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(shown[i].surfaceIndex, i);
  EXPECT_EQ(shown[1].playbackTime, ms(100));
  EXPECT_EQ(shown[2].playbackTime, ms(100));
  EXPECT_EQ(rig.renderer.stop(), 0);
}

TEST(VideoRenderer, StopWhileWaitingForAFarPictureIsPromptAndReturnsEverySample) {
  Rig rig;
  auto samples = rig.takeSamples(3);
  for (int i = 0; i < 3; ++i) samples[i]->time = ms(10000 + 40 * i);
  rig.clock.set(0);
  ASSERT_EQ(rig.renderer.start(), 0);
  for (CSample* sample : samples) rig.renderer.deliver(sample);
  // The renderer has seen the front picture's time and goes to sleep for it.
  ASSERT_TRUE(rig.clock.waitForReads(1));

  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(rig.renderer.stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  EXPECT_TRUE(rig.presenter.presented().empty());

  // Checked before acquiring: an acquire with a sample still held would block.
  for (CSample* sample : samples) ASSERT_EQ(sample->useCount, 0);
  std::vector<CSample*> again;
  for (int i = 0; i < 3; ++i) {
    CSample* sample = nullptr;
    ASSERT_TRUE(rig.renderer.sampleQueue()->acquire(&sample));
    again.push_back(sample);
  }
  EXPECT_TRUE(std::is_permutation(again.begin(), again.end(), samples.begin()));
}

TEST(VideoRenderer, DestroyingARunningRendererEndsItsThreadFirst) {
  FakeClock clock;
  kolm::CTimekeeper timekeeper;
  timekeeper.clock = &clock;
  CMemoryPresenter presenter(&timekeeper);
  auto renderer = std::make_unique<CVideoRenderer>(&presenter, &timekeeper);
  CSampleQueue* pool = renderer->sampleQueue();
  pool->setFormat(2, 64, 48, nullptr, nullptr, nullptr);
  ASSERT_TRUE(pool->allocate());
  clock.set(0);
  ASSERT_EQ(renderer->start(), 0);
  CSample* sample = nullptr;
  ASSERT_TRUE(pool->acquire(&sample));
  sample->time = 0;
  renderer->deliver(sample);
  const auto deadline = std::chrono::steady_clock::now() + kNoHangDuration;
  while (presenter.presented().empty() && std::chrono::steady_clock::now() < deadline)
    presenter.presentedEvent.wait(kNoHang);
  ASSERT_EQ(presenter.presented().size(), 1u);

  // Idle now, so the thread sits on the renderer's own arrival event: the
  // sanitizers catch a body still running while the members go.
  const auto before = std::chrono::steady_clock::now();
  renderer.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
}

// Before the clock starts, the first waiting picture is drawn at once and
// stays first: the running renderer shows it again at its time, then the
// next, and every sample goes back to the pool.
TEST(VideoRenderer, TheFirstPictureDrawnBeforeTheStartStaysFirst) {
  Rig rig;
  auto samples = rig.takeSamples(2);
  samples[0]->time = ms(20);
  samples[1]->time = ms(40);
  rig.clock.set(0);
  rig.renderer.drawFirstPicture();  // nothing waits yet: nothing drawn
  EXPECT_TRUE(rig.presenter.presented().empty());
  rig.renderer.deliver(samples[0]);
  rig.renderer.deliver(samples[1]);
  rig.renderer.drawFirstPicture();
  ASSERT_EQ(rig.presenter.presented().size(), 1u);
  EXPECT_EQ(rig.presenter.presented()[0].surfaceIndex, 0);
  EXPECT_FALSE(rig.renderer.idle());

  ASSERT_EQ(rig.renderer.start(), 0);
  rig.expectShownAt(ms(10), 1);
  rig.clock.set(ms(40));
  ASSERT_TRUE(rig.waitPresented(3));
  auto shown = rig.presenter.presented();
  EXPECT_EQ(shown[1].surfaceIndex, 0);
  EXPECT_EQ(shown[2].surfaceIndex, 1);
  EXPECT_EQ(rig.renderer.stop(), 0);
  for (CSample* sample : samples) EXPECT_EQ(sample->useCount, 0);
}

TEST(VideoRenderer, FlushReturnsPendingSamplesAndDeliveryTracksThePictureSize) {
  Rig rig;
  EXPECT_TRUE(rig.renderer.flush());  // nothing pending
  int width = -1, height = -1;
  rig.renderer.currentSize(&width, &height);
  EXPECT_EQ(width, 0);
  EXPECT_EQ(height, 0);

  auto samples = rig.takeSamples(2);
  rig.renderer.deliver(samples[0]);
  rig.renderer.currentSize(&width, &height);
  EXPECT_EQ(width, 64);
  EXPECT_EQ(height, 48);
  samples[1]->width = 32;
  samples[1]->height = 16;
  rig.renderer.deliver(samples[1]);
  rig.renderer.currentSize(&width, &height);
  EXPECT_EQ(width, 32);
  EXPECT_EQ(height, 16);

  EXPECT_TRUE(rig.renderer.flush());
  for (CSample* sample : samples) EXPECT_EQ(sample->useCount, 0);
  EXPECT_TRUE(rig.presenter.presented().empty());
}

TEST(VideoRenderer, RestartAfterStopShowsPicturesAgain) {
  Rig rig;
  auto samples = rig.takeSamples(2);
  rig.clock.set(ms(5));
  ASSERT_EQ(rig.renderer.start(), 0);
  samples[0]->time = 0;
  rig.renderer.deliver(samples[0]);
  ASSERT_TRUE(rig.waitPresented(1));
  EXPECT_EQ(rig.renderer.stop(), 0);

  ASSERT_EQ(rig.renderer.start(), 0);
  samples[1]->time = ms(5);
  rig.renderer.deliver(samples[1]);
  ASSERT_TRUE(rig.waitPresented(2));
  EXPECT_EQ(rig.renderer.stop(), 0);

  auto shown = rig.presenter.presented();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].surfaceIndex, 0);
  EXPECT_EQ(shown[1].surfaceIndex, 1);
  for (CSample* sample : samples) EXPECT_EQ(sample->useCount, 0);
}

TEST(VideoRenderer, WithoutAPresenterPicturesAreStillPacedAndReturned) {
  FakeClock clock;
  kolm::CTimekeeper timekeeper;
  timekeeper.clock = &clock;
  CVideoRenderer renderer(nullptr, &timekeeper);
  CSampleQueue* pool = renderer.sampleQueue();
  pool->setFormat(2, 16, 16, nullptr, nullptr, nullptr);
  ASSERT_TRUE(pool->allocate());
  CSample* due = nullptr;
  CSample* later = nullptr;
  ASSERT_TRUE(pool->acquire(&due));
  ASSERT_TRUE(pool->acquire(&later));
  due->time = 0;
  later->time = ms(10000);
  clock.set(0);
  ASSERT_EQ(renderer.start(), 0);
  renderer.deliver(due);
  renderer.deliver(later);
  // The second reading comes after the due picture was handled.
  ASSERT_TRUE(clock.waitForReads(2));
  EXPECT_EQ(due->useCount, 0);
  EXPECT_EQ(later->useCount, 1);
  EXPECT_EQ(renderer.stop(), 0);
  EXPECT_EQ(later->useCount, 0);
}

// A presenter whose present() holds until the test opens the gate, standing in
// for a slow screen.
class GatedPresenter : public IVideoHardwareAccelerator {
 public:
  int getWidth() override { return inner.getWidth(); }
  int getHeight() override { return inner.getHeight(); }
  bool present(int width, int height, VideoSurface surface) override {
    entered.set();
    // Bounded, so a failing test cannot leave the renderer thread stuck.
    gate.wait(kNoHang);
    return inner.present(width, height, surface);
  }
  bool configure(int* width, int* height, int* count, int kind) override {
    return inner.configure(width, height, count, kind);
  }
  bool allocateSurface(int width, int height, VideoSurface* surface) override {
    return inner.allocateSurface(width, height, surface);
  }
  bool lockSurface(int* height, int* width, int* pitch, std::uint8_t** bits,
                   VideoSurface surface) override {
    return inner.lockSurface(height, width, pitch, bits, surface);
  }
  void unlockSurface(VideoSurface surface) override { inner.unlockSurface(surface); }

  CMemoryPresenter inner;
  CEvent entered;
  CEvent gate;
};

TEST(VideoRenderer, ASlowPresentStallsNeitherDeliverNorFlush) {
  FakeClock clock;
  kolm::CTimekeeper timekeeper;
  timekeeper.clock = &clock;
  GatedPresenter presenter;
  CVideoRenderer renderer(&presenter, &timekeeper);
  CSampleQueue* pool = renderer.sampleQueue();
  pool->setFormat(3, 64, 48, nullptr, nullptr, nullptr);
  ASSERT_TRUE(pool->allocate());
  CSample* samples[3] = {};
  for (CSample*& sample : samples) ASSERT_TRUE(pool->acquire(&sample));
  samples[0]->time = 0;
  samples[1]->time = ms(10000);
  samples[2]->time = ms(10000);
  clock.set(0);
  ASSERT_EQ(renderer.start(), 0);
  renderer.deliver(samples[0]);
  ASSERT_EQ(presenter.entered.wait(kNoHang), 0);

  // While the first picture is held in present, another thread delivers and
  // flushes; it must finish without the gate being opened.
  CEvent done;
  std::thread other([&] {
    renderer.deliver(samples[1]);
    renderer.deliver(samples[2]);
    renderer.flush();
    done.set();
  });
  EXPECT_EQ(done.wait(kNoHang), 0);
  // The flush gave back what was queued, not the picture being shown.
  EXPECT_EQ(samples[0]->useCount, 1);
  EXPECT_EQ(samples[1]->useCount, 0);
  EXPECT_EQ(samples[2]->useCount, 0);

  presenter.gate.set();
  other.join();
  EXPECT_EQ(renderer.stop(), 0);
  EXPECT_EQ(presenter.inner.presented().size(), 1u);
  // Given back once the present returned.
  EXPECT_EQ(samples[0]->useCount, 0);
}

}  // namespace

// A display overlay standing in for the DirectDraw one: one YV12 surface of
// its own, never larger than `limit`, resized as the renderer asks.
class StandInOverlay final : public IVideoOverlay {
 public:
  int getWidth() override { return width_; }
  int getHeight() override { return height_; }
  bool present(int width, int height, VideoSurface surface) override {
    presented.push_back({width, height, surface});
    return true;
  }
  bool configure(int*, int*, int*, int) override { return true; }
  bool allocateSurface(int, int, VideoSurface*) override { return false; }
  bool lockSurface(int*, int*, int*, std::uint8_t**, VideoSurface) override { return false; }
  void unlockSurface(VideoSurface) override {}
  void resize(int width, int height) override {
    resizes.push_back({width, height, nullptr});
    width_ = std::min(width, limitWidth);
    height_ = std::min(height, limitHeight);
    pitch = width_ + 3;  // wider than a row, as display surfaces are
    bits.assign(YV12Planes::bytes(pitch, height_), 0);
  }
  bool lockOverlay(int* height, int* width, int* outPitch, std::uint8_t** outBits) override {
    *height = height_;
    *width = width_;
    *outPitch = pitch;
    *outBits = bits.data();
    return !bits.empty();
  }
  void unlockOverlay() override {}

  struct Call {
    int width, height;
    VideoSurface surface;
  };
  std::vector<Call> resizes, presented;
  std::vector<std::uint8_t> bits;
  int pitch = 0, limitWidth = 1 << 20, limitHeight = 1 << 20;

 private:
  int width_ = 32, height_ = 16;
};

// Without a presenter the renderer shows its pictures in the overlay: it
// reads the overlay's size at start, resizes it for the pictures, copies a
// memory picture's planes into the overlay's surface (no more than either
// holds) and hands a presenter surface to the overlay itself.
TEST(VideoRenderer, WithAnOverlayAndNoPresenterThePicturesGoIntoTheOverlay) {
  FakeClock clock;
  kolm::CTimekeeper timekeeper;
  timekeeper.clock = &clock;
  StandInOverlay overlay;
  overlay.limitWidth = 5;  // narrower than the picture: its right column is left out
  CVideoRenderer renderer(nullptr, &timekeeper);
  renderer.overlay = &overlay;
  CEvent idle;
  renderer.onIdle = [&idle] { idle.set(); };
  CSampleQueue* pool = renderer.sampleQueue();
  pool->setFormat(2, 6, 4, nullptr, nullptr, nullptr);
  ASSERT_TRUE(pool->allocate());
  CSample* first = nullptr;
  CSample* second = nullptr;
  ASSERT_TRUE(pool->acquire(&first));
  ASSERT_TRUE(pool->acquire(&second));
  YV12Planes from;
  ASSERT_TRUE(first->lockPlanes(&from));
  for (int row = 0; row < 4; ++row)
    for (int column = 0; column < 6; ++column) from.y[row * from.pitchY + column] = static_cast<std::uint8_t>(10 * row + column);
  for (int row = 0; row < 2; ++row)
    for (int column = 0; column < 3; ++column) {
      from.v[row * from.pitchC + column] = static_cast<std::uint8_t>(100 + 10 * row + column);
      from.u[row * from.pitchC + column] = static_cast<std::uint8_t>(200 + 10 * row + column);
    }
  first->unlockPlanes();
  first->time = second->time = 0;
  clock.set(0);
  ASSERT_EQ(renderer.start(), 0);
  renderer.deliver(first);
  ASSERT_EQ(idle.wait(kNoHang), 0);

  int width = 0, height = 0;
  renderer.currentSize(&width, &height);
  EXPECT_EQ(width, 6);
  EXPECT_EQ(height, 4);
  ASSERT_EQ(overlay.resizes.size(), 1u);
  EXPECT_EQ(overlay.resizes[0].width, 6);
  YV12Planes to;
  ASSERT_TRUE(YV12Planes::layout(overlay.bits.data(), overlay.pitch, 5, 4, &to));
  for (int row = 0; row < 4; ++row)
    for (int column = 0; column < 5; ++column) EXPECT_EQ(to.y[row * to.pitchY + column], 10 * row + column);
  for (int row = 0; row < 2; ++row)
    for (int column = 0; column < 3; ++column) {
      EXPECT_EQ(to.v[row * to.pitchC + column], 100 + 10 * row + column);
      EXPECT_EQ(to.u[row * to.pitchC + column], 200 + 10 * row + column);
    }
  EXPECT_EQ(to.y[5], 0);  // past the overlay's width: nothing written
  EXPECT_TRUE(overlay.presented.empty());

  // A presenter's surface is the overlay's to show.
  second->kind = CSample::presenterSurface;
  second->surface = &overlay;
  renderer.deliver(second);
  ASSERT_EQ(idle.wait(kNoHang), 0);
  EXPECT_EQ(renderer.stop(), 0);
  ASSERT_EQ(overlay.presented.size(), 1u);
  EXPECT_EQ(overlay.presented[0].surface, &overlay);
  EXPECT_EQ(overlay.resizes.size(), 1u);  // same size, no second resize
  second->kind = CSample::memoryYV12;
  second->surface = nullptr;
}
