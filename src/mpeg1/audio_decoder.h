#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kolm/audio_downstream.h"
#include "kolm/audio_source.h"
#include "kolm/stream.h"
#include "mpeg1/stream_reader.h"

struct mpg123_handle_struct;

// The first MPEG audio stream (layers I, II and III) of a system stream,
// decoded by libmpg123 into the sound pool. It reads the file through a
// stream and a reader of its own, so it runs on the audio decode thread
// beside the picture decoder without sharing anything with it.
//
// Time line: the first picture's time stamp is time 0, and the device plays
// the first block from its first frame, so the sound is placed against it
// once, at the start: sound stamped before the first picture is cut off
// (with FFmpeg's MP2 encoder that is its delay, about 11 ms), sound stamped
// after it is preceded by silence. From there the sound is continuous and
// the sound card's count of frames is the clock.
class CMpegAudioDecoder : public kolm::IAudioSource {
 public:
  // Payload read before the first frames prove the stream is MPEG audio.
  static constexpr int maxSearch = 1 << 20;
  // Payload read without a frame, once decoding: the sound then ends, so one
  // step never reads through a long run of damage.
  static constexpr int maxDryRead = 4 << 20;
  // Frames decoded before the sound is accepted.
  static constexpr int framesToAccept = 3;
  // A start further than this from the first picture's is taken for a broken
  // stamp: the sound then starts with the first picture, neither cut nor delayed.
  static constexpr int maxLeadSeconds = 10;

  // stream: a stream of the decoder's own over the file (reopened), or null.
  CMpegAudioDecoder(kolm::IAudioDownstream* sink, std::unique_ptr<kolm::CStream> stream, int streamNumber);
  ~CMpegAudioDecoder() override;
  CMpegAudioDecoder(const CMpegAudioDecoder&) = delete;
  CMpegAudioDecoder& operator=(const CMpegAudioDecoder&) = delete;

  // Finds the stream's first frames and sizes the sound pool. timeBase: the
  // first picture's PTS, or negative when the pictures carry none. False,
  // with problem() saying why, when the sound cannot be decoded.
  bool open(std::int64_t timeBase);
  bool audioStep() override;
  const std::string& problem() const { return problem_; }
  // Whether seek() can place the sound: its first packet and the first
  // picture have time stamps.
  bool canSeek() const { return firstPts_ >= 0 && timeBase_ >= 0 && frameSamples_ > 0 && sourceRate_ > 0; }
  // Moves the sound so that its next block starts at frame round(time x
  // rate) of the time line open() set, with that position. Only while the
  // audio decode thread does not run.
  bool seek(std::int64_t time);

  int sourceChannels() const { return sourceChannels_; }
  long sourceRate() const { return sourceRate_; }
  int layer() const { return layer_; }
  // Frames of silence put before the sound (positive) or cut off its start
  // (negative) to place it on the pictures' time line.
  std::int64_t lead() const { return lead_; }

 private:
  // Decodes one frame onto the end of pcm_, reading at most about maxRead
  // bytes of payload (added to *read); false when the sound can go no further
  // (end of data, damage beyond bounds, a change of rate).
  bool decodeFrame(int maxRead, int* read);
  void takeFrame(const std::uint8_t* data, std::size_t bytes);
  // The time line's frame a packet stamped pts starts at.
  std::int64_t frameAt(std::int64_t pts) const;

  kolm::IAudioDownstream* sink_;
  std::unique_ptr<kolm::CStream> stream_;
  int streamNumber_;
  std::unique_ptr<CMpegStreamReader> reader_;
  CMpegPayloadReader* payload_ = nullptr;
  mpg123_handle_struct* handle_ = nullptr;
  std::string problem_;
  CAudioSampleQueue* pool_ = nullptr;
  CAudioSample* current_ = nullptr;
  int sourceChannels_ = 0;  // of the first frame
  int channels_ = 0;        // of the frames now decoded
  long sourceRate_ = 0;
  int layer_ = 0;
  std::int64_t lead_ = 0;
  std::int64_t timeBase_ = -1;  // the first picture's PTS
  std::int64_t firstPts_ = -1;  // the first sound packet's
  long frameSamples_ = 0;       // sound frames per MPEG audio frame
  std::int64_t silenceLeft_ = 0;
  std::int64_t trimLeft_ = 0;
  std::int64_t position_ = 0;  // frame of the next block
  // Decoded sound not yet in a block, always as stereo pairs.
  std::vector<std::int16_t> pcm_;
  std::size_t pcmRead_ = 0;
  bool ended_ = false;
};
