// Micro-benchmark of the decoder kernels: nanoseconds per call of the
// reference and SSE2 routines on the same data.
//
//   kernels_bench [ROUNDS]
//
// Figures are the best of ROUNDS (default 5) timed runs, on warm caches; only
// a guide to the kernels' own cost. The compiler vectorises some of the plain
// routines by itself, so a speed-up near 1 can mean a fast reference.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "mpeg1/idct.h"
#include "mpeg1/motion.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
double nsPerCall(int calls, F&& body) {
  const auto start = Clock::now();
  body();
  const auto stop = Clock::now();
  return std::chrono::duration<double, std::nano>(stop - start).count() / calls;
}

enum class BlockKind { Dense, Sparse, DcOnly };

// A pool of blocks: dense random coefficients, a handful of low-frequency
// coefficients (typical of coded blocks), or a DC term alone.
std::vector<std::int16_t> makeBlocks(BlockKind kind, int count, std::mt19937& rng) {
  std::vector<std::int16_t> blocks(static_cast<std::size_t>(count) * 64, 0);
  std::uniform_int_distribution<int> dense(-256, 255), small(-30, 30), dc(-1000, 1000);
  static const int lowZigzag[] = {1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4};
  for (int b = 0; b < count; ++b) {
    std::int16_t* p = &blocks[static_cast<std::size_t>(b) * 64];
    switch (kind) {
      case BlockKind::Dense:
        for (int i = 0; i < 64; ++i) p[i] = static_cast<std::int16_t>(dense(rng));
        break;
      case BlockKind::Sparse:
        p[0] = static_cast<std::int16_t>(dc(rng));
        for (int k = 0; k < 4; ++k) p[lowZigzag[rng() % 14]] = static_cast<std::int16_t>(small(rng));
        break;
      case BlockKind::DcOnly:
        p[0] = static_cast<std::int16_t>(dc(rng));
        break;
    }
  }
  return blocks;
}

// Each call transforms a fresh copy, as the decoder transforms freshly
// decoded coefficients; the cost of the copy alone is subtracted.
double idctNs(mpeg1::IdctFn fn, const std::vector<std::int16_t>& pool) {
  const int count = static_cast<int>(pool.size() / 64);
  const int passes = 200;
  alignas(16) std::int16_t work[64];
  volatile std::int16_t sink = 0;
  const double withCopy = nsPerCall(count * passes, [&] {
    for (int pass = 0; pass < passes; ++pass)
      for (int b = 0; b < count; ++b) {
        std::memcpy(work, &pool[static_cast<std::size_t>(b) * 64], sizeof work);
        fn(work);
        sink = static_cast<std::int16_t>(sink + work[b & 63]);
      }
  });
  const double copyOnly = nsPerCall(count * passes, [&] {
    for (int pass = 0; pass < passes; ++pass)
      for (int b = 0; b < count; ++b) {
        std::memcpy(work, &pool[static_cast<std::size_t>(b) * 64], sizeof work);
        sink = static_cast<std::int16_t>(sink + work[b & 63]);
      }
  });
  return std::max(0.0, withCopy - copyOnly);
}

struct Picture {
  static constexpr int width = 720, height = 576;
  std::vector<std::uint8_t> ref, dst;
  std::vector<int> offsets;  // block origins, 16x16 with one spare row and column
};

Picture makePicture(std::mt19937& rng) {
  Picture p;
  p.ref.resize(Picture::width * Picture::height);
  p.dst.resize(Picture::width * Picture::height);
  // Smooth content, so the numbers are not those of noise.
  for (int y = 0; y < Picture::height; ++y)
    for (int x = 0; x < Picture::width; ++x)
      p.ref[y * Picture::width + x] = static_cast<std::uint8_t>((x * 3 + y * 5 + (rng() % 8)) & 255);
  // Origins within a 128x64 window, so both pictures' lines stay in the first
  // level cache and the figures are those of the kernels, not of memory.
  for (int i = 0; i < 1024; ++i) {
    const int x = static_cast<int>(rng() % (128 - 17));
    const int y = static_cast<int>(rng() % (64 - 17));
    p.offsets.push_back(y * Picture::width + x);
  }
  return p;
}

