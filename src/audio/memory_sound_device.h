#pragma once

#include "audio/sound_device.h"

// What the back ends whose buffers live in our own memory (SDL, null) share:
// they take every PCM layout, any cooperative level, and check a buffer
// request the same way.
namespace kolm {

class CMemorySoundDevice : public ISoundDevice {
 public:
  HResult getCaps(SoundDeviceCaps* caps) override {
    if (!caps) return ds::errInvalidParam;
    caps->flags = ds::capsPrimaryMono | ds::capsPrimaryStereo | ds::capsPrimary8Bit | ds::capsPrimary16Bit;
    caps->minSecondarySampleRate = 100;
    caps->maxSecondarySampleRate = 200000;
    return ds::ok;
  }

  HResult setCooperativeLevel(void*, std::uint32_t level) override {
    return level == ds::levelNormal || level == ds::levelPriority ? ds::ok : ds::errInvalidParam;
  }

 protected:
  // ok for a looping secondary buffer of 8- or 16-bit PCM with up to
  // maxChannels channels; there is no primary buffer to set.
  static HResult checkRequest(const SoundBufferDesc& desc, const std::unique_ptr<ISoundBuffer>* buffer,
                              std::uint32_t maxChannels) {
    if (!buffer) return ds::errInvalidParam;
    if (desc.flags & ds::bufferPrimary) return ds::errUnsupported;
    const PcmFormat* format = desc.format;
    if (!format || desc.bufferBytes == 0) return ds::errInvalidParam;
    if ((format->bitsPerSample != 8 && format->bitsPerSample != 16) || format->channels == 0 ||
        format->channels > maxChannels || format->samplesPerSec == 0 ||
        format->blockAlign != format->bitsPerSample / 8 * format->channels)
      return ds::errBadFormat;
    return ds::ok;
  }
};

}  // namespace kolm
