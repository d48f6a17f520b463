// Decoder object, headers, the step loop and the frame store.
#include "mpeg1/video_decoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kolm/clock.h"
#include "kolm/sample_queue.h"
#include "kolm/video_downstream.h"
#include "mpeg1/errors.h"
#include "mpeg1/stream_reader.h"
#include "mpeg1/time_stamps.h"
#include "mpeg1/vlc.h"

namespace {

constexpr std::uint32_t pictureStart = 0x00000100;
constexpr std::uint32_t sliceFirst = 0x00000101, sliceLast = 0x000001AF;
constexpr std::uint32_t userDataStart = 0x000001B2;
constexpr std::uint32_t sequenceHeaderCode = 0x000001B3;
constexpr std::uint32_t sequenceErrorCode = 0x000001B4;
constexpr std::uint32_t extensionStart = 0x000001B5;
constexpr std::uint32_t sequenceEndCode = 0x000001B7;
constexpr std::uint32_t groupStart = 0x000001B8;

bool isSlice(std::uint32_t code) { return code >= sliceFirst && code <= sliceLast; }

constexpr std::uint8_t defaultIntraMatrix[64] = {
    8,  16, 19, 22, 26, 27, 29, 34, 16, 16, 22, 24, 27, 29, 34, 37, 19, 22, 26, 27, 29, 34,
    34, 38, 22, 22, 26, 27, 29, 34, 37, 40, 22, 26, 27, 29, 32, 35, 40, 48, 26, 27, 29, 32,
    35, 40, 48, 58, 26, 27, 29, 34, 38, 46, 56, 69, 27, 29, 35, 38, 46, 56, 69, 83};

// Picture rates of ISO/IEC 11172-2 as exact fractions; codes with no rate
// play at 30 pictures a second.
void pictureRate(int code, int& num, int& den) {
  static const int table[9][2] = {{30, 1},    {24000, 1001}, {24, 1},       {25, 1}, {30000, 1001},
                                  {30, 1},    {50, 1},       {60000, 1001}, {60, 1}};
  const int index = code >= 1 && code <= 8 ? code : 0;
  num = table[index][0];
  den = table[index][1];
}

}  // namespace

CMpeg1VideoDecoder::CMpeg1VideoDecoder(CMpegPayloadReader* source, kolm::IVideoDownstream* sink,
                                       int bufLength, const mpeg1::Kernels* kernels)
    : mb_(kernels ? kernels : &mpeg1::defaultKernels()), sink_(sink), source_(source) {
  if (bufLength < 4) throw mpeg1::CMpegError("bufLength too short");
  if (sink_) pictureQueue_ = sink_->sampleQueue();
  std::memcpy(mb_.intraQuantMatrix, defaultIntraMatrix, 64);
  std::memset(mb_.nonIntraQuantMatrix, 16, 64);
  // Below two blocks of words the block reads could not be served.
  const int words = std::max((bufLength + 3) / 4 - 1, 2 * CMpeg1BitReader::blockWords);
  bitBuffer_.assign(static_cast<std::size_t>(words + CMpeg1BitReader::slackWords + 1), 0);
  mb_.reader.init(source, bitBuffer_.data(), words);
}

CMpeg1VideoDecoder::~CMpeg1VideoDecoder() {
  for (auto& frame : frames_) {
    leaveSample(frame.get());
    if (frame->sample && pictureQueue_) pictureQueue_->release(frame->sample);
    frame->sample = nullptr;
  }
}

