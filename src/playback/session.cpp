#include "playback/session.h"

#include "kolm/sys/sys.h"
#include "playback/statistics_json.h"

CPlaybackSession::CPlaybackSession(std::string statsJson) : statsJson_(std::move(statsJson)) {
  player_.setEndCallback([this] {
    if (onEnd) onEnd();
  });
}

CPlaybackSession::~CPlaybackSession() { close(); }

void CPlaybackSession::attach(IVideoHardwareAccelerator* presenter, kolm::CDXSound* sound, IVideoOverlay* overlay) {
  presenter_ = presenter;
  overlay_ = overlay;
  sound_ = sound;
}

bool CPlaybackSession::play(const std::string& path) {
  report();
  ended_ = false;
  // open() stops what plays first, so a file that fails leaves nothing playing.
  if (!player_.open(path, presenter_, sound_, presentPictures, overlay_)) {
    failure_ = printable(player_.lastError());
    failedFile_ = path;
    kolm::sys::debugOutput(("zarvel: cannot play " + printable(path) + ": " + failure_).c_str());
    return false;
  }
  failure_.clear();
  failedFile_.clear();
  int width = 0, height = 0;
  if (player_.getVideoSize(&width, &height) && width > 0 && height > 0 && onPictureSize)
    onPictureSize(width, height);
  player_.play();
  statisticsPending_ = true;
  return true;
}

bool CPlaybackSession::fileEnded() {
  // The news may be of a file that has since been replaced: the player says.
  if (!statisticsPending_ || !player_.isFinished()) return false;
  report();
  ended_ = true;
  return true;
}

void CPlaybackSession::close() {
  report();
  player_.stop();
}

void CPlaybackSession::report() {
  if (!statisticsPending_) return;
  statisticsPending_ = false;
  if (statsJson_.empty()) return;
  std::string error;
  if (writeStatisticsJson(statsJson_, player_.statistics(), &error)) return;
  kolm::sys::debugOutput(("zarvel: cannot write " + printable(statsJson_) + ": " + error).c_str());
  statisticsFailed_ = true;
}
