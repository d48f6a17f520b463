#pragma once

#include <cstdint>

// Variable-length code tables of MPEG-1 video, each decoded by one peek and
// one direct index. An invalid code has length 0 (nothing is consumed).
namespace mpeg1::vlc {

struct Code {
  std::int8_t value;
  std::uint8_t length;
};

// Macroblock type flags.
enum : std::uint8_t { quant = 1, forward = 2, backward = 4, pattern = 8, intra = 16 };

// Coefficient code, one byte per field so that each is used straight from
// the table's load: the code length is on the path from one code to the next.
struct Coefficient {
  std::uint8_t runField;     // run, or runEscape, runEndOfBlock, runInvalid
  std::uint8_t levelField;   // level magnitude
  std::uint8_t lengthField;  // code length with its sign bit (escape, end of block: without)
  std::uint8_t unused;
  int run() const { return runField; }
  int level() const { return levelField; }
  int length() const { return lengthField; }
};
constexpr std::uint8_t runEscape = 61, runEndOfBlock = 62, runInvalid = 63;

struct Tables {
  Code addressIncrement[2048];  // 11 bits; 34 = stuffing, 35 = escape
  Code iType[4];                // 2 bits
  Code pType[64];               // 6 bits, value = flags
  Code bType[64];               // 6 bits
  Code codedBlockPattern[512];  // 9 bits
  Code motionCode[2048];        // 11 bits, -16..16
  Code dcSizeLuma[512];         // 9 bits
  Code dcSizeChroma[512];       // 9 bits
  Coefficient firstShort[256];  // codes whose first six bits are not all zero, by the top byte
  Coefficient nextShort[256];
  Coefficient longCodes[1024];  // codes 0000 00xx xxxx xxxx, by bits 7 to 16
};
constexpr int addressStuffing = 34, addressEscape = 35;

const Tables& tables();

// Zig-zag scan index to natural (row * 8 + column) index.
extern const std::uint8_t zigzag[64];

}  // namespace mpeg1::vlc
