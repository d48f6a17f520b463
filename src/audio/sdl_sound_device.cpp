// SDL2 sound back end. The buffer lives in our memory; SDL's audio callback
// copies from the play cursor and moves it on, and signals every notification
// offset the cursor passes. Between two callbacks the reported cursor is
// interpolated from the wall clock, never past what the callback has taken,
// so the audio clock runs smoothly instead of in callback-sized steps.
#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "audio/memory_sound_device.h"
#include "audio/sound_backends.h"

namespace kolm {

namespace {

using Clock = std::chrono::steady_clock;

// Holds SDL's audio subsystem (reference-counted by SDL) while it lives.
class SdlAudio {
 public:
  SdlAudio() : ok_(SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {}
  ~SdlAudio() {
    if (ok_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }
  SdlAudio(const SdlAudio&) = delete;
  SdlAudio& operator=(const SdlAudio&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

// Frames per callback. SDL rounds every period up to a power of two. Real
// drivers get about 25 ms, so the cursor is never far from what is heard.
// The drivers that pace themselves by sleeping a whole number of milliseconds
// per period (dummy, disk) run as fast as that rounding makes them: they get
// the power of two whose period rounds least, below a 200 ms chunk so that no
// callback passes two chunk boundaries at once.
Uint16 callbackFrames(std::uint32_t rate) {
  const char* driver = SDL_GetCurrentAudioDriver();
  const bool sleeps = driver && (std::strcmp(driver, "dummy") == 0 || std::strcmp(driver, "disk") == 0);
  if (!sleeps) {
    std::uint32_t frames = 256;
    while (frames < 8192 && frames * 40 < rate) frames *= 2;
    return static_cast<Uint16>(frames);
  }
  std::uint32_t best = 256;
  double bestError = 1.0;
  for (std::uint32_t frames = 256; frames <= 16384; frames *= 2) {
    const double ms = frames * 1000.0 / rate;
    if (ms > 190) break;
    const double whole = static_cast<double>(frames * 1000u / rate);
    if (whole < 1) continue;
    const double error = (ms - whole) / ms;
    if (error < bestError - 1e-6) {
      best = frames;
      bestError = error;
    }
  }
  return static_cast<Uint16>(best);
}

class SdlSoundBuffer : public ISoundBuffer {
 public:
  SdlSoundBuffer(std::uint32_t bytes, const PcmFormat& format)
      : ring_(bytes, format.bitsPerSample == 8 ? 0x80 : 0x00),
        staging_(bytes),
        size_(bytes),
        blockAlign_(format.blockAlign),
        bytesPerSecond_(static_cast<std::uint64_t>(format.samplesPerSec) * format.blockAlign),
        silence_(format.bitsPerSample == 8 ? 0x80 : 0x00),
        flags_(ds::bufferCtrlPositionNotify | ds::bufferGetCurrentPosition2 | ds::bufferGlobalFocus) {}

  ~SdlSoundBuffer() override {
    // Joins SDL's audio thread: no callback runs after this.
    if (device_) SDL_CloseAudioDevice(device_);
  }

  HResult open(const PcmFormat& format) {
    if (!audio_.ok()) return ds::errNoDriver;
    SDL_AudioSpec want{};
    want.freq = static_cast<int>(format.samplesPerSec);
    want.format = format.bitsPerSample == 8 ? AUDIO_U8 : AUDIO_S16SYS;
    want.channels = static_cast<Uint8>(format.channels);
    want.samples = callbackFrames(format.samplesPerSec);
    want.callback = &SdlSoundBuffer::callback;
    want.userdata = this;
    SDL_AudioSpec have{};
    // No changes allowed: SDL converts to whatever the hardware takes.
    device_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (!device_) return ds::errAllocated;
    // Runs from now on; the callback plays silence while the buffer is stopped.
    SDL_PauseAudioDevice(device_, 0);
    return ds::ok;
  }

  HResult getCaps(SoundBufferCaps* caps) override {
    if (!caps) return ds::errInvalidParam;
    caps->flags = flags_;
    caps->bufferBytes = size_;
    return ds::ok;
  }

  HResult setFormat(const PcmFormat&) override { return ds::errInvalidCall; }

  HResult lock(std::uint32_t offset, std::uint32_t bytes, void** region1, std::uint32_t* bytes1, void** region2,
               std::uint32_t* bytes2, std::uint32_t flags) override {
    if (!region1 || !bytes1) return ds::errInvalidParam;
    std::lock_guard<std::mutex> hold(lock_);
    if (locked_) return ds::errInvalidCall;
    const auto writeCursor = static_cast<std::uint32_t>((origin_ + consumed_) % size_);
    HResult hr = backend::lockRegions(size_, writeCursor, offset, bytes, flags, region2 && bytes2, &regions_);
    if (ds::failed(hr)) return hr;
    // The writer fills a copy, which unlock() puts in under the lock, so the
    // callback never reads bytes that are being written.
    std::memcpy(staging_.data(), ring_.data() + regions_.offset, regions_.first);
    std::memcpy(staging_.data() + regions_.first, ring_.data(), regions_.second);
    *region1 = staging_.data();
    *bytes1 = regions_.first;
    if (region2) *region2 = regions_.second ? staging_.data() + regions_.first : nullptr;
    if (bytes2) *bytes2 = regions_.second;
    locked_ = true;
    return ds::ok;
  }

  HResult unlock(void* region1, std::uint32_t bytes1, void*, std::uint32_t bytes2) override {
    std::lock_guard<std::mutex> hold(lock_);
    if (!locked_ || region1 != staging_.data()) return ds::errInvalidParam;
    std::memcpy(ring_.data() + regions_.offset, staging_.data(), std::min(bytes1, regions_.first));
    std::memcpy(ring_.data(), staging_.data() + regions_.first, std::min(bytes2, regions_.second));
    locked_ = false;
    return ds::ok;
  }

  HResult play(std::uint32_t, std::uint32_t, std::uint32_t flags) override {
    // Only the looping kind is made by this system.
    if (!(flags & ds::playLooping)) return ds::errUnsupported;
    std::lock_guard<std::mutex> hold(lock_);
    if (!playing_) {
      playing_ = true;
      segmentStart_ = consumed_;
      segmentTime_ = Clock::now();
    }
    return ds::ok;
  }

  HResult stop() override {
    std::lock_guard<std::mutex> hold(lock_);
    if (playing_) {
      // The cursor stays where it is heard; what the callback took beyond it
      // is taken again on the next play.
      const std::uint64_t heard = reportedCursor(Clock::now());
      playing_ = false;
      consumed_ = heard;
      segmentStart_ = heard;
      notified_ = std::min(notified_, heard);
    }
    return ds::ok;
  }

  HResult getCurrentPosition(std::uint32_t* play, std::uint32_t* write) override {
    std::lock_guard<std::mutex> hold(lock_);
    const std::uint64_t heard = reportedCursor(Clock::now());
    if (play) *play = static_cast<std::uint32_t>((origin_ + heard) % size_);
    if (write) *write = static_cast<std::uint32_t>((origin_ + consumed_) % size_);
    return ds::ok;
  }

  HResult setCurrentPosition(std::uint32_t position) override {
    if (position >= size_) return ds::errInvalidParam;
    std::lock_guard<std::mutex> hold(lock_);
    origin_ = position - position % blockAlign_;
    consumed_ = segmentStart_ = reported_ = notified_ = 0;
    segmentTime_ = Clock::now();
    return ds::ok;
  }

  HResult getStatus(std::uint32_t* status) override {
    if (!status) return ds::errInvalidParam;
    std::lock_guard<std::mutex> hold(lock_);
    *status = playing_ ? ds::statusPlaying | ds::statusLooping : 0;
    return ds::ok;
  }

  HResult restore() override { return ds::ok; }
  HResult setVolume(std::int32_t) override { return ds::errControlUnavail; }
  HResult setFrequency(std::uint32_t) override { return ds::errControlUnavail; }
  HResult setPan(std::int32_t) override { return ds::errControlUnavail; }

  HResult setNotificationPositions(std::uint32_t count, const SoundNotifyPosition* positions) override {
    if (count && !positions) return ds::errInvalidParam;
    std::lock_guard<std::mutex> hold(lock_);
    if (playing_) return ds::errInvalidCall;
    for (std::uint32_t i = 0; i < count; ++i)
      if (positions[i].offset >= size_ || !positions[i].event) return ds::errInvalidParam;
    positions_.assign(positions, positions + count);
    return ds::ok;
  }

 private:
  static void SDLCALL callback(void* self, Uint8* stream, int length) {
    static_cast<SdlSoundBuffer*>(self)->fill(stream, static_cast<std::uint32_t>(length));
  }

  void fill(Uint8* stream, std::uint32_t length) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!playing_) {
      std::memset(stream, silence_, length);
      return;
    }
    // What the last callback took is being heard now: the cursor is at least
    // at its end, and the notifications up to there are due. Signalled under
    // the lock, so none can follow a stop().
    const std::uint64_t start = consumed_;
    reported_ = std::max(reported_, start);
    for (const SoundNotifyPosition& position : positions_) {
      if (backend::notificationPassed(origin_ + notified_, origin_ + start, position.offset, size_))
        sys::setEvent(position.event);
    }
    notified_ = start;
    segmentStart_ = start;
    segmentTime_ = Clock::now();

    std::uint32_t from = static_cast<std::uint32_t>((origin_ + start) % size_);
    std::uint32_t left = length;
    while (left > 0) {
      const std::uint32_t run = std::min(left, size_ - from);
      std::memcpy(stream, ring_.data() + from, run);
      stream += run;
      left -= run;
      from = (from + run) % size_;
    }
    consumed_ += length;
  }

  // Under lock_: the cursor as heard now, in bytes since the origin. It moves
  // with the wall clock from the start of what the last callback took, stops
  // at its end until the next callback, and never goes back.
  std::uint64_t reportedCursor(Clock::time_point now) {
    if (!playing_) return reported_;
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - segmentTime_).count();
    if (elapsed > 0) {
      const auto ns = static_cast<std::uint64_t>(elapsed);
      std::uint64_t bytes = ns / 1000000000u * bytesPerSecond_ + ns % 1000000000u * bytesPerSecond_ / 1000000000u;
      bytes -= bytes % blockAlign_;
      reported_ = std::max(reported_, std::min(segmentStart_ + bytes, consumed_));
    }
    return reported_;
  }

  SdlAudio audio_;
  std::mutex lock_;
  std::vector<std::uint8_t> ring_;
  std::vector<std::uint8_t> staging_;
  const std::uint32_t size_;
  const std::uint32_t blockAlign_;
  const std::uint64_t bytesPerSecond_;
  const std::uint8_t silence_;
  const std::uint32_t flags_;
  bool locked_ = false;
  backend::LockRegions regions_;
  std::vector<SoundNotifyPosition> positions_;
  bool playing_ = false;
  std::uint32_t origin_ = 0;         // ring offset of cursor position 0
  std::uint64_t consumed_ = 0;       // bytes the callback has taken
  std::uint64_t segmentStart_ = 0;   // where the last callback's bytes began
  Clock::time_point segmentTime_;    // when the last callback (or play) ran
  std::uint64_t reported_ = 0;       // the furthest cursor reported
  std::uint64_t notified_ = 0;       // notifications are signalled up to here
  SDL_AudioDeviceID device_ = 0;
};

class SdlSoundDevice : public CMemorySoundDevice {
 public:
  bool ok() const { return audio_.ok(); }

