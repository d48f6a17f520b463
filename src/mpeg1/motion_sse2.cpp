#include "mpeg1/motion.h"

#if defined(__SSE2__)
#include <emmintrin.h>

#include <algorithm>
#endif

namespace mpeg1 {

#if defined(__SSE2__)

namespace {

// pavgb gives (a + b + 1) >> 1 exactly. The other averages are built from it
// with a correction in the lowest bit:
//
// - (a + b) >> 1 = pavgb(a, b) - ((a ^ b) & 1).
// - Four samples: with s = pavgb(a, b), t = pavgb(c, d), e = (a ^ b) & 1 and
//   f = (c ^ d) & 1, a + b + c + d = 2 (s + t) - e - f. Going through the
//   cases of e, f and the parity of s + t,
//     (a + b + c + d + 2) >> 2 = pavgb(s, t) - ((e | f) & (s ^ t) & 1).
//   Averaging s and t directly would round up twice.
// - Four samples, truncated: with s, t the truncated pair averages,
//     (a + b + c + d) >> 2 = pavgb(s, t) - (~(e & f) & (s ^ t) & 1).
//
// A row's pair average and its a ^ b are formed once and used for the output
// rows above and below it.

inline __m128i ones() { return _mm_set1_epi8(1); }

template <Rounding R>
inline __m128i average2(__m128i a, __m128i b) {
  if constexpr (R == Rounding::Nearest)
    return _mm_avg_epu8(a, b);
  else
    return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), ones()));
}

// One row of a two-dimensional half-pel step: the horizontal pair average and
// the parity of the pair.
struct PairRow {
  __m128i mean;
  __m128i odd;  // a ^ b; only bit 0 of each byte matters
};

template <Rounding R>
inline PairRow pairRow(__m128i a, __m128i b) {
  return {average2<R>(a, b), _mm_xor_si128(a, b)};
}

template <Rounding R>
inline __m128i average4(const PairRow& top, const PairRow& bottom) {
  const __m128i avg = _mm_avg_epu8(top.mean, bottom.mean);
  const __m128i carry = _mm_xor_si128(top.mean, bottom.mean);
  __m128i fix;
  if constexpr (R == Rounding::Nearest)
    fix = _mm_and_si128(_mm_or_si128(top.odd, bottom.odd), carry);
  else
    fix = _mm_andnot_si128(_mm_and_si128(top.odd, bottom.odd), carry);
  return _mm_sub_epi8(avg, _mm_and_si128(fix, ones()));
}

