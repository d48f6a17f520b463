// A scripted sound device for tests: nothing moves by itself. The test sets
// the play cursor, fires notifications, makes the buffer lost, and reads back
// every lock, write and call in order. All state sits in one shared record
// that outlives the device and its buffers, so a test can inspect a buffer
// that CDXSound owns.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/sound_device.h"

namespace fake {

using kolm::HResult;
namespace ds = kolm::ds;

constexpr auto noHang = std::chrono::seconds(10);

// One unlocked region, as the writer left it.
struct Write {
  std::uint32_t offset = 0;
  std::uint32_t bytes = 0;
  int value = -1;  // the byte every position holds, or -1 when they differ
};

struct SoundState {
  std::mutex lock;
  std::condition_variable changed;

  // Device script.
  kolm::SoundDeviceCaps caps{ds::capsPrimaryMono | ds::capsPrimaryStereo | ds::capsPrimary8Bit | ds::capsPrimary16Bit,
                             100, 200000};
  HResult capsResult = ds::ok;
  HResult priorityResult = ds::ok;  // setCooperativeLevel at priority level
  HResult normalResult = ds::ok;
  bool failBufferCreation = false;
  int devicesMade = 0;
  std::vector<std::uint32_t> levelsAsked;

  // Primary buffer.
  bool primaryMade = false;
  kolm::PcmFormat primaryFormat;

  // The streaming buffer (the latest one made).
  bool bufferMade = false;
  kolm::SoundBufferDesc desc;
  kolm::PcmFormat format;
  std::vector<std::uint8_t> memory;
  std::vector<kolm::SoundNotifyPosition> positions;
  std::uint32_t bufferCapsFlags = 0;
  std::uint32_t cursor = 0;
  bool playing = false;
  bool lost = false;
  int restoreFailures = 0;                // restore() fails this many more times; -1 always
  HResult restoreFailure = ds::errBufferLost;
  int restoreCalls = 0;
  int lockFailures = 0;                   // lock() fails this many more times
  bool cursorFails = false;
  std::vector<Write> writes;
  std::vector<std::string> log;           // calls in order, shared with the test's own entries
  std::function<void()> onPlay;           // run (without the lock) inside play()

  // ---- for the test ----

  template <class Predicate>
  bool waitFor(Predicate done) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, noHang, [&] { return done(); });
  }

  void record(const std::string& entry) {
    std::lock_guard<std::mutex> hold(lock);
    log.push_back(entry);
    changed.notify_all();
  }

  // Signals the event of notification `index`, as the card does when the
  // cursor passes that offset.
  void notify(std::size_t index) {
    std::lock_guard<std::mutex> hold(lock);
    kolm::sys::setEvent(positions.at(index).event);
  }

  void setCursor(std::uint32_t position) {
    std::lock_guard<std::mutex> hold(lock);
    cursor = position;
    changed.notify_all();
  }

  std::size_t writeCount() {
    std::lock_guard<std::mutex> hold(lock);
    return writes.size();
  }

  std::vector<Write> writesSince(std::size_t first) {
    std::lock_guard<std::mutex> hold(lock);
    return std::vector<Write>(writes.begin() + static_cast<std::ptrdiff_t>(first), writes.end());
  }

  std::vector<std::string> logCopy() {
    std::lock_guard<std::mutex> hold(lock);
    return log;
  }
};

class FakeSoundBuffer : public kolm::ISoundBuffer {
 public:
  FakeSoundBuffer(std::shared_ptr<SoundState> state, bool primary) : state_(std::move(state)), primary_(primary) {}

