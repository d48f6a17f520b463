// Real-time checks of the sound back ends through the real renderer and
// pool. These are the only tests of the sound path that run against the wall
// clock; they carry their own label.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/audio_renderer.h"
#include "audio/dx_sound.h"
#include "audio/sound_backends.h"
#include "kolm/event.h"

namespace ds = kolm::ds;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBlocks = 50;  // 50 blocks of 200 ms: ten seconds
constexpr std::int64_t kTen = 10 * kolm::unitsPerSecond;
constexpr double kPi = 3.14159265358979323846;

// Passes everything through to a real buffer, counting the chunks written
// that hold sound rather than silence.
class CountingBuffer : public kolm::ISoundBuffer {
 public:
  CountingBuffer(std::unique_ptr<kolm::ISoundBuffer> inner, std::atomic<int>* soundChunks)
      : inner_(std::move(inner)), soundChunks_(soundChunks) {}
  kolm::HResult getCaps(kolm::SoundBufferCaps* caps) override { return inner_->getCaps(caps); }
  kolm::HResult setFormat(const kolm::PcmFormat& format) override { return inner_->setFormat(format); }
  kolm::HResult lock(std::uint32_t offset, std::uint32_t bytes, void** r1, std::uint32_t* b1, void** r2,
                     std::uint32_t* b2, std::uint32_t flags) override {
    return inner_->lock(offset, bytes, r1, b1, r2, b2, flags);
  }
  kolm::HResult unlock(void* r1, std::uint32_t b1, void* r2, std::uint32_t b2) override {
    const auto* bytes = static_cast<const std::uint8_t*>(r1);
    if (b1 == chunkBytes(AudioFormat{}) && std::any_of(bytes, bytes + b1, [](std::uint8_t b) { return b != 0; }))
      ++*soundChunks_;
    return inner_->unlock(r1, b1, r2, b2);
  }
  kolm::HResult play(std::uint32_t reserved, std::uint32_t priority, std::uint32_t flags) override {
    return inner_->play(reserved, priority, flags);
  }
  kolm::HResult stop() override { return inner_->stop(); }
  kolm::HResult getCurrentPosition(std::uint32_t* play, std::uint32_t* write) override {
    return inner_->getCurrentPosition(play, write);
  }
  kolm::HResult setCurrentPosition(std::uint32_t position) override { return inner_->setCurrentPosition(position); }
  kolm::HResult getStatus(std::uint32_t* status) override { return inner_->getStatus(status); }
  kolm::HResult restore() override { return inner_->restore(); }
  kolm::HResult setVolume(std::int32_t volume) override { return inner_->setVolume(volume); }
  kolm::HResult getVolume(std::int32_t* volume) override { return inner_->getVolume(volume); }
  kolm::HResult setFrequency(std::uint32_t frequency) override { return inner_->setFrequency(frequency); }
  kolm::HResult setPan(std::int32_t pan) override { return inner_->setPan(pan); }
  kolm::HResult setNotificationPositions(std::uint32_t count, const kolm::SoundNotifyPosition* positions) override {
    return inner_->setNotificationPositions(count, positions);
  }

 private:
  std::unique_ptr<kolm::ISoundBuffer> inner_;
  std::atomic<int>* soundChunks_;
};

class CountingDevice : public kolm::ISoundDevice {
 public:
  CountingDevice(std::unique_ptr<kolm::ISoundDevice> inner, std::atomic<int>* soundChunks)
      : inner_(std::move(inner)), soundChunks_(soundChunks) {}
  kolm::HResult getCaps(kolm::SoundDeviceCaps* caps) override { return inner_->getCaps(caps); }
  kolm::HResult setCooperativeLevel(void* window, std::uint32_t level) override {
    return inner_->setCooperativeLevel(window, level);
  }
  kolm::HResult createSoundBuffer(const kolm::SoundBufferDesc& desc,
                                  std::unique_ptr<kolm::ISoundBuffer>* buffer) override {
    std::unique_ptr<kolm::ISoundBuffer> made;
    const kolm::HResult hr = inner_->createSoundBuffer(desc, &made);
    if (ds::succeeded(hr) && made) *buffer = std::make_unique<CountingBuffer>(std::move(made), soundChunks_);
    return hr;
  }