  // SDL converts every PCM layout and rate to what the hardware takes, and
  // mixes itself: no primary buffer.
  HResult createSoundBuffer(const SoundBufferDesc& desc, std::unique_ptr<ISoundBuffer>* buffer) override {
    const HResult checked = checkRequest(desc, buffer, 8);
    if (checked != ds::ok) return checked;
    auto made = std::make_unique<SdlSoundBuffer>(desc.bufferBytes, *desc.format);
    const HResult hr = made->open(*desc.format);
    if (ds::failed(hr)) return hr;
    *buffer = std::move(made);
    return ds::ok;
  }

 private:
  SdlAudio audio_;
};

}  // namespace

std::unique_ptr<ISoundDevice> createSdlSoundDevice() {
  auto device = std::make_unique<SdlSoundDevice>();
  if (!device->ok()) return nullptr;
  // Only a device that opens counts; without a callback SDL queues, and the
  // device stays paused, so nothing is heard.
  SDL_AudioSpec want{};
  want.freq = 44100;
  want.format = AUDIO_S16SYS;
  want.channels = 2;
  want.samples = callbackFrames(44100);
  const SDL_AudioDeviceID probe = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, SDL_AUDIO_ALLOW_ANY_CHANGE);
  if (!probe) return nullptr;
  SDL_CloseAudioDevice(probe);
  return device;
}

}  // namespace kolm
