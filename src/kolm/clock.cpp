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

}  // namespace kolm
