#include "mpeg1/kernels.h"

#include <cctype>

namespace mpeg1 {

namespace {

constexpr Kernels plainSet{SimdLevel::None, &idctReference, &idctPutReference, &idctAddReference, nullptr, false};

SimdLevel askProcessor() {
#if defined(__SSE2__)
#if defined(ZARVEL_HAVE_AVX2) && (defined(__GNUC__) || defined(__clang__))
  // Also checks that the system saves the AVX registers.
  if (__builtin_cpu_supports("avx2")) return SimdLevel::Avx2;
#endif
  return SimdLevel::Sse2;
#else
  return SimdLevel::None;
#endif
}

bool processorHasBmi2() {
#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
  return __builtin_cpu_supports("bmi2");
#else
  return false;
#endif
}

}  // namespace

const char* simdLevelName(SimdLevel level) {
  switch (level) {
    case SimdLevel::None: return "plain";
    case SimdLevel::Sse2: return "SSE2";
    case SimdLevel::Avx2: return "AVX2";
  }
  return "?";
}

SimdLevel processorSimdLevel() {
  static const SimdLevel level = askProcessor();
  return level;
}

std::vector<SimdLevel> availableSimdLevels() {
  std::vector<SimdLevel> levels;
  for (SimdLevel level : {SimdLevel::None, SimdLevel::Sse2, SimdLevel::Avx2})
    if (level <= processorSimdLevel()) levels.push_back(level);
  return levels;
}

const Kernels& kernelsFor(SimdLevel level) {
  static const Kernels plain = [] {
    Kernels k = plainSet;
    k.motion = &referenceMotionKernels();
    return k;
  }();
  static const Kernels sse2{SimdLevel::Sse2, &idctSse2, &idctPutSse2, &idctAddSse2, &sse2MotionKernels(), false};
  // The motion kernels gain nothing from AVX2: their rows are 16 bytes at most.
  static const Kernels avx2{SimdLevel::Avx2, &idctAvx2,           &idctPutAvx2,
                            &idctAddAvx2,    &sse2MotionKernels(), processorHasBmi2()};
  if (level > processorSimdLevel()) level = processorSimdLevel();
  switch (level) {
    case SimdLevel::Avx2: return avx2;
    case SimdLevel::Sse2: return sse2;
    case SimdLevel::None: break;
  }
  return plain;
}

const Kernels& defaultKernels() { return kernelsFor(processorSimdLevel()); }

bool simdLevelFromName(const char* name, SimdLevel* level) {
  if (!name || !level) return false;
  for (SimdLevel candidate : {SimdLevel::None, SimdLevel::Sse2, SimdLevel::Avx2}) {
    const char* known = simdLevelName(candidate);
    std::size_t i = 0;
    while (known[i] && name[i] && std::tolower(static_cast<unsigned char>(known[i])) ==
                                      std::tolower(static_cast<unsigned char>(name[i])))
      ++i;
    if (!known[i] && !name[i]) {
      *level = candidate;
      return true;
    }
  }
  return false;
}

}  // namespace mpeg1