bool CMpeg1VideoDecoder::start() {
  try {
    mb_.reader.rewind();
    if (mb_.reader.nextStartCode() != 1 || !mb_.reader.bitsAre(32, sequenceHeaderCode) || mb_.reader.atEnd)
      return false;
    parseSequenceHeader();
    if (mpeg2_ || horizontalSize == 0 || verticalSize == 0) return false;
    firstWidth_ = horizontalSize;
    firstHeight_ = verticalSize;
    std::memcpy(firstIntraMatrix_, mb_.intraQuantMatrix, 64);
    std::memcpy(firstNonIntraMatrix_, mb_.nonIntraQuantMatrix, 64);
    mb_.frameWidth = static_cast<int>(mb_.mbWidth) * 16;
    mb_.frameHeight = static_cast<int>(mb_.mbHeight) * 16;
    // Two references and the picture being decoded; more only if a damaged
    // stream ever needs them (takeFreeFrame).
    const std::size_t frameBytes = CFrameBuffer::bytes(mb_.frameWidth, mb_.frameHeight);
    frames_.clear();
    frameStore_ = kolm::sys::PictureMemory(3 * frameBytes);
    for (int i = 0; i < 3; ++i)
      frames_.push_back(std::make_unique<CFrameBuffer>(mb_.frameWidth, mb_.frameHeight, frameStore_.data() + i * frameBytes));
    if (pictureQueue_) {
      // The pool holds the visible picture (even sizes for 4:2:0), not the
      // macroblock padding.
      const int width = static_cast<int>((horizontalSize + 1) & ~1u);
      const int height = static_cast<int>((verticalSize + 1) & ~1u);
      pictureQueue_->setFormat(3, width, height, nullptr, nullptr, nullptr);
      if (!pictureQueue_->allocate()) return false;
    }
    return true;
  } catch (const mpeg1::CMpegError&) {
    return false;
  }
}

bool CMpeg1VideoDecoder::step() {
  if (ended_) return false;
  try {
    if (stepInner()) return true;
  } catch (const mpeg1::CMpegError& error) {
    lastError_ = error.what();
  } catch (const std::bad_alloc&) {
    lastError_ = "Out of memory.";
  }
  // The data ended inside a picture (a file cut short, or one whose last
  // slice runs to the very end): show what was decoded of it.
  if (currentFrame && pictureHasSlices_) finishPicture();
  // Whatever ended the data, the newest reference picture is still owed.
  return endOfData();
}

bool CMpeg1VideoDecoder::endOfData() {
  ended_ = true;
  if (mb_.newerReference) {
    CFrameBuffer* last = mb_.newerReference;
    mb_.newerReference = nullptr;
    last->referenceFlags &= ~newerFlag;
    deliverPicture(last);
  }
  return false;
}

void CMpeg1VideoDecoder::passStartCode() {
  mb_.reader.ensure(2);
  mb_.reader.skipStartCode();
}

bool CMpeg1VideoDecoder::stepInner() {
  if (mb_.reader.nextStartCode() != 1) return true;
  for (;;) {
    mb_.reader.ensure(2);
    const std::uint32_t code = mb_.reader.peek32();
    // A code reaching past the real data (into the words appended at its end)
    // means the data is exhausted.
    if (mb_.reader.atEnd && !(mb_.reader.wordsLeft >= 2 || (mb_.reader.wordsLeft == 1 && mb_.reader.bitPos == 0)))
      return false;
    if (code == sequenceEndCode) {
      mb_.reader.skipStartCode();
      // A clean end: nothing but the end code was left.
      if (mb_.reader.wordsLeft < 2 && !mb_.reader.atEnd) {
        try {
          mb_.reader.refill();
        } catch (const mpeg1::CMpegError&) {
          return false;
        }
      }
      // What is left of the last word is padding: no further code fits.
      if (mb_.reader.atEnd && mb_.reader.wordsLeft <= 1) return false;
    } else if (code == sequenceHeaderCode) {
      parseSequenceHeader();
      if (sizeChanged_ || mpeg2_) return false;  // a different stream follows
    } else if (code == groupStart) {
      parseGopHeader();
    } else if (code == pictureStart) {
      const int result = parsePictureHeader();
      if (result == pictureDecode) {
        if (decodeSlice() == 1) return true;
      } else {
        // Skip the whole picture: pass every code up to the next picture,
        // GOP or sequence end.
        while (mb_.reader.nextStartCode() == 1) {
          mb_.reader.ensure(2);
          const std::uint32_t next = mb_.reader.peek32();
          if (next == pictureStart || next == groupStart || next == sequenceEndCode ||
              next == sequenceHeaderCode)
            break;
          mb_.reader.skipStartCode();
        }
      }
    } else if (isSlice(code) && currentFrame) {
      decodeSlice();
      return true;
    } else {
      // Anything else at the top level (sequence end with data behind it, a
      // stray slice, extension or user data, system codes): step over it.
      mb_.reader.skipStartCode();
    }
    if (mb_.reader.nextStartCode() != 1) return true;
  }
}

