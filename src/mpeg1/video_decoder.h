#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kolm/sys/sys.h"
#include "mpeg1/kernels.h"
#include "mpeg1/macroblock.h"

class CSample;
class CSampleQueue;
class CMpegPayloadReader;
namespace kolm {
class IVideoDownstream;
}

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

  // Starts over where the payload reader has just been put (reposition()):
  // the pictures in flight and the references are dropped, the end is
  // forgotten. fromStart: at the file's start, as if newly opened. Otherwise
  // at a GOP (after its sequence header when withSequenceHeader) whose time
  // code stands for gopTimeCode (timeCodeTime()) and which a play from the
  // start puts at gopTime on the time line, with the distance to the time
  // stamps the play from the start has there (when it has one). Pictures
  // that lost a reference are skipped as ever.
  void restart(bool fromStart, bool withSequenceHeader, std::int64_t gopTimeCode, std::int64_t gopTime,
               bool hasPtsOffset = false, std::int64_t ptsOffset = 0);
  // The time a GOP time code (hours to pictures) stands for, 100 ns units.
  std::int64_t timeCodeTime(std::uint32_t hours, std::uint32_t minutes, std::uint32_t seconds,
                            std::uint32_t pictures) const;

  // The sequence header's aspect ratio code and bit rate (400 bit/s units;
  // 0x3FFFF: variable).
  int aspectRatio() const { return aspectRatioCode; }
  std::uint32_t bitRateUnits() const { return bitRate; }

  // Picture rate as a fraction (pictures per second = num / den).
  int frameRateNum() const { return frameRateNum_; }
  int frameRateDen() const { return frameRateDen_; }
  std::int64_t picturesDelivered() const { return picturesDelivered_; }

  // Picture size from the sequence header, for the player.
  std::uint32_t horizontalSize = 0, verticalSize = 0;

  using PictureType = mpeg1::PictureType;

 private:
  enum { pictureDecode = 1, pictureSkip = -10 };
  static constexpr std::size_t maxFrames = 5;

  // The header fields, the decoder's own; what the macroblock layer needs
  // of them goes to mb_.
  // Sequence header
  std::uint8_t aspectRatioCode = 0, pictureRateCode = 0;
  std::uint32_t bitRate = 0, vbvBufferSize = 0;
  bool constrainedParameters = false;
  // GOP header
  bool dropFrame = false, closedGop = false, brokenLink = false;
  std::uint32_t hours = 0, minutes = 0, seconds = 0, pictures = 0;
  std::int64_t gopTime = 0;  // relative to the stream's first GOP
  // Picture header
  int temporalReference = 0;
  std::uint32_t vbvDelay = 0;
  int sliceVerticalPosition = 0;

  CFrameBuffer* currentFrame = nullptr;

  bool stepInner();
  bool endOfData();
  void passStartCode();
  void parseSequenceHeader();
  void parseGopHeader();
  int parsePictureHeader();
  int decodeSlice();
  void skipExtensionsAndUserData();

  void abandonPicture();
  void takeFreeFrame();
  void aimAt(CFrameBuffer* frame);
  void leaveSample(CFrameBuffer* frame);
  void finishPicture();
  void copyToSample(CFrameBuffer* frame);
  void deliverPicture(CFrameBuffer* frame);
  void stampPicture(CFrameBuffer* frame);

  // The bit reader and the layer below the headers, in one.
  mpeg1::CMacroblockLayer mb_;
  std::vector<std::uint32_t> bitBuffer_;
  kolm::IVideoDownstream* sink_;
  CSampleQueue* pictureQueue_ = nullptr;
  // The frames every stream needs, in one block so that small pictures share
  // large pages too; frames_ may grow past them.
  kolm::sys::PictureMemory frameStore_;
  std::vector<std::unique_ptr<CFrameBuffer>> frames_;
  int frameRateNum_ = 30, frameRateDen_ = 1;
  std::uint32_t firstWidth_ = 0, firstHeight_ = 0;
  // The first sequence header's matrices, for a restart at a GOP without one.
  std::uint8_t firstIntraMatrix_[64] = {}, firstNonIntraMatrix_[64] = {};
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
};
