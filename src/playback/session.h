#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kolm/printable.h"
#include "kolm/thread.h"
#include "kolm/video_hardware_accelerator.h"
#include "playback/player.h"

namespace kolm {
class CDXSound;
}

using kolm::printable;

// What every front end (a window, headless mode) does with the files it is
// given: stops what plays, opens the file on a thread of its own (a slow
// file never holds the front end up), says why when it cannot be played,
// hears of its end without asking, reports its statistics once and tears it
// down. The front end keeps its own events, window, presenter and sound device.
//
// Threads: every operation on the front end's thread; onNews comes on the
// opening thread or a playback thread.
class CPlaybackSession {
 public:
  // statsJson: where each file's statistics go when it stops ("-" standard
  // output), "" for nowhere.
  explicit CPlaybackSession(std::string statsJson);
  ~CPlaybackSession();
  CPlaybackSession(const CPlaybackSession&) = delete;
  CPlaybackSession& operator=(const CPlaybackSession&) = delete;

  // The presenter (or, without one, the overlay) and the sound device (may
  // be null) every file plays through, before the first play(); they outlive
  // close().
  void attach(IVideoHardwareAccelerator* presenter, kolm::CDXSound* sound, IVideoOverlay* overlay = nullptr);
  // Stops what plays (it reports) and starts opening path; onNews says when
  // it plays or could not be played. A play() while a file is still opening
  // replaces it once that open is done (the newest wins).
  // start: where to begin (100 ns units), as a seek would go there.
  void play(const std::string& path, std::int64_t start = 0);

  enum class News {
    none,     // nothing yet
    playing,  // the file opened and plays (onPictureSize came first)
    failed,   // it cannot be played: failure() says why, in one line on the debug output too
    ended,    // it played to its end; failure() is set when no picture could be decoded
  };
  // After onNews, on the front end's thread: what has happened.
  News update();
  // Reports what plays and stops it, after waiting for a file that is still
  // opening; before the presenter and the sound device go. Harmless twice.
  void close();

  // What the session tells the front end; set before the first play().
  // On the front end's thread, in update(), before a file's clock starts:
  // the size that shows its picture in its true shape (the stored size,
  // widened or heightened by the pixel aspect), for the window to take.
  std::function<void(int width, int height)> onPictureSize;
  // On any thread: there is news; the front end calls update() on its own
  // thread (it posts a message, sets an event).
  std::function<void()> onNews;
  // The sound's loudness for this and every later file: 0 to 100 % in steps
  // of 10 (on a decibel scale), and muting, which keeps the level.
  void changeVolume(int steps);
  void toggleMute();
  int volume() const { return volume_; }
  bool muted() const { return muted_; }
  // Moves what plays to a time, or by a step from where it is (or from the
  // target of a seek still under way): one seek runs at a time, on the
  // opening thread; the commands that come meanwhile (or while the file is
  // opening) make one next target. Nothing while no file plays or its path
  // cannot seek.
  void seekTo(std::int64_t time);
  void seekBy(std::int64_t delta);
  bool seeking() const { return seeking_; }
  bool canSeek() const { return canSeek_ && !opening_; }
  // Where playback is, and the file's length (-1 unknown), in 100 ns units.
  std::int64_t position();
  std::int64_t duration();
  // Pauses what plays, or resumes it; nothing while none plays.
  void togglePause();
  bool paused() { return !opening_ && !seeking_ && player_.paused(); }
  // Presenting (true) or timing mode, for the next file.
  bool presentPictures = true;
  // A file is being opened.
  bool opening() const { return opening_; }
  // Why the last file failed, printable; "" after one played.
  const std::string& failure() const { return failure_; }
  // The file that failed.
  const std::string& failedFile() const { return failedFile_; }
  // The last file played has played to its end.
  bool ended() const { return ended_; }
  // Pictures the file playing now has shown; 0 while none plays.
  long picturesShown() { return !opening_ && !seeking_ && player_.isOpen() ? player_.statistics().pictures : 0; }
  // Statistics could not be written (said on the debug output).
  bool statisticsFailed() const { return statisticsFailed_; }

  // Not while opening() or seeking().
  CPlayer& player() { return player_; }
  kolm::CTimekeeper& timekeeper() { return player_.timekeeper(); }

 private:
  class COpener;
  void startOpening(const std::string& path, std::int64_t start);
  void startSeek(std::int64_t time, std::uint64_t commandAt);
  News fail(const std::string& path, const std::string& why);
  void report();

  std::string statsJson_;
  IVideoHardwareAccelerator* presenter_ = nullptr;
  IVideoOverlay* overlay_ = nullptr;
  kolm::CDXSound* sound_ = nullptr;
  CPlayer player_;
  std::unique_ptr<COpener> opener_;
  bool opening_ = false;
  std::string openingFile_;
  bool hasNext_ = false;  // a play() came while opening or seeking
  std::string nextFile_;
  std::int64_t nextStart_ = 0;
  bool seeking_ = false;
  std::int64_t seekTarget_ = 0;  // of the seek under way
  bool hasSeek_ = false;         // a seek came while one was under way
  std::int64_t nextTarget_ = 0;
  bool pauseToggles_ = false;    // a pause key came while seeking
  bool canSeek_ = false;         // of the file playing
  std::int64_t duration_ = -1;
  std::uint64_t nextCommandAt_ = 0;
  struct SeekRecord {
    std::uint64_t commandAt;  // the timer at its first command; 0 for a start position
    bool moved;               // the player moved
  };
  std::vector<SeekRecord> seeks_;  // of the file playing, in order
  std::string failure_;
  std::string failedFile_;
  bool statisticsPending_ = false;  // a file plays whose statistics are still to be written
  bool ended_ = false;
  bool statisticsFailed_ = false;
  int volume_ = 100;
  bool muted_ = false;
};
