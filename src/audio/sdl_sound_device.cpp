// SDL2 sound back end. The buffer lives in our memory; SDL's audio callback
// copies from the play cursor and moves it on, and signals every notification
// offset the cursor passes. Between two callbacks the reported cursor is
// interpolated from the wall clock, never past what the callback has taken,
// so the audio clock runs smoothly instead of in callback-sized steps.
//
// One SDL output device serves buffer after buffer: closing one waits for
// SDL's audio thread, which a sound server can hold for seconds (PulseAudio
// took 1.5 s here), and some drivers (the dummy one) have a single device,
// which cannot be opened again before it is closed. So the output stays
// open from one file to the next of the same format, and is closed on a
// thread of its own when the format changes or a file without sound plays.
#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
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

// Devices whose closing is under way, and the signal that one has closed.
// Never destroyed: a closing thread may still use them while the process
// ends and runs its static destructors.
struct Closing {
  std::mutex lock;
  std::condition_variable closed;
  int count = 0;
};
Closing& closing() {
  static Closing* state = new Closing;
  return *state;
}

// Closes a device on a thread of its own, so that the thread that lets it go
// never waits. The pause comes first, on the caller's thread: it takes the
// lock every callback holds, so once it returns no callback runs or will run.
void closeSoon(SDL_AudioDeviceID device) {
  SDL_PauseAudioDevice(device, 1);
  // The closing thread holds SDL's audio subsystem until it is done, so the
  // subsystem is not quit, closing the device a second time, under it.
  SDL_InitSubSystem(SDL_INIT_AUDIO);
  {
    std::lock_guard<std::mutex> hold(closing().lock);
    ++closing().count;
  }
  const auto close = [device] {
    SDL_CloseAudioDevice(device);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    Closing& state = closing();
    std::lock_guard<std::mutex> hold(state.lock);
    --state.count;
    state.closed.notify_all();
  };
  try {
    std::thread(close).detach();
  } catch (const std::system_error&) {
    close();  // no thread to be had: here, and slowly
  }
}

// Waits (bounded) until no device is closing; false when some still are.
bool waitForCloses(std::chrono::milliseconds limit) {
  Closing& state = closing();
  std::unique_lock<std::mutex> hold(state.lock);
  return state.closed.wait_for(hold, limit, [&state] { return state.count == 0; });
}

// Frames per callback. SDL rounds every period up to a power of two. Real
// drivers get about 25 ms, so the cursor is never far from what is heard.
// The drivers that pace themselves by sleeping a whole number of milliseconds
// per period (dummy, disk) run as fast as that rounding makes them: they get
// the power of two whose period rounds least, up to 50 ms (well below a
// 200 ms chunk, so that no callback passes two chunk boundaries at once).
bool callbackSleeps() {
  const char* driver = SDL_GetCurrentAudioDriver();
  return driver && (std::strcmp(driver, "dummy") == 0 || std::strcmp(driver, "disk") == 0);
}