void CMpeg1VideoDecoder::parseSequenceHeader() {
  CMpeg1BitReader& r = mb_.reader;
  passStartCode();
  r.ensure(2);
  horizontalSize = r.getBits(12);
  verticalSize = r.getBits(12);
  mb_.mbWidth = (horizontalSize + 15) >> 4;
  mb_.mbHeight = (verticalSize + 15) >> 4;
  r.ensure(2);
  aspectRatioCode = static_cast<std::uint8_t>(r.getBits(4));
  pictureRateCode = static_cast<std::uint8_t>(r.getBits(4));
  pictureRate(pictureRateCode, frameRateNum_, frameRateDen_);
  r.ensure(2);
  bitRate = r.getBits(18);
  r.skipBits(1);
  vbvBufferSize = r.getBits(10);
  constrainedParameters = r.getBit();
  mb_.matricesChanged();
  for (std::uint8_t* matrix : {mb_.intraQuantMatrix, mb_.nonIntraQuantMatrix}) {
    r.ensure(2);
    if (r.getBit()) {
      for (int k = 0; k < 64; ++k) {
        r.ensure(2);
        matrix[mpeg1::vlc::zigzag[k]] = static_cast<std::uint8_t>(r.getBits(8));
      }
    }
  }
  if (r.nextStartCode() == 1 && r.bitsAre(32, extensionStart)) {
    r.skipStartCode();
    r.ensure(2);
    // Extension id 1 is the sequence extension of MPEG-2 video.
    if (r.peekBits(4) == 1) mpeg2_ = true;
    r.skipUntilPrefix();
    if (r.bitsAre(32, userDataStart)) {
      r.skipStartCode();
      r.skipUntilPrefix();
    }
  } else if (r.bitsAre(32, userDataStart)) {
    r.skipStartCode();
    r.skipUntilPrefix();
  }
  if (firstWidth_ && (horizontalSize != firstWidth_ || verticalSize != firstHeight_)) sizeChanged_ = true;
}

void CMpeg1VideoDecoder::parseGopHeader() {
  CMpeg1BitReader& r = mb_.reader;
  passStartCode();
  r.ensure(2);
  dropFrame = r.getBit();
  hours = r.getBits(5);
  minutes = r.getBits(6);
  r.skipBits(1);
  seconds = r.getBits(6);
  pictures = r.getBits(6);
  closedGop = r.getBit();
  brokenLink = r.getBit();

  const std::int64_t absolute = timeCodeTime(hours, minutes, seconds, pictures);
  // The first GOP starts the time line at 0, whatever its time code (a clip
  // cut from a recording starts hours in). A later time code that jumps back
  // carries on right after the last picture instead.
  const std::int64_t next =
      latestTime_ < 0 ? 0 : latestTime_ + kolm::unitsPerSecond * frameRateDen_ / frameRateNum_;
  std::int64_t relative = timelineStarted_ ? absolute + timeOffset_ : next;
  if (relative < next) relative = next;
  timeOffset_ = relative - absolute;
  timelineStarted_ = true;
  gopTime = relative;

  skipExtensionsAndUserData();
}

std::int64_t CMpeg1VideoDecoder::timeCodeTime(std::uint32_t h, std::uint32_t m, std::uint32_t s,
                                              std::uint32_t p) const {
  return ((static_cast<std::int64_t>(h) * 60 + m) * 60 + s) * kolm::unitsPerSecond +
         static_cast<std::int64_t>(p) * kolm::unitsPerSecond * frameRateDen_ / frameRateNum_;
}

