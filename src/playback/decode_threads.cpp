#include "playback/decode_threads.h"

#include <cinttypes>
#include <cstdio>
#include <exception>

#include "kolm/hresult_exception.h"
#include "kolm/sys/sys.h"
#include "playback/probe.h"

namespace kolm {

std::string formatStatistics(std::int64_t elapsed100ns, bool withDecodeTime, std::uint32_t decodeMilliseconds) {
  // Milliseconds as an unsigned 32-bit count, split into minutes, seconds and
  // a three-digit remainder (65,007 ms is 1:05.007).
  const auto split = [](std::uint32_t ms, unsigned* m, unsigned* s, unsigned* r) {
    *m = ms / 60000;
    *s = (ms % 60000) / 1000;
    *r = ms % 1000;
  };
  unsigned m, s, r;
  split(static_cast<std::uint32_t>(elapsed100ns / 10000), &m, &s, &r);
  char line[128];
  if (withDecodeTime) {
    unsigned dm, ds, dr;
    split(decodeMilliseconds, &dm, &ds, &dr);
    std::snprintf(line, sizeof line, "zarvel : total %u:%02u.%03u, decode %u:%02u.%03u", m, s, r, dm, ds, dr);
  } else {
    std::snprintf(line, sizeof line, "zarvel : %u:%02u.%03u", m, s, r);
  }
  return line;
}

std::string describeCurrentException() {
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (const CHResultException& error) {
    return error.what();
  } catch (const char* text) {
    return text ? text : "unexpected error";
  } catch (...) {
    return "unexpected error";
  }
}

namespace {

// A failure that ends a side of the file early is said once: it must not
// pass for the end of the data.
void sayStopped(const char* path, const char* side, const std::string& why) {
  const std::string line = std::string("zarvel: ") + path + ": the " + side + " stopped: " + why;
  sys::debugOutput(line.c_str());
}

}  // namespace

CAudioDecodeThread::~CAudioDecodeThread() { stop(); }

void CAudioDecodeThread::run() {
  ended_ = false;
  CThread::run();
  if (source) {
    try {
      while (keepRunning() && source->audioStep()) {
      }
    } catch (...) {
      // The sound ends; the pictures go on.
      sayStopped(pathName, "sound", describeCurrentException());
    }
  }
  ended_ = true;
  if (onEnded) onEnded();
}

CVideoDecodeThread::CVideoDecodeThread(CVideoRenderer* videoRenderer, CAudioRenderer* audioRenderer,
                                       CStream* stream, CTimekeeper* timekeeper, const std::string& path)
    : videoRenderer_(videoRenderer),
      audioRenderer_(audioRenderer),
      stream_(stream),
      timekeeper_(timekeeper),
      fileName_(path) {}

CVideoDecodeThread::~CVideoDecodeThread() { teardown(); }

bool CVideoDecodeThread::probe() {
  if (path_) return true;
  audioThread_.source = nullptr;
  hasAudio = false;
  DecodeRequest request;
  request.video = videoRenderer_;
  request.audio = audioRenderer_;
  request.stream = stream_;
  request.fileName = fileName_.c_str();
  request.soundPause = [this](int milliseconds) { audioThread_.waitForStop(milliseconds); };
  path_ = probeFile(request, nullptr, &refusal_);
  if (!path_) return false;
  audioThread_.source = path_->sound();
  audioThread_.pathName = path_->name();
  hasAudio = audioThread_.source != nullptr;
  // From now on the threads are owed: the file has not ended before they ran.
  videoEnded_ = false;
  audioThread_.ended_ = !hasAudio;
  const std::string problem = path_->soundProblem();
  if (!hasAudio && !problem.empty()) {
    // The pictures play on the built-in clock; the user hears nothing and
    // should know why.
    const std::string line = "zarvel: " + fileName_ + ": playing without sound: " + problem;
    sys::debugOutput(line.c_str());
  }
  return true;
}

void CVideoDecodeThread::startThreads() {
  if (!path_) return;
  restarting_ = false;
  videoEnded_ = false;
  audioThread_.ended_ = !hasAudio;
  if (!running_) startedAt_ = timekeeper_->playbackTime();
  running_ = true;
  audioThread_.onEnded = onEnded;
  bool failed = false;
  if (audioThread_.source && audioThread_.start() != 0) audioThread_.ended_ = failed = true;
  if (start() != 0) videoEnded_ = failed = true;
  // A thread that never ran ends nothing by itself.
  if (failed && onEnded) onEnded();
}

void CVideoDecodeThread::setPresentPictures(bool present) {
  if (path_) path_->setPresentPictures(present);
}

bool CVideoDecodeThread::getVideoSize(int* width, int* height) {
  if (!path_) return false;
  const VideoFormat format = path_->videoFormat();
  *width = format.width;
  *height = format.height;
  return true;
}

bool CVideoDecodeThread::videoFormat(VideoFormat* format) {
  if (!path_) return false;
  *format = path_->videoFormat();
  return true;
}

bool CVideoDecodeThread::step() {
  bool more = false;
  try {
    more = path_->videoStep();
  } catch (...) {
    sayStopped(path_->name(), "pictures", describeCurrentException());
  }
  // A picture a seek held back may be the one to show.
  if (!more) videoRenderer_->picturesEnded();
  return more;
}

void CVideoDecodeThread::stopThreads() {
  restarting_ = true;
  stop();
  audioThread_.stop();
}

bool CVideoDecodeThread::seek(std::int64_t time) {
  if (!path_) return false;
  try {
    if (!path_->seek(time)) return false;
  } catch (...) {
    sayStopped(path_->name(), "seek", describeCurrentException());
    return false;
  }
  dataEnded_ = false;
  videoEnded_ = false;
  audioThread_.ended_ = !hasAudio;
  return true;
}

void CVideoDecodeThread::preroll(int limitMs, const std::atomic<bool>* cut) {
  if (!path_) return;
  const std::uint64_t begin = sys::milliseconds();
  while (videoRenderer_->idle() && sys::milliseconds() - begin < static_cast<std::uint64_t>(limitMs) &&
         !(cut && *cut)) {
    if (!step()) {
      dataEnded_ = true;
      return;
    }
  }
}

void CVideoDecodeThread::teardown() {
  restarting_ = false;
  stop();
  audioThread_.stop();
  running_ = false;
  path_.reset();
  dataEnded_ = false;
  videoEnded_ = true;
  audioThread_.ended_ = true;
}

bool CVideoDecodeThread::finished() { return videoEnded_ && audioThread_.ended(); }

std::string CVideoDecodeThread::statisticsLine() {
  sys::Guard guard(lock_);
  return statistics_;
}

void CVideoDecodeThread::run() {
  CThread::run();
  const auto now = [this] { return timekeeper_->playbackTime(); };
  const std::int64_t t0 = startedAt_;
  while (!dataEnded_ && keepRunning() && step()) {
  }
  // Stopped for a seek: the file goes on, and so does its statistics line.
  if (restarting_ && !keepRunning()) return;
  if (keepRunning()) {
    const std::string why = path_->stopReason();
    if (!why.empty()) sayStopped(path_->name(), "pictures", why);
  }
  const std::int64_t t1 = now();
  std::uint32_t decodeMs = 0;
  const bool measured = path_->decodeMilliseconds(&decodeMs);
  const std::string line = formatStatistics(t1 - t0, measured, decodeMs);
  {
    sys::Guard guard(lock_);
    statistics_ = line;
  }
  sys::debugOutput(line.c_str());
  videoEnded_ = true;
  if (onEnded) onEnded();
}

}  // namespace kolm
