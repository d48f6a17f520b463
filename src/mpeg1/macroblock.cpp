// Macroblock layer: addresses, types, vectors, coefficient codes, inverse
// quantisation, and reconstruction into the current picture.
#include <algorithm>
#include <cstring>

#include "mpeg1/macroblock.h"

// The two builds of the macroblock layer: the Bmi2 entry points are compiled
// for BMI2, and the bodies, forced inline, are compiled into each.
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define ZARVEL_TARGET_BMI2 __attribute__((target("bmi2")))
#define ZARVEL_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define ZARVEL_TARGET_BMI2
#define ZARVEL_ALWAYS_INLINE inline
#endif

namespace mpeg1 {

// The reader's position held in registers for a run of short codes: a
// 64-bit cache with at least 32 bits valid, refilled a word at a time, and
// written back once. Through the reader itself every code would wait for its
// position to come back from memory. The codes must lie in the words the
// caller has ensured.
class CMacroblockLayer::LocalBits {
 public:
  explicit LocalBits(CMpeg1BitReader& reader)
      : reader(reader),
        next_(reader.current + 2),
        cache_((std::uint64_t{reader.current[0]} << 32 | reader.current[1]) << reader.bitPos),
        valid_(64 - reader.bitPos) {}
  std::uint32_t peek(int n) const { return static_cast<std::uint32_t>(cache_ >> (64 - n)); }  // 1 <= n <= 32
  void skip(int n) {
    cache_ <<= n;
    valid_ -= n;
    if (valid_ < 32) {
      cache_ |= std::uint64_t{*next_++} << (32 - valid_);
      valid_ += 32;
    }
  }
  std::uint32_t get(int n) {
    const std::uint32_t value = peek(n);
    skip(n);
    return value;
  }
  // Moves the reader to the first bit not consumed.
  void commit() {
    const int end = static_cast<int>(next_ - reader.current) * 32 - valid_;
    reader.current += end >> 5;
    reader.wordsLeft -= end >> 5;
    reader.bitPos = end & 31;
  }

