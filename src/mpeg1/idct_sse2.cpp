#include "mpeg1/idct.h"

#if defined(__SSE2__)
#include "mpeg1/idct_x86.h"
#endif

namespace mpeg1 {

#if defined(__SSE2__)

void idctSse2(std::int16_t block[64]) { idctInPlace(block); }
void idctPutSse2(std::int16_t block[64], std::uint8_t* dst, int pitch) { idctPutRows(block, dst, pitch); }
void idctAddSse2(std::int16_t block[64], std::uint8_t* dst, int pitch) { idctAddRows(block, dst, pitch); }

#else

void idctSse2(std::int16_t block[64]) { idctReference(block); }
void idctPutSse2(std::int16_t block[64], std::uint8_t* dst, int pitch) { idctPutReference(block, dst, pitch); }
void idctAddSse2(std::int16_t block[64], std::uint8_t* dst, int pitch) { idctAddReference(block, dst, pitch); }

#endif

}  // namespace mpeg1
