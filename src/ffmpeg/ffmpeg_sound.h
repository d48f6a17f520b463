#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ffmpeg/ffmpeg_demuxer.h"
#include "ffmpeg/ffmpeg_library.h"
#include "kolm/audio_format.h"
#include "kolm/audio_source.h"

class CAudioSample;
class CAudioSampleQueue;
namespace kolm {
class IAudioDownstream;
}

namespace ffmpeg {

// The sound of a file on the FFmpeg path: the first sound stream, decoded by
// FFmpeg and converted by libswresample to the pool's format (16-bit, or
// 8-bit where the device wants it; one or two channels, more mixed to
// stereo; the device's rate), in blocks on the pictures' time line: sound
// before the first picture is cut off, a late start or a gap in the stamps
// is filled with silence.
//
// Threads: open() on the probing thread, audioStep() on the audio decode
// thread (beside the picture side on the video decode thread, through the
// shared demuxer), the destructor once neither runs.
class CSound final : public kolm::IAudioSource {
 public:
  CSound(const Api& api, CDemuxer& demuxer, kolm::IAudioDownstream* sink);
  ~CSound() override;
  CSound(const CSound&) = delete;
  CSound& operator=(const CSound&) = delete;

  // Opens the stream, decodes its first sound and sizes the pool. False with
  // *problem when the stream cannot be played.
  // pictureStream: the stream the pictures come from, whose start is the
  // time line's origin when the sound starts before any picture is decoded.
  bool open(int streamIndex, int pictureStream, std::string* problem);
  bool audioStep() override;

  // After the demuxer has moved (see CFFmpegDecoder::seek): forgets what the
  // decoder, the converter and the block in hand hold, and starts the sound
  // again at output frame `position` of the time line, the frames decoded
  // before it dropped. Once neither decode thread runs.
  void restart(std::int64_t position);
  int stream() const { return stream_; }
  AVRational timeBase() const { return timeBase_; }
  // How much sound the decoder needs before a point to give it exactly
  // there (frames overlap, a bit reservoir), in 100 ns units.
  std::int64_t preroll() const;

  const AudioFormat& format() const { return format_; }
  // Blocks delivered, and packets the decoder refused.
  std::int64_t blocksDelivered = 0;
  int damagedPackets = 0;

  // Silence put in for a late start or a gap is at most this long: stamps
  // far out are damage, not hours of intended silence.
  static constexpr int maxGapSeconds = 10;

 private:
  enum class Next { frame, end, wait };
  bool openCodec(const AVStream* stream, const AVCodec* codec, std::string* problem);
  Next decodeFrame(bool yieldToPictures);
  bool patient();
  void waitForPictures();
  bool configureConverter(const AVFrame* frame);
  void convert(const AVFrame* frame);
  void place(const AVFrame* frame);
  void append(const std::uint8_t* data, std::size_t frames);
  void appendSilence(std::int64_t frames);
  std::int64_t stampPosition(std::int64_t stamp);
  int fixedFrameSize() const;
  std::int64_t snapped(const AVFrame* frame, std::int64_t position);
  bool finishBlock();
  void end();

  const Api& api_;
  CDemuxer& demuxer_;
  kolm::IAudioDownstream* sink_;
  CAudioSampleQueue* pool_ = nullptr;
  AudioFormat format_;
  AVCodecContext* codec_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwrContext* converter_ = nullptr;
  int stream_ = -1;
  AVRational timeBase_{0, 1};
  std::int64_t pictureStart_ = AV_NOPTS_VALUE;  // in 100 ns units, or none
  std::int64_t origin_ = 0;                     // of the time line, in 100 ns units
  // The input the converter was set up for.
  int inFormat_ = -1, inRate_ = 0, inChannels_ = 0;
  bool haveFrame_ = false;  // frame_ holds a decoded frame not yet converted
  bool draining_ = false;
  bool flushed_ = false;
  bool ended_ = false;
  // Converted sound not yet in a block, from pendingStart_ on.
  std::vector<std::uint8_t> pending_;
  std::size_t pendingStart_ = 0;
  std::vector<std::uint8_t> scratch_;
  // Time line: the position of the next frame put out (in output frames from
  // the first picture), frames still to cut off, and where the stamps said
  // the sound should be (position of the last stamped frame, plus the input
  // frames since it).
  bool placed_ = false;
  std::int64_t produced_ = 0;
  bool restarted_ = false;  // by a seek: no silent block when nothing follows
  std::int64_t toCut_ = 0;
  std::int64_t anchorPosition_ = 0;
  std::int64_t inputSinceAnchor_ = 0;
  int anchorRate_ = 0;
  // Yielding to the pictures: waits that saw no picture progress in a row.
  int fruitlessWaits_ = 0;
  std::uint64_t picturesSeen_ = 0;
  CAudioSample* current_ = nullptr;
};

}  // namespace ffmpeg
