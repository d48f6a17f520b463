// The macroblock layer of MPEG-1 video, below the headers: the decoder
// (video_decoder.cpp) reads the sequence, GOP, picture and slice headers and
// sets what each picture and slice needs; this layer decodes the slice's
// macroblocks into the picture.
#pragma once

#include <cstdint>

#include "kolm/sys/sys.h"
#include "mpeg1/bit_reader.h"
#include "mpeg1/kernels.h"
#include "mpeg1/vlc.h"

class CSample;

// One decoded picture, rounded up to whole macroblocks, with no border, in
// memory of its own or in a block shared with other frames. Starts all zero,
// so what a damaged stream never writes is the same on every run.
class CFrameBuffer {
 public:
  static std::size_t bytes(int width, int height) { return static_cast<std::size_t>(width) * height * 3 / 2; }
  CFrameBuffer(int width, int height, std::uint8_t* memory = nullptr) {
    if (!memory) {
      own = kolm::sys::PictureMemory(bytes(width, height));
      memory = own.data();
    }
    luma = memory;
    cb = luma + static_cast<std::size_t>(width) * height;
    cr = cb + static_cast<std::size_t>(width) * height / 4;
  }
  kolm::sys::PictureMemory own;
  std::uint8_t* luma;
  std::uint8_t* cb;
  std::uint8_t* cr;
  CSample* sample = nullptr;
  bool inSample = false;  // decoded straight into `sample`, which is locked
  std::uint32_t referenceFlags = 0;  // the decoder's olderFlag, newerFlag, or 0 when free
  std::int64_t time = 0;
};

namespace mpeg1 {

// The picture_coding_type codes; 0 and 5 to 7 are forbidden.
enum class PictureType : int { I = 1, P = 2, B = 3, D = 4 };

class CMacroblockLayer {
 public:
  // kernels: the routines of one instruction-set level, never null.
  explicit CMacroblockLayer(const Kernels* kernels);
  CMacroblockLayer(const CMacroblockLayer&) = delete;
  CMacroblockLayer& operator=(const CMacroblockLayer&) = delete;

  // The one bit stream: the headers are read from it up to each slice.
  CMpeg1BitReader reader;

  // From the sequence header. Call matricesChanged() after writing a matrix.
  std::uint32_t mbWidth = 0, mbHeight = 0;
  int frameWidth = 0, frameHeight = 0;  // of the frames: whole macroblocks
  std::uint8_t intraQuantMatrix[64];
  std::uint8_t nonIntraQuantMatrix[64];
  void matricesChanged() { matricesChanged_ = true; }

  // From the picture header, and the frame store's references.
  PictureType pictureType = PictureType::I;
  bool fullPelForward = false, fullPelBackward = false;
  int forwardRSize = 0, forwardF = 0, backwardRSize = 0, backwardF = 0;
  CFrameBuffer* olderReference = nullptr;
  CFrameBuffer* newerReference = nullptr;
  // Where the picture is written: its frame, or the sample it will be shown from.
  struct Target {
    std::uint8_t* luma = nullptr;
    std::uint8_t* cb = nullptr;
    std::uint8_t* cr = nullptr;
    int pitch = 0, chromaPitch = 0;
  } target;

  // A picture begins: no macroblock of it has been decoded.
  void startPicture() { previousAddress_ = -1; }
  // A slice of row `verticalPosition` (1 for the first) begins.
  void startSlice(int verticalPosition, int quantizerScale);
  // Decodes the next macroblock (and the skipped ones before it) into the
  // target: 1, or -1 when the data is corrupt, which ends the slice.
  int decodeMacroblock();

 private:
  enum BlockResult { blockCorrupt, blockEmpty, blockDcOnly, blockFull };

  // Motion vectors of one macroblock, in half pels.
  struct Vectors {
    int forwardRight = 0, forwardDown = 0, backwardRight = 0, backwardDown = 0;
  };

  // The layer is built twice, for any processor and for one with BMI2 (see
  // mpeg1::Kernels::bmi2): each public step below takes the build the
  // kernels name, and the Bmi2 template argument carries it down.
  int decodeMacroblockBaseline();
  int decodeMacroblockBmi2();
  template <bool Bmi2>
  int readMacroblock();
  bool parseAddressIncrement();
  class LocalBits;
  bool parseMacroblockType(LocalBits& bits, int& flags);
  bool parseMotionVectors(LocalBits& bits, int flags, Vectors& vectors);
  bool readMotionCodes(LocalBits& bits, int f, int rSize, int (&codes)[4]);
  bool parseCodedBlockPattern(LocalBits& bits, int flags);
  template <bool Bmi2>
  bool reconstructBlocks(int flags, const Vectors& vectors);
  BlockResult decodeBlockBaseline(int index);
  BlockResult decodeBlockBmi2(int index);
  template <bool Bmi2>
  BlockResult readBlock(int index);
  int readIntraCoefficientsBaseline(int position);
  int readInterCoefficientsBaseline(int position);
  int readIntraCoefficientsBmi2(int position);
  int readInterCoefficientsBmi2(int position);
  template <bool Intra>
  int readCoefficients(int position);
  void updateWeights();
  int reconstructVector(int f, bool fullPel, int code, int residual, int& predictor);
  void locateMacroblock();
  int blockPitch(int index) const { return index < 4 ? target.pitch : target.chromaPitch; }
  static void putConstant(int value, std::uint8_t* dst, int pitch);
  struct PredictionSource {
    const std::uint8_t *y, *cb, *cr;
    int lumaMode, chromaMode;
  };
  PredictionSource sourceOf(const CFrameBuffer& ref, int right, int down) const;
  void predictMacroblock(bool forward, bool backward, const Vectors& vectors);
  void copySkippedMacroblocks();
  void predictSkippedMacroblocks();

  // Slice and macroblock state.
  int quantizerScale_ = 0;
  int macroblockAddress_ = 0, previousAddress_ = -1, pastIntraAddress_ = -2;
  int codedBlockPattern_ = 0;
  bool macroblockIntra_ = false, lastForward_ = false, lastBackward_ = false;
  int vectorPredictors_[4] = {0, 0, 0, 0};  // forward right, down; backward right, down
  int dcPredictors_[3] = {0, 0, 0};         // Y, Cb, Cr
  alignas(16) std::int16_t coefficients_[64];
  std::uint16_t intraWeights_[64] = {};
  std::uint16_t nonIntraWeights_[64] = {};
  int weightsScale_ = -1;
  bool matricesChanged_ = true;
  std::uint8_t* blockDestination_[6] = {};
  int mbColumn_ = 0, mbRow_ = 0;
  int locatedAddress_ = -2;  // the address mbColumn_ and mbRow_ belong to
  int dcOnlyValue_ = 0;
  const vlc::Tables* tables_;
  const Kernels* kernels_;
  const MotionKernels* mc_;
  bool bmi2_;
};

}  // namespace mpeg1
