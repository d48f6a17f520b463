#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "mpeg1/idct.h"
#include "mpeg1/kernels.h"
#include "mpeg1/motion.h"

namespace {

using Block = std::array<std::int16_t, 64>;

// ---------------------------------------------------------------------------
// IDCT

// The transform again in 64-bit arithmetic, recording whether any value left
// the width it is stored in (32 bits for arithmetic, 16 between the passes).
struct WideIdct {
  bool overflow = false;

  std::int64_t check32(std::int64_t v) {
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
      overflow = true;
    return v;
  }

  void line(std::int64_t* d, int shift) {
    std::int64_t z1 = check32(check32(d[2] + d[6]) * 4433);
    const std::int64_t t2 = check32(z1 - check32(d[6] * 15137));
    const std::int64_t t3 = check32(z1 + check32(d[2] * 6270));
    const std::int64_t t0 = check32(check32(d[0] + d[4]) * 8192);
    const std::int64_t t1 = check32(check32(d[0] - d[4]) * 8192);
    const std::int64_t e10 = check32(t0 + t3), e13 = check32(t0 - t3);
    const std::int64_t e11 = check32(t1 + t2), e12 = check32(t1 - t2);
    std::int64_t a0 = d[7], a1 = d[5], a2 = d[3], a3 = d[1];
    z1 = check32(a0 + a3);
    std::int64_t z2 = check32(a1 + a2), z3 = check32(a0 + a2), z4 = check32(a1 + a3);
    const std::int64_t z5 = check32(check32(z3 + z4) * 9633);
    a0 = check32(a0 * 2446);
    a1 = check32(a1 * 16819);
    a2 = check32(a2 * 25172);
    a3 = check32(a3 * 12299);
    z1 = check32(z1 * -7373);
    z2 = check32(z2 * -20995);
    z3 = check32(z3 * -16069);
    z4 = check32(z4 * -3196);
    z3 = check32(z3 + z5);
    z4 = check32(z4 + z5);
    a0 = check32(a0 + check32(z1 + z3));
    a1 = check32(a1 + check32(z2 + z4));
    a2 = check32(a2 + check32(z2 + z3));
    a3 = check32(a3 + check32(z1 + z4));
    const std::int64_t o[8] = {e10 + a3, e11 + a2, e12 + a1, e13 + a0,
                               e13 - a0, e12 - a1, e11 - a2, e10 - a3};
    const std::int64_t round = std::int64_t{1} << (shift - 1);
    for (int i = 0; i < 8; ++i) d[i] = check32(check32(o[i]) + round) >> shift;
  }

