// The sound back ends and the choice between them: one table per platform.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/sound_device.h"

namespace kolm {

// A device that plays nothing: its cursor follows the wall clock like an
// ideal sound card, and it signals notifications as the cursor passes them.
// Every platform has it.
std::unique_ptr<ISoundDevice> createNullSoundDevice();

#ifdef _WIN32
// DirectSound on the default output device; null when none can be made.
std::unique_ptr<ISoundDevice> createDirectSoundDevice();
#else
// SDL2 output on the default audio device; null when SDL cannot open one.
std::unique_ptr<ISoundDevice> createSdlSoundDevice();
// SDL devices still being closed on threads of their own (a sound server can
// take seconds to close one). A program that ends while some are must not
// quit SDL, which would close them a second time; it just ends.
int soundDevicesClosing();
#endif

// One back end: the name it is chosen by, and how to make its device (null
// when it cannot open one).
struct SoundBackend {
  const char* name;
  std::unique_ptr<ISoundDevice> (*create)();
};

// The back ends this platform has: "dsound" and "null" on Windows, "sdl" and
// "null" elsewhere.
const std::vector<SoundBackend>& soundBackends();

// The factory of the named back end, which makes the null device instead when
// that one cannot open, so playback still keeps time without a sound card; an
// empty factory, which makes no device, for a name this platform lacks.
inline SoundDeviceFactory soundDeviceFactory(const std::string& name) {
  for (const SoundBackend& backend : soundBackends()) {
    if (name != backend.name) continue;
    const auto create = backend.create;
    return [create]() -> std::unique_ptr<ISoundDevice> {
      if (auto device = create()) return device;
      return createNullSoundDevice();
    };
  }
  return {};
}

namespace backend {

// Whether a play cursor moving forward from absolute byte position `from` to
// `to` (positions counted without wrapping) passes notification `offset` of a
// buffer of `size` bytes, that is, reaches the byte after it.
inline bool notificationPassed(std::uint64_t from, std::uint64_t to, std::uint32_t offset, std::uint32_t size) {
  if (size == 0 || to <= from) return false;
  if (to - from >= size) return true;
  const std::uint64_t target = (std::uint64_t{offset} + 1) % size;
  std::uint64_t distance = (target + size - from % size) % size;
  if (distance == 0) distance = size;  // already there: that one was signalled
  return from + distance <= to;
}

// Applies an attenuation (hundredths of a decibel, as setVolume takes it) to
// PCM in place: 16-bit signed or 8-bit unsigned samples; 0 leaves them as
// they are, volumeMin (or less) silences them.
void applyVolume(std::uint8_t* data, std::uint32_t bytes, int bitsPerSample, std::int32_t attenuation);

// Where a lock of an in-memory buffer of `size` bytes lands: `first` bytes
// from `offset`, then `second` bytes from the start when the caller takes a
// second region (without one the lock is cut at the end of the buffer).
struct LockRegions {
  std::uint32_t offset = 0;
  std::uint32_t first = 0;
  std::uint32_t second = 0;
};

inline HResult lockRegions(std::uint32_t size, std::uint32_t writeCursor, std::uint32_t offset, std::uint32_t bytes,
                           std::uint32_t flags, bool wantsSecond, LockRegions* regions) {
  if (flags & ds::lockEntireBuffer) {
    offset = 0;
    bytes = size;
  }
  if (flags & ds::lockFromWriteCursor) offset = writeCursor;
  if (offset >= size || bytes == 0 || bytes > size) return ds::errInvalidParam;
  regions->offset = offset;
  regions->first = bytes < size - offset ? bytes : size - offset;
  regions->second = wantsSecond ? bytes - regions->first : 0;
  return ds::ok;
}

}  // namespace backend

}  // namespace kolm