void CMpeg1VideoDecoder::restart(bool fromStart, bool withSequenceHeader, std::int64_t gopTimeCode,
                                 std::int64_t gopTime, bool hasPtsOffset, std::int64_t ptsOffset) {
  abandonPicture();
  for (auto& frame : frames_) {
    leaveSample(frame.get());
    if (frame->sample && pictureQueue_) pictureQueue_->release(frame->sample);
    frame->sample = nullptr;
    frame->referenceFlags = 0;
  }
  mb_.olderReference = mb_.newerReference = nullptr;
  mb_.reader.restart();
  ended_ = false;
  lastError_.clear();
  pictureHasSlices_ = false;
  pictureHasPts_ = false;
  // The pool was sized for the first sequence; a later one of another size
  // ends the pictures again when it comes.
  sizeChanged_ = false;
  horizontalSize = firstWidth_;
  verticalSize = firstHeight_;
  mb_.mbWidth = (horizontalSize + 15) >> 4;
  mb_.mbHeight = (verticalSize + 15) >> 4;
  if (!withSequenceHeader) {
    std::memcpy(mb_.intraQuantMatrix, firstIntraMatrix_, 64);
    std::memcpy(mb_.nonIntraQuantMatrix, firstNonIntraMatrix_, 64);
    mb_.matricesChanged();
  }
  // The time line: from the start it is made afresh; at a later GOP as the
  // play from the start left it there (the GOP lands at gopTime, right after
  // the pictures before it), and a stamped picture fixes the offset to the
  // time stamps again.
  const std::int64_t frame = kolm::unitsPerSecond * frameRateDen_ / frameRateNum_;
  timelineStarted_ = !fromStart;
  timeOffset_ = fromStart ? 0 : gopTime - gopTimeCode;
  this->gopTime = 0;
  latestTime_ = fromStart ? -1 : gopTime - frame;
  hasPtsOffset_ = !fromStart && hasPtsOffset;
  ptsOffset_ = hasPtsOffset_ ? ptsOffset : 0;
}

void CMpeg1VideoDecoder::skipExtensionsAndUserData() {
  while (mb_.reader.nextStartCode() == 1) {
    mb_.reader.ensure(2);
    const std::uint32_t code = mb_.reader.peek32();
    if (code != extensionStart && code != userDataStart) break;
    mb_.reader.skipStartCode();
    mb_.reader.skipUntilPrefix();
  }
}

void CMpeg1VideoDecoder::setTimeBase(std::int64_t pts) {
  hasTimeBase_ = true;
  timeBase_ = pts;
}

int CMpeg1VideoDecoder::parsePictureHeader() {
  CMpeg1BitReader& r = mb_.reader;
  // The stamp of the packet this picture's start code begins in, if it is the
  // first picture there (skipped pictures claim theirs too).
  pictureHasPts_ = hasTimeBase_ && source_ && source_->claimTimeStamp(r.bytePosition(), &picturePts_);
  passStartCode();
  r.ensure(2);
  temporalReference = static_cast<int>(r.getBits(10));
  const int type = static_cast<int>(r.getBits(3));
  abandonPicture();
  // Forbidden coding types and pictures whose references are missing are skipped.
  if (type < 1 || type > 4) return pictureSkip;
  mb_.pictureType = static_cast<PictureType>(type);
  if (mb_.pictureType == PictureType::B && !(mb_.olderReference && mb_.newerReference)) return pictureSkip;
  if (mb_.pictureType == PictureType::P && !mb_.newerReference) return pictureSkip;
  vbvDelay = r.getBits(16);
  mb_.fullPelForward = mb_.fullPelBackward = false;
  mb_.forwardRSize = mb_.forwardF = mb_.backwardRSize = mb_.backwardF = 0;
  if (mb_.pictureType == PictureType::P || mb_.pictureType == PictureType::B) {
    r.ensure(2);
    mb_.fullPelForward = r.getBit();
    const int code = static_cast<int>(r.getBits(3));
    if (code == 0) return pictureSkip;  // forbidden f_code
    mb_.forwardRSize = code - 1;
    mb_.forwardF = 1 << mb_.forwardRSize;
  }
  if (mb_.pictureType == PictureType::B) {
    mb_.fullPelBackward = r.getBit();
    const int code = static_cast<int>(r.getBits(3));
    if (code == 0) return pictureSkip;
    mb_.backwardRSize = code - 1;
    mb_.backwardF = 1 << mb_.backwardRSize;
  }
  for (;;) {
    r.ensure(2);
    if (!r.getBit()) break;
    r.skipBits(8);
  }
  skipExtensionsAndUserData();
  takeFreeFrame();
  mb_.startPicture();
  return pictureDecode;
}

