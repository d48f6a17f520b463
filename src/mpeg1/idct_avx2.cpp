// The transform for AVX2 processors: the passes over dense blocks work on all
// eight lines in one 256-bit register, and the rest is the SSE2 code in VEX
// encoding. This file is compiled with -mavx2 and its routines are only
// reached when the processor has AVX2.
#include "mpeg1/idct.h"

#if defined(__AVX2__)
#define ZARVEL_IDCT_WIDE_LINES
#include "mpeg1/idct_x86.h"
#endif

namespace mpeg1 {

#if defined(__AVX2__)

void idctAvx2(std::int16_t block[64]) { idctInPlace(block); }
void idctPutAvx2(std::int16_t block[64], std::uint8_t* dst, int pitch) { idctPutRows(block, dst, pitch); }
void idctAddAvx2(std::int16_t block[64], std::uint8_t* dst, int pitch) { idctAddRows(block, dst, pitch); }

#else

void idctAvx2(std::int16_t block[64]) { idctSse2(block); }
void idctPutAvx2(std::int16_t block[64], std::uint8_t* dst, int pitch) { idctPutSse2(block, dst, pitch); }
void idctAddAvx2(std::int16_t block[64], std::uint8_t* dst, int pitch) { idctAddSse2(block, dst, pitch); }

#endif

}  // namespace mpeg1