  Block run(const Block& in) {
    std::int64_t v[64];
    for (int i = 0; i < 64; ++i) v[i] = in[i];
    for (int r = 0; r < 8; ++r) {
      line(v + r * 8, 12);
      for (int c = 0; c < 8; ++c)
        if (v[r * 8 + c] < -32768 || v[r * 8 + c] > 32767) overflow = true;
    }
    for (int c = 0; c < 8; ++c) {
      std::int64_t col[8];
      for (int r = 0; r < 8; ++r) col[r] = v[r * 8 + c];
      line(col, 17);
      for (int r = 0; r < 8; ++r) v[r * 8 + c] = col[r];
    }
    Block out;
    for (int i = 0; i < 64; ++i) {
      if (v[i] < -32768 || v[i] > 32767) overflow = true;
      out[i] = static_cast<std::int16_t>(v[i]);
    }
    return out;
  }
};

Block reference(Block b) {
  mpeg1::idctReference(b.data());
  return b;
}

Block sse2(Block b) {
  mpeg1::idctSse2(b.data());
  return b;
}

std::string show(const Block& b) {
  std::string s;
  for (int i = 0; i < 64; ++i) s += std::to_string(b[i]) + (i % 8 == 7 ? "\n" : " ");
  return s;
}

// Coefficient factor of input (u) in output (x) of one line, from the
// transform's own arithmetic: the sign pattern that drives an output hardest.
int lineSign(int x, int u) {
  static const double pi = std::acos(-1.0);
  const double c = std::cos((2 * x + 1) * u * pi / 16);
  return c >= 0 ? 1 : -1;
}

std::int16_t extreme(int sign) { return sign > 0 ? 2047 : -2048; }

// Blocks at the edges of the input range: every output driven to its largest
// magnitude, each row driven hard towards one column, and random +-2048/2047;
// each also with rows 4 to 7 cleared, which the SSE2 routine handles apart.
std::vector<Block> extremeBlocks(std::mt19937& rng) {
  std::vector<Block> blocks;
  for (int flip = -1; flip <= 1; flip += 2) {
    for (int x = 0; x < 8; ++x)
      for (int y = 0; y < 8; ++y) {
        Block b;
        for (int v = 0; v < 8; ++v)
          for (int u = 0; u < 8; ++u) b[v * 8 + u] = extreme(flip * lineSign(x, u) * lineSign(y, v));
        blocks.push_back(b);
      }
  }
  for (int i = 0; i < 4000; ++i) {
    Block b;
    const int x = static_cast<int>(rng() % 8);
    for (int v = 0; v < 8; ++v) {
      const int rowSign = rng() & 1 ? 1 : -1;
      for (int u = 0; u < 8; ++u) b[v * 8 + u] = extreme(rowSign * lineSign(x, u));
    }
    blocks.push_back(b);
  }
  for (int i = 0; i < 4000; ++i) {
    Block b;
    for (auto& c : b) c = extreme(rng() & 1 ? 1 : -1);
    blocks.push_back(b);
  }
  for (int i = 0; i < 2000; ++i) {
    Block b;
    for (auto& c : b) {
      const unsigned k = rng() % 4;
      c = k == 0 ? 0 : k == 1 ? 2047 : k == 2 ? -2048 : static_cast<std::int16_t>(rng() % 4096) - 2048;
    }
    blocks.push_back(b);
  }
  const std::size_t full = blocks.size();
  for (std::size_t i = 0; i < full; ++i) {
    Block b = blocks[i];
    std::fill(b.begin() + 32, b.end(), std::int16_t{0});
    blocks.push_back(b);
  }
  return blocks;
}

TEST(Idct, DcOnlyBlockOf1024GivesFlat128) {
  Block b{};
  b[0] = 1024;
  const Block expected = [] {
    Block e;
    e.fill(128);
    return e;
  }();
  EXPECT_EQ(reference(b), expected);
  EXPECT_EQ(sse2(b), expected);
  EXPECT_EQ(WideIdct().run(b), expected);
}

TEST(Idct, ZeroBlockStaysZero) {
  const Block zero{};
  EXPECT_EQ(reference(zero), zero);
  EXPECT_EQ(sse2(zero), zero);
}

TEST(Idct, ShortcutsMatchTheFullArithmetic) {
  // A DC-only row gives d0 * 2 and a DC-only column (d0 + 8) >> 4; the wide
  // version always takes the full path.
  for (int dc = -2048; dc <= 2047; ++dc) {
    Block b{};
    b[0] = static_cast<std::int16_t>(dc);
    const Block wide = WideIdct().run(b);
    ASSERT_EQ(reference(b), wide) << dc;
    ASSERT_EQ(sse2(b), wide) << dc;
    EXPECT_EQ(wide[63], (dc * 2 + 8) >> 4);
  }
}

TEST(Idct, ExtremeInputsFitTheirStorage) {
  std::mt19937 rng(11);
  for (const Block& b : extremeBlocks(rng)) {
    WideIdct wide;
    const Block expected = wide.run(b);
    ASSERT_FALSE(wide.overflow) << show(b);
    ASSERT_EQ(reference(b), expected) << show(b);
    ASSERT_EQ(sse2(b), expected) << show(b);
  }
}

TEST(Idct, Sse2MatchesReferenceOnRandomBlocks) {
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> full(-2048, 2047);
  std::uniform_int_distribution<int> small(-40, 40);
  std::uniform_int_distribution<int> position(0, 63);
  std::uniform_int_distribution<int> lowPosition(0, 15);
  for (int i = 0; i < 200000; ++i) {
    Block b{};
    switch (i % 6) {
      case 0:  // dense
        for (auto& c : b) c = static_cast<std::int16_t>(full(rng));
        break;
      case 1:  // a few coefficients anywhere, as in real blocks
        for (int k = rng() % 6; k >= 0; --k) b[position(rng)] = static_cast<std::int16_t>(small(rng));
        break;
      case 2:  // low frequencies only, large DC
        b[0] = static_cast<std::int16_t>(full(rng));
        for (int k = rng() % 5; k > 0; --k) {
          const int p = lowPosition(rng);
          b[(p / 4) * 8 + p % 4] = static_cast<std::int16_t>(small(rng) * 8);
        }
        break;
      case 3:  // DC only
        b[0] = static_cast<std::int16_t>(full(rng));
        break;
      case 4:  // rows 0 to 3 only, dense or sparse
        for (int k = 0; k < 32; ++k)
          if (i % 12 == 4 || rng() % 8 == 0) b[k] = static_cast<std::int16_t>(full(rng));
        break;
      default:  // one line of a row or a column only
        if (rng() & 1)
          for (int k = 0; k < 8; ++k) b[k] = static_cast<std::int16_t>(full(rng));
        else
          for (int k = 0; k < 8; ++k) b[k * 8] = static_cast<std::int16_t>(full(rng));
        break;
    }
    const Block expected = reference(b);
    const Block actual = sse2(b);
    ASSERT_EQ(actual, expected) << "block " << i << "\n" << show(b);
  }
}

// Random blocks of the kinds a decoder meets: dense, sparse, low
// frequencies, DC only, rows 0 to 3 only, and the extremes.
std::vector<Block> mixedBlocks(std::mt19937& rng, int count) {
  std::uniform_int_distribution<int> full(-2048, 2047), small(-40, 40), position(0, 63);
  std::vector<Block> blocks;
  for (int i = 0; i < count; ++i) {
    Block b{};
    switch (i % 5) {
      case 0: for (auto& c : b) c = static_cast<std::int16_t>(full(rng)); break;
      case 1: for (int k = rng() % 6; k >= 0; --k) b[position(rng)] = static_cast<std::int16_t>(small(rng)); break;
      case 2: b[0] = static_cast<std::int16_t>(full(rng)); break;
      case 3: for (int k = 0; k < 32; ++k) if (rng() % 4 == 0) b[k] = static_cast<std::int16_t>(small(rng) * 8); break;
      default: b[0] = static_cast<std::int16_t>(full(rng)); b[1] = static_cast<std::int16_t>(small(rng)); break;
    }
    blocks.push_back(b);
  }
  for (const Block& b : extremeBlocks(rng)) blocks.push_back(b);
  return blocks;
}

std::string levelName(mpeg1::SimdLevel level) { return mpeg1::simdLevelName(level); }

TEST(Idct, EveryLevelMatchesTheReference) {
  std::mt19937 rng(17);
  const std::vector<Block> blocks = mixedBlocks(rng, 50000);
  for (mpeg1::SimdLevel level : mpeg1::availableSimdLevels()) {
    SCOPED_TRACE(levelName(level));
    const mpeg1::Kernels& k = mpeg1::kernelsFor(level);
    for (const Block& b : blocks) {
      Block actual = b;
      k.idct(actual.data());
      ASSERT_EQ(actual, reference(b)) << show(b);
    }
  }
}

// The transform into the picture against the two steps it replaces: the
// plain transform, then the plain store or add. The block must come back
// cleared, and nothing outside the 8x8 destination may change.
TEST(Idct, PutAndAddIntoThePictureMatchTheTwoSteps) {
  std::mt19937 rng(23);
  const std::vector<Block> blocks = mixedBlocks(rng, 20000);
  const mpeg1::MotionKernels& plain = mpeg1::referenceMotionKernels();
  for (mpeg1::SimdLevel level : mpeg1::availableSimdLevels()) {
    SCOPED_TRACE(levelName(level));
    const mpeg1::Kernels& k = mpeg1::kernelsFor(level);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const bool add = i & 1;
      const int pitch = 8 + static_cast<int>(rng() % 40);
      std::vector<std::uint8_t> expected(7 * pitch + 8 + (i % 3 == 0 ? 0 : pitch));
      for (auto& v : expected) v = static_cast<std::uint8_t>(i % 7 == 0 ? (rng() & 1) * 255 : rng());
      std::vector<std::uint8_t> actual = expected;
      Block steps = reference(blocks[i]);
      (add ? plain.addBlock : plain.putBlock)(steps.data(), expected.data(), pitch);
      alignas(16) std::int16_t block[64];
      std::copy(blocks[i].begin(), blocks[i].end(), block);
      (add ? k.idctAdd : k.idctPut)(block, actual.data(), pitch);
      ASSERT_EQ(actual, expected) << (add ? "add" : "put") << " pitch " << pitch << "\n" << show(blocks[i]);
      ASSERT_TRUE(std::all_of(block, block + 64, [](std::int16_t c) { return c == 0; })) << "block not cleared";
    }
  }
}

