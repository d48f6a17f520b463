// DirectSound under the streaming logic: CDXSound over the "dsound" back end
// on the default output device (under Wine, the PulseAudio null sink that
// tools/check-windows starts), and the Windows table of sound back ends.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "audio/dx_sound.h"
#include "audio/sound_backends.h"
#include "kolm/event.h"
#include "kolm/sys/sys.h"

namespace {

namespace ds = kolm::ds;
namespace sys = kolm::sys;
using kolm::CDXSound;
using kolm::HResult;
using Positions = std::vector<kolm::SoundNotifyPosition>;

// Hands every call on to the real buffer, keeping the notification positions
// it was given.
class RecordingBuffer : public kolm::ISoundBuffer {
 public:
  RecordingBuffer(std::unique_ptr<ISoundBuffer> inner, std::shared_ptr<Positions> positions)
      : inner_(std::move(inner)), positions_(std::move(positions)) {}
  HResult getCaps(kolm::SoundBufferCaps* caps) override { return inner_->getCaps(caps); }
  HResult setFormat(const kolm::PcmFormat& format) override { return inner_->setFormat(format); }
  HResult lock(std::uint32_t offset, std::uint32_t bytes, void** r1, std::uint32_t* b1, void** r2, std::uint32_t* b2,
               std::uint32_t flags) override {
    return inner_->lock(offset, bytes, r1, b1, r2, b2, flags);
  }
  HResult unlock(void* r1, std::uint32_t b1, void* r2, std::uint32_t b2) override { return inner_->unlock(r1, b1, r2, b2); }
  HResult play(std::uint32_t reserved, std::uint32_t priority, std::uint32_t flags) override {
    return inner_->play(reserved, priority, flags);
  }
  HResult stop() override { return inner_->stop(); }
  HResult getCurrentPosition(std::uint32_t* play, std::uint32_t* write) override {
    return inner_->getCurrentPosition(play, write);
  }
  HResult setCurrentPosition(std::uint32_t position) override { return inner_->setCurrentPosition(position); }
  HResult getStatus(std::uint32_t* status) override { return inner_->getStatus(status); }
  HResult restore() override { return inner_->restore(); }
  HResult setVolume(std::int32_t volume) override { return inner_->setVolume(volume); }
  HResult getVolume(std::int32_t* volume) override { return inner_->getVolume(volume); }
  HResult setFrequency(std::uint32_t frequency) override { return inner_->setFrequency(frequency); }
  HResult setPan(std::int32_t pan) override { return inner_->setPan(pan); }
  HResult setNotificationPositions(std::uint32_t count, const kolm::SoundNotifyPosition* positions) override {
    const HResult hr = inner_->setNotificationPositions(count, positions);
    if (ds::succeeded(hr)) positions_->assign(positions, positions + count);
    return hr;
  }

 private:
  std::unique_ptr<ISoundBuffer> inner_;
  std::shared_ptr<Positions> positions_;
};

class RecordingDevice : public kolm::ISoundDevice {
 public:
  RecordingDevice(std::unique_ptr<ISoundDevice> inner, std::shared_ptr<Positions> positions)
      : inner_(std::move(inner)), positions_(std::move(positions)) {}
  HResult getCaps(kolm::SoundDeviceCaps* caps) override { return inner_->getCaps(caps); }
  HResult setCooperativeLevel(void* window, std::uint32_t level) override {
    return inner_->setCooperativeLevel(window, level);
  }
  HResult createSoundBuffer(const kolm::SoundBufferDesc& desc, std::unique_ptr<kolm::ISoundBuffer>* buffer) override {
    const HResult hr = inner_->createSoundBuffer(desc, buffer);
    if (ds::succeeded(hr) && *buffer) *buffer = std::make_unique<RecordingBuffer>(std::move(*buffer), positions_);
    return hr;
  }

 private:
  std::unique_ptr<ISoundDevice> inner_;
  std::shared_ptr<Positions> positions_;
};

// Least-squares slope of y over x.
double slope(const std::vector<std::pair<double, double>>& points) {
  double meanX = 0;
  double meanY = 0;
  for (const auto& [x, y] : points) {
    meanX += x;
    meanY += y;
  }
  meanX /= static_cast<double>(points.size());
  meanY /= static_cast<double>(points.size());
  double xy = 0;
  double xx = 0;
  for (const auto& [x, y] : points) {
    xy += (x - meanX) * (y - meanY);
    xx += (x - meanX) * (x - meanX);
  }
  return xx > 0 ? xy / xx : 0;
}

class DirectSound : public ::testing::Test {
 protected:
  void SetUp() override {
    // Without a device the factory would hand out the null device, and the
    // checks below would pass without DirectSound.
    auto device = kolm::createDirectSoundDevice();
    ASSERT_TRUE(device) << "DirectSoundCreate8 failed: no audio device (tools/check-windows runs a PulseAudio null sink)";
    ASSERT_EQ(device->getCaps(&caps), ds::ok);
    sys::beginTimerPeriod(1);
  }
  void TearDown() override { sys::endTimerPeriod(1); }