Uint16 callbackFrames(std::uint32_t rate) {
  if (!callbackSleeps()) {
    std::uint32_t frames = 256;
    while (frames < 8192 && frames * 40 < rate) frames *= 2;
    return static_cast<Uint16>(frames);
  }
  std::uint32_t best = 256;
  double bestError = 1.0;
  for (std::uint32_t frames = 256; frames <= 16384; frames *= 2) {
    const double ms = frames * 1000.0 / rate;
    // Short enough that the cursor, which moves a period at a time, is
    // never far from what is heard, and that the end of the sound is found soon.
    if (ms > 50) break;
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

class SdlSoundBuffer;

// What an output device is opened with; buffers of the same format share it.
struct DeviceFormat {
  int rate = 0;
  SDL_AudioFormat format = 0;
  Uint8 channels = 0;
  Uint16 samples = 0;
  bool operator==(const DeviceFormat& other) const {
    return rate == other.rate && format == other.format && channels == other.channels && samples == other.samples;
  }
};

DeviceFormat deviceFormat(const PcmFormat& format) {
  return {static_cast<int>(format.samplesPerSec), static_cast<SDL_AudioFormat>(format.bitsPerSample == 8 ? AUDIO_U8 : AUDIO_S16SYS),
          static_cast<Uint8>(format.channels), callbackFrames(format.samplesPerSec)};
}

// The process's one SDL output device and the buffer it plays, if any. Its
// callback fills from that buffer under lock_, so a buffer that detaches is
// never called again. No SDL function is called with lock_ held: SDL holds
// its own device lock around the callback, which takes lock_.
class SdlOutput {
 public:
  static SdlOutput& instance() {
    // Never deleted: a device may still be open when the process ends.
    static SdlOutput* output = new SdlOutput;
    return *output;
  }

  // Plays `buffer` (null: silence) on an output of this format: the open one
  // when it has the format and is free, else a new one. False when none opens.
  bool attach(SdlSoundBuffer* buffer, const DeviceFormat& wanted) {
    SDL_AudioDeviceID old = 0;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (device_ && !attached_ && format_ == wanted) {
        attached_ = buffer;
        return true;
      }
      old = device_;
      device_ = 0;
      attached_ = nullptr;
    }
    if (old) {
      closeSoon(old);
      SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    SDL_AudioSpec want{};
    want.freq = wanted.rate;
    want.format = wanted.format;
    want.channels = wanted.channels;
    want.samples = wanted.samples;
    want.callback = &SdlOutput::callback;
    want.userdata = this;
    // No changes allowed: SDL converts to whatever the hardware takes.
    SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
    // A driver with a single device opens it again only once it has closed.
    if (!device && waitForCloses(std::chrono::seconds(3))) device = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
    if (!device) return false;
    SDL_InitSubSystem(SDL_INIT_AUDIO);  // held while the device is open; closeSoon gives it back
    {
      std::lock_guard<std::mutex> hold(lock_);
      device_ = device;
      format_ = wanted;
      attached_ = buffer;
    }
    // Runs from now on; it plays silence while no buffer plays.
    SDL_PauseAudioDevice(device, 0);
    return true;
  }

  // From now on the callback does not touch `buffer`; the device stays open.
  void detach(SdlSoundBuffer* buffer) {
    std::lock_guard<std::mutex> hold(lock_);
    if (attached_ == buffer) attached_ = nullptr;
  }

  // Closes the device (on a thread of its own) unless a buffer plays on it.
  void releaseIdle() {
    SDL_AudioDeviceID old = 0;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (attached_ || !device_) return;
      old = device_;
      device_ = 0;
    }
    closeSoon(old);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }

 private:
  static void SDLCALL callback(void* self, Uint8* stream, int length);

  std::mutex lock_;
  SDL_AudioDeviceID device_ = 0;
  DeviceFormat format_;
  SdlSoundBuffer* attached_ = nullptr;
};

class SdlSoundBuffer : public ISoundBuffer {
 public:
  SdlSoundBuffer(std::uint32_t bytes, const PcmFormat& format)
      : ring_(bytes, format.bitsPerSample == 8 ? 0x80 : 0x00),
        staging_(bytes),
        size_(bytes),
        blockAlign_(format.blockAlign),
        bytesPerSecond_(static_cast<std::uint64_t>(format.samplesPerSec) * format.blockAlign),
        silence_(format.bitsPerSample == 8 ? 0x80 : 0x00),
        flags_(ds::bufferCtrlPositionNotify | ds::bufferGetCurrentPosition2 | ds::bufferGlobalFocus |
               ds::bufferCtrlVolume),
        bits_(format.bitsPerSample) {}

  ~SdlSoundBuffer() override {
    // The callback does not reach this buffer after this.
    if (attached_) SdlOutput::instance().detach(this);
  }

  HResult open(const PcmFormat& format) {
    if (!audio_.ok()) return ds::errNoDriver;
    attached_ = SdlOutput::instance().attach(this, deviceFormat(format));
    return attached_ ? ds::ok : ds::errAllocated;
  }

  // The output's callback, with the output's lock held.
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
    Uint8* const first = stream;
    while (left > 0) {
      const std::uint32_t run = std::min(left, size_ - from);
      std::memcpy(stream, ring_.data() + from, run);
      stream += run;
      left -= run;
      from = (from + run) % size_;
    }
    backend::applyVolume(first, length, bits_, volume_);
    consumed_ += length;
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
  // Applied to the samples as the callback takes them.
  HResult setVolume(std::int32_t volume) override {
    if (volume < ds::volumeMin || volume > ds::volumeMax) return ds::errInvalidParam;
    std::lock_guard<std::mutex> hold(lock_);
    volume_ = volume;
    return ds::ok;
  }
  HResult getVolume(std::int32_t* volume) override {
    if (!volume) return ds::errInvalidParam;
    std::lock_guard<std::mutex> hold(lock_);
    *volume = volume_;
    return ds::ok;
  }
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
  bool attached_ = false;            // plays on the output
  std::int32_t volume_ = ds::volumeMax;
  int bits_;
};

void SDLCALL SdlOutput::callback(void* self, Uint8* stream, int length) {
  auto* output = static_cast<SdlOutput*>(self);
  std::lock_guard<std::mutex> hold(output->lock_);
  if (output->attached_)
    output->attached_->fill(stream, static_cast<std::uint32_t>(length));
  else
    std::memset(stream, output->format_.format == AUDIO_U8 ? 0x80 : 0x00, static_cast<std::size_t>(length));
}

class SdlSoundDevice : public CMemorySoundDevice {
 public:
  ~SdlSoundDevice() override { releaseIdle(); }
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

  void releaseIdle() override { SdlOutput::instance().releaseIdle(); }

 private:
  SdlAudio audio_;
};

}  // namespace

std::unique_ptr<ISoundDevice> createSdlSoundDevice() {
  auto device = std::make_unique<SdlSoundDevice>();
  if (!device->ok()) return nullptr;
  // Only a device that opens counts. It stays open, silent, for a first file
  // in the commonest format.
  PcmFormat common;
  common.channels = 2;
  common.samplesPerSec = 44100;
  common.bitsPerSample = 16;
  common.blockAlign = 4;
  DeviceFormat format = deviceFormat(common);
  if (callbackSleeps()) {
    // Drivers that pace themselves by sleeping close only once a period is
    // over, and open one device at a time: a first file in another format
    // would wait for that. A short period checks the driver and closes at once.
    format.samples = 256;
    if (!SdlOutput::instance().attach(nullptr, format)) return nullptr;
    SdlOutput::instance().releaseIdle();
    return device;
  }
  if (!SdlOutput::instance().attach(nullptr, format)) return nullptr;
  return device;
}

int soundDevicesClosing() {
  std::lock_guard<std::mutex> hold(closing().lock);
  return closing().count;
}

}  // namespace kolm