// Accuracy against a double-precision transform, after the fashion of the
// classic IEEE 1180 procedure: random sample blocks, a forward DCT rounded to
// integers, then both inverses compared with outputs clipped to -256..255.
struct AccuracyResult {
  int peak = 0;
  double worstPixelMse = 0;
  double overallMse = 0;
  double worstPixelMean = 0;
  double overallMean = 0;
};

AccuracyResult measureAccuracy(int low, int high, int sign, int blocks) {
  static const double pi = std::acos(-1.0);
  double basis[8][8];  // basis[x][u] = C(u) / 2 * cos((2x + 1) u pi / 16)
  for (int x = 0; x < 8; ++x)
    for (int u = 0; u < 8; ++u)
      basis[x][u] = (u == 0 ? std::sqrt(0.5) : 1.0) / 2 * std::cos((2 * x + 1) * u * pi / 16);

  std::mt19937 rng(1180);
  std::uniform_int_distribution<int> sample(low, high);
  double sumError[64] = {}, sumSquared[64] = {};
  AccuracyResult result;
  for (int n = 0; n < blocks; ++n) {
    double pixels[64];
    for (double& p : pixels) p = sign * sample(rng);
    Block coefficients;
    for (int v = 0; v < 8; ++v)
      for (int u = 0; u < 8; ++u) {
        double s = 0;
        for (int y = 0; y < 8; ++y)
          for (int x = 0; x < 8; ++x) s += basis[x][u] * basis[y][v] * pixels[y * 8 + x];
        coefficients[v * 8 + u] = static_cast<std::int16_t>(std::clamp(std::lround(s), -2048L, 2047L));
      }
    const Block actual = reference(coefficients);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) {
        double s = 0;
        for (int v = 0; v < 8; ++v)
          for (int u = 0; u < 8; ++u) s += basis[x][u] * basis[y][v] * coefficients[v * 8 + u];
        const long exact = std::clamp(std::lround(s), -256L, 255L);
        const long mine = std::clamp(static_cast<long>(actual[y * 8 + x]), -256L, 255L);
        const long error = mine - exact;
        result.peak = std::max(result.peak, static_cast<int>(std::labs(error)));
        sumError[y * 8 + x] += error;
        sumSquared[y * 8 + x] += error * error;
      }
  }
  double allError = 0, allSquared = 0;
  for (int i = 0; i < 64; ++i) {
    result.worstPixelMse = std::max(result.worstPixelMse, sumSquared[i] / blocks);
    result.worstPixelMean = std::max(result.worstPixelMean, std::fabs(sumError[i]) / blocks);
    allError += sumError[i];
    allSquared += sumSquared[i];
  }
  result.overallMse = allSquared / (64.0 * blocks);
  result.overallMean = std::fabs(allError) / (64.0 * blocks);
  return result;
}

