#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kolm/sys/sys.h"
#include "mpeg1/bit_reader.h"
#include "mpeg1/kernels.h"
#include "mpeg1/vlc.h"

class CSample;
class CSampleQueue;
class CMpegPayloadReader;
namespace kolm {
class IVideoDownstream;
}

// One decoded picture, rounded up to whole macroblocks, with no border, in
// memory of its own or in a block shared with other frames. Starts all zero,
// so what a damaged stream never writes is the same on every run.
class CFrameBuffer {
 public:
  static std::size_t bytes(int width, int height) { return static_cast<std::size_t>(width) * height * 3 / 2; }
  CFrameBuffer(int width, int height, std::uint8_t* memory = nullptr);
  kolm::sys::PictureMemory own;
  std::uint8_t* luma;
  std::uint8_t* cb;
  std::uint8_t* cr;
  CSample* sample = nullptr;
  bool inSample = false;  // decoded straight into `sample`, which is locked
  std::uint32_t referenceFlags = 0;  // olderFlag, newerFlag, or 0 when free
  std::int64_t time = 0;
};

// Decodes an MPEG-1 video elementary stream into 4:2:0 pictures, one slice
// per step, and hands them to the sink in display order with their times.
class CMpeg1VideoDecoder {
 public:
  static constexpr std::uint32_t olderFlag = 2, newerFlag = 4;

  // kernels: the routines of one instruction-set level; by default the
  // processor's best (mpeg1::defaultKernels()).
  CMpeg1VideoDecoder(CMpegPayloadReader* source, kolm::IVideoDownstream* sink, int bufLength,
                     const mpeg1::Kernels* kernels = nullptr);
  ~CMpeg1VideoDecoder();
  CMpeg1VideoDecoder(const CMpeg1VideoDecoder&) = delete;
  CMpeg1VideoDecoder& operator=(const CMpeg1VideoDecoder&) = delete;

  // True when the stream begins with an MPEG-1 sequence header, the picture
  // size is usable and the picture pool is sized. MPEG-2 streams are refused.
  bool start();
  // Decodes at most one slice. False once the data has ended and the last
  // picture has been delivered; never throws. lastError() says why it ended
  // when that was not a clean end of the stream.
  bool step();
  const std::string& lastError() const { return lastError_; }
  // A system stream's pictures go on its time line: the picture stamped with
  // this PTS (90 kHz) is time 0. Without it (elementary streams, or no time
  // stamps) the time line of the GOP time codes is kept.
  void setTimeBase(std::int64_t pts);

  // Picture rate as a fraction (pictures per second = num / den).
  int frameRateNum() const { return frameRateNum_; }
  int frameRateDen() const { return frameRateDen_; }
  std::int64_t picturesDelivered() const { return picturesDelivered_; }

  // Picture size from the sequence header, for the player.
  std::uint32_t horizontalSize = 0, verticalSize = 0;

  // The picture_coding_type codes; 0 and 5 to 7 are forbidden.
  enum class PictureType : int { I = 1, P = 2, B = 3, D = 4 };

 private:
  enum { pictureDecode = 1, pictureSkip = -10 };
  static constexpr std::size_t maxFrames = 5;

  // The parse state, the decoder's own: header fields, the slice and
  // macroblock state, and the reference pictures.
  // Sequence header
  std::uint32_t mbWidth = 0, mbHeight = 0;
  std::uint8_t aspectRatioCode = 0, pictureRateCode = 0;
  std::uint32_t bitRate = 0, vbvBufferSize = 0;
  bool constrainedParameters = false;
  std::uint8_t intraQuantMatrix[64];
  std::uint8_t nonIntraQuantMatrix[64];
  // GOP header
  bool dropFrame = false, closedGop = false, brokenLink = false;
  std::uint32_t hours = 0, minutes = 0, seconds = 0, pictures = 0;
  std::int64_t gopTime = 0;  // relative to the stream's first GOP
  // Picture header
  int temporalReference = 0;
  PictureType pictureCodingType = PictureType::I;
  std::uint32_t vbvDelay = 0;
  bool fullPelForward = false, fullPelBackward = false;
  int forwardRSize = 0, forwardF = 0, backwardRSize = 0, backwardF = 0;
  // Slice and macroblock state
  int sliceVerticalPosition = 0;
  int quantizerScale = 0;
  int macroblockAddress = 0, previousAddress = -1, pastIntraAddress = -2;
  int codedBlockPattern = 0;
  bool macroblockIntra = false, lastForward = false, lastBackward = false;
  int vectorPredictors[4] = {0, 0, 0, 0};  // forward right, down; backward right, down
  int dcPredictors[3] = {0, 0, 0};         // Y, Cb, Cr
  alignas(16) std::int16_t coefficients[64];