double predictNs(mpeg1::PredictFn fn, Picture& p, int size) {
  const int passes = 100;
  const int count = static_cast<int>(p.offsets.size());
  return nsPerCall(count * passes, [&] {
    for (int pass = 0; pass < passes; ++pass)
      for (int off : p.offsets) fn(p.dst.data() + off, Picture::width, p.ref.data() + off, Picture::width, size);
  });
}

double addBlockNs(void (*fn)(const std::int16_t*, std::uint8_t*, int), Picture& p,
                  const std::vector<std::int16_t>& residuals) {
  const int passes = 100;
  const int count = static_cast<int>(p.offsets.size());
  const int blocks = static_cast<int>(residuals.size() / 64);
  return nsPerCall(count * passes, [&] {
    for (int pass = 0; pass < passes; ++pass)
      for (int i = 0; i < count; ++i)
        fn(&residuals[static_cast<std::size_t>(i % blocks) * 64], p.dst.data() + p.offsets[i],
           Picture::width);
  });
}

// Times both routines in alternation and keeps the best run of each, so that
// a busy moment of the machine does not land on one side only.
template <typename Ref, typename Simd>
void compare(const char* what, int rounds, Ref&& reference, Simd&& simd) {
  double bestRef = 1e30, bestSimd = 1e30;
  for (int r = 0; r < rounds; ++r) {
    bestRef = std::min(bestRef, reference());
    bestSimd = std::min(bestSimd, simd());
  }
  std::printf("%-28s %9.2f %9.2f %8.2fx\n", what, bestRef, bestSimd, bestSimd > 0 ? bestRef / bestSimd : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::mt19937 rng(2024);
#if !defined(__SSE2__)
  std::printf("built without SSE2: the SSE2 column runs the reference\n");
#endif
  std::printf("%-28s %9s %9s %9s\n", "ns per call", "reference", "sse2", "speed-up");

  const mpeg1::IdctFn refIdct = mpeg1::selectIdctFunction(false);
  const mpeg1::IdctFn simdIdct = mpeg1::selectIdctFunction(true);
  const struct {
    const char* name;
    BlockKind kind;
  } kinds[] = {{"idct dense", BlockKind::Dense},
               {"idct sparse (5 coefficients)", BlockKind::Sparse},
               {"idct DC only", BlockKind::DcOnly}};
  for (const auto& k : kinds) {
    const auto pool = makeBlocks(k.kind, 512, rng);
    compare(k.name, rounds, [&] { return idctNs(refIdct, pool); }, [&] { return idctNs(simdIdct, pool); });
  }

  Picture picture = makePicture(rng);
  const mpeg1::MotionKernels& ref = mpeg1::selectMotionKernels(false);
  const mpeg1::MotionKernels& simd = mpeg1::selectMotionKernels(true);
  static const char* modes[] = {"full", "half x", "half y", "half xy"};
  char name[64];
  for (int wide = 1; wide >= 0; --wide) {
    const int size = wide ? 16 : 8;
    for (int avg = 0; avg < 2; ++avg)
      for (int mode = 0; mode < 4; ++mode) {
        std::snprintf(name, sizeof name, "%s %dx%d %s", avg ? "avg" : "put", size, size, modes[mode]);
        const mpeg1::PredictFn r = avg ? ref.avg[wide][mode] : ref.put[wide][mode];
        const mpeg1::PredictFn s = avg ? simd.avg[wide][mode] : simd.put[wide][mode];
        compare(name, rounds, [&] { return predictNs(r, picture, size); },
                [&] { return predictNs(s, picture, size); });
      }
  }

  const auto residuals = makeBlocks(BlockKind::Dense, 64, rng);
  compare("addBlock 8x8", rounds, [&] { return addBlockNs(ref.addBlock, picture, residuals); },
          [&] { return addBlockNs(simd.addBlock, picture, residuals); });
  compare("putBlock 8x8", rounds, [&] { return addBlockNs(ref.putBlock, picture, residuals); },
          [&] { return addBlockNs(simd.putBlock, picture, residuals); });
  return 0;
}