TEST(Idct, ReferenceIsCloseToTheExactTransform) {
  struct Range {
    int low, high;
  };
  for (const Range range : {Range{-256, 255}, Range{-5, 5}, Range{-300, 300}})
    for (int sign : {1, -1}) {
      SCOPED_TRACE("samples " + std::to_string(range.low) + ".." + std::to_string(range.high) +
                   " sign " + std::to_string(sign));
      const AccuracyResult r = measureAccuracy(range.low, range.high, sign, 10000);
      EXPECT_LE(r.peak, 1);
      EXPECT_LE(r.worstPixelMse, 0.06);
      // Only one fraction bit is kept between the passes, which leaves the
      // overall squared error near 0.027, a little above the 0.02 of the
      // strict procedure; every other measure is well inside its bound.
      EXPECT_LE(r.overallMse, 0.03);
      EXPECT_LE(r.worstPixelMean, 0.015);
      EXPECT_LE(r.overallMean, 0.0015);
    }
}

// ---------------------------------------------------------------------------
// Motion compensation

using mpeg1::MotionKernels;
using mpeg1::PredictFn;
using mpeg1::Rounding;

const char* roundingName(Rounding r) { return r == Rounding::Nearest ? "nearest" : "truncate"; }

// Scalar model of one predicted sample, written from the definition.
int predictSample(const std::uint8_t* ref, int pitch, int mode, Rounding r) {
  const int h = r == Rounding::Nearest ? 1 : 0;
  const int q = r == Rounding::Nearest ? 2 : 0;
  const int a = ref[0], b = ref[1], c = ref[pitch], d = ref[pitch + 1];
  switch (mode) {
    case 0: return a;
    case 1: return (a + b + h) >> 1;
    case 2: return (a + c + h) >> 1;
    default: return (a + b + c + d + q) >> 2;
  }
}

