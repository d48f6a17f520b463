#include "kolm/sys/sys.h"

namespace kolm::sys {

std::uint64_t WrapExtender::extend(std::uint32_t now) {
  Guard guard(lock_);
  if (!started_) {
    started_ = true;
    last_ = now;
    return last_;
  }
  // The signed difference of the low halves tells forward from a stale reading.
  const auto delta = static_cast<std::int32_t>(now - static_cast<std::uint32_t>(last_));
  if (delta > 0) last_ += static_cast<std::uint32_t>(delta);
  return last_;
}

}  // namespace kolm::sys
