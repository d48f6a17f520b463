#include "kolm/clock.h"

#include "kolm/sys/sys.h"

namespace kolm {

CBasicReferenceClock::CBasicReferenceClock() { sys::beginTimerPeriod(1); }

CBasicReferenceClock::~CBasicReferenceClock() { sys::endTimerPeriod(1); }

std::int64_t CBasicReferenceClock::getTime() {
  return static_cast<std::int64_t>(sys::milliseconds()) * unitsPerMillisecond;
}

CTimekeeper::CTimekeeper() : clock(&basicClock) {}

CTimekeeper::~CTimekeeper() = default;

std::int64_t CTimekeeper::playbackTime() {
  sys::Guard guard(lock_);
  return (paused_ ? pausedAt_ : clock->getTime()) - startTime_;
}

void CTimekeeper::start() {
  sys::Guard guard(lock_);
  startTime_ = clock->getTime();
  paused_ = false;
  pausedTotal_ = 0;
}

void CTimekeeper::pause() {
  sys::Guard guard(lock_);
  if (paused_) return;
  pausedAt_ = clock->getTime();
  paused_ = true;
  pausedSinceMs_ = sys::milliseconds();
}

void CTimekeeper::resume() {
  sys::Guard guard(lock_);
  if (!paused_) return;
  startTime_ += clock->getTime() - pausedAt_;
  paused_ = false;
  pausedTotal_ += static_cast<std::int64_t>(sys::milliseconds() - pausedSinceMs_) * unitsPerMillisecond;
}

bool CTimekeeper::paused() {
  sys::Guard guard(lock_);
  return paused_;
}

std::int64_t CTimekeeper::startTime() {
  sys::Guard guard(lock_);
  return startTime_;
}

void CTimekeeper::setPlaybackTime(std::int64_t time) {
  sys::Guard guard(lock_);
  startTime_ = (paused_ ? pausedAt_ : clock->getTime()) - time;
}

std::int64_t CTimekeeper::pausedTotal() {
  sys::Guard guard(lock_);
  const std::uint64_t now = sys::milliseconds();
  return pausedTotal_ + (paused_ ? static_cast<std::int64_t>(now - pausedSinceMs_) * unitsPerMillisecond : 0);
}

void CTimekeeper::setStartTime(std::int64_t time) {
  sys::Guard guard(lock_);
  startTime_ = time;
}

}  // namespace kolm
