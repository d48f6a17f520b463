// A sound device that plays nothing, at the pace of an ideal sound card: the
// play cursor is computed from the wall clock whenever it is read, and one
// thread per buffer sleeps until the cursor reaches the next notification
// offset and signals it. Used headless and when no audio device opens.
// Portable: threads, events and locks come from the platform layer.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "audio/memory_sound_device.h"
#include "audio/sound_backends.h"

namespace kolm {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t nsPerSecond = 1000000000u;

class NullSoundBuffer : public ISoundBuffer {
 public:
  NullSoundBuffer(std::uint32_t bytes, const PcmFormat& format)
      : ring_(bytes),
        size_(bytes),
        blockAlign_(format.blockAlign),
        rate_(format.samplesPerSec),
        flags_(ds::bufferCtrlPositionNotify | ds::bufferGetCurrentPosition2 | ds::bufferGlobalFocus |
               ds::bufferCtrlVolume),
        changed_(sys::createEvent()) {
    std::uint32_t id = 0;
    if (changed_) notifier_ = sys::startThread(&NullSoundBuffer::threadProc, this, &id);
  }

  ~NullSoundBuffer() override {
    {
      sys::Guard hold(lock_);
      quit_ = true;
    }
    sys::setEvent(changed_);
    if (notifier_ && sys::joinThread(notifier_) == sys::waitSignalled) sys::closeThread(notifier_);
    if (changed_) sys::closeEvent(changed_);
  }

  // Without its thread the buffer could not keep its notification promise.
  bool ok() const { return notifier_ != nullptr; }

  HResult getCaps(SoundBufferCaps* caps) override {
    if (!caps) return ds::errInvalidParam;
    caps->flags = flags_;
    caps->bufferBytes = size_;
    return ds::ok;
  }

  HResult setFormat(const PcmFormat&) override { return ds::errInvalidCall; }

  // Nothing ever reads the memory but the writer, so it is handed out as is.
  HResult lock(std::uint32_t offset, std::uint32_t bytes, void** region1, std::uint32_t* bytes1, void** region2,
               std::uint32_t* bytes2, std::uint32_t flags) override {
    if (!region1 || !bytes1) return ds::errInvalidParam;
    sys::Guard hold(lock_);
    const auto writeCursor = static_cast<std::uint32_t>((origin_ + played(Clock::now())) % size_);
    backend::LockRegions regions;
    const HResult hr = backend::lockRegions(size_, writeCursor, offset, bytes, flags, region2 && bytes2, &regions);
    if (ds::failed(hr)) return hr;
    *region1 = ring_.data() + regions.offset;
    *bytes1 = regions.first;
    if (region2) *region2 = regions.second ? ring_.data() : nullptr;
    if (bytes2) *bytes2 = regions.second;
    return ds::ok;
  }

  HResult unlock(void*, std::uint32_t, void*, std::uint32_t) override { return ds::ok; }

  HResult play(std::uint32_t, std::uint32_t, std::uint32_t flags) override {
    if (!(flags & ds::playLooping)) return ds::errUnsupported;
    {
      sys::Guard hold(lock_);
      if (playing_) return ds::ok;
      playing_ = true;
      start_ = Clock::now();
    }
    sys::setEvent(changed_);
    return ds::ok;
  }

  HResult stop() override {
    {
      sys::Guard hold(lock_);
      if (!playing_) return ds::ok;
      base_ = played(Clock::now());
      playing_ = false;
    }
    sys::setEvent(changed_);
    return ds::ok;
  }

  HResult getCurrentPosition(std::uint32_t* play, std::uint32_t* write) override {
    sys::Guard hold(lock_);
    const auto cursor = static_cast<std::uint32_t>((origin_ + played(Clock::now())) % size_);
    if (play) *play = cursor;
    if (write) *write = cursor;
    return ds::ok;
  }

  HResult setCurrentPosition(std::uint32_t position) override {
    if (position >= size_) return ds::errInvalidParam;
    {
      sys::Guard hold(lock_);
      origin_ = position - position % blockAlign_;
      base_ = 0;
      notified_ = 0;
      start_ = Clock::now();
    }
    sys::setEvent(changed_);
    return ds::ok;
  }

  HResult getStatus(std::uint32_t* status) override {
    if (!status) return ds::errInvalidParam;
    sys::Guard hold(lock_);
    *status = playing_ ? ds::statusPlaying | ds::statusLooping : 0;
    return ds::ok;
  }

  HResult restore() override { return ds::ok; }
  // Kept and reported, as a card would apply it: what plays nothing still
  // says how loud it would play.
  HResult setVolume(std::int32_t volume) override {
    if (volume < ds::volumeMin || volume > ds::volumeMax) return ds::errInvalidParam;
    sys::Guard hold(lock_);
    volume_ = volume;
    return ds::ok;
  }
  HResult getVolume(std::int32_t* volume) override {
    if (!volume) return ds::errInvalidParam;
    sys::Guard hold(lock_);
    *volume = volume_;
    return ds::ok;
  }
  HResult setFrequency(std::uint32_t) override { return ds::errControlUnavail; }
  HResult setPan(std::int32_t) override { return ds::errControlUnavail; }