TEST(Motion, RoundingByHand) {
  const MotionKernels* sets[] = {&mpeg1::referenceMotionKernels(), &mpeg1::sse2MotionKernels()};
  for (const MotionKernels* k : sets) {
    // Ref rows: 1 2 2 2 ... / 2 2 2 2 ...
    std::vector<std::uint8_t> ref(17 * 17, 2);
    const int pitch = 17;
    ref[0] = 1;
    std::vector<std::uint8_t> dst(16 * pitch, 0);
    k->put[0][1](dst.data(), pitch, ref.data(), pitch, 8);  // (1 + 2 + 1) >> 1
    EXPECT_EQ(dst[0], 2);
    k->put[0][3](dst.data(), pitch, ref.data(), pitch, 8);  // (1 + 2 + 2 + 2 + 2) >> 2
    EXPECT_EQ(dst[0], 2);
    std::fill(ref.begin(), ref.end(), 13);
    std::fill(dst.begin(), dst.end(), 10);
    k->avg[1][0](dst.data(), pitch, ref.data(), pitch, 16);  // (10 + 13 + 1) >> 1
    EXPECT_EQ(dst[0], 12);
    EXPECT_EQ(dst[15 * pitch + 15], 12);
  }
  const MotionKernels* truncating[] = {&mpeg1::referenceMotionKernels(Rounding::Truncate),
                                       &mpeg1::sse2MotionKernels(Rounding::Truncate)};
  for (const MotionKernels* k : truncating) {
    std::vector<std::uint8_t> ref(17 * 17, 2);
    const int pitch = 17;
    ref[0] = 1;
    std::vector<std::uint8_t> dst(16 * pitch, 0);
    k->put[0][1](dst.data(), pitch, ref.data(), pitch, 8);  // (1 + 2) >> 1
    EXPECT_EQ(dst[0], 1);
    k->put[0][3](dst.data(), pitch, ref.data(), pitch, 8);  // (1 + 2 + 2 + 2) >> 2
    EXPECT_EQ(dst[0], 1);
    std::fill(ref.begin(), ref.end(), 13);
    std::fill(dst.begin(), dst.end(), 10);
    k->avg[1][0](dst.data(), pitch, ref.data(), pitch, 16);  // (10 + 13) >> 1
    EXPECT_EQ(dst[0], 11);
  }
}

TEST(Motion, ReferenceFollowsTheDefinition) {
  std::mt19937 rng(5);
  for (Rounding rounding : {Rounding::Nearest, Rounding::Truncate}) {
    const MotionKernels& k = mpeg1::referenceMotionKernels(rounding);
    for (int wide = 0; wide < 2; ++wide)
      for (int mode = 0; mode < 4; ++mode)
        for (int trial = 0; trial < 50; ++trial) {
          const int width = wide ? 16 : 8, height = wide ? 16 : 8, pitch = width + 3;
          std::vector<std::uint8_t> ref((height + 1) * pitch + 1), dst(height * pitch), before;
          for (auto& v : ref) v = static_cast<std::uint8_t>(rng());
          for (auto& v : dst) v = static_cast<std::uint8_t>(rng());
          before = dst;
          k.put[wide][mode](dst.data(), pitch, ref.data(), pitch, height);
          for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
              ASSERT_EQ(dst[y * pitch + x], predictSample(&ref[y * pitch + x], pitch, mode, rounding));
          dst = before;
          k.avg[wide][mode](dst.data(), pitch, ref.data(), pitch, height);
          const int h = rounding == Rounding::Nearest ? 1 : 0;
          for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
              ASSERT_EQ(dst[y * pitch + x],
                        (before[y * pitch + x] + predictSample(&ref[y * pitch + x], pitch, mode, rounding) + h) >> 1);
        }
  }
}

// Fills a picture with one of several value mixes: uniform bytes, only the
// extremes, values next to the extremes, or small steps (smooth content).
void fillPicture(std::vector<std::uint8_t>& p, std::mt19937& rng, int kind) {
  static const std::uint8_t edges[] = {0, 1, 2, 127, 128, 129, 253, 254, 255};
  std::uint8_t level = static_cast<std::uint8_t>(rng());
  for (auto& v : p) {
    switch (kind) {
      case 0: v = static_cast<std::uint8_t>(rng()); break;
      case 1: v = rng() & 1 ? 255 : 0; break;
      case 2: v = edges[rng() % 9]; break;
      default: level = static_cast<std::uint8_t>(level + static_cast<int>(rng() % 5) - 2); v = level; break;
    }
  }
}

