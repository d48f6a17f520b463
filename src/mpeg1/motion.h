#pragma once

#include <cstdint>
#include <utility>

namespace mpeg1 {

// Motion-compensation kernels. Blocks are 8 or 16 pixels wide. A prediction
// has a pitch for dst and one for ref: a picture that is not a reference can
// be predicted straight into the presenter's memory, whose rows differ.
//
// A prediction kernel forms a width x height block from ref, which points at
// the integer source position (x + (right >> 1), y + (down >> 1)). The mode
// index is (right & 1) | ((down & 1) << 1): 0 full-pel, 1 horizontal half,
// 2 vertical half, 3 both. Modes 1 and 3 read width + 1 columns of ref,
// modes 2 and 3 read height + 1 rows.
//
// Half-pel averages round to nearest: (a + b + 1) >> 1 and
// (a + b + c + d + 2) >> 2, b right of a, c below it, d below right. "put"
// writes the prediction; "avg" merges it into dst as (dst + p + 1) >> 1, so a
// bidirectional block is a forward put followed by a backward avg.
using PredictFn = void (*)(std::uint8_t* dst, int dstPitch, const std::uint8_t* ref, int refPitch, int height);
// A bidirectional block in one pass: the prediction from forward (its mode
// the first index of `both`) and the one from backward (the second), averaged
// as avg does, without writing dst in between. The same bytes as a forward
// put followed by a backward avg.
using PredictBothFn = void (*)(std::uint8_t* dst, int dstPitch, const std::uint8_t* forward,
                               const std::uint8_t* backward, int refPitch, int height);

struct MotionKernels {
  PredictFn put[2][4];  // [0] 8 wide, [1] 16 wide; [mode]
  PredictFn avg[2][4];
  PredictBothFn both[2][4][4];  // [width as above][forward mode][backward mode]
  // dst = clamp(dst + residual) over 8x8, residual in natural order.
  void (*addBlock)(const std::int16_t* residual, std::uint8_t* dst, int pitch);
  // dst = clamp(block) over 8x8: storing an intra block.
  void (*putBlock)(const std::int16_t* block, std::uint8_t* dst, int pitch);
  // dst = clamp(dst + value) over 8x8: the residual of a block whose only
  // coefficient is DC is one value everywhere.
  void (*addConstant)(int value, std::uint8_t* dst, int pitch);
};

// Averages that drop the fraction instead: (a + b) >> 1, (a + b + c + d) >> 2
// and (dst + p) >> 1; addBlock and putBlock are the same in both sets.
enum class Rounding { Nearest, Truncate };

// A set's `both` table filled with Both<width, forward mode, backward mode,
// rounding>::run for every pair of modes; each set brings its own Both.
template <template <int, int, int, Rounding> class Both, Rounding R, int Width, int... Modes>
constexpr void fillBoth(PredictBothFn (&table)[4][4], std::integer_sequence<int, Modes...>) {
  ((table[Modes / 4][Modes % 4] = &Both<Width, Modes / 4, Modes % 4, R>::run), ...);
}

template <template <int, int, int, Rounding> class Both, Rounding R>
constexpr MotionKernels withBoth(MotionKernels k) {
  fillBoth<Both, R, 8>(k.both[0], std::make_integer_sequence<int, 16>{});
  fillBoth<Both, R, 16>(k.both[1], std::make_integer_sequence<int, 16>{});
  return k;
}

const MotionKernels& referenceMotionKernels();  // Rounding::Nearest
const MotionKernels& referenceMotionKernels(Rounding rounding);
// The SSE2 sets; the reference where the build has no SSE2.
const MotionKernels& sse2MotionKernels();  // Rounding::Nearest
const MotionKernels& sse2MotionKernels(Rounding rounding);

// For tests and benchmarks: SSE2 when simd is true and the build has it, the
// reference otherwise. Decoders take their kernels from kernelsFor().
const MotionKernels& selectMotionKernels(bool simd, Rounding rounding = Rounding::Nearest);

}  // namespace mpeg1