  HResult getCaps(kolm::SoundBufferCaps* caps) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    caps->flags = state_->bufferCapsFlags;
    caps->bufferBytes = static_cast<std::uint32_t>(state_->memory.size());
    return ds::ok;
  }

  HResult setFormat(const kolm::PcmFormat& format) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    if (!primary_) return ds::errInvalidCall;
    state_->primaryFormat = format;
    return ds::ok;
  }

  HResult lock(std::uint32_t offset, std::uint32_t bytes, void** region1, std::uint32_t* bytes1, void** region2,
               std::uint32_t* bytes2, std::uint32_t flags) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    auto& s = *state_;
    if (s.lost) return ds::errBufferLost;
    if (s.lockFailures > 0) {
      --s.lockFailures;
      return ds::errGeneric;
    }
    const auto size = static_cast<std::uint32_t>(s.memory.size());
    if (flags & ds::lockEntireBuffer) {
      offset = 0;
      bytes = size;
    }
    if (offset >= size || bytes == 0 || bytes > size) return ds::errInvalidParam;
    const std::uint32_t first = std::min(bytes, size - offset);
    const std::uint32_t second = region2 && bytes2 ? bytes - first : 0;
    *region1 = s.memory.data() + offset;
    *bytes1 = first;
    if (region2) *region2 = second ? s.memory.data() : nullptr;
    if (bytes2) *bytes2 = second;
    s.log.push_back("lock " + std::to_string(offset) + " " + std::to_string(bytes));
    return ds::ok;
  }

  HResult unlock(void* region1, std::uint32_t bytes1, void*, std::uint32_t) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    auto& s = *state_;
    Write write;
    write.offset = static_cast<std::uint32_t>(static_cast<std::uint8_t*>(region1) - s.memory.data());
    write.bytes = bytes1;
    const auto* bytes = static_cast<const std::uint8_t*>(region1);
    write.value = bytes1 ? bytes[0] : -1;
    for (std::uint32_t i = 1; i < bytes1 && write.value >= 0; ++i)
      if (bytes[i] != bytes[0]) write.value = -1;
    if (bytes1) s.writes.push_back(write);
    s.log.push_back("unlock " + std::to_string(write.offset) + " " + std::to_string(bytes1));
    s.changed.notify_all();
    return ds::ok;
  }

  HResult play(std::uint32_t, std::uint32_t, std::uint32_t flags) override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> hold(state_->lock);
      if (state_->lost) return ds::errBufferLost;
      state_->playing = true;
      state_->log.push_back(flags & ds::playLooping ? "play looping" : "play once");
      state_->changed.notify_all();
      hook = state_->onPlay;
    }
    if (hook) hook();
    return ds::ok;
  }

  HResult stop() override {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->playing = false;
    state_->log.push_back("stop");
    state_->changed.notify_all();
    return ds::ok;
  }

  HResult getCurrentPosition(std::uint32_t* play, std::uint32_t* write) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    if (state_->cursorFails) return ds::errGeneric;
    if (play) *play = state_->cursor;
    if (write) *write = state_->cursor;
    return ds::ok;
  }

  HResult setCurrentPosition(std::uint32_t position) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->cursor = position;
    state_->log.push_back("position " + std::to_string(position));
    state_->changed.notify_all();
    return ds::ok;
  }

  HResult getStatus(std::uint32_t* status) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    *status = (state_->playing ? ds::statusPlaying | ds::statusLooping : 0) | (state_->lost ? ds::statusBufferLost : 0);
    return ds::ok;
  }

  HResult restore() override {
    std::lock_guard<std::mutex> hold(state_->lock);
    auto& s = *state_;
    ++s.restoreCalls;
    s.changed.notify_all();
    if (s.restoreFailures != 0) {
      if (s.restoreFailures > 0) --s.restoreFailures;
      return s.restoreFailure;
    }
    s.lost = false;
    s.log.push_back("restore");
    // Restored memory is garbage.
    std::fill(s.memory.begin(), s.memory.end(), std::uint8_t{0x5A});
    return ds::ok;
  }

  HResult setVolume(std::int32_t) override { return control("volume"); }
  HResult getVolume(std::int32_t*) override { return control("volume"); }
  HResult setFrequency(std::uint32_t) override { return control("frequency"); }
  HResult setPan(std::int32_t) override { return control("pan"); }

  HResult setNotificationPositions(std::uint32_t count, const kolm::SoundNotifyPosition* positions) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    if (state_->playing) return ds::errInvalidCall;
    state_->positions.assign(positions, positions + count);
    return ds::ok;
  }

 private:
  HResult control(const char* name) {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->log.push_back(name);
    return ds::ok;
  }

  std::shared_ptr<SoundState> state_;
  bool primary_;
};

class FakeSoundDevice : public kolm::ISoundDevice {
 public:
  explicit FakeSoundDevice(std::shared_ptr<SoundState> state) : state_(std::move(state)) {}

  HResult getCaps(kolm::SoundDeviceCaps* caps) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    *caps = state_->caps;
    return state_->capsResult;
  }

  HResult setCooperativeLevel(void*, std::uint32_t level) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->levelsAsked.push_back(level);
    return level == ds::levelPriority ? state_->priorityResult : state_->normalResult;
  }

  HResult createSoundBuffer(const kolm::SoundBufferDesc& desc, std::unique_ptr<kolm::ISoundBuffer>* buffer) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    auto& s = *state_;
    if (desc.flags & ds::bufferPrimary) {
      s.primaryMade = true;
      *buffer = std::make_unique<FakeSoundBuffer>(state_, true);
      return ds::ok;
    }
    if (s.failBufferCreation || !desc.format) return ds::errBadFormat;
    s.bufferMade = true;
    s.desc = desc;
    s.format = *desc.format;
    s.desc.format = &s.format;
    s.memory.assign(desc.bufferBytes, std::uint8_t{0xEE});  // undefined content
    s.positions.clear();
    s.writes.clear();
    s.cursor = 0;
    s.playing = false;
    s.lost = false;
    *buffer = std::make_unique<FakeSoundBuffer>(state_, false);
    return ds::ok;
  }

 private:
  std::shared_ptr<SoundState> state_;
};

inline kolm::SoundDeviceFactory factory(const std::shared_ptr<SoundState>& state) {
  return [state]() -> std::unique_ptr<kolm::ISoundDevice> {
    {
      std::lock_guard<std::mutex> hold(state->lock);
      ++state->devicesMade;
    }
    return std::make_unique<FakeSoundDevice>(state);
  };
}

}  // namespace fake
