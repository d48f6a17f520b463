#pragma once

#include <cstdint>

#include "kolm/sys/sys.h"

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

// Says which clock is current and at which reading playback started, and
// holds playback time still while playback is paused. The player sets the
// clock while no thread of the current file runs; start, pause and resume
// come from the player's thread while the threads read the time.
class CTimekeeper {
 public:
  CTimekeeper();
  virtual ~CTimekeeper();
  CTimekeeper(const CTimekeeper&) = delete;
  CTimekeeper& operator=(const CTimekeeper&) = delete;

  // Current clock reading minus the start; while paused, the reading of the
  // moment of the pause minus the start.
  std::int64_t playbackTime();
  // Playback starts now, not paused.
  void start();
  // Playback time stands still from now (the clock goes on).
  void pause();
  // Playback time goes on from where it stood: the start moves on by what
  // the clock moved meanwhile (nothing for a sound card that was stopped).
  void resume();
  bool paused();
  std::int64_t startTime();
  // For tests and the start of playback: the reading that is playback time 0.
  void setStartTime(std::int64_t time);
  // Playback time is `time` now (after a seek), paused or not.
  void setPlaybackTime(std::int64_t time);
  // How long playback has stood paused since start(), the current pause
  // included (in 100 ns units of the millisecond timer, whatever the clock).
  std::int64_t pausedTotal();

  IReferenceClock* clock;
  CBasicReferenceClock basicClock;

 private:
  sys::CriticalSection lock_;  // playback time is read whole, never half-moved
  std::int64_t startTime_ = 0;
  bool paused_ = false;
  std::int64_t pausedAt_ = 0;
  std::uint64_t pausedSinceMs_ = 0;  // the timer when the current pause began
  std::int64_t pausedTotal_ = 0;
};

}  // namespace kolm