// Runs one kernel of each set on identical inputs at a random place of a
// random picture and compares every byte of the destination picture, so a
// write outside the block shows up as well.
void compareKernels(PredictFn expectedFn, PredictFn actualFn, int width, int height, int mode,
                    std::mt19937& rng, int kind, bool tight) {
  // The destination's rows mostly differ from the reference's, as when a
  // picture is predicted into the presenter's memory.
  const int pitch = width + static_cast<int>(rng() % 48);
  const int dstPitch = rng() % 4 ? width + static_cast<int>(rng() % 48) : pitch;
  const int rowsRead = height + (mode >= 2 ? 1 : 0);
  const int colsRead = width + (mode & 1 ? 1 : 0);
  const int x = static_cast<int>(rng() % 5);
  const int y = static_cast<int>(rng() % 5);
  const int refOffset = y * pitch + x;
  const int dstOffset = y * dstPitch + x;
  // With `tight` the last byte used is the last byte of the allocation, so
  // the address sanitizer catches any access beyond it.
  const int refUsed = refOffset + (rowsRead - 1) * pitch + colsRead;
  const int dstUsed = dstOffset + (height - 1) * dstPitch + width;
  std::vector<std::uint8_t> ref(refUsed + (tight ? 0 : static_cast<int>(rng() % (2 * pitch))));
  fillPicture(ref, rng, kind);
  std::vector<std::uint8_t> expected(dstUsed + (tight ? 0 : static_cast<int>(rng() % (2 * dstPitch))));
  fillPicture(expected, rng, kind);
  std::vector<std::uint8_t> actual = expected;
  expectedFn(expected.data() + dstOffset, dstPitch, ref.data() + refOffset, pitch, height);
  actualFn(actual.data() + dstOffset, dstPitch, ref.data() + refOffset, pitch, height);
  ASSERT_EQ(actual, expected) << "pitch " << pitch << " dst pitch " << dstPitch << " at " << x << "," << y << " kind " << kind;
}

TEST(Motion, Sse2MatchesReference) {
  std::mt19937 rng(7);
  for (Rounding rounding : {Rounding::Nearest, Rounding::Truncate}) {
    const MotionKernels& ref = mpeg1::referenceMotionKernels(rounding);
    const MotionKernels& simd = mpeg1::sse2MotionKernels(rounding);
    for (int wide = 0; wide < 2; ++wide)
      for (int mode = 0; mode < 4; ++mode)
        for (int avg = 0; avg < 2; ++avg) {
          SCOPED_TRACE(std::string(roundingName(rounding)) + (avg ? " avg" : " put") + " width " +
                       std::to_string(wide ? 16 : 8) + " mode " + std::to_string(mode));
          const PredictFn expected = avg ? ref.avg[wide][mode] : ref.put[wide][mode];
          const PredictFn actual = avg ? simd.avg[wide][mode] : simd.put[wide][mode];
          const int width = wide ? 16 : 8;
          for (int trial = 0; trial < 4000; ++trial) {
            const int height = wide && (trial & 1) ? 16 : 8;
            compareKernels(expected, actual, width, height, mode, rng, trial % 4, trial % 3 == 0);
            if (HasFatalFailure()) return;
          }
        }
  }
}

// Bidirectional blocks in one pass, every pair of modes, both sets: the
// bytes of a forward put and a backward avg of the plain kernels, and
// nothing written outside the block (the allocations end where it ends).
TEST(Motion, BothDirectionsInOnePassMatchPutThenAvg) {
  std::mt19937 rng(11);
  for (Rounding rounding : {Rounding::Nearest, Rounding::Truncate}) {
    const MotionKernels& plain = mpeg1::referenceMotionKernels(rounding);
    for (const MotionKernels* k : {&plain, &mpeg1::sse2MotionKernels(rounding)})
      for (int wide = 0; wide < 2; ++wide)
        for (int f = 0; f < 4; ++f)
          for (int b = 0; b < 4; ++b)
            for (int trial = 0; trial < 200; ++trial) {
              const int width = wide ? 16 : 8, height = wide && trial % 2 ? 16 : 8;
              const int pitch = width + 1 + static_cast<int>(rng() % 40);
              const int dstPitch = width + static_cast<int>(rng() % 40);
              std::vector<std::uint8_t> forward(height * pitch + width + 1), backward(forward.size());
              std::vector<std::uint8_t> expected((height - 1) * dstPitch + width);
              fillPicture(forward, rng, trial % 4);
              fillPicture(backward, rng, (trial + 1) % 4);
              fillPicture(expected, rng, 0);
              std::vector<std::uint8_t> actual = expected;
              plain.put[wide][f](expected.data(), dstPitch, forward.data(), pitch, height);
              plain.avg[wide][b](expected.data(), dstPitch, backward.data(), pitch, height);
              k->both[wide][f][b](actual.data(), dstPitch, forward.data(), backward.data(), pitch, height);
              ASSERT_EQ(actual, expected) << roundingName(rounding) << (k == &plain ? " plain" : " sse2")
                                          << " width " << width << " modes " << f << "," << b;
            }
  }
}