  CFrameBuffer* olderReference = nullptr;
  CFrameBuffer* newerReference = nullptr;
  CFrameBuffer* currentFrame = nullptr;

  bool stepInner();
  bool endOfData();
  void passStartCode();
  void parseSequenceHeader();
  void parseGopHeader();
  int parsePictureHeader();
  int decodeSlice();
  void skipExtensionsAndUserData();

  enum BlockResult { blockCorrupt, blockEmpty, blockDcOnly, blockFull };

  // Motion vectors of one macroblock, in half pels.
  struct Vectors {
    int forwardRight = 0, forwardDown = 0, backwardRight = 0, backwardDown = 0;
  };

  // The macroblock layer is built twice, for any processor and for one with
  // BMI2 (see mpeg1::Kernels::bmi2): each public step below takes the build
  // the kernels name, and the Bmi2 template argument carries it down.
  int decodeMacroblock();
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
  int blockPitch(int index) const { return index < 4 ? target_.pitch : target_.chromaPitch; }
  static void putConstant(int value, std::uint8_t* dst, int pitch);
  struct PredictionSource {
    const std::uint8_t *y, *cb, *cr;
    int lumaMode, chromaMode;
  };
  PredictionSource sourceOf(const CFrameBuffer& ref, int right, int down) const;
  void predictMacroblock(bool forward, bool backward, const Vectors& vectors);
  void copySkippedMacroblocks();
  void predictSkippedMacroblocks();

  void abandonPicture();
  void takeFreeFrame();
  void aimAt(CFrameBuffer* frame);
  void leaveSample(CFrameBuffer* frame);
  void finishPicture();
  void copyToSample(CFrameBuffer* frame);
  void deliverPicture(CFrameBuffer* frame);
  void stampPicture(CFrameBuffer* frame);

  CMpeg1BitReader reader_;
  std::vector<std::uint32_t> bitBuffer_;
  kolm::IVideoDownstream* sink_;
  CSampleQueue* pictureQueue_ = nullptr;
  // The frames every stream needs, in one block so that small pictures share
  // large pages too; frames_ may grow past them.
  kolm::sys::PictureMemory frameStore_;
  std::vector<std::unique_ptr<CFrameBuffer>> frames_;
  int frameWidth_ = 0, frameHeight_ = 0;  // whole macroblocks
  int frameRateNum_ = 30, frameRateDen_ = 1;
  std::uint32_t firstWidth_ = 0, firstHeight_ = 0;
  bool mpeg2_ = false;
  bool sizeChanged_ = false;
  bool ended_ = false;
  bool pictureHasSlices_ = false;
  std::string lastError_;
  // Time line: GOP time codes made relative to the first GOP and never going back.
  // On the system stream's time line, ptsOffset_ takes it to the time stamps.
  bool hasTimeBase_ = false;
  std::int64_t timeBase_ = 0;
  bool hasPtsOffset_ = false;
  std::int64_t ptsOffset_ = 0;
  bool pictureHasPts_ = false;
  std::int64_t picturePts_ = 0;
  CMpegPayloadReader* source_ = nullptr;
  bool timelineStarted_ = false;
  std::int64_t timeOffset_ = 0;
  std::int64_t latestTime_ = -1;
  std::int64_t picturesDelivered_ = 0;
  std::uint16_t intraWeights_[64] = {};
  std::uint16_t nonIntraWeights_[64] = {};
  int weightsScale_ = -1;
  bool matricesChanged_ = true;
  // Where the current picture is written: its frame, or the sample it will
  // be shown from.
  struct Target {
    std::uint8_t* luma = nullptr;
    std::uint8_t* cb = nullptr;
    std::uint8_t* cr = nullptr;
    int pitch = 0, chromaPitch = 0;
  } target_;
  std::uint8_t* blockDestination_[6] = {};
  int mbColumn_ = 0, mbRow_ = 0;
  int locatedAddress_ = -2;  // the address mbColumn_ and mbRow_ belong to
  int dcOnlyValue_ = 0;
  const mpeg1::vlc::Tables* tables_;
  const mpeg1::Kernels* kernels_;
  const mpeg1::MotionKernels* mc_;
  bool bmi2_;
};
