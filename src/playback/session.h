#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

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
  void play(const std::string& path);

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
  // Pauses what plays, or resumes it; nothing while none plays.
  void togglePause();
  bool paused() { return !opening_ && player_.paused(); }
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
  long picturesShown() { return !opening_ && player_.isOpen() ? player_.statistics().pictures : 0; }
  // Statistics could not be written (said on the debug output).
  bool statisticsFailed() const { return statisticsFailed_; }

  // Not while opening().
  CPlayer& player() { return player_; }
  kolm::CTimekeeper& timekeeper() { return player_.timekeeper(); }

 private:
  class COpener;
  void startOpening(const std::string& path);
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
  bool hasNext_ = false;  // a play() came while opening
  std::string nextFile_;
  std::string failure_;
  std::string failedFile_;
  bool statisticsPending_ = false;  // a file plays whose statistics are still to be written
  bool ended_ = false;
  bool statisticsFailed_ = false;
  int volume_ = 100;
  bool muted_ = false;
};
