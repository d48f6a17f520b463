#include "app/sync_log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A beep starts with a loud frame after at least 20 ms of quiet; a flash is a
// picture brighter than mid-grey after a darker one.
constexpr int loudLevel = 2048;
constexpr int quietLevel = 512;
constexpr double flashLuma = 128.0;

}  // namespace

void CSyncLog::attach(CMemoryPresenter* presenter, kolm::CDXSound* sound) {
  sound_ = sound;
  presenter->setWriter([this](const CMemoryPresenter::Picture& picture) { pictureShown(picture); });
  sound->onWritten = [this](const void* data, std::uint32_t bytes, const AudioFormat& format,
                            std::uint64_t frame) { blockWritten(data, bytes, format, frame); };
}

void CSyncLog::pictureShown(const CMemoryPresenter::Picture& picture) {
  std::uint64_t sum = 0, count = 0;
  for (int row = 0; row < picture.height; row += 2) {
    const std::uint8_t* line = picture.y + static_cast<std::size_t>(row) * picture.pitchY;
    for (int column = 0; column < picture.width; column += 2, ++count) sum += line[column];
  }
  kolm::sys::Guard guard(lock_);
  luma_.push_back(count ? static_cast<double>(sum) / count : 0.0);
}

void CSyncLog::blockWritten(const void* data, std::uint32_t bytes, const AudioFormat& format,
                            std::uint64_t frame) {
  if (format.bitsPerSample != 16 || format.channels == 0 || format.sampleRate == 0) return;
  const auto* samples = static_cast<const std::uint8_t*>(data);
  const std::uint32_t frameBytes = 2u * format.channels;
  kolm::sys::Guard guard(lock_);
  // The chunks between two blocks went out silent.
  if (frame > nextFrame_) quietFrames_ += frame - nextFrame_;
  const std::uint64_t minimumQuiet = format.sampleRate / 50;
  // The clock reads frames played since the buffer last started, and
  // playback time counts from the timekeeper's start, which a seek moves: a
  // block's frames are placed with the start in force when it is written.
  kolm::CTimekeeper* timekeeper = sound_ ? sound_->timekeeper() : nullptr;
  const double startMs =
      timekeeper ? static_cast<double>(timekeeper->startTime()) / kolm::unitsPerMillisecond : 0.0;
  if (frame < nextFrame_) quietFrames_ = UINT64_MAX / 2;  // the buffer started again
  for (std::uint32_t i = 0; i + frameBytes <= bytes; i += frameBytes) {
    int peak = 0;
    for (std::uint32_t c = 0; c < format.channels; ++c) {
      std::int16_t value;
      std::memcpy(&value, samples + i + 2 * c, 2);
      peak = std::max(peak, std::abs(static_cast<int>(value)));
    }
    if (peak >= loudLevel) {
      if (quietFrames_ >= minimumQuiet)
        beepMs_.push_back(static_cast<double>(frame + i / frameBytes) * 1000.0 / format.sampleRate - startMs);
      quietFrames_ = 0;
    } else if (peak < quietLevel) {
      ++quietFrames_;
    }
  }
  nextFrame_ = frame + bytes / frameBytes;
}

bool CSyncLog::write(const std::string& path, const std::vector<CMemoryPresenter::Presented>& shown) {
  std::FILE* out = kolm::sys::openFile(path.c_str(), "w");
  if (!out) return false;
  kolm::sys::Guard guard(lock_);
  const std::size_t pictures = std::min(shown.size(), luma_.size());
  for (std::size_t i = 0; i < pictures; ++i)
    if (luma_[i] > flashLuma && (i == 0 || luma_[i - 1] <= flashLuma))
      std::fprintf(out, "flash %.3f\n", static_cast<double>(shown[i].playbackTime) / kolm::unitsPerMillisecond);
  for (double ms : beepMs_) std::fprintf(out, "beep %.3f\n", ms);
  return std::fclose(out) == 0;
}
