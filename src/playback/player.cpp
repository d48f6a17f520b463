#include "playback/player.h"

#include "audio/audio_renderer.h"
#include "audio/dx_sound.h"
#include "playback/decode_threads.h"
#include "video/video_renderer.h"

namespace {
// Bounds the decoding done on the window's thread before playback starts.
constexpr int prerollLimitMs = 500;
}  // namespace

CPlayer::CPlayer() = default;

CPlayer::~CPlayer() { stop(); }

bool CPlayer::open(const std::string& path, IVideoHardwareAccelerator* presenter, kolm::CDXSound* sound,
                   bool presentPictures, IVideoOverlay* overlay) {
  stop();
  lastError_.clear();
  stream_ = kolm::openFileStream(path.c_str(), 1, &lastError_);
  if (!stream_) {
    // Nothing plays: the sound output goes too (see below).
    if (sound) sound->releaseStream();
    return false;
  }
  videoRenderer_ = new kolm::CVideoRenderer(presenter, &timekeeper_);
  videoRenderer_->overlay = overlay;
  audioRenderer_ = new kolm::CAudioRenderer(sound, &timekeeper_);
  decodeThread_ = new kolm::CVideoDecodeThread(videoRenderer_, audioRenderer_, stream_, &timekeeper_, path);
  // Each of the four threads can be the last to finish its part.
  decodeThread_->onEnded = [this] { checkEnd(); };
  videoRenderer_->onIdle = [this] { checkEnd(); };
  audioRenderer_->onDrained = [this] { checkEnd(); };
  if (!decodeThread_->probe()) {
    const std::string why = decodeThread_->refusal();
    stop();
    if (sound) sound->releaseStream();
    lastError_ = "no decode path accepts " + path + (why.empty() ? "" : " (" + why + ")");
    return false;
  }
  // The sound card is the clock only when the file's sound can really play:
  // a file without sound, a machine without a sound device or a sound buffer
  // that could not be made keep the built-in clock, which always moves.
  const bool soundPlays = decodeThread_->hasAudio && sound && sound->hasDevice() &&
                          audioRenderer_->sampleQueue()->isAllocated();
  // The sound output stays open from one file with sound to the next (on
  // some systems closing it takes seconds); a file without sound lets it go.
  if (!decodeThread_->hasAudio && sound) sound->releaseStream();
  kolm::IReferenceClock* clock = soundPlays ? sound->attachTimekeeper(&timekeeper_) : nullptr;
  timekeeper_.clock = clock ? clock : &timekeeper_.basicClock;
  soundIsClock_ = clock != nullptr;
  currentFile_ = path;
  isOpen_ = true;
  sound_ = sound;
  presentPictures_ = presentPictures;
  startAt_ = 0;
  decodeThread_->setPresentPictures(presentPictures);
  // The first picture is decoded now, so that it is ready when the clock
  // starts (in the timing mode nothing reaches the renderer: no preroll).
  if (presentPictures) decodeThread_->preroll(prerollLimitMs);
  return true;
}

void CPlayer::play() {
  if (!isOpen_) return;
  if (presentPictures_) videoRenderer_->drawFirstPicture();
  timekeeper_.start();
  restart(startAt_);
}

void CPlayer::restart(std::int64_t time) {
  watchingEnd_ = true;
  timekeeper_.setPlaybackTime(time);
  audioRenderer_->start();
  videoRenderer_->start();
  decodeThread_->startThreads();
  playing_ = true;
}

void CPlayer::halt() {
  // As in stop(): the renderers hand every delivery back first, so that no
  // decoder stays blocked on a full pool.
  watchingEnd_ = false;
  videoRenderer_->requestStop();
  videoRenderer_->flush();
  audioRenderer_->requestStop();
  audioRenderer_->flush();
  decodeThread_->stopThreads();
  audioRenderer_->stop();
  videoRenderer_->stop();
  playing_ = false;
}

bool CPlayer::canSeek() { return isOpen_ && decodeThread_->canSeek(); }

std::int64_t CPlayer::duration() { return isOpen_ ? decodeThread_->duration() : -1; }

std::int64_t CPlayer::position() {
  if (!isOpen_) return 0;
  if (!playing_) return startAt_;
  const std::int64_t time = timekeeper_.playbackTime();
  return time < 0 ? 0 : time;
}

std::vector<std::uint64_t> CPlayer::seekShownAt() {
  return isOpen_ ? videoRenderer_->seekShownAt() : std::vector<std::uint64_t>();
}

