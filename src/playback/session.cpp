#include "playback/session.h"

#include <algorithm>

#include "audio/dx_sound.h"
#include "kolm/sys/sys.h"
#include "playback/statistics_json.h"

// Opens one file with the player, or moves the open one, then tells the session.
class CPlaybackSession::COpener final : public kolm::CThread {
 public:
  explicit COpener(CPlaybackSession& session) : session_(session) {}
  ~COpener() override { stop(); }

  void open(const std::string& path, bool presentPictures, std::int64_t start) {
    seeking_ = false;
    path_ = path;
    presentPictures_ = presentPictures;
    target_ = start;
    begin();
  }
  void seek(std::int64_t target) {
    seeking_ = true;
    target_ = target;
    begin();
  }
  bool done() const { return done_; }
  bool opened() const { return opened_; }
  bool moved() const { return moved_; }

  void run() override {
    CThread::run();
    CPlaybackSession& s = session_;
    if (seeking_) {
      moved_ = s.player_.seek(target_);
    } else {
      opened_ = s.player_.open(path_, s.presenter_, s.sound_, presentPictures_, s.overlay_);
      // Where a file cannot seek it starts at its start.
      moved_ = opened_ && target_ > 0 && s.player_.seek(target_);
    }
    done_ = true;
    if (s.onNews) s.onNews();
  }

 private:
  void begin() {
    done_ = false;
    if (start() != 0) run();  // no thread to be had: here, then
  }

  CPlaybackSession& session_;
  std::string path_;
  bool presentPictures_ = true;
  bool seeking_ = false;
  std::int64_t target_ = 0;
  bool opened_ = false;
  bool moved_ = false;
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

void CPlaybackSession::play(const std::string& path, std::int64_t start) {
  if (opening_ || seeking_) {
    hasNext_ = true;
    nextFile_ = path;
    nextStart_ = start;
    return;
  }
  report();
  player_.stop();
  startOpening(path, start);
}

void CPlaybackSession::startOpening(const std::string& path, std::int64_t start) {
  ended_ = false;
  opening_ = true;
  openingFile_ = path;
  hasSeek_ = false;
  pauseToggles_ = false;
  seeks_.clear();
  opener_->open(path, presentPictures, start);
}

std::int64_t CPlaybackSession::position() {
  if (opening_) return hasSeek_ ? nextTarget_ : 0;
  if (!player_.isOpen()) return 0;
  if (seeking_) return hasSeek_ ? nextTarget_ : seekTarget_;
  return player_.position();
}

std::int64_t CPlaybackSession::duration() {
  if (opening_ || !player_.isOpen()) return -1;
  return duration_;
}

void CPlaybackSession::seekBy(std::int64_t delta) { seekTo(position() + delta); }

void CPlaybackSession::seekTo(std::int64_t time) {
  if (time < 0) time = 0;
  if (!opening_ && (!player_.isOpen() || !canSeek_)) return;
  if (opening_ || seeking_) {
    // One seek at a time: the keys pressed meanwhile make one next target,
    // whose latency counts from the first of them.
    if (!hasSeek_) nextCommandAt_ = kolm::sys::milliseconds();
    hasSeek_ = true;
    nextTarget_ = time;
    // The seek under way need not decode up to a target that no one waits
    // for any more: the new one starts as soon as it stops.
    if (seeking_) player_.cutSeekShort();
    return;
  }
  startSeek(time, kolm::sys::milliseconds());
}

void CPlaybackSession::startSeek(std::int64_t time, std::uint64_t commandAt) {
  seeking_ = true;
  player_.clearSeekCut();
  seeks_.push_back({commandAt, false});
  seekTarget_ = time;
  // A file that ended plays again from there, and reports again.
  if (ended_) {
    ended_ = false;
    statisticsPending_ = true;
  }
  opener_->seek(time);
}

CPlaybackSession::News CPlaybackSession::fail(const std::string& path, const std::string& why) {
  failure_ = printable(why);
  failedFile_ = path;
  kolm::sys::debugOutput(("zarvel: cannot play " + printable(path) + ": " + failure_).c_str());
  return News::failed;
}

CPlaybackSession::News CPlaybackSession::update() {
  if (seeking_) {
    if (!opener_->done()) return News::none;
    opener_->stop();
    seeking_ = false;
    if (!seeks_.empty()) seeks_.back().moved = opener_->moved();
    if (hasNext_) {
      hasNext_ = false;
      report();
      player_.stop();
      startOpening(nextFile_, nextStart_);
      return News::none;
    }
    if (pauseToggles_) {
      pauseToggles_ = false;
      togglePause();
    }
    if (hasSeek_) {
      hasSeek_ = false;
      startSeek(nextTarget_, nextCommandAt_);
      return News::none;
    }
  }
  if (opening_) {
    if (!opener_->done()) return News::none;
    opener_->stop();
    opening_ = false;
    if (hasNext_) {
      // Replaced before it could play: the newest file is opened instead.
      hasNext_ = false;
      player_.stop();
      startOpening(nextFile_, nextStart_);
      return News::none;
    }
    if (!opener_->opened()) return fail(openingFile_, player_.lastError());
    failure_.clear();
    failedFile_.clear();
    int width = 0, height = 0;
    if (player_.getDisplaySize(&width, &height) && width > 0 && height > 0 && onPictureSize)
      onPictureSize(width, height);
    canSeek_ = player_.canSeek();
    duration_ = player_.duration();
    if (opener_->moved()) seeks_.push_back({0, true});  // the start position
    player_.play();
    statisticsPending_ = true;
    // A seek asked for while the file was opening goes now.
    if (hasSeek_) {
      hasSeek_ = false;
      if (canSeek_) startSeek(nextTarget_, nextCommandAt_);
    }
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
  if (seeking_) {
    pauseToggles_ = !pauseToggles_;  // once the seek is done
    return;
  }
  if (player_.paused())
    player_.resume();
  else
    player_.pause();
}

void CPlaybackSession::close() {
  if (opening_ || seeking_) {
    // The open or seek cannot be cut short; it is waited for.
    opener_->stop();
    opening_ = seeking_ = hasNext_ = hasSeek_ = false;
  }
  report();
  player_.stop();
}

void CPlaybackSession::report() {
  if (!statisticsPending_) return;
  statisticsPending_ = false;
  if (statsJson_.empty()) return;
  std::string error;
  PlaybackStatistics stats = player_.statistics();
  // Seek latency: from the first command of each seek done to its first
  // picture (a start position, asked for with the file, is not a command).
  // The player lists a shown time for each seek that moved, in order.
  const std::vector<std::uint64_t> shown = player_.seekShownAt();
  std::size_t picture = 0;
  for (const SeekRecord& seek : seeks_) {
    if (seek.commandAt != 0) ++stats.seeks;
    if (!seek.moved) continue;
    const std::uint64_t at = picture < shown.size() ? shown[picture] : 0;
    ++picture;
    if (seek.commandAt != 0 && at >= seek.commandAt)
      stats.seekLatencyMs.push_back(static_cast<double>(at - seek.commandAt));
  }
  if (writeStatisticsJson(statsJson_, stats, &error)) return;
  kolm::sys::debugOutput(("zarvel: cannot write " + printable(statsJson_) + ": " + error).c_str());
  statisticsFailed_ = true;
}