  HResult setNotificationPositions(std::uint32_t count, const SoundNotifyPosition* positions) override {
    if (count && !positions) return ds::errInvalidParam;
    {
      sys::Guard hold(lock_);
      if (playing_) return ds::errInvalidCall;
      for (std::uint32_t i = 0; i < count; ++i)
        if (positions[i].offset >= size_ || !positions[i].event) return ds::errInvalidParam;
      positions_.assign(positions, positions + count);
    }
    sys::setEvent(changed_);
    return ds::ok;
  }

 private:
  // Under lock_: bytes played since the origin, whole frames only.
  std::uint64_t played(Clock::time_point now) const {
    if (!playing_ || now <= start_) return base_;
    const auto ns = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count());
    const std::uint64_t frames = ns / nsPerSecond * rate_ + ns % nsPerSecond * rate_ / nsPerSecond;
    return base_ + frames * blockAlign_;
  }

  // Under lock_: the first moment at which played() reaches `bytes`.
  Clock::time_point reaches(std::uint64_t bytes) const {
    const std::uint64_t frames = (bytes - base_ + blockAlign_ - 1) / blockAlign_;
    const std::uint64_t ns = frames / rate_ * nsPerSecond + (frames % rate_ * nsPerSecond + rate_ - 1) / rate_;
    return start_ + std::chrono::nanoseconds(ns);
  }

  static unsigned threadProc(void* self) {
    static_cast<NullSoundBuffer*>(self)->notifyLoop();
    return 0;
  }

  // Sleeps until the cursor reaches the next notification offset (or until
  // something changes), signals what it has passed, and goes round again.
  void notifyLoop() {
    for (;;) {
      int waitMs = sys::infinite;
      {
        sys::Guard hold(lock_);
        if (quit_) return;
        if (playing_ && !positions_.empty() && rate_ != 0) {
          const auto now = Clock::now();
          const std::uint64_t at = played(now);
          // Signalled under the lock, so that none can follow a stop().
          for (const SoundNotifyPosition& position : positions_) {
            if (backend::notificationPassed(origin_ + notified_, origin_ + at, position.offset, size_))
              sys::setEvent(position.event);
          }
          notified_ = at;
          std::uint64_t next = std::numeric_limits<std::uint64_t>::max();
          for (const SoundNotifyPosition& position : positions_) {
            const std::uint64_t target = (std::uint64_t{position.offset} + 1) % size_;
            std::uint64_t distance = (target + size_ - (origin_ + at) % size_) % size_;
            if (distance == 0) distance = size_;
            next = std::min(next, at + distance);
          }
          // Rounded up: an early wake-up only goes round once more.
          const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(reaches(next) - now).count();
          const long long ms = ns <= 0 ? 0 : (ns + 999999) / 1000000;
          waitMs = static_cast<int>(std::min<long long>(ms, INT_MAX));
        }
      }
      sys::waitEvent(changed_, waitMs);
    }
  }

  sys::CriticalSection lock_;
  std::vector<std::uint8_t> ring_;
  const std::uint32_t size_;
  const std::uint32_t blockAlign_;
  const std::uint64_t rate_;
  const std::uint32_t flags_;
  const sys::EventHandle changed_;  // wakes the thread: a change, or the end
  sys::ThreadHandle notifier_ = nullptr;
  std::vector<SoundNotifyPosition> positions_;
  bool playing_ = false;
  bool quit_ = false;
  std::uint32_t origin_ = 0;     // ring offset of cursor position 0
  std::uint64_t base_ = 0;       // bytes played before start_
  Clock::time_point start_;      // when the current run of playing began
  std::uint64_t notified_ = 0;   // notifications are signalled up to here
  std::int32_t volume_ = ds::volumeMax;
};

class NullSoundDevice : public CMemorySoundDevice {
 public:
  HResult createSoundBuffer(const SoundBufferDesc& desc, std::unique_ptr<ISoundBuffer>* buffer) override {
    const HResult checked = checkRequest(desc, buffer, 0xFFFFFFFFu);
    if (checked != ds::ok) return checked;
    auto made = std::make_unique<NullSoundBuffer>(desc.bufferBytes, *desc.format);
    if (!made->ok()) return ds::errOutOfMemory;
    *buffer = std::move(made);
    return ds::ok;
  }
};

}  // namespace

void backend::applyVolume(std::uint8_t* data, std::uint32_t bytes, int bitsPerSample, std::int32_t attenuation) {
  if (attenuation >= ds::volumeMax) return;
  // Gain in 1/65536 steps: exact at full volume and at silence.
  const std::int64_t gain =
      attenuation <= ds::volumeMin ? 0 : std::llround(65536.0 * std::pow(10.0, attenuation / 2000.0));
  if (bitsPerSample == 8) {
    for (std::uint32_t i = 0; i < bytes; ++i) data[i] = static_cast<std::uint8_t>(128 + ((data[i] - 128) * gain >> 16));
    return;
  }
  for (std::uint32_t i = 0; i + 1 < bytes; i += 2) {
    std::int16_t sample;
    std::memcpy(&sample, data + i, 2);
    sample = static_cast<std::int16_t>(sample * gain / 65536);
    std::memcpy(data + i, &sample, 2);
  }
}

std::unique_ptr<ISoundDevice> createNullSoundDevice() { return std::make_unique<NullSoundDevice>(); }

}  // namespace kolm