 private:
  std::unique_ptr<kolm::ISoundDevice> inner_;
  std::atomic<int>* soundChunks_;
};

struct ToneRun {
  double wallSecondsForTen = 0;  // wall time the clock took for ten seconds
  long readings = 0;
  long distinctReadings = 0;
  bool wentBack = false;
  bool reachedTen = false;
  int soundChunks = 0;
};

// Plays a ten-second 440 Hz tone through the renderer and its pool over the
// device the factory makes, reading the clock from another thread about once
// a millisecond, until the clock passes ten seconds.
ToneRun playTone(const std::function<std::unique_ptr<kolm::ISoundDevice>()>& makeDevice) {
  std::atomic<int> soundChunks{0};
  kolm::CDXSound sound(nullptr, [&]() -> std::unique_ptr<kolm::ISoundDevice> {
    auto device = makeDevice();
    if (!device) return nullptr;
    return std::make_unique<CountingDevice>(std::move(device), &soundChunks);
  });
  kolm::CTimekeeper timekeeper;
  ToneRun run;
  {
    kolm::CAudioRenderer renderer(&sound, &timekeeper);
    CAudioSampleQueue* pool = renderer.sampleQueue();
    AudioFormat format;
    pool->setFormat(5, AudioFormat{}, nullptr, &format);
    EXPECT_EQ(format.sampleRate, 44100u);
    if (!pool->allocate()) {
      ADD_FAILURE() << "no streaming buffer";
      return run;
    }
    EXPECT_EQ(renderer.start(), 0);

    std::thread producer([&] {
      const std::uint32_t frames = chunkFrames(format);
      for (int k = 0; k < kBlocks; ++k) {
        CAudioSample* sample = nullptr;
        if (!pool->acquire(&sample)) return;
        auto* pcm = reinterpret_cast<std::int16_t*>(sample->buffer.get());
        for (std::uint32_t i = 0; i < frames; ++i) {
          const double t = static_cast<double>(k * frames + i) / format.sampleRate;
          const auto value = static_cast<std::int16_t>(8000 * std::sin(2 * kPi * 440 * t));
          pcm[2 * i] = pcm[2 * i + 1] = value ? value : 1;  // never a silent byte pair
        }
        sample->frameCount = static_cast<int>(frames);
        sample->position = static_cast<std::int64_t>(k) * frames;
        renderer.deliver(sample);
      }
    });

    // The first reading above 0 and the first at ten seconds or more, each
    // with the wall time it was taken at.
    std::int64_t last = 0, clock0 = 0, clock1 = 0;
    Clock::time_point wall0, wall1;
    const auto deadline = Clock::now() + std::chrono::seconds(25);
    while (Clock::now() < deadline) {
      const std::int64_t now = sound.getTime();
      const auto wall = Clock::now();
      ++run.readings;
      if (now < last) run.wentBack = true;
      if (now != last) ++run.distinctReadings;
      if (now > 0 && clock0 == 0) {
        clock0 = now;
        wall0 = wall;
      }
      last = now;
      if (now >= kTen + kolm::unitsPerSecond / 4) break;  // a little silence after the tone
      if (now >= kTen && clock1 == 0) {
        clock1 = now;
        wall1 = wall;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    producer.join();
    EXPECT_EQ(renderer.stop(), 0);
    run.reachedTen = clock1 > 0;
    if (run.reachedTen) {
      const double wall = std::chrono::duration<double>(wall1 - wall0).count();
      run.wallSecondsForTen = wall * 10.0 * kolm::unitsPerSecond / static_cast<double>(clock1 - clock0);
    }
  }
  run.soundChunks = soundChunks.load();
  return run;
}

void expectTenSeconds(const ToneRun& run, const char* backend) {
  ASSERT_TRUE(run.reachedTen) << backend;
  std::printf("[ %s ] ten seconds of sound took %.4f s of wall time; %ld clock readings, %ld distinct\n", backend,
              run.wallSecondsForTen, run.readings, run.distinctReadings);
  EXPECT_NEAR(run.wallSecondsForTen, 10.0, 0.1) << backend;
  EXPECT_FALSE(run.wentBack) << backend;
  // Smooth, not in callback-sized steps: most readings a millisecond apart differ.
  EXPECT_GT(run.distinctReadings, run.readings / 2) << backend;
  // Every block played, none dropped; silence after them.
  EXPECT_EQ(run.soundChunks, kBlocks) << backend;
}

TEST(SoundRealtime, NullDevicePlaysTenSecondsInTenSeconds) {
  expectTenSeconds(playTone([] { return kolm::createNullSoundDevice(); }), "null");
}

TEST(SoundRealtime, SdlDummyDriverPlaysTenSecondsInTenSeconds) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  if (!kolm::createSdlSoundDevice()) GTEST_SKIP() << "SDL's dummy audio driver cannot be opened on this machine";
  expectTenSeconds(playTone([] { return kolm::createSdlSoundDevice(); }), "sdl/dummy");
}

TEST(SoundRealtime, NullDeviceSignalsEachChunkOnceTheCursorHasPassedIt) {
  auto device = kolm::createNullSoundDevice();
  kolm::PcmFormat format;
  format.channels = 1;
  format.samplesPerSec = 8000;
  format.bitsPerSample = 16;
  format.blockAlign = 2;
  format.avgBytesPerSec = 16000;
  constexpr std::uint32_t chunk = 320;  // 20 ms
  constexpr std::uint32_t chunks = 8;
  kolm::SoundBufferDesc desc;
  desc.flags = 0x18100;
  desc.bufferBytes = chunks * chunk;
  desc.format = &format;
  std::unique_ptr<kolm::ISoundBuffer> buffer;
  ASSERT_EQ(device->createSoundBuffer(desc, &buffer), ds::ok);
  CEvent notify;
  std::vector<kolm::SoundNotifyPosition> positions;
  for (std::uint32_t i = 1; i <= chunks; ++i) positions.push_back({i * chunk - 1, notify.handle});
  ASSERT_EQ(buffer->setNotificationPositions(chunks, positions.data()), ds::ok);
  ASSERT_EQ(buffer->setCurrentPosition(0), ds::ok);
  ASSERT_EQ(buffer->play(0, 0, ds::playLooping), ds::ok);
  EXPECT_EQ(buffer->setNotificationPositions(chunks, positions.data()), ds::errInvalidCall);

  // Each signal comes once the cursor is past one more chunk boundary (two
  // signals can merge into one if this thread is slow, never come early).
  std::uint64_t unwrapped = 0;
  std::uint32_t last = 0;
  for (std::uint32_t signals = 1; signals <= 2 * chunks; ++signals) {
    ASSERT_EQ(notify.wait(1000), kolm::sys::waitSignalled) << signals;
    std::uint32_t cursor = 0;
    ASSERT_EQ(buffer->getCurrentPosition(&cursor, nullptr), ds::ok);
    unwrapped += (cursor + desc.bufferBytes - last) % desc.bufferBytes;
    last = cursor;
    EXPECT_GE(unwrapped, std::uint64_t{signals} * chunk) << signals;
  }
  ASSERT_EQ(buffer->stop(), ds::ok);
  std::uint32_t stopped = 0, later = 0;
  buffer->getCurrentPosition(&stopped, nullptr);
  notify.reset();
  // Stopped: nothing moves, nothing is signalled.
  EXPECT_EQ(notify.wait(3 * 20), kolm::sys::waitTimedOut);
  buffer->getCurrentPosition(&later, nullptr);
  EXPECT_EQ(later, stopped);
}

}  // namespace
