#include "mpeg1/vlc.h"

#include <cstring>
#include <initializer_list>

namespace mpeg1::vlc {

const std::uint8_t zigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

namespace {

struct Listed {
  const char* bits;
  int value;
};

// Fills every index of a width-bit table that begins with the code.
template <typename Entry, typename Make>
void fill(Entry* table, int width, const char* bits, Make make) {
  const int length = static_cast<int>(std::strlen(bits));
  unsigned prefix = 0;
  for (int i = 0; i < length; ++i) prefix = prefix << 1 | (bits[i] == '1');
  const unsigned first = prefix << (width - length), count = 1u << (width - length);
  for (unsigned i = 0; i < count; ++i) table[first + i] = make(length);
}

template <int N>
void build(Code* table, int width, const Listed (&codes)[N]) {
  for (int i = 0; i < (1 << width); ++i) table[i] = {-1, 0};
  for (const Listed& code : codes)
    fill(table, width, code.bits, [&](int length) {
      return Code{static_cast<std::int8_t>(code.value), static_cast<std::uint8_t>(length)};
    });
}

constexpr Listed addressIncrementCodes[] = {
    {"1", 1},           {"011", 2},         {"010", 3},         {"0011", 4},
    {"0010", 5},        {"00011", 6},       {"00010", 7},       {"0000111", 8},
    {"0000110", 9},     {"00001011", 10},   {"00001010", 11},   {"00001001", 12},
    {"00001000", 13},   {"00000111", 14},   {"00000110", 15},   {"0000010111", 16},
    {"0000010110", 17}, {"0000010101", 18}, {"0000010100", 19}, {"0000010011", 20},
    {"0000010010", 21}, {"00000100011", 22}, {"00000100010", 23}, {"00000100001", 24},
    {"00000100000", 25}, {"00000011111", 26}, {"00000011110", 27}, {"00000011101", 28},
    {"00000011100", 29}, {"00000011011", 30}, {"00000011010", 31}, {"00000011001", 32},
    {"00000011000", 33}, {"00000001111", addressStuffing}, {"00000001000", addressEscape}};

constexpr Listed iTypeCodes[] = {{"1", intra}, {"01", intra | quant}};

constexpr Listed pTypeCodes[] = {
    {"1", forward | pattern},      {"01", pattern},           {"001", forward},
    {"00011", intra},              {"00010", quant | forward | pattern},
    {"00001", quant | pattern},    {"000001", quant | intra}};

constexpr Listed bTypeCodes[] = {
    {"10", forward | backward},
    {"11", forward | backward | pattern},
    {"010", backward},
    {"011", backward | pattern},
    {"0010", forward},
    {"0011", forward | pattern},
    {"00011", intra},
    {"00010", quant | forward | backward | pattern},
    {"000011", quant | forward | pattern},
    {"000010", quant | backward | pattern},
    {"000001", quant | intra}};

constexpr Listed codedBlockPatternCodes[] = {
    {"111", 60},       {"1101", 4},       {"1100", 8},       {"1011", 16},      {"1010", 32},
    {"10011", 12},     {"10010", 48},     {"10001", 20},     {"10000", 40},     {"01111", 28},
    {"01110", 44},     {"01101", 52},     {"01100", 56},     {"01011", 1},      {"01010", 61},
    {"01001", 2},      {"01000", 62},     {"001111", 24},    {"001110", 36},    {"001101", 3},
    {"001100", 63},    {"0010111", 5},    {"0010110", 9},    {"0010101", 17},   {"0010100", 33},
    {"0010011", 6},    {"0010010", 10},   {"0010001", 18},   {"0010000", 34},   {"00011111", 7},
    {"00011110", 11},  {"00011101", 19},  {"00011100", 35},  {"00011011", 13},  {"00011010", 49},
    {"00011001", 21},  {"00011000", 41},  {"00010111", 14},  {"00010110", 50},  {"00010101", 22},
    {"00010100", 42},  {"00010011", 15},  {"00010010", 51},  {"00010001", 23},  {"00010000", 43},
    {"00001111", 25},  {"00001110", 37},  {"00001101", 26},  {"00001100", 38},  {"00001011", 29},
    {"00001010", 45},  {"00001001", 53},  {"00001000", 57},  {"00000111", 30},  {"00000110", 46},
    {"00000101", 54},  {"00000100", 58},  {"000000111", 31}, {"000000110", 47}, {"000000101", 55},
    {"000000100", 59}, {"000000011", 27}, {"000000010", 39}};

// Motion code magnitudes; the bit after each code is its sign (1 negative),
// except for 0.
constexpr Listed motionMagnitudes[] = {
    {"01", 1},          {"001", 2},         {"0001", 3},        {"000011", 4},
    {"0000101", 5},     {"0000100", 6},     {"0000011", 7},     {"000001011", 8},
    {"000001010", 9},   {"000001001", 10},  {"0000010001", 11}, {"0000010000", 12},
    {"0000001111", 13}, {"0000001110", 14}, {"0000001101", 15}, {"0000001100", 16}};

constexpr Listed dcSizeLumaCodes[] = {{"100", 0},    {"00", 1},      {"01", 2},
                                      {"101", 3},    {"110", 4},     {"1110", 5},
                                      {"11110", 6},  {"111110", 7},  {"1111110", 8}};

constexpr Listed dcSizeChromaCodes[] = {{"00", 0},      {"01", 1},       {"10", 2},
                                        {"110", 3},     {"1110", 4},     {"11110", 5},
                                        {"111110", 6},  {"1111110", 7},  {"11111110", 8}};

struct ListedCoefficient {
  const char* bits;  // without the sign bit
  int run;
  int level;
};

// Codes shared by the first and the later coefficients of a block.
constexpr ListedCoefficient coefficientCodes[] = {
    {"011", 1, 1},    {"0100", 0, 2},   {"0101", 2, 1},   {"00101", 0, 3},  {"00111", 3, 1},
    {"00110", 4, 1},  {"000110", 1, 2}, {"000111", 5, 1}, {"000101", 6, 1}, {"000100", 7, 1},
    {"0000110", 0, 4}, {"0000100", 2, 2}, {"0000111", 8, 1}, {"0000101", 9, 1},
    {"000001", runEscape, 0},
    {"00100110", 0, 5}, {"00100001", 0, 6}, {"00100101", 1, 3}, {"00100100", 3, 2},
    {"00100111", 10, 1}, {"00100011", 11, 1}, {"00100010", 12, 1}, {"00100000", 13, 1},
    {"0000001010", 0, 7}, {"0000001100", 1, 4}, {"0000001011", 2, 3}, {"0000001111", 4, 2},
    {"0000001001", 5, 2}, {"0000001110", 14, 1}, {"0000001101", 15, 1}, {"0000001000", 16, 1},
    {"000000011101", 0, 8}, {"000000011000", 0, 9}, {"000000010011", 0, 10},
    {"000000010000", 0, 11}, {"000000011011", 1, 5}, {"000000010100", 2, 4},
    {"000000011100", 3, 3}, {"000000010010", 4, 3}, {"000000011110", 6, 2},
    {"000000010101", 7, 2}, {"000000010001", 8, 2}, {"000000011111", 17, 1},
    {"000000011010", 18, 1}, {"000000011001", 19, 1}, {"000000010111", 20, 1},
    {"000000010110", 21, 1},
    {"0000000011010", 0, 12}, {"0000000011001", 0, 13}, {"0000000011000", 0, 14},
    {"0000000010111", 0, 15}, {"0000000010110", 1, 6}, {"0000000010101", 1, 7},
    {"0000000010100", 2, 5}, {"0000000010011", 3, 4}, {"0000000010010", 5, 3},
    {"0000000010001", 9, 2}, {"0000000010000", 10, 2}, {"0000000011111", 22, 1},
    {"0000000011110", 23, 1}, {"0000000011101", 24, 1}, {"0000000011100", 25, 1},
    {"0000000011011", 26, 1},
    {"00000000011111", 0, 16}, {"00000000011110", 0, 17}, {"00000000011101", 0, 18},
    {"00000000011100", 0, 19}, {"00000000011011", 0, 20}, {"00000000011010", 0, 21},
    {"00000000011001", 0, 22}, {"00000000011000", 0, 23}, {"00000000010111", 0, 24},
    {"00000000010110", 0, 25}, {"00000000010101", 0, 26}, {"00000000010100", 0, 27},
    {"00000000010011", 0, 28}, {"00000000010010", 0, 29}, {"00000000010001", 0, 30},
    {"00000000010000", 0, 31},
    {"000000000011000", 0, 32}, {"000000000010111", 0, 33}, {"000000000010110", 0, 34},
    {"000000000010101", 0, 35}, {"000000000010100", 0, 36}, {"000000000010011", 0, 37},
    {"000000000010010", 0, 38}, {"000000000010001", 0, 39}, {"000000000010000", 0, 40},
    {"000000000011111", 1, 8}, {"000000000011110", 1, 9}, {"000000000011101", 1, 10},
    {"000000000011100", 1, 11}, {"000000000011011", 1, 12}, {"000000000011010", 1, 13},
    {"000000000011001", 1, 14},
    {"0000000000010011", 1, 15}, {"0000000000010010", 1, 16}, {"0000000000010001", 1, 17},
    {"0000000000010000", 1, 18}, {"0000000000010100", 6, 3}, {"0000000000011010", 11, 2},
    {"0000000000011001", 12, 2}, {"0000000000011000", 13, 2}, {"0000000000010111", 14, 2},
    {"0000000000010110", 15, 2}, {"0000000000010101", 16, 2}, {"0000000000011111", 27, 1},
    {"0000000000011110", 28, 1}, {"0000000000011101", 29, 1}, {"0000000000011100", 30, 1},
    {"0000000000011011", 31, 1}};

void addCoefficient(Tables& t, const char* bits, int run, int level, bool first, bool next) {
  // A run/level code is followed by its sign bit, which is counted in: the
  // decoder then skips the whole code with one shift, one step less on the
  // path from one code to the next.
  const int sign = run < runEscape ? 1 : 0;
  const auto make = [&](int length) {
    return Coefficient{static_cast<std::uint8_t>(run), static_cast<std::uint8_t>(level),
                       static_cast<std::uint8_t>(length + sign), 0};
  };
  if (std::strncmp(bits, "000000", 6) == 0) {
    // Long codes: the table holds the bits after the six zeros.
    const int length = static_cast<int>(std::strlen(bits));
    fill(t.longCodes, 10, bits + 6, [&](int) { return make(length); });
    return;
  }
  if (first) fill(t.firstShort, 8, bits, make);
  if (next) fill(t.nextShort, 8, bits, make);
}

Tables makeTables() {
  Tables t{};
  build(t.addressIncrement, 11, addressIncrementCodes);
  build(t.iType, 2, iTypeCodes);
  build(t.pType, 6, pTypeCodes);
  build(t.bType, 6, bTypeCodes);
  build(t.codedBlockPattern, 9, codedBlockPatternCodes);
  build(t.dcSizeLuma, 9, dcSizeLumaCodes);
  build(t.dcSizeChroma, 9, dcSizeChromaCodes);

  for (Code& code : t.motionCode) code = {-1, 0};
  fill(t.motionCode, 11, "1", [](int length) { return Code{0, static_cast<std::uint8_t>(length)}; });
  for (const Listed& code : motionMagnitudes) {
    char bits[16];
    for (const char sign : {'0', '1'}) {
      std::strcpy(bits, code.bits);
      const std::size_t n = std::strlen(bits);
      bits[n] = sign;
      bits[n + 1] = 0;
      const int value = sign == '0' ? code.value : -code.value;
      fill(t.motionCode, 11, bits,
           [&](int length) { return Code{static_cast<std::int8_t>(value), static_cast<std::uint8_t>(length)}; });
    }
  }

  const Coefficient invalid{runInvalid, 0, 0, 0};
  for (auto& e : t.firstShort) e = invalid;
  for (auto& e : t.nextShort) e = invalid;
  for (auto& e : t.longCodes) e = invalid;
  for (const auto& code : coefficientCodes) addCoefficient(t, code.bits, code.run, code.level, true, true);
  // The one code that differs: 1s is run 0, level 1 at the start of a block;
  // later, 10 ends the block and 11s is run 0, level 1.
  addCoefficient(t, "1", 0, 1, true, false);
  addCoefficient(t, "11", 0, 1, false, true);
  addCoefficient(t, "10", runEndOfBlock, 0, false, true);
  return t;
}

}  // namespace

const Tables& tables() {
  static const Tables built = makeTables();
  return built;
}

}  // namespace mpeg1::vlc
