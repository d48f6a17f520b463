// The x86 integer IDCT, shared by the SSE2 routines and their AVX2 build.
// Included by one source file per instruction set; everything here has
// internal linkage, so the two builds never mix. The AVX2 file defines
// ZARVEL_IDCT_WIDE_LINES to transform dense blocks with 256-bit registers.
#pragma once

#include <emmintrin.h>
#if defined(ZARVEL_IDCT_WIDE_LINES)
#include <immintrin.h>
#endif

#include <cstdint>

#if defined(__GNUC__) || defined(__clang__)
#define ZARVEL_IDCT_INLINE inline __attribute__((always_inline))
// Loops over the eight rows are unrolled, so the rows live in registers
// rather than in an array on the stack.
#define ZARVEL_IDCT_UNROLL _Pragma("GCC unroll 8")
#else
#define ZARVEL_IDCT_INLINE inline
#define ZARVEL_IDCT_UNROLL
#endif

namespace mpeg1 {
namespace {

// Written out, each of the eight outputs of a line is an integer combination
// of the eight inputs:
//   t0, t1 = 8192 * (d0 +- d4)
//   t3 = 10703 * d2 + 4433 * d6          t2 = 4433 * d2 - 10704 * d6
//   a3 = 11363 * d1 + 9633 * d3 + 6437 * d5 + 2260 * d7
//   a2 = 9633 * d1 - 2259 * d3 - 11362 * d5 - 6436 * d7
//   a1 = 6437 * d1 - 11362 * d3 + 2261 * d5 + 9633 * d7
//   a0 = 2260 * d1 - 6436 * d3 + 9633 * d5 - 11363 * d7
// Every factor fits 16 bits, so pmaddwd on interleaved input pairs forms the
// same sums with no rounding in between. Wrapping 32-bit adds give the exact
// total whenever the total itself fits, which the reference needs anyway; the
// results therefore match it bit for bit.

ZARVEL_IDCT_INLINE __m128i pair(short lo, short hi) { return _mm_set_epi16(hi, lo, hi, lo, hi, lo, hi, lo); }

ZARVEL_IDCT_INLINE void transpose(__m128i& x0, __m128i& x1, __m128i& x2, __m128i& x3, __m128i& x4,
                      __m128i& x5, __m128i& x6, __m128i& x7) {
  const __m128i a0 = _mm_unpacklo_epi16(x0, x1);
  const __m128i a1 = _mm_unpackhi_epi16(x0, x1);
  const __m128i a2 = _mm_unpacklo_epi16(x2, x3);
  const __m128i a3 = _mm_unpackhi_epi16(x2, x3);
  const __m128i a4 = _mm_unpacklo_epi16(x4, x5);
  const __m128i a5 = _mm_unpackhi_epi16(x4, x5);
  const __m128i a6 = _mm_unpacklo_epi16(x6, x7);
  const __m128i a7 = _mm_unpackhi_epi16(x6, x7);
  const __m128i b0 = _mm_unpacklo_epi32(a0, a2);
  const __m128i b1 = _mm_unpackhi_epi32(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi32(a1, a3);
  const __m128i b3 = _mm_unpackhi_epi32(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi32(a4, a6);
  const __m128i b5 = _mm_unpackhi_epi32(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi32(a5, a7);
  const __m128i b7 = _mm_unpackhi_epi32(a5, a7);
  x0 = _mm_unpacklo_epi64(b0, b4);
  x1 = _mm_unpackhi_epi64(b0, b4);
  x2 = _mm_unpacklo_epi64(b1, b5);
  x3 = _mm_unpackhi_epi64(b1, b5);
  x4 = _mm_unpacklo_epi64(b2, b6);
  x5 = _mm_unpackhi_epi64(b2, b6);
  x6 = _mm_unpacklo_epi64(b3, b7);
  x7 = _mm_unpackhi_epi64(b3, b7);
}

template <int Shift>
ZARVEL_IDCT_INLINE __m128i narrow(__m128i lo, __m128i hi) {
  return _mm_packs_epi32(_mm_srai_epi32(lo, Shift), _mm_srai_epi32(hi, Shift));
}

// Eight lines at once: register k holds input k of every line, one line per
// 16-bit lane; output n replaces register n.
template <int Shift>
ZARVEL_IDCT_INLINE void transformLines(__m128i& x0, __m128i& x1, __m128i& x2, __m128i& x3, __m128i& x4,
                           __m128i& x5, __m128i& x6, __m128i& x7) {
  // The rounding term goes into t0 and t1, which every output contains once.
  const __m128i round = _mm_set1_epi32(1 << (Shift - 1));

  const __m128i p04l = _mm_unpacklo_epi16(x0, x4);
  const __m128i p04h = _mm_unpackhi_epi16(x0, x4);
  const __m128i sum04 = pair(8192, 8192);
  const __m128i dif04 = pair(8192, -8192);
  const __m128i t0l = _mm_add_epi32(_mm_madd_epi16(p04l, sum04), round);
  const __m128i t0h = _mm_add_epi32(_mm_madd_epi16(p04h, sum04), round);
  const __m128i t1l = _mm_add_epi32(_mm_madd_epi16(p04l, dif04), round);
  const __m128i t1h = _mm_add_epi32(_mm_madd_epi16(p04h, dif04), round);

  const __m128i p26l = _mm_unpacklo_epi16(x2, x6);
  const __m128i p26h = _mm_unpackhi_epi16(x2, x6);
  const __m128i k3 = pair(10703, 4433);
  const __m128i k2 = pair(4433, -10704);
  const __m128i t3l = _mm_madd_epi16(p26l, k3);
  const __m128i t3h = _mm_madd_epi16(p26h, k3);
  const __m128i t2l = _mm_madd_epi16(p26l, k2);
  const __m128i t2h = _mm_madd_epi16(p26h, k2);

  const __m128i e10l = _mm_add_epi32(t0l, t3l), e10h = _mm_add_epi32(t0h, t3h);
  const __m128i e13l = _mm_sub_epi32(t0l, t3l), e13h = _mm_sub_epi32(t0h, t3h);
  const __m128i e11l = _mm_add_epi32(t1l, t2l), e11h = _mm_add_epi32(t1h, t2h);
  const __m128i e12l = _mm_sub_epi32(t1l, t2l), e12h = _mm_sub_epi32(t1h, t2h);

  // Odd part: (d1, d3) and (d5, d7) pairs, two multiply-adds per output.
  const __m128i p13l = _mm_unpacklo_epi16(x1, x3);
  const __m128i p13h = _mm_unpackhi_epi16(x1, x3);
  const __m128i p57l = _mm_unpacklo_epi16(x5, x7);
  const __m128i p57h = _mm_unpackhi_epi16(x5, x7);

  const __m128i k3a = pair(11363, 9633), k3b = pair(6437, 2260);
  const __m128i k2a = pair(9633, -2259), k2b = pair(-11362, -6436);
  const __m128i k1a = pair(6437, -11362), k1b = pair(2261, 9633);
  const __m128i k0a = pair(2260, -6436), k0b = pair(9633, -11363);

  const __m128i a3l = _mm_add_epi32(_mm_madd_epi16(p13l, k3a), _mm_madd_epi16(p57l, k3b));
  const __m128i a3h = _mm_add_epi32(_mm_madd_epi16(p13h, k3a), _mm_madd_epi16(p57h, k3b));
  const __m128i a2l = _mm_add_epi32(_mm_madd_epi16(p13l, k2a), _mm_madd_epi16(p57l, k2b));
  const __m128i a2h = _mm_add_epi32(_mm_madd_epi16(p13h, k2a), _mm_madd_epi16(p57h, k2b));
  const __m128i a1l = _mm_add_epi32(_mm_madd_epi16(p13l, k1a), _mm_madd_epi16(p57l, k1b));
  const __m128i a1h = _mm_add_epi32(_mm_madd_epi16(p13h, k1a), _mm_madd_epi16(p57h, k1b));
  const __m128i a0l = _mm_add_epi32(_mm_madd_epi16(p13l, k0a), _mm_madd_epi16(p57l, k0b));
  const __m128i a0h = _mm_add_epi32(_mm_madd_epi16(p13h, k0a), _mm_madd_epi16(p57h, k0b));

  // Descale and narrow; the values fit 16 bits, so the saturating pack is a
  // plain truncation here, as in the reference.
  x0 = narrow<Shift>(_mm_add_epi32(e10l, a3l), _mm_add_epi32(e10h, a3h));
  x7 = narrow<Shift>(_mm_sub_epi32(e10l, a3l), _mm_sub_epi32(e10h, a3h));
  x1 = narrow<Shift>(_mm_add_epi32(e11l, a2l), _mm_add_epi32(e11h, a2h));
  x6 = narrow<Shift>(_mm_sub_epi32(e11l, a2l), _mm_sub_epi32(e11h, a2h));
  x2 = narrow<Shift>(_mm_add_epi32(e12l, a1l), _mm_add_epi32(e12h, a1h));
  x5 = narrow<Shift>(_mm_sub_epi32(e12l, a1l), _mm_sub_epi32(e12h, a1h));
  x3 = narrow<Shift>(_mm_add_epi32(e13l, a0l), _mm_add_epi32(e13h, a0h));
  x4 = narrow<Shift>(_mm_sub_epi32(e13l, a0l), _mm_sub_epi32(e13h, a0h));
}

#if defined(ZARVEL_IDCT_WIDE_LINES)
// Dense blocks with 256-bit registers and no transposes. A pass takes eight
// lines as y[j] = [line j | line j + 4] (each line's eight inputs in order)
// and leaves y[j] = [output j of every line | output j + 4 of every line].
// Those are the columns of the result, that is, the lines of the next pass;
// after the second pass they are the rows of the block. Each multiply-add,
// add and shift serves all eight lines at once. The sums are the same
// integers as the reference's, so the results are bit-identical.
ZARVEL_IDCT_INLINE __m256i pair256(short lo, short hi) {
  return _mm256_set_epi16(hi, lo, hi, lo, hi, lo, hi, lo, hi, lo, hi, lo, hi, lo, hi, lo);
}

template <int Shift>
ZARVEL_IDCT_INLINE void passWide(__m256i (&y)[4]) {
  // Each line's inputs as the pairs the multiply-adds take:
  // (d0, d4), (d2, d6), (d1, d3), (d5, d7).
  const __m256i order = _mm256_setr_epi8(0, 1, 8, 9, 4, 5, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15,  //
                                         0, 1, 8, 9, 4, 5, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15);
  const __m256i s0 = _mm256_shuffle_epi8(y[0], order), s1 = _mm256_shuffle_epi8(y[1], order);
  const __m256i s2 = _mm256_shuffle_epi8(y[2], order), s3 = _mm256_shuffle_epi8(y[3], order);
  // One pair kind of lines 0-3 in the low half, of lines 4-7 in the high half.
  const __m256i a = _mm256_unpacklo_epi32(s0, s1), b = _mm256_unpacklo_epi32(s2, s3);
  const __m256i c = _mm256_unpackhi_epi32(s0, s1), d = _mm256_unpackhi_epi32(s2, s3);
  const __m256i p04 = _mm256_unpacklo_epi64(a, b), p26 = _mm256_unpackhi_epi64(a, b);
  const __m256i p13 = _mm256_unpacklo_epi64(c, d), p57 = _mm256_unpackhi_epi64(c, d);

  const __m256i round = _mm256_set1_epi32(1 << (Shift - 1));
  const __m256i t0 = _mm256_add_epi32(_mm256_madd_epi16(p04, pair256(8192, 8192)), round);
  const __m256i t1 = _mm256_add_epi32(_mm256_madd_epi16(p04, pair256(8192, -8192)), round);
  const __m256i t3 = _mm256_madd_epi16(p26, pair256(10703, 4433));
  const __m256i t2 = _mm256_madd_epi16(p26, pair256(4433, -10704));
  const __m256i e10 = _mm256_add_epi32(t0, t3), e13 = _mm256_sub_epi32(t0, t3);
  const __m256i e11 = _mm256_add_epi32(t1, t2), e12 = _mm256_sub_epi32(t1, t2);

  const __m256i a3 = _mm256_add_epi32(_mm256_madd_epi16(p13, pair256(11363, 9633)),
                                      _mm256_madd_epi16(p57, pair256(6437, 2260)));
  const __m256i a2 = _mm256_add_epi32(_mm256_madd_epi16(p13, pair256(9633, -2259)),
                                      _mm256_madd_epi16(p57, pair256(-11362, -6436)));
  const __m256i a1 = _mm256_add_epi32(_mm256_madd_epi16(p13, pair256(6437, -11362)),
                                      _mm256_madd_epi16(p57, pair256(2261, 9633)));
  const __m256i a0 = _mm256_add_epi32(_mm256_madd_epi16(p13, pair256(2260, -6436)),
                                      _mm256_madd_epi16(p57, pair256(9633, -11363)));

  // Outputs j and j + 4 of every line, narrowed like the reference; the
  // pack leaves them interleaved by half, the permute puts each together.
  const auto outputs = [](__m256i first, __m256i second) {
    const __m256i packed = _mm256_packs_epi32(_mm256_srai_epi32(first, Shift), _mm256_srai_epi32(second, Shift));
    return _mm256_permute4x64_epi64(packed, 0xD8);
  };
  y[0] = outputs(_mm256_add_epi32(e10, a3), _mm256_sub_epi32(e13, a0));
  y[1] = outputs(_mm256_add_epi32(e11, a2), _mm256_sub_epi32(e12, a1));
  y[2] = outputs(_mm256_add_epi32(e12, a1), _mm256_sub_epi32(e11, a2));
  y[3] = outputs(_mm256_add_epi32(e13, a0), _mm256_sub_epi32(e10, a3));
}

// The whole transform of a dense block: rows in, rows out.
ZARVEL_IDCT_INLINE void transformDense(__m128i (&x)[8]) {
  __m256i y[4] = {_mm256_inserti128_si256(_mm256_castsi128_si256(x[0]), x[4], 1),
                  _mm256_inserti128_si256(_mm256_castsi128_si256(x[1]), x[5], 1),
                  _mm256_inserti128_si256(_mm256_castsi128_si256(x[2]), x[6], 1),
                  _mm256_inserti128_si256(_mm256_castsi128_si256(x[3]), x[7], 1)};
  passWide<12>(y);
  passWide<17>(y);
  x[0] = _mm256_castsi256_si128(y[0]);
  x[1] = _mm256_castsi256_si128(y[1]);
  x[2] = _mm256_castsi256_si128(y[2]);
  x[3] = _mm256_castsi256_si128(y[3]);
  x[4] = _mm256_extracti128_si256(y[0], 1);
  x[5] = _mm256_extracti128_si256(y[1], 1);
  x[6] = _mm256_extracti128_si256(y[2], 1);
  x[7] = _mm256_extracti128_si256(y[3], 1);
}
#else
// The whole transform of a dense block: rows in, rows out.
ZARVEL_IDCT_INLINE void transformDense(__m128i (&x)[8]) {
  transpose(x[0], x[1], x[2], x[3], x[4], x[5], x[6], x[7]);
  transformLines<12>(x[0], x[1], x[2], x[3], x[4], x[5], x[6], x[7]);
  transpose(x[0], x[1], x[2], x[3], x[4], x[5], x[6], x[7]);
  transformLines<17>(x[0], x[1], x[2], x[3], x[4], x[5], x[6], x[7]);
}
#endif

ZARVEL_IDCT_INLINE bool allZero(__m128i v) {
  return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) == 0xFFFF;
}

// Blocks whose coefficients all lie in rows 0 to 3, the usual case after
// quantisation. Rows 4 to 7 then stay zero through the first pass, and the
// second pass has no d4 to d7: about half the work of the full transform.
// Rows are x0..x3 on entry, the four result rows on return; rows 4 to 7 of
// the result are returned in y4..y7.
ZARVEL_IDCT_INLINE void transformUpperRows(__m128i& x0, __m128i& x1, __m128i& x2, __m128i& x3, __m128i& y4,
                               __m128i& y5, __m128i& y6, __m128i& y7) {
  // Half transpose straight into the input pairs the multiply-adds want,
  // one row per 32-bit lane: (d0, d4), (d2, d6), (d1, d5), (d3, d7).
  {
    const __m128i a0 = _mm_unpacklo_epi16(x0, x1);
    const __m128i a1 = _mm_unpackhi_epi16(x0, x1);
    const __m128i a2 = _mm_unpacklo_epi16(x2, x3);
    const __m128i a3 = _mm_unpackhi_epi16(x2, x3);
    const __m128i c01 = _mm_unpacklo_epi32(a0, a2);  // inputs 0 | 1 of rows 0-3
    const __m128i c23 = _mm_unpackhi_epi32(a0, a2);
    const __m128i c45 = _mm_unpacklo_epi32(a1, a3);
    const __m128i c67 = _mm_unpackhi_epi32(a1, a3);
    const __m128i p04 = _mm_unpacklo_epi16(c01, c45);
    const __m128i p15 = _mm_unpackhi_epi16(c01, c45);
    const __m128i p26 = _mm_unpacklo_epi16(c23, c67);
    const __m128i p37 = _mm_unpackhi_epi16(c23, c67);

    const __m128i round = _mm_set1_epi32(1 << 11);
    const __m128i t0 = _mm_add_epi32(_mm_madd_epi16(p04, pair(8192, 8192)), round);
    const __m128i t1 = _mm_add_epi32(_mm_madd_epi16(p04, pair(8192, -8192)), round);
    const __m128i t3 = _mm_madd_epi16(p26, pair(10703, 4433));
    const __m128i t2 = _mm_madd_epi16(p26, pair(4433, -10704));
    const __m128i e10 = _mm_add_epi32(t0, t3), e13 = _mm_sub_epi32(t0, t3);
    const __m128i e11 = _mm_add_epi32(t1, t2), e12 = _mm_sub_epi32(t1, t2);
    const __m128i a3o = _mm_add_epi32(_mm_madd_epi16(p15, pair(11363, 6437)),
                                      _mm_madd_epi16(p37, pair(9633, 2260)));
    const __m128i a2o = _mm_add_epi32(_mm_madd_epi16(p15, pair(9633, -11362)),
                                      _mm_madd_epi16(p37, pair(-2259, -6436)));
    const __m128i a1o = _mm_add_epi32(_mm_madd_epi16(p15, pair(6437, 2261)),
                                      _mm_madd_epi16(p37, pair(-11362, 9633)));
    const __m128i a0o = _mm_add_epi32(_mm_madd_epi16(p15, pair(2260, 9633)),
                                      _mm_madd_epi16(p37, pair(-6436, -11363)));

    // Outputs n | n + 1 of rows 0-3, then back to one row per register.
    const __m128i z0 = narrow<12>(_mm_add_epi32(e10, a3o), _mm_add_epi32(e11, a2o));
    const __m128i z1 = narrow<12>(_mm_add_epi32(e12, a1o), _mm_add_epi32(e13, a0o));
    const __m128i z2 = narrow<12>(_mm_sub_epi32(e13, a0o), _mm_sub_epi32(e12, a1o));
    const __m128i z3 = narrow<12>(_mm_sub_epi32(e11, a2o), _mm_sub_epi32(e10, a3o));
    const __m128i u0 = _mm_unpacklo_epi16(z0, z1);  // o0 o2 of rows 0-3
    const __m128i u1 = _mm_unpackhi_epi16(z0, z1);  // o1 o3
    const __m128i u2 = _mm_unpacklo_epi16(z2, z3);  // o4 o6
    const __m128i u3 = _mm_unpackhi_epi16(z2, z3);  // o5 o7
    const __m128i v0 = _mm_unpacklo_epi16(u0, u1);  // o0-o3 of rows 0, 1
    const __m128i v1 = _mm_unpackhi_epi16(u0, u1);  // o0-o3 of rows 2, 3
    const __m128i v2 = _mm_unpacklo_epi16(u2, u3);  // o4-o7 of rows 0, 1
    const __m128i v3 = _mm_unpackhi_epi16(u2, u3);
    x0 = _mm_unpacklo_epi64(v0, v2);
    x1 = _mm_unpackhi_epi64(v0, v2);
    x2 = _mm_unpacklo_epi64(v1, v3);
    x3 = _mm_unpackhi_epi64(v1, v3);
  }

  // Columns with d4..d7 = 0: t0 = t1 = d0 << 13, t3 = 10703 d2,
  // t2 = 4433 d2, and the odd part from d1 and d3 alone.
  const __m128i zero = _mm_setzero_si128();
  const __m128i round = _mm_set1_epi32(1 << 16);
  // (d0 << 16) >> 3 sign-extends and scales in one go.
  const __m128i t0l = _mm_add_epi32(_mm_srai_epi32(_mm_unpacklo_epi16(zero, x0), 3), round);
  const __m128i t0h = _mm_add_epi32(_mm_srai_epi32(_mm_unpackhi_epi16(zero, x0), 3), round);
  const __m128i p2l = _mm_unpacklo_epi16(x2, zero);
  const __m128i p2h = _mm_unpackhi_epi16(x2, zero);
  const __m128i t3l = _mm_madd_epi16(p2l, pair(10703, 0));
  const __m128i t3h = _mm_madd_epi16(p2h, pair(10703, 0));
  const __m128i t2l = _mm_madd_epi16(p2l, pair(4433, 0));
  const __m128i t2h = _mm_madd_epi16(p2h, pair(4433, 0));
  const __m128i e10l = _mm_add_epi32(t0l, t3l), e10h = _mm_add_epi32(t0h, t3h);
  const __m128i e13l = _mm_sub_epi32(t0l, t3l), e13h = _mm_sub_epi32(t0h, t3h);
  const __m128i e11l = _mm_add_epi32(t0l, t2l), e11h = _mm_add_epi32(t0h, t2h);
  const __m128i e12l = _mm_sub_epi32(t0l, t2l), e12h = _mm_sub_epi32(t0h, t2h);
  const __m128i p13l = _mm_unpacklo_epi16(x1, x3);
  const __m128i p13h = _mm_unpackhi_epi16(x1, x3);
  const __m128i a3l = _mm_madd_epi16(p13l, pair(11363, 9633));
  const __m128i a3h = _mm_madd_epi16(p13h, pair(11363, 9633));
  const __m128i a2l = _mm_madd_epi16(p13l, pair(9633, -2259));
  const __m128i a2h = _mm_madd_epi16(p13h, pair(9633, -2259));
  const __m128i a1l = _mm_madd_epi16(p13l, pair(6437, -11362));
  const __m128i a1h = _mm_madd_epi16(p13h, pair(6437, -11362));
  const __m128i a0l = _mm_madd_epi16(p13l, pair(2260, -6436));
  const __m128i a0h = _mm_madd_epi16(p13h, pair(2260, -6436));
  x0 = narrow<17>(_mm_add_epi32(e10l, a3l), _mm_add_epi32(e10h, a3h));
  y7 = narrow<17>(_mm_sub_epi32(e10l, a3l), _mm_sub_epi32(e10h, a3h));
  x1 = narrow<17>(_mm_add_epi32(e11l, a2l), _mm_add_epi32(e11h, a2h));
  y6 = narrow<17>(_mm_sub_epi32(e11l, a2l), _mm_sub_epi32(e11h, a2h));
  x2 = narrow<17>(_mm_add_epi32(e12l, a1l), _mm_add_epi32(e12h, a1h));
  y5 = narrow<17>(_mm_sub_epi32(e12l, a1l), _mm_sub_epi32(e12h, a1h));
  x3 = narrow<17>(_mm_add_epi32(e13l, a0l), _mm_add_epi32(e13h, a0h));
  y4 = narrow<17>(_mm_sub_epi32(e13l, a0l), _mm_sub_epi32(e13h, a0h));
}


// The transform of a block into eight result rows, kept in registers. All
// of it is forced inline: as calls, the rows would go through memory.
ZARVEL_IDCT_INLINE void transformBlock(const std::int16_t* block, __m128i (&x)[8]) {
  const auto* p = reinterpret_cast<const __m128i*>(block);
  x[0] = _mm_loadu_si128(p + 0);
  x[1] = _mm_loadu_si128(p + 1);
  x[2] = _mm_loadu_si128(p + 2);
  x[3] = _mm_loadu_si128(p + 3);
  x[4] = _mm_loadu_si128(p + 4);
  x[5] = _mm_loadu_si128(p + 5);
  x[6] = _mm_loadu_si128(p + 6);
  x[7] = _mm_loadu_si128(p + 7);
  if (allZero(_mm_or_si128(_mm_or_si128(x[4], x[5]), _mm_or_si128(x[6], x[7])))) {
    // DC-only blocks (flat areas, many chroma blocks) reduce to one value.
    const __m128i ac = _mm_or_si128(_mm_or_si128(x[1], x[2]), _mm_or_si128(x[3], _mm_srli_si128(x[0], 2)));
    if (allZero(ac)) {
      const auto row = static_cast<std::int16_t>(block[0] * 2);
      const __m128i v = _mm_set1_epi16(static_cast<short>((row + 8) >> 4));
      ZARVEL_IDCT_UNROLL
      for (int i = 0; i < 8; ++i) x[i] = v;
      return;
    }
    transformUpperRows(x[0], x[1], x[2], x[3], x[4], x[5], x[6], x[7]);
  } else {
    transformDense(x);
  }
}

ZARVEL_IDCT_INLINE void idctInPlace(std::int16_t* block) {
  __m128i x[8];
  transformBlock(block, x);
  auto* p = reinterpret_cast<__m128i*>(block);
  ZARVEL_IDCT_UNROLL
  for (int i = 0; i < 8; ++i) _mm_storeu_si128(p + i, x[i]);
}

// The block is cleared as it is consumed: the decoder then starts every block
// from zeros without a separate pass.
ZARVEL_IDCT_INLINE void clearBlock(std::int16_t* block) {
  auto* p = reinterpret_cast<__m128i*>(block);
  const __m128i zero = _mm_setzero_si128();
  ZARVEL_IDCT_UNROLL
  for (int i = 0; i < 8; ++i) _mm_storeu_si128(p + i, zero);
}

ZARVEL_IDCT_INLINE void storeRows(std::uint8_t* dst, int pitch, __m128i v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), v);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + pitch), _mm_srli_si128(v, 8));
}

