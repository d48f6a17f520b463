// Marks for the sync benchmark: when each bright flash was shown and when
// each beep was played, in playback time. Headless only, through a hidden
// option; the benchmark makes files with a beep at every flash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/dx_sound.h"
#include "kolm/sys/sys.h"
#include "video/memory_presenter.h"

class CSyncLog {
 public:
  // Watches what the presenter shows and what the sound device is given.
  // Both must outlive playback; call before the file is opened.
  void attach(CMemoryPresenter* presenter, kolm::CDXSound* sound);
  // Writes "flash MS" and "beep MS" lines, one per onset, in playback time
  // (ms), seeks and pauses included.
  bool write(const std::string& path, const std::vector<CMemoryPresenter::Presented>& shown);

 private:
  void pictureShown(const CMemoryPresenter::Picture& picture);
  void blockWritten(const void* data, std::uint32_t bytes, const AudioFormat& format, std::uint64_t frame);

  kolm::sys::CriticalSection lock_;
  std::vector<double> luma_;  // mean luma of every shown picture, in order
  std::vector<double> beepMs_;  // in playback time
  kolm::CDXSound* sound_ = nullptr;
  std::uint64_t nextFrame_ = 0;   // the frame after the last block seen
  std::uint64_t quietFrames_ = UINT64_MAX / 2;  // quiet frames since the last loud one (the start counts as quiet)
};
