#pragma once

#include <vector>

#include "mpeg1/idct.h"
#include "mpeg1/motion.h"

namespace mpeg1 {

// Instruction-set levels that have routines of their own; each level
// includes the ones below it.
enum class SimdLevel { None, Sse2, Avx2 };

// Every routine the decoder's inner loops call, from one level. All levels
// give bit-identical results.
struct Kernels {
  SimdLevel level;
  IdctFn idct;
  IdctStoreFn idctPut;
  IdctStoreFn idctAdd;
  const MotionKernels* motion;
  // The macroblock layer built with BMI2, whose shifts by a register are
  // single quick instructions: its bit caches shift by every code's length.
  // Every AVX2 processor has BMI2; it is asked of the processor all the same.
  bool bmi2;
};

const char* simdLevelName(SimdLevel level);

// The best level that both the build and this processor have, asked of the
// processor once.
SimdLevel processorSimdLevel();

// Every level this processor can run, None first: what tests compare.
std::vector<SimdLevel> availableSimdLevels();

// The set of one level. A level above processorSimdLevel() gives the best
// one the processor has, so a caller can never reach unsupported code.
const Kernels& kernelsFor(SimdLevel level);

// What a decoder uses unless it is handed a set: the processor's best.
const Kernels& defaultKernels();

// "plain", "sse2" or "avx2" (any case) as a level; false for anything else.
bool simdLevelFromName(const char* name, SimdLevel* level);

}  // namespace mpeg1
