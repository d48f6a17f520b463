#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ffmpeg/ffmpeg_demuxer.h"
#include "ffmpeg/ffmpeg_library.h"
#include "ffmpeg/ffmpeg_sound.h"
#include "kolm/audio_downstream.h"
#include "kolm/sample_queue.h"
#include "kolm/video_downstream.h"

// The last decode path: any file FFmpeg can open, through its libraries loaded
// at run time. Decodes the first video stream into the renderer's pool, one
// picture per call, stamped from the stream's own time stamps; owns the
// file's sound (openSound()), which reads the same demuxer.
//
// Threads: openVideoPath() and openSound() on the probing thread,
// decodeAndDeliver() on the video decode thread, the sound's audioStep() on
// the audio decode thread, the destructor on the controlling thread once the
// decode threads have been joined.
class CFFmpegDecoder {
 public:
  // FFmpeg opens the file by name itself; the name must outlive the decoder.
  CFFmpegDecoder(kolm::IVideoDownstream* renderer, const char* fileName);
  ~CFFmpegDecoder();
  CFFmpegDecoder(const CFFmpegDecoder&) = delete;
  CFFmpegDecoder& operator=(const CFFmpegDecoder&) = delete;

  // Loads the libraries, opens the file and its first video stream, and sizes
  // the renderer's pool (5 pictures). False, with lastError() saying why, when
  // this path cannot play the file.
  bool openVideoPath();
  // Decodes the next picture and hands it on. False at the end of the input
  // or when the decoder cannot go on; a damaged packet is skipped.
  bool decodeAndDeliver();
  // After openVideoPath(): opens the file's first sound stream for the sink.
  // The sound, owned by this decoder; null for a file without sound, or with
  // *problem saying why its sound cannot be played.
  kolm::IAudioSource* openSound(kolm::IAudioDownstream* sink, std::string* problem);
  // Packets dropped because a queue of the shared demuxer was full.
  std::uint64_t droppedPackets() const;

  const std::string& lastError() const { return lastError_; }
  // Why the pictures ended before the input did; "" after a clean end.
  const std::string& stopReason() const { return stopReason_; }
  // The container's length in 100 ns units; -1 where it does not say.
  std::int64_t duration() const;
  // Whether seek() can work on this file; see there.
  bool canSeek() const;
  // Moves pictures and sound to `time` (100 ns units on the pictures' time
  // line: 0 is the first picture), as kolm::IDecodePath::seek() says. Once
  // neither decode thread runs.
  bool seek(std::int64_t time);
  // The shape of a stored pixel, reduced; 1:1 where the file does not say.
  void pixelAspect(int* numerator, int* denominator) const;
  // The picture size of the pool and the nominal picture rate (num / den).
  int pictureWidth() const { return poolWidth_; }
  int pictureHeight() const { return poolHeight_; }
  int rateNumerator() const { return rateNum_; }
  int rateDenominator() const { return rateDen_; }
  // The codec's short name ("h264"), or "" before openVideoPath().
  std::string codecName() const;
  // Packets skipped because the decoder refused them.
  int damagedPackets() const { return damagedPackets_; }

  // Presents pictures when true; in the timing mode (false) every picture
  // goes straight back to the pool. Set before decoding starts.
  bool deliverPictures = true;
  // Decoder threads FFmpeg may use (0: its own choice). Set before openVideoPath().
  int decoderThreads = 1;
  // Pictures decoded since the path was opened.
  std::int64_t frameCount = 0;

 private:
  bool openInput();
  bool decodePicture();
  bool sendNextPacket();
  bool copyPicture(const YV12Planes& planes);
  std::int64_t pictureTime();
  void fixFirstStamp(std::int64_t stamp);
  std::int64_t timeOfStamp(std::int64_t stamp) const;
  std::int64_t stampOfTime(std::int64_t time) const;
  std::int64_t origin() const;
  bool landedBefore(const ffmpeg::CDemuxer::Landing& landing, std::int64_t time) const;
  int seekToStart();
  void close();

  ffmpeg::CLibraryUse library_;
  const ffmpeg::Api* api_ = nullptr;
  // The sound first: it reads the demuxer, which goes last.
  std::unique_ptr<ffmpeg::CDemuxer> demuxer_;
  std::unique_ptr<ffmpeg::CSound> sound_;
  AVCodecContext* codecContext_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* scaler_ = nullptr;
  int scalerFullRange_ = -1;  // the source range the scaler was last set up for
  int videoStream_ = -1;
  bool opened_ = false;
  bool draining_ = false;
  bool ended_ = false;
  kolm::IVideoDownstream* renderer_;
  CSampleQueue* pool_ = nullptr;
  const char* fileName_;
  std::string lastError_;
  std::string stopReason_;
  int poolWidth_ = 0;
  int poolHeight_ = 0;
  int rateNum_ = 25;
  int rateDen_ = 1;
  int damagedPackets_ = 0;
  // Time stamps: the stream's time base, the first picture's stamp, the last time given.
  AVRational timeBase_{0, 1};
  std::int64_t firstStamp_ = 0;
  bool haveFirstStamp_ = false;
  // The first picture's time on the shared time line (0 unless the sound
  // fixed the origin first).
  std::int64_t firstTime_ = 0;
  std::int64_t lastTime_ = -1;
  // After a seek, until the first whole picture: pictures the decoder marks
  // as damaged (a reference from before the landing point) are not shown.
  bool afterSeek_ = false;
  // After a seek: pictures stamped before this are never shown (AV_NOPTS_VALUE: none known).
  std::int64_t hiddenBefore_ = AV_NOPTS_VALUE;
};
