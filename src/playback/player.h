#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kolm/clock.h"
#include "kolm/decode_path.h"
#include "kolm/stream.h"
#include "kolm/video_hardware_accelerator.h"
#include "video/video_overlay.h"

namespace kolm {
class CAudioRenderer;
class CDXSound;
class CVideoDecodeThread;
class CVideoRenderer;
}  // namespace kolm

// What one file's playback showed and played, for --stats-json and the tests.
struct PlaybackStatistics {
  std::string path;                 // "mpeg1", "ogg" or "ffmpeg"; "" when nothing is open
  long pictures = 0;                // presented
  long earlyPictures = 0;           // presented before their time (should stay 0)
  std::vector<double> latenessMs;   // per presented picture: playback time at present minus its stamp
  long blocksPlayed = 0;            // sound blocks written to the device
  long blocksDropped = 0;           // sound blocks that came too late and were dropped
  long underruns = 0;               // chunks that had no block and played silence
  bool hasSound = false;            // the file's sound plays (the sound device is the clock)
  long seeks = 0;                   // seeks made
  std::vector<double> seekLatencyMs;  // per seek that showed a picture: from its command to that picture
  double pausedMs = 0;              // time spent paused
};

// The display size of a picture of that format (see CPlayer::getDisplaySize).
void displaySize(const kolm::VideoFormat& format, int* width, int* height);

// Plays one file at a time: builds the playback graph of a file (byte stream,
// video and audio renderers, decode threads), chooses the clock, starts it,
// and tears it down in a fixed order. All operations run on one thread (the
// window's). The presenter and the sound device belong to the caller and
// outlive the player.
class CPlayer {
 public:
  CPlayer();
  ~CPlayer();
  CPlayer(const CPlayer&) = delete;
  CPlayer& operator=(const CPlayer&) = delete;

  // Stops whatever plays, then opens path: true when a decode path accepted
  // it and the graph is ready to play. sound may be null (pictures only).
  // presentPictures false is the timing mode (pictures decoded and recycled
  // unseen, where the path allows it). With an overlay and no presenter the
  // pictures are shown in the overlay.
  bool open(const std::string& path, IVideoHardwareAccelerator* presenter, kolm::CDXSound* sound,
            bool presentPictures, IVideoOverlay* overlay = nullptr);
  // Starts the opened file; nothing when none is open.
  void play();
  // Ends playback and frees the graph; safe at any time.
  void stop();
  // Pictures and sound stand still where they are, and so does playback
  // time (the sound card's, or the built-in clock's); resume() goes on from
  // there. Nothing when no file plays. A new file starts unpaused.
  void pause();
  void resume();
  bool paused();
  // Moves the open file to `time` (100 ns units from its first picture),
  // before or while it plays, paused or not: the picture on the screen at
  // that time comes first, the sound resumes there in step with it, and
  // playback time goes on from it. A time past the end ends the file as the
  // end of its data does. False (nothing changed) when no file is open or
  // its path cannot seek in it. Waits for the threads to stop and decodes
  // up to the target: run it off the window's thread.
  bool seek(std::int64_t time);
  // Any thread: the seek under way (or the next one) stops decoding toward
  // its target, as another target has come; its picture is not awaited.
  // clearSeekCut() before a seek that must run to its end.
  void cutSeekShort() { seekCut_ = true; }
  void clearSeekCut() { seekCut_ = false; }
  // The open file can be moved in.
  bool canSeek();
  // The open file's length on the same scale, -1 where it does not say.
  std::int64_t duration();
  // Where playback is (the target of the last seek until it plays on).
  std::int64_t position();
  // When each seek's first picture was shown (the millisecond timer; 0 for
  // none), in order.
  std::vector<std::uint64_t> seekShownAt();
  // The picture size of the open file; false when none is open.
  bool getVideoSize(int* width, int* height);
  // The size that shows the open file's picture in its true shape: the
  // stored size widened (or heightened) by the pixel aspect, never narrowed,
  // so no stored pixel is lost; false when none is open.
  bool getDisplaySize(int* width, int* height);

  // Why the last open failed ("no such file", "no decode path accepts FILE
  // (...)"), or "".
  const std::string& lastError() const { return lastError_; }
  // A file is open (and playing once play() has been called).
  bool isOpen() const { return isOpen_; }
  // True once every decode thread has ended and every delivered picture and
  // sound block has been shown or played (false when nothing is open).
  bool isFinished();
  // Called once per played file, on one of the playback threads, as soon as
  // isFinished() has become true. It must only pass the news on (set an
  // event, post a message); it must not call the player. Set it while
  // nothing plays.
  void setEndCallback(std::function<void()> callback) { endCallback_ = std::move(callback); }
  // What the open file's playback has shown so far.
  PlaybackStatistics statistics();

  // Pictures the file's decode path decoded (shown or, in timing mode, not);
  // final once isFinished().
  std::int64_t picturesDecoded();

  // The decode thread's statistics line once the file has ended, else "".
  std::string statisticsLine();

  kolm::CTimekeeper& timekeeper() { return timekeeper_; }

 private:
  std::string currentFile_;
  kolm::CVideoRenderer* videoRenderer_ = nullptr;
  kolm::CAudioRenderer* audioRenderer_ = nullptr;
  kolm::CVideoDecodeThread* decodeThread_ = nullptr;
  kolm::CStream* stream_ = nullptr;
  kolm::CTimekeeper timekeeper_;
  bool isOpen_ = false;
  bool soundIsClock_ = false;  // the open file's sound plays and drives the clock
  std::atomic<bool> seekCut_{false};
  bool playing_ = false;       // play() has started the threads
  bool presentPictures_ = true;
  std::int64_t startAt_ = 0;   // where play() starts (a seek before it)
  kolm::CDXSound* sound_ = nullptr;
  // Stops the renderers and both decode threads, keeping the path; resume() plays on.
  void halt();
  void restart(std::int64_t time);
  std::string lastError_;
  std::function<void()> endCallback_;
  // The threads report that they may have reached the end; the first report
  // that finds the file finished passes it on. Off while the graph is built
  // and torn down.
  std::atomic<bool> watchingEnd_{false};
  void checkEnd();
};