  kolm::SoundDeviceCaps caps;
};

TEST_F(DirectSound, FormatIsAgreedFromTheDevicesCapabilities) {
  CDXSound sound(nullptr, kolm::soundDeviceFactory("dsound"));
  // More than any card plays, then less.
  AudioFormat high{6, 1000000, 24, 200};
  sound.setFormat(high);
  ASSERT_TRUE(sound.hasDevice());
  // The desktop window stands in for a missing one, at the priority level.
  EXPECT_EQ(sound.cooperativeLevel(), ds::levelPriority);
  EXPECT_EQ(high.bitsPerSample, (caps.flags & ds::capsPrimary16Bit) ? 16u : 8u);
  EXPECT_EQ(high.channels, (caps.flags & ds::capsPrimaryStereo) ? 2u : 1u);
  EXPECT_EQ(high.sampleRate, caps.maxSecondarySampleRate ? caps.maxSecondarySampleRate : 1000000u);
  EXPECT_EQ(high.milliseconds, 200u);
  EXPECT_EQ(sound.format().sampleRate, high.sampleRate);

  AudioFormat low{1, 1, 8, 100};
  sound.setFormat(low);
  EXPECT_EQ(low.bitsPerSample, (caps.flags & ds::capsPrimary8Bit) ? 8u : 16u);
  EXPECT_EQ(low.channels, (caps.flags & ds::capsPrimaryMono) ? 1u : 2u);
  EXPECT_EQ(low.sampleRate, caps.minSecondarySampleRate > 1 ? caps.minSecondarySampleRate : 1u);
  EXPECT_EQ(low.milliseconds, 100u);

  // The Vorbis path's own request passes as it is.
  AudioFormat standard;
  sound.setFormat(standard);
  EXPECT_EQ(standard.channels, 2u);
  EXPECT_EQ(standard.sampleRate, 44100u);
  EXPECT_EQ(standard.bitsPerSample, 16u);
}

TEST_F(DirectSound, ClockFollowsTheCardWithNotificationsAtChunkEndsAndStopsWithTheBuffer) {
  auto positions = std::make_shared<Positions>();
  CEvent notify;
  CDXSound sound(nullptr, [positions]() -> std::unique_ptr<kolm::ISoundDevice> {
    auto device = kolm::soundDeviceFactory("dsound")();
    return device ? std::make_unique<RecordingDevice>(std::move(device), positions) : nullptr;
  });
  sound.setNotifyEvent(notify.handle);
  AudioFormat format;
  sound.setFormat(format);
  ASSERT_EQ(chunkBytes(format), 35280u);
  ASSERT_TRUE(sound.createStream(5));

  // One at the last byte of each chunk, the buffer's last byte included.
  std::vector<std::uint32_t> offsets;
  for (const auto& position : *positions) {
    offsets.push_back(position.offset);
    EXPECT_EQ(position.event, notify.handle);
  }
  EXPECT_EQ(offsets, (std::vector<std::uint32_t>{35279, 70559, 105839, 141119, 176399}));

  sound.resetBuffer();
  const std::vector<std::uint8_t> silence(chunkBytes(format), 0);
  ASSERT_TRUE(sound.writeFirst(silence.data(), format));
  EXPECT_EQ(sound.getTime(), 0);
  ASSERT_TRUE(sound.play());

  // Clock readings against the millisecond clock over windows of two
  // seconds; the slope of one over the other is the clock's rate. The first
  // two seconds are left out: Wine's DirectSound over PulseAudio starts ahead
  // by its latency (60 ms) and runs slow until it has settled. A machine busy
  // with other work can also starve the mixer, and the cursor then really
  // stands still for tens of milliseconds; a wrong rate shows in every window,
  // starving seldom in three windows in a row.
  const std::uint64_t chunk = chunkFrames(format);
  std::uint64_t notifications = 0;
  std::vector<double> rates;
  const std::uint64_t start = sys::milliseconds();
  for (std::uint64_t from = 2000; rates.size() < 3; from += 2000) {
    std::vector<std::pair<double, double>> readings;
    for (std::uint64_t elapsed = 0; elapsed < from + 2000; elapsed = sys::milliseconds() - start) {
      if (sys::waitEvent(notify.handle, 5) == sys::waitSignalled) {
        ++notifications;
        // The n-th notification never comes before the cursor passed n chunk ends.
        EXPECT_GE(sound.playedFrames(), notifications * chunk);
      }
      if (elapsed >= from) readings.push_back({static_cast<double>(elapsed), sound.getTime() / 10000.0});
    }
    ASSERT_GT(readings.size(), 100u);
    rates.push_back(slope(readings));
    std::printf("DirectSound clock rate: %.4f of real time over %.0f ms\n", rates.back(),
                readings.back().first - readings.front().first);
    if (std::fabs(rates.back() - 1.0) <= 0.02) break;
  }
  EXPECT_NEAR(rates.back(), 1.0, 0.02) << rates.size() << " windows of two seconds, none within 2 %";
  // Every chunk end passed was signalled (two wake-ups may merge into one).
  const std::uint64_t passed = sound.playedFrames() / chunk;
  EXPECT_LE(notifications, passed);
  EXPECT_GE(notifications + 2, passed);

  sound.stopBuffer();
  const std::int64_t stopped = sound.getTime();
  sys::waitEvent(notify.handle, 0);  // one that came just before the stop
  // A playing buffer would pass a chunk end within 200 ms.
  EXPECT_EQ(sys::waitEvent(notify.handle, 300), sys::waitTimedOut);
  EXPECT_EQ(sound.getTime(), stopped);
  EXPECT_GT(stopped, 0);
}

TEST(SoundBackends, WindowsHasDirectSoundAndNullOnly) {
  std::vector<std::string> names;
  for (const auto& backend : kolm::soundBackends()) names.push_back(backend.name);
  EXPECT_EQ(names, (std::vector<std::string>{"dsound", "null"}));
  EXPECT_TRUE(static_cast<bool>(kolm::soundDeviceFactory("dsound")));
  EXPECT_TRUE(static_cast<bool>(kolm::soundDeviceFactory("null")));
  EXPECT_FALSE(static_cast<bool>(kolm::soundDeviceFactory("sdl")));
  EXPECT_FALSE(static_cast<bool>(kolm::soundDeviceFactory("unknown")));
}

}  // namespace