TEST(Motion, Sse2FourPointAverageIsExactForEveryParity) {
  // Every combination of a, b, c, d from a set that covers each parity
  // pattern next to 0, 128 and 255, for both roundings: a two-row picture
  // holds a, b in its first row and c, d below.
  static const std::uint8_t values[] = {0, 1, 2, 3, 126, 127, 128, 129, 252, 253, 254, 255};
  for (Rounding rounding : {Rounding::Nearest, Rounding::Truncate}) {
    const PredictFn fn = mpeg1::sse2MotionKernels(rounding).put[0][3];
    const int pitch = 9;
    std::vector<std::uint8_t> ref(9 * pitch), dst(8 * pitch);
    for (std::uint8_t a : values)
      for (std::uint8_t b : values)
        for (std::uint8_t c : values)
          for (std::uint8_t d : values) {
            for (int y = 0; y < 9; ++y)
              for (int x = 0; x < 9; ++x)
                ref[y * pitch + x] = y % 2 == 0 ? (x % 2 == 0 ? a : b) : (x % 2 == 0 ? c : d);
            fn(dst.data(), pitch, ref.data(), pitch, 8);
            ASSERT_EQ(dst[0], predictSample(ref.data(), pitch, 3, rounding))
                << roundingName(rounding) << " " << int(a) << " " << int(b) << " " << int(c) << " " << int(d);
          }
  }
}

TEST(Motion, AddAndPutBlockClamp) {
  for (const MotionKernels* k : {&mpeg1::referenceMotionKernels(), &mpeg1::sse2MotionKernels()}) {
    const int pitch = 8;
    std::array<std::int16_t, 64> block{};
    block[0] = -3;
    block[1] = 260;
    block[2] = 255;
    block[3] = 0;
    block[4] = 100;
    block[5] = 32767;
    block[6] = -32768;
    std::array<std::uint8_t, 64> dst{};
    k->putBlock(block.data(), dst.data(), pitch);
    EXPECT_EQ(dst[0], 0);
    EXPECT_EQ(dst[1], 255);
    EXPECT_EQ(dst[2], 255);
    EXPECT_EQ(dst[3], 0);
    EXPECT_EQ(dst[4], 100);
    EXPECT_EQ(dst[5], 255);
    EXPECT_EQ(dst[6], 0);

    dst.fill(11);
    std::array<std::int16_t, 64> residual{};
    residual[0] = -20;    // 11 - 20 clamps to 0
    residual[1] = 250;    // 261 clamps to 255
    residual[2] = -11;    // exactly 0
    residual[3] = 244;    // exactly 255
    residual[4] = 32767;  // far out of range both ways
    residual[5] = -32768;
    residual[63] = 1;
    k->addBlock(residual.data(), dst.data(), pitch);
    EXPECT_EQ(dst[0], 0);
    EXPECT_EQ(dst[1], 255);
    EXPECT_EQ(dst[2], 0);
    EXPECT_EQ(dst[3], 255);
    EXPECT_EQ(dst[4], 255);
    EXPECT_EQ(dst[5], 0);
    EXPECT_EQ(dst[6], 11);
    EXPECT_EQ(dst[63], 12);
  }
}

TEST(Motion, Sse2AddAndPutBlockMatchReference) {
  const MotionKernels& ref = mpeg1::referenceMotionKernels();
  const MotionKernels& simd = mpeg1::sse2MotionKernels();
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> wide(-600, 600), any(-32768, 32767);
  for (int trial = 0; trial < 20000; ++trial) {
    std::array<std::int16_t, 64> block;
    for (auto& v : block) v = static_cast<std::int16_t>(trial % 5 == 0 ? any(rng) : wide(rng));
    const int pitch = 8 + static_cast<int>(rng() % 40);
    std::vector<std::uint8_t> expected(7 * pitch + 8);  // ends where the block ends
    fillPicture(expected, rng, trial % 4);
    std::vector<std::uint8_t> actual = expected;
    if (trial & 1) {
      ref.addBlock(block.data(), expected.data(), pitch);
      simd.addBlock(block.data(), actual.data(), pitch);
    } else {
      ref.putBlock(block.data(), expected.data(), pitch);
      simd.putBlock(block.data(), actual.data(), pitch);
    }
    ASSERT_EQ(actual, expected) << "trial " << trial << " pitch " << pitch;
  }
}

