#pragma once

#include <cstdint>

namespace kolm {

// Every time value is a signed count of 100 ns units.
constexpr std::int64_t unitsPerSecond = 10000000;
constexpr std::int64_t unitsPerMillisecond = 10000;

class IReferenceClock {
 public:
  virtual ~IReferenceClock() = default;
  virtual std::int64_t getTime() = 0;
};

// The default clock: the platform's millisecond timer, kept 64-bit end to end
// so that it never wraps during playback.
class CBasicReferenceClock : public IReferenceClock {
 public:
  CBasicReferenceClock();
  ~CBasicReferenceClock() override;
  std::int64_t getTime() override;
};

// Says which clock is current and at which reading playback started. The
// player writes both fields while no thread of the current file runs; the
// threads only read them.
class CTimekeeper {
 public:
  CTimekeeper();
  virtual ~CTimekeeper();
  CTimekeeper(const CTimekeeper&) = delete;
  CTimekeeper& operator=(const CTimekeeper&) = delete;

  // Current clock reading minus startTime.
  std::int64_t playbackTime() const { return clock->getTime() - startTime; }

  IReferenceClock* clock;
  CBasicReferenceClock basicClock;
  std::int64_t startTime = 0;
};

}  // namespace kolm
