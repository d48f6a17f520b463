#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "audio/sound_device.h"
#include "kolm/audio_format.h"
#include "kolm/clock.h"
#include "kolm/sound_format_sink.h"
#include "kolm/sys/sys.h"

namespace kolm {

// One looping buffer cut into equal chunks, one sound block per chunk. The
// renderer writes whole chunks behind the play cursor; the buffer signals an
// event each time the cursor passes the end of a chunk.
//
// Two frame counters turn the wrapping cursor into a running count of played
// frames: one for the writer side (playedFrames, also read by the producer's
// deliver), one for the clock (clockFrames, read from any thread). A wrap is
// only seen if a counter is read at least once per buffer length.
//
// Threads: the writer-side operations belong to the renderer thread; stop(),
// playedFrames() and clockFrames() may be called from any thread.
class CDXStreamingSound {
 public:
  CDXStreamingSound(std::unique_ptr<ISoundBuffer> buffer, std::uint32_t totalBytes, std::uint32_t chunkBytes,
                    const AudioFormat& format);
  ~CDXStreamingSound();
  CDXStreamingSound(const CDXStreamingSound&) = delete;
  CDXStreamingSound& operator=(const CDXStreamingSound&) = delete;

  // ds::ok when restored (*restored set), ds::sFalse when not lost or when
  // it stayed lost, or the failure that stopped the attempts.
  HResult restoreIfLost(bool* restored);
  HResult fillSilence();
  // Rewinds to offset 0 for a new start, with both frame counts at 0.
  HResult reset();
  // The first block, at offset 0, before playback; false on a playing buffer.
  bool writeFirst(const void* data, std::uint32_t length);
  // One whole chunk at the write offset; false unless length is one chunk.
  bool writeChunk(const void* data, std::uint32_t length);
  // A chunk of silence at the write offset, in place of a missing block.
  bool writeSilence();
  // Fills with silence each chunk the cursor has wholly played since the last
  // call, except the one at the write offset (the next write replaces that),
  // so that nothing plays twice. Returns the number of chunks filled.
  int silencePlayedChunks();
  HResult play(std::uint32_t priority, std::uint32_t flags, std::int32_t volume, std::int32_t frequency,
               std::int32_t pan);
  HResult stop();
  // Plays on from where stop() left it, the frame counters kept.
  HResult resume();
  // Attenuation in hundredths of a decibel, where the buffer has the control.
  void setVolume(std::int32_t attenuation);
  // What the buffer reports (volumeMax where it cannot say).
  std::int32_t volume();
  bool updatePlayed();
  bool isFull();
  // True once the writes have gone round the whole buffer since writeFirst:
  // from then on every chunk is written when the cursor has left it.
  bool isFilled() const { return filled_; }
  // Frames played since play(): 0 when the cursor cannot be read.
  std::uint64_t playedFrames();
  // The played-frame count at which the chunk at the write offset next starts
  // to play, so a block can be judged against the slot it would fill.
  bool nextWriteFrame(std::uint64_t* frame);
  std::uint64_t clockFrames();

  std::uint32_t totalBytes() const { return totalBytes_; }
  std::uint32_t chunkBytes() const { return chunkBytes_; }
  std::uint32_t writeOffset() const { return writeOffset_; }
  const AudioFormat& format() const { return format_; }
  const SoundBufferCaps& caps() const { return caps_; }

 private:
  // Restores a lost buffer and silences it when that happened; false when the
  // operation must not go on.
  bool prepareWrite();
  // Locks one chunk at offset without wrapping; null when that is not possible.
  std::uint8_t* lockChunk(std::uint32_t offset, std::uint32_t* bytes);
  // The played-frame count for a cursor read now, with wraps counted.
  bool readPlayed(std::uint32_t* cursor, std::uint64_t* played);
  std::uint8_t silenceByte() const { return format_.bitsPerSample == 8 ? 0x80 : 0x00; }

  std::unique_ptr<ISoundBuffer> buffer_;
  std::uint32_t totalBytes_;
  std::uint32_t chunkBytes_;
  AudioFormat format_;
  std::uint32_t blockBytes_;
  SoundBufferCaps caps_;
  std::uint32_t writeOffset_ = 0;    // always a multiple of chunkBytes_
  bool filled_ = false;
  std::uint64_t silencedChunks_ = 0;  // chunks of the played count already refilled