inline __m128i load8(const std::uint8_t* p) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}
inline __m128i load16(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline void store8(std::uint8_t* p, __m128i v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
}
inline void store16(std::uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Eight-wide blocks go two rows to a register: the row at p in the low half,
// the one below in the high half.
inline __m128i load8x2(const std::uint8_t* p, int pitch) {
  return _mm_unpacklo_epi64(load8(p), load8(p + pitch));
}
inline void store8x2(std::uint8_t* p, int pitch, __m128i v) {
  store8(p, v);
  store8(p + pitch, _mm_srli_si128(v, 8));
}

template <int Mode, bool Avg, Rounding R>
void predict16(std::uint8_t* dst, int dstPitch, const std::uint8_t* ref, int refPitch, int height) {
  if constexpr (Mode == 0 || Mode == 1) {
    for (int y = 0; y < height; ++y, dst += dstPitch, ref += refPitch) {
      __m128i p = load16(ref);
      if constexpr (Mode == 1) p = average2<R>(p, load16(ref + 1));
      if constexpr (Avg) p = average2<R>(load16(dst), p);
      store16(dst, p);
    }
  } else if constexpr (Mode == 2) {
    __m128i top = load16(ref);
    for (int y = 0; y < height; ++y, dst += dstPitch) {
      ref += refPitch;
      const __m128i bottom = load16(ref);
      __m128i p = average2<R>(top, bottom);
      if constexpr (Avg) p = average2<R>(load16(dst), p);
      store16(dst, p);
      top = bottom;
    }
  } else {
    PairRow top = pairRow<R>(load16(ref), load16(ref + 1));
    for (int y = 0; y < height; ++y, dst += dstPitch) {
      ref += refPitch;
      const PairRow bottom = pairRow<R>(load16(ref), load16(ref + 1));
      __m128i p = average4<R>(top, bottom);
      if constexpr (Avg) p = average2<R>(load16(dst), p);
      store16(dst, p);
      top = bottom;
    }
  }
}

// Heights are even (8 or 16), so the two-row steps come out exactly.
template <int Mode, bool Avg, Rounding R>
void predict8(std::uint8_t* dst, int dstPitch, const std::uint8_t* ref, int refPitch, int height) {
  const int dstStep = 2 * dstPitch, refStep = 2 * refPitch;
  if constexpr (Mode == 0 && !Avg) {
    for (int y = 0; y < height; ++y, dst += dstPitch, ref += refPitch) store8(dst, load8(ref));
  } else if constexpr (Mode == 0 || Mode == 1) {
    for (int y = 0; y < height; y += 2, dst += dstStep, ref += refStep) {
      __m128i p = load8x2(ref, refPitch);
      if constexpr (Mode == 1) p = average2<R>(p, load8x2(ref + 1, refPitch));
      if constexpr (Avg) p = average2<R>(load8x2(dst, dstPitch), p);
      store8x2(dst, dstPitch, p);
    }
  } else if constexpr (Mode == 2) {
    __m128i top = load8(ref);  // low half: the row above the pair
    for (int y = 0; y < height; y += 2, dst += dstStep, ref += refStep) {
      const __m128i bottom = load8x2(ref + refPitch, refPitch);
      __m128i p = average2<R>(_mm_unpacklo_epi64(top, bottom), bottom);
      if constexpr (Avg) p = average2<R>(load8x2(dst, dstPitch), p);
      store8x2(dst, dstPitch, p);
      top = _mm_srli_si128(bottom, 8);
    }
  } else {
    PairRow top = pairRow<R>(load8(ref), load8(ref + 1));
    for (int y = 0; y < height; y += 2, dst += dstStep, ref += refStep) {
      const PairRow bottom =
          pairRow<R>(load8x2(ref + refPitch, refPitch), load8x2(ref + refPitch + 1, refPitch));
      const PairRow upper = {_mm_unpacklo_epi64(top.mean, bottom.mean),
                             _mm_unpacklo_epi64(top.odd, bottom.odd)};
      __m128i p = average4<R>(upper, bottom);
      if constexpr (Avg) p = average2<R>(load8x2(dst, dstPitch), p);
      store8x2(dst, dstPitch, p);
      top = {_mm_srli_si128(bottom.mean, 8), _mm_srli_si128(bottom.odd, 8)};
    }
  }
}

// The rows of one prediction as the kernels above form them, one row (16
// wide) or two (8 wide, the lower one in the high half) per register: the
// bidirectional kernels draw on two of these at once.
template <int Width, int Mode, Rounding R>
class PredictionRows {
 public:
  PredictionRows(const std::uint8_t* ref, int pitch) : ref_(ref), pitch_(pitch) {
    if constexpr (Mode == 2) top_ = row(ref);
    if constexpr (Mode == 3) pairTop_ = pairRow<R>(row(ref), row(ref + 1));
  }
  __m128i next() {
    __m128i p;
    if constexpr (Mode == 0) {
      p = rows(ref_);
    } else if constexpr (Mode == 1) {
      p = average2<R>(rows(ref_), rows(ref_ + 1));
    } else if constexpr (Mode == 2) {
      const __m128i bottom = rows(ref_ + pitch_);
      p = average2<R>(above(top_, bottom), bottom);
      top_ = last(bottom);
    } else {
      const PairRow bottom = pairRow<R>(rows(ref_ + pitch_), rows(ref_ + pitch_ + 1));
      p = average4<R>({above(pairTop_.mean, bottom.mean), above(pairTop_.odd, bottom.odd)}, bottom);
      pairTop_ = {last(bottom.mean), last(bottom.odd)};
    }
    ref_ += rowsPerRegister * pitch_;
    return p;
  }
  static constexpr int rowsPerRegister = Width == 16 ? 1 : 2;

 private:
  static __m128i row(const std::uint8_t* p) { return Width == 16 ? load16(p) : load8(p); }
  __m128i rows(const std::uint8_t* p) const { return Width == 16 ? load16(p) : load8x2(p, pitch_); }
  // The rows just above those of `bottom`, from the last row of the one before.
  static __m128i above(__m128i top, __m128i bottom) { return Width == 16 ? top : _mm_unpacklo_epi64(top, bottom); }
  static __m128i last(__m128i v) { return Width == 16 ? v : _mm_srli_si128(v, 8); }

  const std::uint8_t* ref_;
  int pitch_;
  __m128i top_;
  PairRow pairTop_;
};

template <int Width, int ForwardMode, int BackwardMode, Rounding R>
struct PredictBoth {
  static void run(std::uint8_t* dst, int dstPitch, const std::uint8_t* forward, const std::uint8_t* backward,
                  int refPitch, int height) {
    PredictionRows<Width, ForwardMode, R> f(forward, refPitch);
    PredictionRows<Width, BackwardMode, R> b(backward, refPitch);
    constexpr int step = PredictionRows<Width, ForwardMode, R>::rowsPerRegister;
    for (int y = 0; y < height; y += step, dst += step * dstPitch) {
      const __m128i p = average2<R>(f.next(), b.next());
      if constexpr (Width == 16)
        store16(dst, p);
      else
        store8x2(dst, dstPitch, p);
    }
  }
};

// Saturating adds, then packus: exact clamping for any 16-bit residual.
void addBlock(const std::int16_t* residual, std::uint8_t* dst, int pitch) {
  const __m128i zero = _mm_setzero_si128();
  const auto* r = reinterpret_cast<const __m128i*>(residual);
  for (int y = 0; y < 8; y += 2, r += 2, dst += 2 * pitch) {
    const __m128i d0 = _mm_unpacklo_epi8(load8(dst), zero);
    const __m128i d1 = _mm_unpacklo_epi8(load8(dst + pitch), zero);
    const __m128i s0 = _mm_adds_epi16(d0, _mm_loadu_si128(r));
    const __m128i s1 = _mm_adds_epi16(d1, _mm_loadu_si128(r + 1));
    store8x2(dst, pitch, _mm_packus_epi16(s0, s1));
  }
}

void putBlock(const std::int16_t* block, std::uint8_t* dst, int pitch) {
  const auto* b = reinterpret_cast<const __m128i*>(block);
  for (int y = 0; y < 8; y += 2, b += 2, dst += 2 * pitch)
    store8x2(dst, pitch, _mm_packus_epi16(_mm_loadu_si128(b), _mm_loadu_si128(b + 1)));
}

// Saturating byte adds (or subtracts) of |value|: exact for any value, since
// every pixel saturates alike once |value| reaches 255.
void addConstant(int value, std::uint8_t* dst, int pitch) {
  const int magnitude = std::min(value < 0 ? -value : value, 255);
  const __m128i v = _mm_set1_epi8(static_cast<char>(magnitude));
  for (int y = 0; y < 8; y += 2, dst += 2 * pitch) {
    const __m128i d = _mm_unpacklo_epi64(load8(dst), load8(dst + pitch));
    store8x2(dst, pitch, value < 0 ? _mm_subs_epu8(d, v) : _mm_adds_epu8(d, v));
  }
}

template <Rounding R>
constexpr MotionKernels kernels = withBoth<PredictBoth, R>({
    {{&predict8<0, false, R>, &predict8<1, false, R>, &predict8<2, false, R>,
      &predict8<3, false, R>},
     {&predict16<0, false, R>, &predict16<1, false, R>, &predict16<2, false, R>,
      &predict16<3, false, R>}},
    {{&predict8<0, true, R>, &predict8<1, true, R>, &predict8<2, true, R>,
      &predict8<3, true, R>},
     {&predict16<0, true, R>, &predict16<1, true, R>, &predict16<2, true, R>,
      &predict16<3, true, R>}},
    {},
    &addBlock,
    &putBlock,
    &addConstant,
});

}  // namespace

const MotionKernels& sse2MotionKernels(Rounding rounding) {
  return rounding == Rounding::Nearest ? kernels<Rounding::Nearest> : kernels<Rounding::Truncate>;
}

#else

const MotionKernels& sse2MotionKernels(Rounding rounding) { return referenceMotionKernels(rounding); }

#endif

const MotionKernels& sse2MotionKernels() { return sse2MotionKernels(Rounding::Nearest); }

}  // namespace mpeg1