 private:
  CMpeg1BitReader& reader;
  const std::uint32_t* next_;
  std::uint64_t cache_;
  int valid_;
};

namespace {

using namespace vlc;

inline int saturate(int v) { return v < -2048 ? -2048 : v > 2047 ? 2047 : v; }

// Where a prediction may start so that the block, and the extra column and
// row a half-pel step reads, stay inside the reference plane. Conforming
// streams never need this; hostile ones must not read outside the picture.
inline void clampSource(int& x, int& y, int& halfX, int& halfY, int size, int planeWidth, int planeHeight) {
  if (halfX && planeWidth - size - 1 < 0) halfX = 0;
  if (halfY && planeHeight - size - 1 < 0) halfY = 0;
  x = std::clamp(x, 0, planeWidth - size - halfX);
  y = std::clamp(y, 0, planeHeight - size - halfY);
}

}  // namespace

CMacroblockLayer::CMacroblockLayer(const Kernels* kernels)
    : tables_(&vlc::tables()), kernels_(kernels), mc_(kernels->motion), bmi2_(kernels->bmi2) {
  std::memset(coefficients_, 0, sizeof coefficients_);
}

void CMacroblockLayer::startSlice(int verticalPosition, int quantizerScale) {
  quantizerScale_ = quantizerScale;
  macroblockAddress_ = (verticalPosition - 1) * static_cast<int>(mbWidth) - 1;
  pastIntraAddress_ = -2;
  vectorPredictors_[0] = vectorPredictors_[1] = vectorPredictors_[2] = vectorPredictors_[3] = 0;
}

inline int CMacroblockLayer::reconstructVector(int f, bool fullPel, int code, int residual, int& predictor) {
  const int complement = (f == 1 || code == 0) ? 0 : f - 1 - residual;
  int little = code * f, big = 0;
  if (little > 0) {
    little -= complement;
    big = little - 32 * f;
  } else if (little < 0) {
    little += complement;
    big = little + 32 * f;
  }
  int v = predictor + little;
  if (v > 16 * f - 1 || v < -16 * f) v = predictor + big;
  predictor = v;
  return fullPel ? v * 2 : v;
}

// One macroblock, in the order of the bit stream: address increment (with
// the skipped macroblocks it implies), type and quantiser, motion vectors,
// coded block pattern, then the blocks. -1 when the data is corrupt, which
// ends the slice. The parts are declared inline: as calls they cost a few
// percent of the whole decoder.
template <bool Bmi2>
ZARVEL_ALWAYS_INLINE int CMacroblockLayer::readMacroblock() {
  reader.ensure(CMpeg1BitReader::blockWords);
  if (!parseAddressIncrement()) return -1;
  reader.ensure(CMpeg1BitReader::blockWords);
  if (macroblockAddress_ - previousAddress_ > 1) {
    if (pictureType == PictureType::P)
      copySkippedMacroblocks();
    else if (pictureType == PictureType::B)
      predictSkippedMacroblocks();
  }
  previousAddress_ = macroblockAddress_;
  locateMacroblock();

  int flags = 0;
  Vectors vectors;
  LocalBits bits(reader);
  const bool parsed =
      parseMacroblockType(bits, flags) && parseMotionVectors(bits, flags, vectors) && parseCodedBlockPattern(bits, flags);
  // Also after a bad code: the search for the next start code begins where
  // the reading stopped.
  bits.commit();
  if (!parsed || !reconstructBlocks<Bmi2>(flags, vectors)) return -1;
  if (pictureType == PictureType::D) reader.skipBits(1);  // end of macroblock
  return 1;
}

int CMacroblockLayer::decodeMacroblock() { return bmi2_ ? decodeMacroblockBmi2() : decodeMacroblockBaseline(); }
int CMacroblockLayer::decodeMacroblockBaseline() { return readMacroblock<false>(); }
ZARVEL_TARGET_BMI2 int CMacroblockLayer::decodeMacroblockBmi2() { return readMacroblock<true>(); }

// Adds the increment (escapes and stuffing included) to the address. False
// for an unknown code or an address outside the picture.
inline bool CMacroblockLayer::parseAddressIncrement() {
  CMpeg1BitReader& r = reader;
  int increment = 0;
  for (;;) {
    const Code code = tables_->addressIncrement[r.peekBits(11)];
    if (code.length == 0) return false;
    r.skipBits(code.length);
    r.ensure(2);
    if (code.value == addressEscape) {
      increment += 33;
    } else if (code.value != addressStuffing) {
      increment += code.value;
      break;
    }
  }
  macroblockAddress_ += increment;
  const int last = static_cast<int>(mbWidth * mbHeight) - 1;
  return macroblockAddress_ >= 0 && macroblockAddress_ <= last;
}

// macroblock_type and, when it says so, the new quantiser scale.
inline bool CMacroblockLayer::parseMacroblockType(LocalBits& bits, int& flags) {
  const Tables& t = *tables_;
  Code type;
  if (pictureType == PictureType::P)
    type = t.pType[bits.peek(6)];
  else if (pictureType == PictureType::B)
    type = t.bType[bits.peek(6)];
  else
    type = t.iType[bits.peek(2)];
  if (type.length == 0) return false;
  bits.skip(type.length);
  flags = type.value;
  macroblockIntra_ = flags & intra;
  if (flags & quant) quantizerScale_ = static_cast<int>(bits.get(5));
  return true;
}

// Motion code and residual of both components: right, then down.
inline bool CMacroblockLayer::readMotionCodes(LocalBits& bits, int f, int rSize, int (&codes)[4]) {
  const Tables& t = *tables_;
  for (int c = 0; c < 2; ++c) {
    const Code code = t.motionCode[bits.peek(11)];
    if (code.length == 0) return false;
    bits.skip(code.length);
    codes[2 * c] = code.value;
    codes[2 * c + 1] = (f != 1 && code.value != 0) ? static_cast<int>(bits.get(rSize)) : 0;
  }
  return true;
}

// Reads the forward and backward motion codes and turns them into vectors,
// updating the predictors: a P macroblock without a forward vector resets
// them, and so does an intra macroblock of a B picture.
inline bool CMacroblockLayer::parseMotionVectors(LocalBits& bits, int flags, Vectors& vectors) {
  const bool motionForward = flags & forward, motionBackward = flags & backward;
  int forwardCodes[4] = {0, 0, 0, 0}, backwardCodes[4] = {0, 0, 0, 0};
  if (motionForward && !readMotionCodes(bits, forwardF, forwardRSize, forwardCodes)) return false;
  if (motionBackward && !readMotionCodes(bits, backwardF, backwardRSize, backwardCodes)) return false;

  if (pictureType == PictureType::P) {
    if (motionForward) {
      vectors.forwardRight =
          reconstructVector(forwardF, fullPelForward, forwardCodes[0], forwardCodes[1], vectorPredictors_[0]);
      vectors.forwardDown =
          reconstructVector(forwardF, fullPelForward, forwardCodes[2], forwardCodes[3], vectorPredictors_[1]);
    } else {
      vectorPredictors_[0] = vectorPredictors_[1] = 0;
    }
  } else if (pictureType == PictureType::B) {
    if (macroblockIntra_) {
      vectorPredictors_[0] = vectorPredictors_[1] = vectorPredictors_[2] = vectorPredictors_[3] = 0;
    } else {
      if (motionForward) {
        vectors.forwardRight =
            reconstructVector(forwardF, fullPelForward, forwardCodes[0], forwardCodes[1], vectorPredictors_[0]);
        vectors.forwardDown =
            reconstructVector(forwardF, fullPelForward, forwardCodes[2], forwardCodes[3], vectorPredictors_[1]);
      }
      if (motionBackward) {
        vectors.backwardRight =
            reconstructVector(backwardF, fullPelBackward, backwardCodes[0], backwardCodes[1], vectorPredictors_[2]);
        vectors.backwardDown =
            reconstructVector(backwardF, fullPelBackward, backwardCodes[2], backwardCodes[3], vectorPredictors_[3]);
      }
      lastForward_ = motionForward;
      lastBackward_ = motionBackward;
    }
  }
  return true;
}

inline bool CMacroblockLayer::parseCodedBlockPattern(LocalBits& bits, int flags) {
  codedBlockPattern_ = 0;
  if (!(flags & pattern)) return true;
  const Code code = tables_->codedBlockPattern[bits.peek(9)];
  if (code.length == 0) return false;
  bits.skip(code.length);
  codedBlockPattern_ = code.value;
  return true;
}

// Intra macroblocks: all six blocks stored. Others: the prediction, then the
// coded blocks' residuals added.
template <bool Bmi2>
inline bool CMacroblockLayer::reconstructBlocks(int flags, const Vectors& vectors) {
  if (macroblockIntra_) {
    for (int i = 0; i < 6; ++i) {
      const BlockResult result = Bmi2 ? decodeBlockBmi2(i) : decodeBlockBaseline(i);
      if (result == blockCorrupt) return false;
      if (result == blockDcOnly)
        putConstant(dcOnlyValue_, blockDestination_[i], blockPitch(i));
      else
        kernels_->idctPut(coefficients_, blockDestination_[i], blockPitch(i));
    }
    pastIntraAddress_ = macroblockAddress_;
    return true;
  }
  // P macroblocks without a forward vector are predicted with (0, 0).
  const bool useForward = (flags & forward) || pictureType == PictureType::P;
  const bool useBackward = (flags & backward) && pictureType == PictureType::B;
  predictMacroblock(useForward, useBackward, vectors);
  for (int i = 0; i < 6; ++i) {
    if (!(codedBlockPattern_ & (32 >> i))) continue;
    const BlockResult result = Bmi2 ? decodeBlockBmi2(i) : decodeBlockBaseline(i);
    if (result == blockCorrupt) return false;
    if (result == blockDcOnly)
      mc_->addConstant(dcOnlyValue_, blockDestination_[i], blockPitch(i));
    else if (result == blockFull)
      kernels_->idctAdd(coefficients_, blockDestination_[i], blockPitch(i));
  }
  return true;
}

void CMacroblockLayer::updateWeights() {
  // Weight times scale for every position, once per change of the scale.
  if (weightsScale_ == quantizerScale_ && !matricesChanged_) return;
  // In scan order, so the weight load does not wait for the zig-zag lookup.
  for (int i = 0; i < 64; ++i) {
    const int k = vlc::zigzag[i];
    intraWeights_[i] = static_cast<std::uint16_t>(intraQuantMatrix[k] * quantizerScale_);
    nonIntraWeights_[i] = static_cast<std::uint16_t>(nonIntraQuantMatrix[k] * quantizerScale_);
  }
  weightsScale_ = quantizerScale_;
  matricesChanged_ = false;
}

// Reads run/level codes up to the end of the block into `coefficients_`,
// dequantised: v = (2 |L| W S) / 16 for intra and ((2 |L| + 1) W S) / 16
// otherwise, truncated, made odd by a step toward zero, saturated to
// -2048..2047, with the sign of L. False for a corrupt block.
template <bool Intra>
ZARVEL_ALWAYS_INLINE int CMacroblockLayer::readCoefficients(int position) {
  CMpeg1BitReader& r = reader;
  const Tables& t = *tables_;
  const std::uint16_t* weights = Intra ? intraWeights_ : nonIntraWeights_;
  const Coefficient* shortTable = Intra ? t.nextShort : t.firstShort;
  // The next bits are kept left-aligned in a 64-bit cache with at least 32
  // valid, refilled a word at a time, so the only load on the path from one
  // code to the next is the table's. The block lies within the buffer (it was
  // checked), and the reader's position is written back once at the end.
  const std::uint32_t* next = r.current + 2;
  std::uint64_t cache = (std::uint64_t{r.current[0]} << 32 | r.current[1]) << r.bitPos;
  int valid = 64 - r.bitPos;
  int consumed = 0;
  auto peek = [&] { return static_cast<std::uint32_t>(cache >> 32); };
  auto skip = [&](int n) {
    cache <<= n;
    valid -= n;
    consumed += n;
    if (valid < 32) {
      cache |= std::uint64_t{*next++} << (32 - valid);
      valid += 32;
    }
  };
  auto done = [&](int result) {
    const int end = r.bitPos + consumed;
    r.current += end >> 5;
    r.wordsLeft -= end >> 5;
    r.bitPos = end & 31;
    return result;
  };
  for (;;) {
    // Indexed from the cache itself: a shift less between one code's length
    // and the next code's table entry.
    const Coefficient code =
        cache >= std::uint64_t{0x04} << 56 ? shortTable[cache >> 56] : t.longCodes[(cache >> 48) & 0x3FF];
    shortTable = t.nextShort;
    const int run = code.run(), length = code.length();
    int magnitude, negative;
    if (run < runEscape) {
      position += run + 1;
      negative = static_cast<int>((cache << (length - 1)) >> 63);
      magnitude = code.level();
      skip(length);
    } else if (run == runEscape) {
      // 6 bits of escape, 6 of run, then 8 or 16 of level: 28 bits at most.
      skip(6);
      const std::uint32_t bits = peek();
      position += static_cast<int>(bits >> 26) + 1;
      const int first = static_cast<int>((bits >> 18) & 0xFF);
      int level;
      if (first == 0) {
        level = static_cast<int>((bits >> 10) & 0xFF);
        skip(22);
      } else if (first == 128) {
        level = static_cast<int>((bits >> 10) & 0xFF) - 256;
        skip(22);
      } else {
        level = static_cast<std::int8_t>(first);
        skip(14);
      }
      if (level == 0) return done(-2);  // forbidden
      negative = level < 0;
      magnitude = negative ? -level : level;
    } else if (run == runEndOfBlock) {
      skip(2);
      return done(position);
    } else {
      return done(-2);  // no such code: the slice is corrupt
    }
    if (position > 63) return done(-2);  // more than a block holds
    const int k = vlc::zigzag[position];
    const int weight = weights[position];
    int value = Intra ? (magnitude * weight) >> 3 : ((2 * magnitude + 1) * weight) >> 4;
    // Odd by a step toward zero and saturated, without branches: whether a
    // value is 0 or even is as good as random, and a mispredicted branch here
    // cost more than the rest of the loop. (0 - 1) | 1 is -1, clamped to 0.
    value = std::clamp((value - 1) | 1, 0, 2047 + negative);
    coefficients_[k] = static_cast<std::int16_t>((value ^ -negative) + negative);
  }
}

int CMacroblockLayer::readIntraCoefficientsBaseline(int position) { return readCoefficients<true>(position); }
int CMacroblockLayer::readInterCoefficientsBaseline(int position) { return readCoefficients<false>(position); }
ZARVEL_TARGET_BMI2 int CMacroblockLayer::readIntraCoefficientsBmi2(int position) {
  return readCoefficients<true>(position);
}
ZARVEL_TARGET_BMI2 int CMacroblockLayer::readInterCoefficientsBmi2(int position) {
  return readCoefficients<false>(position);
}

template <bool Bmi2>
ZARVEL_ALWAYS_INLINE CMacroblockLayer::BlockResult CMacroblockLayer::readBlock(int index) {
  CMpeg1BitReader& r = reader;
  const Tables& t = *tables_;
  r.ensure(CMpeg1BitReader::blockWords);
  // `coefficients_` is all zero here: the transforms clear it as they read it,
  // and every other way out of this function clears what it wrote.
  updateWeights();

  int last;
  if (macroblockIntra_) {
    const std::uint32_t bits = r.peek32();
    const Code size = index < 4 ? t.dcSizeLuma[bits >> 23] : t.dcSizeChroma[bits >> 23];
    if (size.length == 0) return blockCorrupt;
    int differential = 0;
    if (size.value > 0) {
      differential = static_cast<int>((bits << size.length) >> (32 - size.value));
      if (!(differential >> (size.value - 1))) differential += 1 - (1 << size.value);
    }
    r.skipBits(size.length + size.value);
    const int which = index < 4 ? 0 : index - 3;
    if ((index == 0 || index > 3) && macroblockAddress_ - pastIntraAddress_ > 1)
      dcPredictors_[which] = 1024 + 8 * differential;
    else
      dcPredictors_[which] += 8 * differential;
    coefficients_[0] = static_cast<std::int16_t>(saturate(dcPredictors_[which]));
    // D pictures carry DC coefficients_ only, with no end of block.
    last = pictureType == PictureType::D ? 0
           : Bmi2                              ? readIntraCoefficientsBmi2(0)
                                               : readIntraCoefficientsBaseline(0);
  } else {
    last = Bmi2 ? readInterCoefficientsBmi2(-1) : readInterCoefficientsBaseline(-1);
  }
  if (last < -1) {
    std::memset(coefficients_, 0, sizeof coefficients_);
    return blockCorrupt;
  }
  if (last < 0) return blockEmpty;
  if (last == 0) {
    // Only DC: the transform gives one value everywhere, exactly this one.
    dcOnlyValue_ = (coefficients_[0] * 2 + 8) >> 4;
    coefficients_[0] = 0;
    return blockDcOnly;
  }
  // The caller transforms the block into the picture, which clears it.
  return blockFull;
}

CMacroblockLayer::BlockResult CMacroblockLayer::decodeBlockBaseline(int index) { return readBlock<false>(index); }
ZARVEL_TARGET_BMI2 CMacroblockLayer::BlockResult CMacroblockLayer::decodeBlockBmi2(int index) {
  return readBlock<true>(index);
}

void CMacroblockLayer::locateMacroblock() {
  // Mostly the next address: step along the row instead of dividing (an
  // integer division is slow enough to show in the profile). The mapping is
  // the same in every picture, so the last place found stays valid.
  int column, row;
  if (macroblockAddress_ == locatedAddress_ + 1) {
    column = mbColumn_ + 1;
    row = mbRow_;
    if (column == static_cast<int>(mbWidth)) {
      column = 0;
      ++row;
    }
  } else {
    column = macroblockAddress_ % static_cast<int>(mbWidth);
    row = macroblockAddress_ / static_cast<int>(mbWidth);
  }
  locatedAddress_ = macroblockAddress_;
  mbColumn_ = column;
  mbRow_ = row;
  const int pitch = target.pitch, chromaPitch = target.chromaPitch;
  std::uint8_t* luma = target.luma + row * 16 * pitch + column * 16;
  blockDestination_[0] = luma;
  blockDestination_[1] = luma + 8;
  blockDestination_[2] = luma + 8 * pitch;
  blockDestination_[3] = luma + 8 * pitch + 8;
  const int chroma = row * 8 * chromaPitch + column * 8;
  blockDestination_[4] = target.cb + chroma;
  blockDestination_[5] = target.cr + chroma;
}

void CMacroblockLayer::putConstant(int value, std::uint8_t* dst, int pitch) {
  const auto sample = static_cast<std::uint8_t>(std::clamp(value, 0, 255));
  for (int y = 0; y < 8; ++y, dst += pitch) std::memset(dst, sample, 8);
}

// Where a reference's prediction of the located macroblock starts, and its
// half-pel modes, for luma and for both chroma planes.
inline CMacroblockLayer::PredictionSource CMacroblockLayer::sourceOf(const CFrameBuffer& ref, int right,
                                                                         int down) const {
  int x = mbColumn_ * 16 + (right >> 1), y = mbRow_ * 16 + (down >> 1), hx = right & 1, hy = down & 1;
  clampSource(x, y, hx, hy, 16, frameWidth, frameHeight);
  const int cRight = right / 2, cDown = down / 2;  // truncating toward zero
  const int chromaPitch = frameWidth / 2;
  int cx = mbColumn_ * 8 + (cRight >> 1), cy = mbRow_ * 8 + (cDown >> 1), chx = cRight & 1, chy = cDown & 1;
  clampSource(cx, cy, chx, chy, 8, chromaPitch, frameHeight / 2);
  const int chroma = cy * chromaPitch + cx;
  return {ref.luma + y * frameWidth + x, ref.cb + chroma, ref.cr + chroma, hx | hy << 1, chx | chy << 1};
}

// Predicts the located macroblock: 16x16 luma and both 8x8 chroma blocks,
// from one or both references (both: forward and backward averaged with
// rounding, in one pass).
void CMacroblockLayer::predictMacroblock(bool forward, bool backward, const Vectors& vectors) {
  int bRight = vectors.backwardRight, bDown = vectors.backwardDown;
  const CFrameBuffer* forwardRef = pictureType == PictureType::P ? newerReference : olderReference;
  const CFrameBuffer* backwardRef = newerReference;
  if (!forward && !backward) {
    // A B macroblock with neither direction cannot occur in a valid stream;
    // show the nearer reference rather than stale memory.
    backward = true;
    bRight = bDown = 0;
  }
  if (!forwardRef) forward = false;
  if (!backwardRef) backward = false;
  const int chromaPitch = frameWidth / 2;
  if (forward && backward) {
    const PredictionSource f = sourceOf(*forwardRef, vectors.forwardRight, vectors.forwardDown);
    const PredictionSource b = sourceOf(*backwardRef, bRight, bDown);
    mc_->both[1][f.lumaMode][b.lumaMode](blockDestination_[0], target.pitch, f.y, b.y, frameWidth, 16);
    const PredictBothFn chroma = mc_->both[0][f.chromaMode][b.chromaMode];
    chroma(blockDestination_[4], target.chromaPitch, f.cb, b.cb, chromaPitch, 8);
    chroma(blockDestination_[5], target.chromaPitch, f.cr, b.cr, chromaPitch, 8);
    return;
  }
  if (!forward && !backward) return;
  const PredictionSource s = forward ? sourceOf(*forwardRef, vectors.forwardRight, vectors.forwardDown)
                                     : sourceOf(*backwardRef, bRight, bDown);
  mc_->put[1][s.lumaMode](blockDestination_[0], target.pitch, s.y, frameWidth, 16);
  const PredictFn chroma = mc_->put[0][s.chromaMode];
  chroma(blockDestination_[4], target.chromaPitch, s.cb, chromaPitch, 8);
  chroma(blockDestination_[5], target.chromaPitch, s.cr, chromaPitch, 8);
}

void CMacroblockLayer::copySkippedMacroblocks() {
  const int end = macroblockAddress_;
  const int saved = macroblockAddress_;
  for (int address = previousAddress_ + 1; address < end; ++address) {
    macroblockAddress_ = address;
    locateMacroblock();
    predictMacroblock(true, false, Vectors{});
  }
  macroblockAddress_ = saved;
  vectorPredictors_[0] = vectorPredictors_[1] = 0;
}

void CMacroblockLayer::predictSkippedMacroblocks() {
  Vectors vectors;
  vectors.forwardRight = fullPelForward ? vectorPredictors_[0] * 2 : vectorPredictors_[0];
  vectors.forwardDown = fullPelForward ? vectorPredictors_[1] * 2 : vectorPredictors_[1];
  vectors.backwardRight = fullPelBackward ? vectorPredictors_[2] * 2 : vectorPredictors_[2];
  vectors.backwardDown = fullPelBackward ? vectorPredictors_[3] * 2 : vectorPredictors_[3];
  const int end = macroblockAddress_;
  const int saved = macroblockAddress_;
  for (int address = previousAddress_ + 1; address < end; ++address) {
    macroblockAddress_ = address;
    locateMacroblock();
    predictMacroblock(lastForward_, lastBackward_, vectors);
  }
  macroblockAddress_ = saved;
}

}  // namespace mpeg1
