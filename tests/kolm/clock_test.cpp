#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "kolm/clock.h"
#include "kolm/sys/sys.h"

using namespace kolm;

namespace {

TEST(WrapExtender, CarriesTheMillisecondCounterPastItsWrap) {
  sys::WrapExtender clock;
  EXPECT_EQ(clock.extend(0xFFFFFC18u), 0xFFFFFC18u);  // one second before the wrap
  EXPECT_EQ(clock.extend(0xFFFFFFFFu), 0xFFFFFFFFull);
  EXPECT_EQ(clock.extend(0x000003E8u), 0x1000003E8ull);  // one second after it
  // Two more wraps, read a few times per period.
  std::uint64_t last = 0x1000003E8ull;
  std::uint32_t raw = 0x3E8u;
  for (int step = 0; step < 8; ++step) {
    raw += 0x40000000u;
    const std::uint64_t now = clock.extend(raw);
    EXPECT_EQ(now - last, 0x40000000ull);
    last = now;
  }
  EXPECT_EQ(last, 0x3000003E8ull);
}

TEST(WrapExtender, AStaleReadingNeverMovesTheClockBack) {
  sys::WrapExtender clock;
  clock.extend(5000);
  EXPECT_EQ(clock.extend(4990), 5000u);  // read on another thread a moment earlier
  EXPECT_EQ(clock.extend(5001), 5001u);
  // Just after a wrap, a reading from just before it is stale, not 49 days ahead.
  sys::WrapExtender wrapped;
  wrapped.extend(0xFFFFFFF0u);
  wrapped.extend(0x10u);
  EXPECT_EQ(wrapped.extend(0xFFFFFFF8u), 0x100000010ull);
}

TEST(WrapExtender, ConcurrentReadersSeeAMonotonicClock) {
  sys::WrapExtender clock;
  std::vector<std::thread> readers;
  std::atomic<bool> backwards{false};
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      std::uint64_t seen = 0;
      for (std::uint32_t i = 0; i < 20000; ++i) {
        const std::uint64_t now = clock.extend(0xFFFF0000u + i * 7u + t);
        if (now < seen) backwards = true;
        seen = now;
      }
    });
  }
  for (auto& reader : readers) reader.join();
  EXPECT_FALSE(backwards);
}

TEST(BasicReferenceClock, CountsHundredNanosecondUnitsAndNeverGoesBack) {
  CBasicReferenceClock clock;
  const std::int64_t first = clock.getTime();
  EXPECT_GT(first, 0);
  EXPECT_EQ(first % unitsPerMillisecond, 0);
  std::int64_t last = first;
  for (int i = 0; i < 100000; ++i) {
    const std::int64_t now = clock.getTime();
    ASSERT_GE(now, last);
    last = now;
  }
  sys::sleepMs(20);
  EXPECT_GE(clock.getTime() - first, 20 * unitsPerMillisecond);
}

class FakeClock : public IReferenceClock {
 public:
  std::int64_t getTime() override { return now; }
  std::int64_t now = 0;
};

TEST(Timekeeper, ReadsTheBuiltInClockUntilSwitched) {
  CTimekeeper keeper;
  EXPECT_EQ(keeper.clock, &keeper.basicClock);
  EXPECT_EQ(keeper.startTime(), 0);
  const std::int64_t before = keeper.basicClock.getTime();
  EXPECT_GE(keeper.playbackTime(), before);

  keeper.setStartTime(keeper.clock->getTime());
  const std::int64_t justAfter = keeper.playbackTime();
  EXPECT_GE(justAfter, 0);
  EXPECT_LT(justAfter, 5 * unitsPerSecond);

  FakeClock sound;
  sound.now = 44100 * unitsPerSecond / 44100;
  keeper.clock = &sound;
  keeper.setStartTime(0);
  EXPECT_EQ(keeper.playbackTime(), unitsPerSecond);
}

}  // namespace
