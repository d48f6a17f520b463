#pragma once

#include <functional>
#include <string>

#include "kolm/printable.h"
#include "kolm/video_hardware_accelerator.h"
#include "playback/player.h"

namespace kolm {
class CDXSound;
}

using kolm::printable;

// What every front end (a window, headless mode) does with the files it is
// given: stops what plays, opens the file, says why when it cannot be played,
// hears of its end without asking, reports its statistics once and tears it
// down. The front end keeps its own events, window, presenter and sound device.
//
// Threads: every operation on the front end's thread; onEnd comes on a
// playback thread.
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
  // Stops what plays (it reports), then opens and plays path. False when it
  // cannot be played: nothing plays then, failure() says why, and one line
  // "zarvel: cannot play PATH: REASON" has gone to the debug output.
  bool play(const std::string& path);
  // After onEnd: true once, when the file has really
  // played to its end; its statistics have then been reported.
  bool fileEnded();
  // Reports what plays and stops it; before the presenter and the sound
  // device go. Harmless twice.
  void close();

  // What the session tells the front end; set before the first play().
  // On the front end's thread, while play() opens a file, before its clock
  // starts: the picture's size, for the window to take.
  std::function<void(int width, int height)> onPictureSize;
  // On a playback thread, once per file that plays to its end: the front end
  // calls fileEnded() on its own thread (it posts a message, sets an event).
  std::function<void()> onEnd;
  // Presenting (true) or timing mode, for the next file.
  bool presentPictures = true;
  // Why the last play() failed, printable; "" after one succeeded.
  const std::string& failure() const { return failure_; }
  // The file the last play() failed to play.
  const std::string& failedFile() const { return failedFile_; }
  // The last file played has played to its end.
  bool ended() const { return ended_; }
  // Pictures the file playing now has shown; 0 while none plays.
  long picturesShown() { return player_.isOpen() ? player_.statistics().pictures : 0; }
  // Statistics could not be written (said on the debug output).
  bool statisticsFailed() const { return statisticsFailed_; }

  CPlayer& player() { return player_; }
  kolm::CTimekeeper& timekeeper() { return player_.timekeeper(); }

 private:
  void report();

  std::string statsJson_;
  IVideoHardwareAccelerator* presenter_ = nullptr;
  IVideoOverlay* overlay_ = nullptr;
  kolm::CDXSound* sound_ = nullptr;
  CPlayer player_;
  std::string failure_;
  std::string failedFile_;
  bool statisticsPending_ = false;  // a file plays whose statistics are still to be written
  bool ended_ = false;
  bool statisticsFailed_ = false;
};