ZARVEL_IDCT_INLINE __m128i loadRow(const std::uint8_t* p) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

// packus clamps to 0..255 exactly, as the plain putBlock does.
ZARVEL_IDCT_INLINE void idctPutRows(std::int16_t* block, std::uint8_t* dst, int pitch) {
  __m128i x[8];
  transformBlock(block, x);
  clearBlock(block);
  ZARVEL_IDCT_UNROLL
  for (int i = 0; i < 8; i += 2, dst += 2 * pitch) storeRows(dst, pitch, _mm_packus_epi16(x[i], x[i + 1]));
}

// Saturating adds, then packus: exact clamping for any 16-bit residual.
ZARVEL_IDCT_INLINE void idctAddRows(std::int16_t* block, std::uint8_t* dst, int pitch) {
  __m128i x[8];
  transformBlock(block, x);
  clearBlock(block);
  const __m128i zero = _mm_setzero_si128();
  ZARVEL_IDCT_UNROLL
  for (int i = 0; i < 8; i += 2, dst += 2 * pitch) {
    const __m128i d0 = _mm_unpacklo_epi8(loadRow(dst), zero);
    const __m128i d1 = _mm_unpacklo_epi8(loadRow(dst + pitch), zero);
    storeRows(dst, pitch, _mm_packus_epi16(_mm_adds_epi16(d0, x[i]), _mm_adds_epi16(d1, x[i + 1])));
  }
}

}  // namespace
}  // namespace mpeg1
