#include "kolm/decode/decode_threads.h"

#include <cinttypes>
#include <cstdio>
#include <exception>

#include "kolm/sys/sys.h"

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

CAudioDecodeThread::~CAudioDecodeThread() { stop(); }

void CAudioDecodeThread::run() {
  ended_ = false;
  CThread::run();
  if (source) {
    try {
      while (keepRunning() && source->audioStep()) {
      }
    } catch (...) {
      // A failed step ends the sound; the pictures go on. Not only standard
      // exceptions: a platform presenter or device throws its own.
    }
  }
  ended_ = true;
}

CVideoDecodeThread::CVideoDecodeThread(CVideoRenderer* videoRenderer, CAudioRenderer* audioRenderer,
                                       CStream* stream, CTimekeeper* timekeeper, const std::string& path)
    : videoRenderer_(videoRenderer),
      audioRenderer_(audioRenderer),
      stream_(stream),
      timekeeper_(timekeeper),
      path_(path) {}

CVideoDecodeThread::~CVideoDecodeThread() { teardown(); }

bool CVideoDecodeThread::probe() {
  if (probed_) return true;
  audioThread_.source = nullptr;
  hasAudio = false;
  ProbeRequest request;
  request.video = videoRenderer_;
  request.audio = audioRenderer_;
  request.stream = stream_;
  request.fileName = path_.c_str();
  if (!probeFile(request, &decoders_)) return false;
  if (decoders_.audio) {
    audioThread_.source = decoders_.audio;
    hasAudio = true;
  } else if (!decoders_.soundProblem.empty()) {
    // The pictures play on the built-in clock; the user hears nothing and
    // should know why.
    const std::string line = "zarvel: " + path_ + ": playing without sound: " + decoders_.soundProblem;
    sys::debugOutput(line.c_str());
  }
  if (COggDecoder* ogg = decoders_.oggDecoder.get()) {
    // The pause between sound blocks waits on the audio thread's stop
    // request, so a stop never waits it out.
    ogg->pacingWait = [this](int milliseconds) { audioThread_.waitForStop(milliseconds); };
  }
  probed_ = true;
  return true;
}

void CVideoDecodeThread::startThreads() {
  if (!probed_) return;
  if (audioThread_.source) {
    audioThread_.ended_ = false;
    audioThread_.start();
  }
  videoEnded_ = false;
  if (start() != 0) videoEnded_ = true;
}

void CVideoDecodeThread::setPresentPictures(bool present) {
  if (decoders_.oggDecoder)
    decoders_.oggDecoder->presentPictures = present;
  else if (decoders_.ffmpegDecoder)
    decoders_.ffmpegDecoder->deliverPictures = present;
}

bool CVideoDecodeThread::getVideoSize(int* width, int* height) {
  if (!probed_) return false;
  if (decoders_.mpegDecoder) {
    *width = static_cast<int>(decoders_.mpegDecoder->horizontalSize);
    *height = static_cast<int>(decoders_.mpegDecoder->verticalSize);
  } else if (decoders_.oggDecoder) {
    *width = static_cast<int>(decoders_.oggDecoder->theoraInfo.pic_width);
    *height = static_cast<int>(decoders_.oggDecoder->theoraInfo.pic_height);
  } else if (decoders_.ffmpegDecoder) {
    *width = decoders_.ffmpegDecoder->pictureWidth();
    *height = decoders_.ffmpegDecoder->pictureHeight();
  } else {
    return false;
  }
  return true;
}

void CVideoDecodeThread::preroll(int limitMs) {
  if (!probed_) return;
  const std::uint64_t begin = sys::milliseconds();
  while (videoRenderer_->idle() && sys::milliseconds() - begin < static_cast<std::uint64_t>(limitMs)) {
    bool more = false;
    try {
      more = step();
    } catch (...) {
    }
    if (!more) {
      dataEnded_ = true;
      return;
    }
  }
}

void CVideoDecodeThread::teardown() {
  stop();
  audioThread_.stop();
  decoders_.reset();
  probed_ = false;
  dataEnded_ = false;
}

bool CVideoDecodeThread::finished() { return videoEnded_ && audioThread_.ended(); }

std::string CVideoDecodeThread::statisticsLine() {
  sys::Guard guard(lock_);
  return statistics_;
}

bool CVideoDecodeThread::step() {
  if (decoders_.mpegDecoder && decoders_.mpegReader) return decoders_.mpegDecoder->step();
  if (decoders_.oggDecoder) return decoders_.oggDecoder->videoStep();
  if (decoders_.ffmpegDecoder) return decoders_.ffmpegDecoder->decodeAndDeliver();
  return false;
}

void CVideoDecodeThread::run() {
  CThread::run();
  const auto now = [this] { return timekeeper_->playbackTime(); };
  const std::int64_t t0 = now();
  try {
    while (!dataEnded_ && keepRunning() && step()) {
    }
  } catch (...) {
    // A failed step ends the loop as the end of the data would, whatever it
    // threw (a platform presenter throws its own exception types).
  }
  const std::int64_t t1 = now();
  COggDecoder* ogg = decoders_.oggDecoder.get();
  const std::string line = formatStatistics(t1 - t0, ogg != nullptr, ogg ? ogg->decodeMilliseconds : 0);
  {
    sys::Guard guard(lock_);
    statistics_ = line;
  }
  sys::debugOutput(line.c_str());
  videoEnded_ = true;
}

}  // namespace kolm