int CMpeg1VideoDecoder::decodeSlice() {
  CMpeg1BitReader& r = mb_.reader;
  r.ensure(2);
  const std::uint32_t code = r.peek32();
  if (!isSlice(code) || !currentFrame) return 0;
  sliceVerticalPosition = static_cast<int>(code - 0x100);
  pictureHasSlices_ = true;
  r.skipStartCode();
  r.ensure(2);
  const int quantizerScale = static_cast<int>(r.getBits(5));
  for (;;) {
    r.ensure(2);
    if (!r.getBit()) break;
    r.skipBits(8);
  }
  mb_.startSlice(sliceVerticalPosition, quantizerScale);
  for (;;) {
    if (mb_.decodeMacroblock() < 0) break;
    r.ensure(2);
    if (r.peekBits(23) == 0) break;
  }
  r.nextStartCode();
  r.ensure(2);
  const std::uint32_t next = r.peek32();
  if (!isSlice(next) && next != sequenceErrorCode) finishPicture();
  return 1;
}

// ---- frame store -------------------------------------------------------------

// A picture left unfinished (no slice came) gives its sample back to the
// pool, so that none sits idle in a frame, and its frame keeps nothing of it:
// the frame's next picture would otherwise be shown from that sample as it
// stood, without its own copy.
void CMpeg1VideoDecoder::abandonPicture() {
  if (!currentFrame) return;
  leaveSample(currentFrame);
  if (currentFrame->sample && pictureQueue_) pictureQueue_->release(currentFrame->sample);
  currentFrame->sample = nullptr;
  currentFrame = nullptr;
}

void CMpeg1VideoDecoder::takeFreeFrame() {
  abandonPicture();
  for (auto& frame : frames_) {
    if (frame->referenceFlags == 0) {
      currentFrame = frame.get();
      break;
    }
  }
  if (!currentFrame && frames_.size() < maxFrames) {
    frames_.push_back(std::make_unique<CFrameBuffer>(mb_.frameWidth, mb_.frameHeight));
    currentFrame = frames_.back().get();
  }
  if (!currentFrame) throw mpeg1::CMpegError("Fatal error. Ring buffer full.");
  pictureHasSlices_ = false;
  stampPicture(currentFrame);
  aimAt(currentFrame);
}

// A B picture is nobody's reference, so it can be decoded straight into the
// sample it will be shown from, sparing a copy of every B picture, when the
// sample can hold whole macroblocks and lies in memory that is fast to read
// (residuals are added to what the prediction wrote). Anything else is
// decoded into the frame and copied out when its turn comes.
void CMpeg1VideoDecoder::aimAt(CFrameBuffer* frame) {
  mb_.target = {frame->luma, frame->cb, frame->cr, mb_.frameWidth, mb_.frameWidth / 2};
  if (mb_.pictureType != PictureType::B || !pictureQueue_) return;
  if (!frame->sample && !pictureQueue_->acquire(&frame->sample)) {
    frame->sample = nullptr;
    return;
  }
  CSample* sample = frame->sample;
  if (!sample->fastToRead()) return;
  YV12Planes planes;
  if (!sample->lockPlanes(&planes)) return;
  if (planes.pitchY < mb_.frameWidth || planes.height < mb_.frameHeight || planes.pitchC < mb_.frameWidth / 2 ||
      planes.chromaHeight() < mb_.frameHeight / 2) {
    sample->unlockPlanes();
    return;
  }
  frame->inSample = true;
  mb_.target = {planes.y, planes.u, planes.v, planes.pitchY, planes.pitchC};
}

void CMpeg1VideoDecoder::leaveSample(CFrameBuffer* frame) {
  if (!frame->inSample) return;
  frame->inSample = false;
  if (frame->sample) frame->sample->unlockPlanes();
}

