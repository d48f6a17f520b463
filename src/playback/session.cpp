#include "playback/session.h"

#include <algorithm>

#include "audio/dx_sound.h"
#include "kolm/sys/sys.h"
#include "playback/statistics_json.h"

// Opens one file with the player, then tells the session.
class CPlaybackSession::COpener final : public kolm::CThread {
 public:
  explicit COpener(CPlaybackSession& session) : session_(session) {}
  ~COpener() override { stop(); }

  void open(const std::string& path, bool presentPictures) {
    path_ = path;
    presentPictures_ = presentPictures;
    done_ = false;
    if (start() != 0) run();  // no thread to be had: here, then
  }
  bool done() const { return done_; }
  bool opened() const { return opened_; }

  void run() override {
    CThread::run();
    CPlaybackSession& s = session_;
    opened_ = s.player_.open(path_, s.presenter_, s.sound_, presentPictures_, s.overlay_);
    done_ = true;
    if (s.onNews) s.onNews();
  }

 private:
  CPlaybackSession& session_;
  std::string path_;
  bool presentPictures_ = true;
  bool opened_ = false;
  std::atomic<bool> done_{true};
};

CPlaybackSession::CPlaybackSession(std::string statsJson)
    : statsJson_(std::move(statsJson)), opener_(std::make_unique<COpener>(*this)) {
  player_.setEndCallback([this] {
    if (onNews) onNews();
  });
}

CPlaybackSession::~CPlaybackSession() { close(); }

void CPlaybackSession::attach(IVideoHardwareAccelerator* presenter, kolm::CDXSound* sound, IVideoOverlay* overlay) {
  presenter_ = presenter;
  overlay_ = overlay;
  sound_ = sound;
  if (sound_) sound_->setVolume(volume_, muted_);
}

void CPlaybackSession::play(const std::string& path) {
  if (opening_) {
    hasNext_ = true;
    nextFile_ = path;
    return;
  }
  report();
  player_.stop();
  startOpening(path);
}

void CPlaybackSession::startOpening(const std::string& path) {
  ended_ = false;
  opening_ = true;
  openingFile_ = path;
  opener_->open(path, presentPictures);
}

CPlaybackSession::News CPlaybackSession::fail(const std::string& path, const std::string& why) {
  failure_ = printable(why);
  failedFile_ = path;
  kolm::sys::debugOutput(("zarvel: cannot play " + printable(path) + ": " + failure_).c_str());
  return News::failed;
}

CPlaybackSession::News CPlaybackSession::update() {
  if (opening_) {
    if (!opener_->done()) return News::none;
    opener_->stop();
    opening_ = false;
    if (hasNext_) {
      // Replaced before it could play: the newest file is opened instead.
      hasNext_ = false;
      player_.stop();
      startOpening(nextFile_);
      return News::none;
    }
    if (!opener_->opened()) return fail(openingFile_, player_.lastError());
    failure_.clear();
    failedFile_.clear();
    int width = 0, height = 0;
    if (player_.getDisplaySize(&width, &height) && width > 0 && height > 0 && onPictureSize)
      onPictureSize(width, height);
    player_.play();
    statisticsPending_ = true;
    return News::playing;
  }
  // The news may be of a file that has since been replaced: the player says.
  if (!statisticsPending_ || !player_.isFinished()) return News::none;
  const bool pictures = player_.picturesDecoded() > 0;
  report();
  ended_ = true;
  // A file whose headers parse but whose pictures never come is no success.
  if (!pictures) fail(openingFile_, "no picture could be decoded");
  return News::ended;
}

void CPlaybackSession::changeVolume(int steps) {
  volume_ = std::clamp(volume_ + 10 * steps, 0, 100);
  if (sound_) sound_->setVolume(volume_, muted_);
}

void CPlaybackSession::toggleMute() {
  muted_ = !muted_;
  if (sound_) sound_->setVolume(volume_, muted_);
}

void CPlaybackSession::togglePause() {
  if (opening_) return;
  if (player_.paused())
    player_.resume();
  else
    player_.pause();
}

void CPlaybackSession::close() {
  if (opening_) {
    // The open cannot be cut short; its file is not played.
    opener_->stop();
    opening_ = hasNext_ = false;
  }
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