bool CPlayer::seek(std::int64_t time) {
  if (!canSeek()) return false;
  if (time < 0) time = 0;
  const bool wasPlaying = playing_;
  const std::int64_t was = position();
  if (wasPlaying) {
    halt();
    videoRenderer_->acceptDeliveries();
  } else {
    videoRenderer_->flush();  // what the open decoded ahead
  }
  const bool moved = decodeThread_->seek(time);
  if (moved) {
    kolm::VideoFormat format;
    decodeThread_->videoFormat(&format);
    const std::int64_t frame = format.rateNumerator > 0 && format.rateDenominator > 0
                                   ? kolm::unitsPerSecond * format.rateDenominator / format.rateNumerator
                                   : kolm::unitsPerSecond / 25;
    videoRenderer_->armSeek(time, frame);
  }
  // The sound starts again at the buffer's start, with its clock at 0.
  audioRenderer_->startFromNextBlock();
  if (soundIsClock_ && sound_) sound_->resetBuffer();
  startAt_ = moved ? time : was;
  if (presentPictures_) decodeThread_->preroll(prerollLimitMs, &seekCut_);
  if (wasPlaying) restart(startAt_);
  return moved;
}

void CPlayer::pause() {
  if (!isOpen_ || timekeeper_.paused()) return;
  // The sound first: with it stops the sound card's clock.
  audioRenderer_->setPaused(true);
  timekeeper_.pause();
  videoRenderer_->setPaused(true);
}

void CPlayer::resume() {
  if (!isOpen_ || !timekeeper_.paused()) return;
  timekeeper_.resume();
  videoRenderer_->setPaused(false);
  audioRenderer_->setPaused(false);
}

bool CPlayer::paused() { return isOpen_ && timekeeper_.paused(); }

void CPlayer::stop() {
  // A stopped file has not ended: what the threads report from here on is not passed on.
  watchingEnd_ = false;
  // The renderers are asked to stop and give back what they hold first: from
  // then on they hand every delivery straight back, so a decoder blocked on a
  // full pool gets a sample at once and reaches its next stop test.
  if (videoRenderer_) {
    videoRenderer_->requestStop();
    videoRenderer_->flush();
  }
  if (audioRenderer_) {
    audioRenderer_->requestStop();
    audioRenderer_->flush();
  }
  if (decodeThread_) decodeThread_->teardown();
  if (audioRenderer_) audioRenderer_->stop();
  if (videoRenderer_) videoRenderer_->stop();
  delete videoRenderer_;
  videoRenderer_ = nullptr;
  delete audioRenderer_;
  audioRenderer_ = nullptr;
  delete decodeThread_;
  decodeThread_ = nullptr;
  delete stream_;
  stream_ = nullptr;
  currentFile_.clear();
  isOpen_ = false;
  soundIsClock_ = false;
  playing_ = false;
  sound_ = nullptr;
  startAt_ = 0;
}

bool CPlayer::getVideoSize(int* width, int* height) {
  return isOpen_ && decodeThread_->getVideoSize(width, height);
}

void displaySize(const kolm::VideoFormat& format, int* width, int* height) {
  *width = format.width;
  *height = format.height;
  const std::int64_t num = format.pixelAspectNumerator, den = format.pixelAspectDenominator;
  // Absurd shapes (a damaged header) are taken as square rather than as a
  // window thousands of pixels wide.
  if (num <= 0 || den <= 0 || num == den || num > 8 * den || den > 8 * num) return;
  if (num > den)
    *width = static_cast<int>((format.width * num + den / 2) / den);
  else
    *height = static_cast<int>((format.height * den + num / 2) / num);
}

bool CPlayer::getDisplaySize(int* width, int* height) {
  kolm::VideoFormat format;
  if (!isOpen_ || !decodeThread_->videoFormat(&format)) return false;
  displaySize(format, width, height);
  return true;
}

bool CPlayer::isFinished() {
  if (!isOpen_) return false;
  return decodeThread_->finished() && videoRenderer_->idle() && (!soundIsClock_ || audioRenderer_->drained());
}

void CPlayer::checkEnd() {
  if (!watchingEnd_ || !isFinished()) return;
  // Once per file, whichever thread sees it first.
  if (watchingEnd_.exchange(false) && endCallback_) endCallback_();
}

PlaybackStatistics CPlayer::statistics() {
  PlaybackStatistics stats;
  if (!isOpen_) return stats;
  stats.path = decodeThread_->pathName();
  for (std::int64_t late : videoRenderer_->lateness()) {
    ++stats.pictures;
    if (late < 0) ++stats.earlyPictures;
    stats.latenessMs.push_back(static_cast<double>(late) / 10000.0);
  }
  const kolm::CAudioRenderer::Counts counts = audioRenderer_->counts();
  stats.blocksPlayed = counts.blocksPlayed;
  stats.blocksDropped = counts.blocksDropped;
  stats.underruns = counts.underruns;
  stats.hasSound = soundIsClock_;
  stats.pausedMs = static_cast<double>(timekeeper_.pausedTotal()) / kolm::unitsPerMillisecond;
  return stats;
}

std::int64_t CPlayer::picturesDecoded() { return isOpen_ ? decodeThread_->picturesDecoded() : 0; }

std::string CPlayer::statisticsLine() { return decodeThread_ ? decodeThread_->statisticsLine() : std::string(); }