void CMpeg1VideoDecoder::stampPicture(CFrameBuffer* frame) {
  if (!timelineStarted_) {
    // Pictures before any GOP header: start the time line here.
    timelineStarted_ = true;
    timeOffset_ = 0;
    gopTime = 0;
  }
  const std::int64_t gopBased = gopTime + static_cast<std::int64_t>(temporalReference) * kolm::unitsPerSecond *
                                               frameRateDen_ / frameRateNum_;
  latestTime_ = std::max(latestTime_, gopBased);
  // On a system stream's time line a stamped picture takes its stamp, and the
  // pictures without one follow the time codes from there. A stamp far from
  // where the time codes put the picture (a splice, a damaged stamp) is not
  // followed: the time line stays continuous, as the sound does.
  if (pictureHasPts_) {
    const std::int64_t offset = mpeg1::ptsToTime(mpeg1::ptsDifference(picturePts_, timeBase_)) - gopBased;
    if (!hasPtsOffset_ || std::llabs(offset - ptsOffset_) <= kolm::unitsPerSecond) ptsOffset_ = offset;
    hasPtsOffset_ = true;
  }
  frame->time = std::max<std::int64_t>(0, gopBased + ptsOffset_);
}

void CMpeg1VideoDecoder::finishPicture() {
  CFrameBuffer* frame = currentFrame;
  if (!frame) return;
  currentFrame = nullptr;
  // A reference picture is copied out only when its turn to be shown comes
  // (its planes stay untouched until then), so it holds no sample of the pool
  // while the B pictures before it are decoded and shown.
  if (mb_.pictureType == PictureType::I || mb_.pictureType == PictureType::P) {
    if (!mb_.newerReference) {
      mb_.newerReference = frame;
      frame->referenceFlags = newerFlag;
      return;
    }
    if (mb_.olderReference) mb_.olderReference->referenceFlags &= ~olderFlag;
    mb_.olderReference = mb_.newerReference;
    mb_.olderReference->referenceFlags = olderFlag;
    mb_.newerReference = frame;
    frame->referenceFlags = newerFlag;
    deliverPicture(mb_.olderReference);
  } else {
    frame->referenceFlags = 0;
    deliverPicture(frame);
  }
}

void CMpeg1VideoDecoder::copyToSample(CFrameBuffer* frame) {
  if (!pictureQueue_) return;
  if (!frame->sample && !pictureQueue_->acquire(&frame->sample)) {
    frame->sample = nullptr;
    return;
  }
  CSample* sample = frame->sample;
  YV12Planes planes;
  if (!sample->lockPlanes(&planes)) return;
  // Only the visible picture is copied, never more than either side holds.
  // Bottom up: the picture decoded since read this reference down to its
  // last rows, so those are the ones still in the cache.
  const int columns = std::min(planes.width, mb_.frameWidth);
  const int rows = std::min(planes.height, mb_.frameHeight);
  for (int j = rows - 1; j >= 0; --j)
    std::memcpy(planes.y + static_cast<std::size_t>(j) * planes.pitchY,
                frame->luma + static_cast<std::size_t>(j) * mb_.frameWidth, static_cast<std::size_t>(columns));
  const int frameChroma = mb_.frameWidth / 2;
  const int chromaColumns = std::min(planes.chromaWidth(), frameChroma);
  const int chromaRows = std::min(planes.chromaHeight(), mb_.frameHeight / 2);
  for (int j = chromaRows - 1; j >= 0; --j) {
    std::memcpy(planes.v + static_cast<std::size_t>(j) * planes.pitchC,
                frame->cr + static_cast<std::size_t>(j) * frameChroma, static_cast<std::size_t>(chromaColumns));
    std::memcpy(planes.u + static_cast<std::size_t>(j) * planes.pitchC,
                frame->cb + static_cast<std::size_t>(j) * frameChroma, static_cast<std::size_t>(chromaColumns));
  }
  sample->unlockPlanes();
}

void CMpeg1VideoDecoder::deliverPicture(CFrameBuffer* frame) {
  if (frame->inSample)
    leaveSample(frame);
  else
    copyToSample(frame);
  if (!sink_ || !frame->sample) return;
  frame->sample->time = frame->time;
  CSample* sample = frame->sample;
  frame->sample = nullptr;
  ++picturesDelivered_;
  sink_->deliver(sample);
}