  // Writer-side counter; the producer reads it too.
  sys::CriticalSection playedLock_;
  std::uint32_t lastCursor_ = 0;
  std::uint64_t wrapFrames_ = 0;

  sys::CriticalSection clockLock_;
  std::uint32_t clockCursor_ = 0;
  std::uint64_t clockWrapFrames_ = 0;
};

class CTimekeeper;

// The process's sound device and its current streaming buffer; also the audio
// clock, whose time is the number of frames the buffer has played.
//
// Threads: setFormat(), createStream() and setNotifyEvent() run on the
// player's thread while no renderer thread runs; the buffer operations on the
// renderer thread; getTime(), playedFrames() and stopBuffer() on any thread.
// The streaming buffer is shared, so a reader on another thread never sees it
// deleted under its feet when a new file replaces it.
class CDXSound : public IReferenceClock, public ISoundFormatSink {
 public:
  // window is handed to the device's cooperative level; factory makes the
  // device (tried twice, see createDevice).
  CDXSound(void* window, SoundDeviceFactory factory);
  ~CDXSound() override;
  CDXSound(const CDXSound&) = delete;
  CDXSound& operator=(const CDXSound&) = delete;

  // Makes the device at priority level, else at normal level; no device
  // afterwards when neither works.
  void createDevice();
  // Adjusts the record in place to what the device supports and agrees it.
  // Without a device the record is left as asked.
  void setFormat(AudioFormat& format) override;
  // Replaces the streaming buffer by one of count chunks of the agreed format.
  bool createStream(int count) override;
  // Lets the streaming buffer go, and what the device keeps open for a next
  // one, when a file without sound plays; a clock reading then gives 0.
  void releaseStream();

  // Signalled at every chunk boundary of the buffers created from now on.
  void setNotifyEvent(sys::EventHandle event) { notifyEvent_ = event; }
  sys::EventHandle notifyEvent() const { return notifyEvent_; }

  void resetBuffer();
  bool writeFirst(const void* data, const AudioFormat& format);
  bool writeChunk(const void* data, const AudioFormat& format);
  bool writeSilence();
  int silencePlayedChunks();
  bool play();
  void stopBuffer();
  // The loudness of every buffer, this one and those made later: a share of
  // full loudness (0 to 100 %, on a decibel scale), or silence when muted.
  void setVolume(int percent, bool muted);
  // The attenuation that gives (hundredths of a decibel, as buffers take it).
  std::int32_t attenuation() const { return attenuation_; }
  // A pause: the buffer stops where it is, and plays on from there.
  void pauseBuffer();
  void resumeBuffer();
  bool isFull();
  bool isFilled();
  std::uint64_t playedFrames();
  bool nextWriteFrame(std::uint64_t* frame);

  // 100 ns units: frames played by the streaming buffer; 0 without one.
  std::int64_t getTime() override;
  IReferenceClock* attachTimekeeper(CTimekeeper* timekeeper);

  // For measurements (the sync benchmark): told of every block written, with
  // the device frame its first frame plays at (the clock reads frames played).
  // Set before playback starts; called on the audio renderer's thread.
  std::function<void(const void* data, std::uint32_t bytes, const AudioFormat& format, std::uint64_t frame)>
      onWritten;

  bool hasDevice() const { return device_ != nullptr; }
  std::uint32_t cooperativeLevel() const { return cooperativeLevel_; }
  AudioFormat format() const { return format_; }
  CTimekeeper* timekeeper() const { return timekeeper_; }
  std::shared_ptr<CDXStreamingSound> streamingSound();

 private:
  void setPrimaryFormat();

  void* window_;
  SoundDeviceFactory factory_;
  sys::EventHandle notifyEvent_ = nullptr;
  sys::CriticalSection streamLock_;  // guards the pointer, not the buffer
  std::shared_ptr<CDXStreamingSound> stream_;
  std::unique_ptr<ISoundDevice> device_;
  std::uint32_t cooperativeLevel_ = ds::levelNormal;
  AudioFormat format_;
  CTimekeeper* timekeeper_ = nullptr;
  std::atomic<std::int32_t> attenuation_{ds::volumeMax};
};

// WAVEFORMATEX of a PCM format.
PcmFormat pcmFormat(const AudioFormat& format);

}  // namespace kolm
