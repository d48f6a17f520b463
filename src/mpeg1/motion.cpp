#include "mpeg1/motion.h"

#include <algorithm>
#include <cstring>

#include "mpeg1/idct.h"

namespace mpeg1 {

namespace {

// Rounding terms of the two- and four-sample averages.
template <Rounding R>
constexpr int half = R == Rounding::Nearest ? 1 : 0;
template <Rounding R>
constexpr int quarter = R == Rounding::Nearest ? 2 : 0;

// Each row is formed in a local array and then copied out: the compiler can
// then vectorise the arithmetic without having to rule out dst overlapping ref.
template <int Width, int Mode, bool Avg, Rounding R>
void predict(std::uint8_t* dst, int dstPitch, const std::uint8_t* ref, int refPitch, int height) {
  if constexpr (Mode == 0 && !Avg) {
    for (int y = 0; y < height; ++y, dst += dstPitch, ref += refPitch) std::memcpy(dst, ref, Width);
  } else {
    for (int y = 0; y < height; ++y, dst += dstPitch, ref += refPitch) {
      const std::uint8_t* below = ref + refPitch;
      std::uint8_t row[Width];
      if constexpr (Avg) std::memcpy(row, dst, Width);
      for (int x = 0; x < Width; ++x) {
        int p;
        if constexpr (Mode == 0)
          p = ref[x];
        else if constexpr (Mode == 1)
          p = (ref[x] + ref[x + 1] + half<R>) >> 1;
        else if constexpr (Mode == 2)
          p = (ref[x] + below[x] + half<R>) >> 1;
        else
          p = (ref[x] + ref[x + 1] + below[x] + below[x + 1] + quarter<R>) >> 2;
        if constexpr (Avg) p = (row[x] + p + half<R>) >> 1;
        row[x] = static_cast<std::uint8_t>(p);
      }
      std::memcpy(dst, row, Width);
    }
  }
}

// The definition itself: a put, then an avg.
template <int Width, int ForwardMode, int BackwardMode, Rounding R>
struct PredictBoth {
  static void run(std::uint8_t* dst, int dstPitch, const std::uint8_t* forward, const std::uint8_t* backward,
                  int refPitch, int height) {
    predict<Width, ForwardMode, false, R>(dst, dstPitch, forward, refPitch, height);
    predict<Width, BackwardMode, true, R>(dst, dstPitch, backward, refPitch, height);
  }
};

// Branch-free, so that out-of-range values cost no mispredictions and the
// loops below can be vectorised by the compiler.
inline std::uint8_t clampPixel(int v) { return static_cast<std::uint8_t>(std::min(std::max(v, 0), 255)); }

void addBlock(const std::int16_t* residual, std::uint8_t* dst, int pitch) {
  for (int y = 0; y < 8; ++y, dst += pitch, residual += 8)
    for (int x = 0; x < 8; ++x) dst[x] = clampPixel(dst[x] + residual[x]);
}

void putBlock(const std::int16_t* block, std::uint8_t* dst, int pitch) {
  for (int y = 0; y < 8; ++y, dst += pitch, block += 8)
    for (int x = 0; x < 8; ++x) dst[x] = clampPixel(block[x]);
}

void addConstant(int value, std::uint8_t* dst, int pitch) {
  for (int y = 0; y < 8; ++y, dst += pitch)
    for (int x = 0; x < 8; ++x) dst[x] = clampPixel(dst[x] + value);
}

template <Rounding R>
constexpr MotionKernels kernels = withBoth<PredictBoth, R>({
    {{&predict<8, 0, false, R>, &predict<8, 1, false, R>, &predict<8, 2, false, R>,
      &predict<8, 3, false, R>},
     {&predict<16, 0, false, R>, &predict<16, 1, false, R>, &predict<16, 2, false, R>,
      &predict<16, 3, false, R>}},
    {{&predict<8, 0, true, R>, &predict<8, 1, true, R>, &predict<8, 2, true, R>,
      &predict<8, 3, true, R>},
     {&predict<16, 0, true, R>, &predict<16, 1, true, R>, &predict<16, 2, true, R>,
      &predict<16, 3, true, R>}},
    {},
    &addBlock,
    &putBlock,
    &addConstant,
});

}  // namespace

const MotionKernels& referenceMotionKernels(Rounding rounding) {
  return rounding == Rounding::Nearest ? kernels<Rounding::Nearest> : kernels<Rounding::Truncate>;
}

const MotionKernels& referenceMotionKernels() { return kernels<Rounding::Nearest>; }

const MotionKernels& selectMotionKernels(bool simd, Rounding rounding) {
#if defined(__SSE2__)
  if (simd) return sse2MotionKernels(rounding);
#else
  (void)simd;
#endif
  return referenceMotionKernels(rounding);
}

}  // namespace mpeg1
