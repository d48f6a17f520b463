#pragma once

#include <cstdint>

#include "kolm/clock.h"

namespace mpeg1 {

// System stream time stamps count a 90 kHz clock in 33 bits and wrap.
constexpr std::int64_t ptsClock = 90000;
constexpr std::int64_t ptsWrap = std::int64_t{1} << 33;

// a - b in ticks, taking the shorter way round the wrap.
inline std::int64_t ptsDifference(std::int64_t a, std::int64_t b) {
  std::int64_t d = (a - b) % ptsWrap;
  if (d < 0) d += ptsWrap;
  return d >= ptsWrap / 2 ? d - ptsWrap : d;
}

// Ticks to 100 ns units (exact: 10,000,000 / 90,000 = 1000 / 9).
inline std::int64_t ptsToTime(std::int64_t ticks) { return ticks * 1000 / 9; }

}  // namespace mpeg1
