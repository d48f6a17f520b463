#pragma once

#include <cstdint>

namespace mpeg1 {

// 8x8 integer inverse DCT, in place, natural order (row * 8 + column).
// Inputs are dequantised coefficients saturated to -2048..2047; within that
// range every intermediate fits its 16- or 32-bit storage, so the two routines
// below agree bit for bit.
void idctReference(std::int16_t block[64]);
void idctSse2(std::int16_t block[64]);  // the reference where SSE2 is unavailable
// The SSE2 arithmetic built for AVX2; reach it only on processors with AVX2
// (see kernels.h).
void idctAvx2(std::int16_t block[64]);

using IdctFn = void (*)(std::int16_t*);

// The transform written straight into an 8x8 block of a picture, clamped to
// 0..255: "put" stores it (intra blocks), "add" adds it to the prediction
// already there. Both leave the block all zero for the next one. Each is
// bit-identical to the in-place transform followed by the store or the add.
void idctPutReference(std::int16_t block[64], std::uint8_t* dst, int pitch);
void idctAddReference(std::int16_t block[64], std::uint8_t* dst, int pitch);
void idctPutSse2(std::int16_t block[64], std::uint8_t* dst, int pitch);
void idctAddSse2(std::int16_t block[64], std::uint8_t* dst, int pitch);
void idctPutAvx2(std::int16_t block[64], std::uint8_t* dst, int pitch);
void idctAddAvx2(std::int16_t block[64], std::uint8_t* dst, int pitch);

using IdctStoreFn = void (*)(std::int16_t* block, std::uint8_t* dst, int pitch);

// For tests and benchmarks: SSE2 when simd is true and the build has it, the
// reference otherwise. Decoders take their routines from kernelsFor().
IdctFn selectIdctFunction(bool simd);

}  // namespace mpeg1
