#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio/audio_renderer.h"
#include "kolm/clock.h"
#include "kolm/decode_path.h"
#include "kolm/stream.h"
#include "kolm/thread.h"
#include "video/video_renderer.h"

namespace kolm {

// Drives the sound of the open file: one block per step.
class CAudioDecodeThread : public CThread {
 public:
  CAudioDecodeThread() = default;
  ~CAudioDecodeThread() override;

  void run() override;
  // The body has returned (or never ran since the last start).
  bool ended() const { return ended_.load(); }

  IAudioSource* source = nullptr;  // not owned; null when the file has no sound
  const char* pathName = "";       // for what it says when the sound fails
  std::function<void()> onEnded;   // on this thread, once the body is done

 private:
  friend class CVideoDecodeThread;
  std::atomic<bool> ended_{true};
};

// Probes a file with the decode paths and then runs the chosen path, one
// step per pass, until its data ends or a stop is requested; then writes one
// statistics line to the debug output. Owns the path.
//
// Threads: construction, probe(), setPresentPictures(), getVideoSize(),
// preroll(), startThreads() and teardown() on the controlling (window) thread.
class CVideoDecodeThread : public CThread {
 public:
  CVideoDecodeThread(CVideoRenderer* videoRenderer, CAudioRenderer* audioRenderer, CStream* stream,
                     CTimekeeper* timekeeper, const std::string& path);
  ~CVideoDecodeThread() override;

  // True when a path accepted the file; at once when one already has.
  bool probe();
  // The audio decode thread first (a file with sound), then this one.
  void startThreads();
  // Timing mode (false) recycles pictures unseen where the path allows it.
  void setPresentPictures(bool present);
  bool getVideoSize(int* width, int* height);
  // The open file's picture format; false when none is open.
  bool videoFormat(VideoFormat* format);
  // Before the threads start: decodes on the calling thread until the first
  // picture has reached the renderer (or the data ends, limitMs pass or *cut
  // becomes true), so that playback starts with a picture ready instead of
  // one decode late.
  void preroll(int limitMs, const std::atomic<bool>* cut = nullptr);
  // Stops and joins both threads, then deletes the path. Harmless twice.
  void teardown();
  // For a seek: stops and joins both threads, keeping the path where it is;
  // startThreads() goes on. No statistics line for this stop.
  void stopThreads();
  // While no thread runs: the path's seek (false where it cannot).
  bool seek(std::int64_t time);
  bool canSeek() const { return path_ && path_->canSeek(); }
  // The file's length on the pictures' scale, -1 where unknown.
  std::int64_t duration() const { return path_ ? path_->duration() : -1; }

  void run() override;

  bool hasAudio = false;
  // Called on the thread that ended, when either decode thread has ended.
  std::function<void()> onEnded;
  // Why probe() failed, for the user; "" after a success.
  const std::string& refusal() const { return refusal_; }
  // The accepting path's name; "" before one has.
  const char* pathName() const { return path_ ? path_->name() : ""; }
  // Pictures the path decoded; read once the video decode thread has ended.
  std::int64_t picturesDecoded() const { return path_ ? path_->picturesDecoded() : 0; }
  // Both threads have run and ended (true also once torn down).
  bool finished();
  // The statistics line the last run wrote.
  std::string statisticsLine();

 private:
  // One step; false at the end of the pictures or when the path failed (said
  // once on the debug output).
  bool step();

  CVideoRenderer* videoRenderer_;
  CAudioRenderer* audioRenderer_;
  CStream* stream_;
  std::unique_ptr<IDecodePath> path_;
  std::string refusal_;
  bool dataEnded_ = false;  // a step already returned false (during preroll)
  std::atomic<bool> restarting_{false};  // the threads stop for a seek, not for good
  bool running_ = false;     // the threads have started since the file opened
  std::int64_t startedAt_ = 0;  // playback time when they first started
  CTimekeeper* timekeeper_;
  std::string fileName_;
  CAudioDecodeThread audioThread_;
  std::atomic<bool> videoEnded_{true};
  sys::CriticalSection lock_;  // guards statistics_
  std::string statistics_;
};

// "zarvel : M:SS.mmm", with ", decode M:SS.mmm" for a path that measures its decode time.
std::string formatStatistics(std::int64_t elapsed100ns, bool withDecodeTime, std::uint32_t decodeMilliseconds);

// What an exception that ended a decode step says: a standard exception's
// text, a platform error's, or "unexpected error".
std::string describeCurrentException();

}  // namespace kolm