TEST(Motion, AddConstantMatchesTheReferenceAndClamps) {
  const MotionKernels& ref = mpeg1::referenceMotionKernels();
  const MotionKernels& simd = mpeg1::sse2MotionKernels();
  std::mt19937 rng(5);
  for (int value = -300; value <= 300; ++value) {
    const int pitch = 8 + static_cast<int>(rng() % 24);
    std::vector<std::uint8_t> expected(7 * pitch + 8);
    fillPicture(expected, rng, value & 3);
    std::vector<std::uint8_t> actual = expected;
    const std::vector<std::uint8_t> before = expected;
    ref.addConstant(value, expected.data(), pitch);
    simd.addConstant(value, actual.data(), pitch);
    ASSERT_EQ(actual, expected) << "value " << value;
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x)
        ASSERT_EQ(expected[y * pitch + x], std::clamp(before[y * pitch + x] + value, 0, 255));
  }
}

TEST(Motion, BothRoundingsShareAddAndPutBlock) {
  for (bool simd : {false, true}) {
    const MotionKernels& n = mpeg1::selectMotionKernels(simd, Rounding::Nearest);
    const MotionKernels& t = mpeg1::selectMotionKernels(simd, Rounding::Truncate);
    EXPECT_EQ(n.addBlock, t.addBlock);
    EXPECT_EQ(n.putBlock, t.putBlock);
  }
}

// ---------------------------------------------------------------------------
// Selection

#if defined(__SSE2__)
constexpr bool kHaveSse2 = true;
#else
constexpr bool kHaveSse2 = false;
#endif

TEST(Selection, ExplicitChoice) {
  EXPECT_EQ(mpeg1::selectIdctFunction(false), &mpeg1::idctReference);
  EXPECT_EQ(mpeg1::selectIdctFunction(true), kHaveSse2 ? &mpeg1::idctSse2 : &mpeg1::idctReference);
  EXPECT_EQ(&mpeg1::selectMotionKernels(false), &mpeg1::referenceMotionKernels());
  EXPECT_EQ(&mpeg1::selectMotionKernels(true),
            kHaveSse2 ? &mpeg1::sse2MotionKernels() : &mpeg1::referenceMotionKernels());
  EXPECT_EQ(&mpeg1::selectMotionKernels(false, Rounding::Truncate),
            &mpeg1::referenceMotionKernels(Rounding::Truncate));
  EXPECT_NE(&mpeg1::referenceMotionKernels(Rounding::Truncate), &mpeg1::referenceMotionKernels());
}

TEST(Selection, LevelsFollowTheProcessor) {
  const std::vector<mpeg1::SimdLevel> levels = mpeg1::availableSimdLevels();
  ASSERT_FALSE(levels.empty());
  EXPECT_EQ(levels.front(), mpeg1::SimdLevel::None);
  EXPECT_EQ(levels.back(), mpeg1::processorSimdLevel());
#if defined(__SSE2__)
  EXPECT_GE(mpeg1::processorSimdLevel(), mpeg1::SimdLevel::Sse2);
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  if (!__builtin_cpu_supports("avx2")) {
    EXPECT_LT(mpeg1::processorSimdLevel(), mpeg1::SimdLevel::Avx2);
  }
#endif
  for (mpeg1::SimdLevel level : levels) EXPECT_EQ(mpeg1::kernelsFor(level).level, level);
  // Asking for more than the processor has gives what it has, never more.
  EXPECT_EQ(mpeg1::kernelsFor(mpeg1::SimdLevel::Avx2).level, mpeg1::processorSimdLevel());
  EXPECT_EQ(mpeg1::kernelsFor(mpeg1::SimdLevel::None).idct, &mpeg1::idctReference);
  EXPECT_EQ(mpeg1::kernelsFor(mpeg1::SimdLevel::None).motion, &mpeg1::referenceMotionKernels());
}

TEST(Selection, DecodersGetTheProcessorsBestAndLevelsGoByName) {
  EXPECT_EQ(mpeg1::defaultKernels().level, mpeg1::processorSimdLevel());
  mpeg1::SimdLevel level = mpeg1::SimdLevel::Avx2;
  EXPECT_TRUE(mpeg1::simdLevelFromName("plain", &level));
  EXPECT_EQ(level, mpeg1::SimdLevel::None);
  EXPECT_TRUE(mpeg1::simdLevelFromName("SSE2", &level));
  EXPECT_EQ(level, mpeg1::SimdLevel::Sse2);
  EXPECT_TRUE(mpeg1::simdLevelFromName("avx2", &level));
  EXPECT_EQ(level, mpeg1::SimdLevel::Avx2);
  for (const char* wrong : {"", "sse", "avx2x", "none"}) EXPECT_FALSE(mpeg1::simdLevelFromName(wrong, &level)) << wrong;
}

}  // namespace
