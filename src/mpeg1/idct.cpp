#include "mpeg1/idct.h"

#include <cstdlib>
#include <cstring>

namespace mpeg1 {

namespace {

// One line of eight values, `stride` apart, transformed in place and descaled
// by `shift`. The arithmetic is kept exactly as the SIMD routine must
// reproduce it; 8192 stands for the << 13 of the DC terms (a left shift of a
// negative value is undefined before C++20).
template <int Stride, int Shift>
inline void transformLine(std::int16_t* p) {
  const std::int32_t d0 = p[0 * Stride];
  const std::int32_t d1 = p[1 * Stride];
  const std::int32_t d2 = p[2 * Stride];
  const std::int32_t d3 = p[3 * Stride];
  const std::int32_t d4 = p[4 * Stride];
  const std::int32_t d5 = p[5 * Stride];
  const std::int32_t d6 = p[6 * Stride];
  const std::int32_t d7 = p[7 * Stride];

  // Even part.
  std::int32_t z1 = (d2 + d6) * 4433;
  const std::int32_t t2 = z1 - d6 * 15137;
  const std::int32_t t3 = z1 + d2 * 6270;
  const std::int32_t t0 = (d0 + d4) * 8192;
  const std::int32_t t1 = (d0 - d4) * 8192;
  const std::int32_t e10 = t0 + t3;
  const std::int32_t e13 = t0 - t3;
  const std::int32_t e11 = t1 + t2;
  const std::int32_t e12 = t1 - t2;

  // Odd part.
  std::int32_t a0 = d7, a1 = d5, a2 = d3, a3 = d1;
  z1 = a0 + a3;
  std::int32_t z2 = a1 + a2;
  std::int32_t z3 = a0 + a2;
  std::int32_t z4 = a1 + a3;
  const std::int32_t z5 = (z3 + z4) * 9633;
  a0 *= 2446;
  a1 *= 16819;
  a2 *= 25172;
  a3 *= 12299;
  z1 *= -7373;
  z2 *= -20995;
  z3 *= -16069;
  z4 *= -3196;
  z3 += z5;
  z4 += z5;
  a0 += z1 + z3;
  a1 += z2 + z4;
  a2 += z2 + z3;
  a3 += z1 + z4;

  constexpr std::int32_t round = 1 << (Shift - 1);
  p[0 * Stride] = static_cast<std::int16_t>((e10 + a3 + round) >> Shift);
  p[7 * Stride] = static_cast<std::int16_t>((e10 - a3 + round) >> Shift);
  p[1 * Stride] = static_cast<std::int16_t>((e11 + a2 + round) >> Shift);
  p[6 * Stride] = static_cast<std::int16_t>((e11 - a2 + round) >> Shift);
  p[2 * Stride] = static_cast<std::int16_t>((e12 + a1 + round) >> Shift);
  p[5 * Stride] = static_cast<std::int16_t>((e12 - a1 + round) >> Shift);
  p[3 * Stride] = static_cast<std::int16_t>((e13 + a0 + round) >> Shift);
  p[4 * Stride] = static_cast<std::int16_t>((e13 - a0 + round) >> Shift);
}

}  // namespace

void idctReference(std::int16_t block[64]) {
  // Rows. After quantisation most rows are empty or DC-only, so these two
  // cases cost next to nothing. A non-zero row below the first is remembered:
  // without one every column is DC-only too.
  int lowerRows = 0;
  for (int r = 0; r < 8; ++r) {
    std::int16_t* row = block + r * 8;
    const int ac = row[1] | row[2] | row[3] | row[4] | row[5] | row[6] | row[7];
    if (ac == 0) {
      if (row[0] == 0) continue;
      const auto dc = static_cast<std::int16_t>(row[0] * 2);
      for (int c = 0; c < 8; ++c) row[c] = dc;
    } else {
      transformLine<1, 12>(row);
    }
    lowerRows |= r;
  }

  // Columns.
  if (lowerRows == 0) {
    std::int16_t row[8];
    for (int c = 0; c < 8; ++c) row[c] = static_cast<std::int16_t>((block[c] + 8) >> 4);
    for (int r = 0; r < 8; ++r) std::memcpy(block + r * 8, row, sizeof row);
    return;
  }
  for (int c = 0; c < 8; ++c) {
    std::int16_t* col = block + c;
    const int ac = col[8] | col[16] | col[24] | col[32] | col[40] | col[48] | col[56];
    if (ac == 0) {
      const auto v = static_cast<std::int16_t>((col[0] + 8) >> 4);
      for (int r = 0; r < 8; ++r) col[r * 8] = v;
    } else {
      transformLine<8, 17>(col);
    }
  }
}

namespace {

inline std::uint8_t clampPixel(int v) { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

}  // namespace

void idctPutReference(std::int16_t block[64], std::uint8_t* dst, int pitch) {
  idctReference(block);
  for (int y = 0; y < 8; ++y, dst += pitch)
    for (int x = 0; x < 8; ++x) dst[x] = clampPixel(block[y * 8 + x]);
  std::memset(block, 0, 64 * sizeof block[0]);
}

void idctAddReference(std::int16_t block[64], std::uint8_t* dst, int pitch) {
  idctReference(block);
  for (int y = 0; y < 8; ++y, dst += pitch)
    for (int x = 0; x < 8; ++x) dst[x] = clampPixel(dst[x] + block[y * 8 + x]);
  std::memset(block, 0, 64 * sizeof block[0]);
}

IdctFn selectIdctFunction(bool simd) {
#if defined(__SSE2__)
  if (simd) return &idctSse2;
#else
  (void)simd;
#endif
  return &idctReference;
}

}  // namespace mpeg1
