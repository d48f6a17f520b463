#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "audio/dx_sound.h"
#include "fake_sound_device.h"
#include "audio/sound_backends.h"
#include "kolm/audio_sample_queue.h"
#include "kolm/event.h"

using kolm::CDXSound;
namespace ds = kolm::ds;

namespace {

constexpr std::uint32_t kChunk = 35280;   // 200 ms of 44.1 kHz 16-bit stereo
constexpr std::uint32_t kBuffer = 176400;  // five chunks: one second

// A sound device over the scripted fake, with a notification event, so that
// createStream can succeed.
struct Device {
  Device() { sound.setNotifyEvent(notify.handle); }

  // A stream of `count` chunks of the agreed format.
  std::shared_ptr<kolm::CDXStreamingSound> stream(int count = 5) {
    AudioFormat format;
    sound.setFormat(format);
    EXPECT_TRUE(sound.createStream(count));
    return sound.streamingSound();
  }

  std::shared_ptr<fake::SoundState> state = std::make_shared<fake::SoundState>();
  CEvent notify;
  CDXSound sound{nullptr, fake::factory(state)};
};

std::vector<std::uint8_t> block(std::uint32_t bytes, std::uint8_t value) {
  return std::vector<std::uint8_t>(bytes, value);
}

TEST(DXSound, DefaultFormatMakesFiveChunksOfOneBlockEach) {
  EXPECT_EQ(chunkBytes(AudioFormat{}), kChunk);
  Device device;
  auto stream = device.stream();
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->chunkBytes(), kChunk);
  EXPECT_EQ(stream->totalBytes(), kBuffer);

  auto& state = *device.state;
  EXPECT_EQ(state.desc.bufferBytes, kBuffer);
  // Position notifications, the second cursor, global focus and a volume control.
  EXPECT_EQ(state.desc.flags, 0x18180u);
  EXPECT_EQ(state.format.channels, 2);
  EXPECT_EQ(state.format.samplesPerSec, 44100u);
  EXPECT_EQ(state.format.bitsPerSample, 16);
  EXPECT_EQ(state.format.blockAlign, 4);
  EXPECT_EQ(state.format.avgBytesPerSec, 176400u);
  std::vector<std::uint32_t> offsets;
  for (const auto& position : state.positions) {
    offsets.push_back(position.offset);
    EXPECT_EQ(position.event, device.notify.handle);
  }
  EXPECT_EQ(offsets, (std::vector<std::uint32_t>{35279, 70559, 105839, 141119, 176399}));
}

TEST(DXSound, FormatIsAgreedWithTheDeviceCapabilities) {
  struct Case {
    std::uint32_t capsFlags, minRate, maxRate;
    AudioFormat asked, agreed;
  };
  const std::uint32_t all = ds::capsPrimaryMono | ds::capsPrimaryStereo | ds::capsPrimary8Bit | ds::capsPrimary16Bit;
  const Case cases[] = {
      {all & ~ds::capsPrimary16Bit, 100, 200000, {2, 44100, 16, 200}, {2, 44100, 8, 200}},
      {all & ~ds::capsPrimary8Bit, 100, 200000, {2, 44100, 8, 200}, {2, 44100, 16, 200}},
      {all & ~ds::capsPrimaryStereo, 100, 200000, {2, 44100, 16, 200}, {1, 44100, 16, 200}},
      {all & ~ds::capsPrimaryMono, 100, 200000, {1, 22050, 16, 100}, {2, 22050, 16, 100}},
      {all, 100, 48000, {2, 96000, 16, 200}, {2, 48000, 16, 200}},
      {all, 8000, 48000, {6, 4000, 24, 200}, {2, 8000, 16, 200}},
  };
  for (const Case& c : cases) {
    Device device;
    device.state->caps = {c.capsFlags, c.minRate, c.maxRate};
    AudioFormat format = c.asked;
    device.sound.setFormat(format);
    for (const AudioFormat& f : {format, device.sound.format()}) {
      EXPECT_EQ(f.channels, c.agreed.channels);
      EXPECT_EQ(f.sampleRate, c.agreed.sampleRate);
      EXPECT_EQ(f.bitsPerSample, c.agreed.bitsPerSample);
      EXPECT_EQ(f.milliseconds, c.agreed.milliseconds);
    }
  }
}

TEST(DXSound, PoolBlocksAndBufferChunksFollowTheAgreedFormat) {
  {
    Device device;
    device.state->caps.flags &= ~ds::capsPrimary16Bit;
    CAudioSampleQueue pool(&device.sound);
    int count = 0;
    AudioFormat agreed;
    pool.setFormat(5, AudioFormat{}, &count, &agreed);
    EXPECT_EQ(agreed.bitsPerSample, 8u);
    ASSERT_TRUE(pool.allocate());
    EXPECT_EQ(device.state->desc.bufferBytes, 5 * kChunk / 2);
    CAudioSample* sample = nullptr;
    ASSERT_TRUE(pool.acquire(&sample));
    EXPECT_EQ(chunkBytes(sample->format), kChunk / 2);
    // 8-bit silence is the mid value, and a chunk of it is one block.
    device.sound.resetBuffer();
    EXPECT_EQ(device.state->writes.back().value, 0x80);
    EXPECT_TRUE(device.sound.writeFirst(sample->buffer.get(), sample->format));
  }
  {
    // Capabilities that cannot be read leave the format as asked, and the
    // buffer is still made of the pool's block size, so blocks fit chunks.
    Device device;
    device.state->capsResult = ds::errGeneric;
    CAudioSampleQueue pool(&device.sound);
    const AudioFormat asked{1, 22050, 16, 100};
    AudioFormat agreed;
    pool.setFormat(5, asked, nullptr, &agreed);
    EXPECT_EQ(agreed.channels, 1u);
    EXPECT_EQ(agreed.sampleRate, 22050u);
    ASSERT_TRUE(pool.allocate());
    EXPECT_EQ(device.state->desc.bufferBytes, 5 * chunkBytes(asked));
    CAudioSample* samples[2] = {};
    ASSERT_TRUE(pool.acquire(&samples[0]));
    ASSERT_TRUE(pool.acquire(&samples[1]));
    device.sound.resetBuffer();
    EXPECT_TRUE(device.sound.writeFirst(samples[0]->buffer.get(), samples[0]->format));
    EXPECT_TRUE(device.sound.writeChunk(samples[1]->buffer.get(), samples[1]->format));
  }
}

TEST(DXSound, DeviceIsMadeAtPriorityLevelElseNormalElseNotAtAll) {
  {
    Device device;
    device.stream();
    EXPECT_TRUE(device.sound.hasDevice());
    EXPECT_EQ(device.sound.cooperativeLevel(), ds::levelPriority);
    // At priority level the primary buffer is set to the stream's format.
    EXPECT_TRUE(device.state->primaryMade);
    EXPECT_EQ(device.state->primaryFormat.samplesPerSec, 44100u);
    EXPECT_EQ(device.state->primaryFormat.blockAlign, 4);
  }
  {
    Device device;
    device.state->priorityResult = ds::errPrioLevelNeeded;
    device.stream();
    EXPECT_EQ(device.sound.cooperativeLevel(), ds::levelNormal);
    EXPECT_EQ(device.state->devicesMade, 2);
    EXPECT_EQ(device.state->levelsAsked, (std::vector<std::uint32_t>{ds::levelPriority, ds::levelNormal}));
    EXPECT_FALSE(device.state->primaryMade);
  }
  {
    Device device;
    device.state->priorityResult = device.state->normalResult = ds::errGeneric;
    device.state->caps.maxSecondarySampleRate = 22050;
    AudioFormat format;
    device.sound.setFormat(format);
    EXPECT_FALSE(device.sound.hasDevice());
    EXPECT_EQ(format.sampleRate, 44100u);  // left as asked
    EXPECT_FALSE(device.sound.createStream(5));
    EXPECT_EQ(device.sound.getTime(), 0);
    EXPECT_TRUE(device.sound.isFull());
    EXPECT_EQ(device.sound.playedFrames(), 0u);
    EXPECT_FALSE(device.sound.play());
    CAudioSampleQueue pool(&device.sound);
    pool.setFormat(5, AudioFormat{}, nullptr, nullptr);
    EXPECT_FALSE(pool.allocate());
  }
  {
    // A factory that makes nothing: no device, no sound, no crash.
    CDXSound sound(nullptr, kolm::SoundDeviceFactory{});
    CEvent notify;
    sound.setNotifyEvent(notify.handle);
    AudioFormat format;
    sound.setFormat(format);
    EXPECT_FALSE(sound.createStream(5));
    sound.resetBuffer();
    sound.stopBuffer();
    EXPECT_EQ(sound.getTime(), 0);
  }
}

TEST(DXSound, StreamNeedsSomeoneToNotify) {
  auto state = std::make_shared<fake::SoundState>();
  CDXSound sound(nullptr, fake::factory(state));
  EXPECT_FALSE(sound.createStream(5));
  EXPECT_FALSE(state->bufferMade);
}

TEST(DXSoundClock, CountsPlayedFramesAcrossWraps) {
  Device device;
  EXPECT_EQ(device.sound.getTime(), 0);  // no buffer yet
  auto stream = device.stream();
  device.sound.resetBuffer();
  auto first = block(kChunk, 1);
  ASSERT_TRUE(device.sound.writeFirst(first.data(), AudioFormat{}));
  ASSERT_TRUE(device.sound.play());
  EXPECT_EQ(device.sound.getTime(), 0);

  device.state->setCursor(170000);
  EXPECT_EQ(stream->clockFrames(), 42500u);
  device.state->setCursor(1000);
  EXPECT_EQ(stream->clockFrames(), 250u + 44100u);  // one buffer: 176400 / 4 frames

  device.state->setCursor(0);
  EXPECT_EQ(stream->clockFrames(), 2u * 44100u);
  EXPECT_EQ(device.sound.getTime(), 2 * kolm::unitsPerSecond);  // 44100 frames a second
  // A cursor that cannot be read holds the clock where it was; back at 0,
  // every picture would wait for the whole time played once more.
  device.state->cursorFails = true;
  EXPECT_EQ(device.sound.getTime(), 2 * kolm::unitsPerSecond);
  device.state->cursorFails = false;

  // The writer-side count sees the same wraps without any write in between
  // (an underrun, or the end of the stream).
  device.state->setCursor(100000);
  EXPECT_EQ(device.sound.playedFrames(), 25000u);
  device.state->setCursor(4);
  EXPECT_EQ(device.sound.playedFrames(), 44101u);
}

TEST(DXSoundClock, PlayStartsTheClockAtZero) {
  Device device;
  auto stream = device.stream();
  device.sound.resetBuffer();
  auto first = block(kChunk, 1);
  ASSERT_TRUE(device.sound.writeFirst(first.data(), AudioFormat{}));
  ASSERT_TRUE(device.sound.play());
  device.state->setCursor(170000);
  device.sound.getTime();
  device.state->setCursor(1000);
  EXPECT_GT(device.sound.getTime(), kolm::unitsPerSecond);

  // The next start rewinds and clears the counters.
  device.sound.stopBuffer();
  device.sound.resetBuffer();
  ASSERT_TRUE(device.sound.writeFirst(first.data(), AudioFormat{}));
  ASSERT_TRUE(device.sound.play());
  EXPECT_EQ(device.sound.getTime(), 0);
  EXPECT_EQ(device.sound.playedFrames(), 0u);
}

TEST(DXStreamingSound, WritesAreWholeChunksAtTheWritePosition) {
  Device device;
  auto stream = device.stream();
  device.sound.resetBuffer();
  auto& state = *device.state;
  // Reset rewinds, then silences the whole buffer.
  ASSERT_EQ(state.writes.size(), 1u);
  EXPECT_EQ(state.writes[0].offset, 0u);
  EXPECT_EQ(state.writes[0].bytes, kBuffer);
  EXPECT_EQ(state.writes[0].value, 0);

  // A short first block is padded with silence, so later chunks stay aligned.
  auto shortFirst = block(kChunk / 2, 7);
  ASSERT_TRUE(stream->writeFirst(shortFirst.data(), kChunk / 2));
  EXPECT_EQ(state.writes.back().bytes, kChunk);
  EXPECT_EQ(state.memory[kChunk / 2 - 1], 7);
  EXPECT_EQ(state.memory[kChunk / 2], 0);
  EXPECT_EQ(stream->writeOffset(), kChunk);

  const std::size_t before = state.writes.size();
  auto wrong = block(kChunk - 4, 9);
  EXPECT_FALSE(stream->writeChunk(wrong.data(), kChunk - 4));
  auto tooLong = block(kChunk + 4, 9);
  EXPECT_FALSE(stream->writeChunk(tooLong.data(), kChunk + 4));
  EXPECT_EQ(state.writes.size(), before);
  EXPECT_EQ(stream->writeOffset(), kChunk);

  auto second = block(kChunk, 2);
  ASSERT_TRUE(stream->writeChunk(second.data(), kChunk));
  EXPECT_EQ(state.writes.back().offset, kChunk);
  EXPECT_EQ(state.writes.back().value, 2);
  EXPECT_EQ(stream->writeOffset(), 2 * kChunk);

  ASSERT_TRUE(device.sound.play());
  EXPECT_EQ(state.log.back(), "play looping");
  // Only before playback.
  EXPECT_FALSE(stream->writeFirst(second.data(), kChunk));
  EXPECT_EQ(state.writes.back().offset, kChunk);
}

TEST(DXStreamingSound, FullWhileTheCursorIsInTheNextChunkToWrite) {
  Device device;
  auto stream = device.stream();
  device.sound.resetBuffer();
  auto data = block(kChunk, 1);
  ASSERT_TRUE(stream->writeFirst(data.data(), kChunk));  // write offset: chunk 1
  ASSERT_TRUE(device.sound.play());
  auto& state = *device.state;

  state.setCursor(0);
  EXPECT_FALSE(stream->isFull());  // the cursor is behind the write offset
  state.setCursor(kChunk);
  EXPECT_TRUE(stream->isFull());  // exactly at it
  state.setCursor(2 * kChunk - 4);
  EXPECT_TRUE(stream->isFull());
  state.setCursor(2 * kChunk);
  EXPECT_FALSE(stream->isFull());  // chunk 1 has been played
  state.cursorFails = true;
  EXPECT_TRUE(stream->isFull());
  EXPECT_EQ(stream->playedFrames(), 0u);
  EXPECT_EQ(stream->clockFrames(), 0u);
  state.cursorFails = false;

  // Four more chunks go round the buffer: filled from then on.
  state.setCursor(0);
  EXPECT_FALSE(stream->isFilled());
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(stream->writeChunk(data.data(), kChunk));
  EXPECT_EQ(stream->writeOffset(), 0u);
  EXPECT_TRUE(stream->isFilled());
  EXPECT_TRUE(stream->isFull());
}

TEST(DXStreamingSound, PlayedChunksAreSilencedExceptTheOneToWriteNext) {
  Device device;
  auto stream = device.stream();
  device.sound.resetBuffer();
  auto data = block(kChunk, 1);
  ASSERT_TRUE(stream->writeFirst(data.data(), kChunk));
  ASSERT_TRUE(stream->writeChunk(data.data(), kChunk));
  ASSERT_TRUE(stream->writeChunk(data.data(), kChunk));  // chunks 0-2; next: 3
  ASSERT_TRUE(device.sound.play());
  auto& state = *device.state;

  state.setCursor(kChunk - 4);
  EXPECT_EQ(stream->silencePlayedChunks(), 0);
  state.setCursor(2 * kChunk + 4);
  const std::size_t before = state.writes.size();
  EXPECT_EQ(stream->silencePlayedChunks(), 2);
  auto writes = state.writesSince(before);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].offset, 0u);
  EXPECT_EQ(writes[1].offset, kChunk);
  for (const auto& write : writes) EXPECT_EQ(write.value, 0);
  EXPECT_EQ(stream->silencePlayedChunks(), 0);  // each chunk once

  // Round the buffer to chunk 1 again: 2, 4 and 0 are silenced; 3 is the
  // write offset, so the next write fills it instead.
  state.setCursor(170000);
  stream->playedFrames();
  state.setCursor(kChunk + 4);
  const std::size_t later = state.writes.size();
  EXPECT_EQ(stream->silencePlayedChunks(), 3);
  std::vector<std::uint32_t> offsets;
  for (const auto& write : state.writesSince(later)) offsets.push_back(write.offset);
  EXPECT_EQ(offsets, (std::vector<std::uint32_t>{2 * kChunk, 4 * kChunk, 0}));
}

TEST(DXStreamingSound, LostBufferIsRestoredAndSilencedBeforeTheWrite) {
  Device device;
  auto stream = device.stream();
  device.sound.resetBuffer();
  auto data = block(kChunk, 3);
  ASSERT_TRUE(stream->writeFirst(data.data(), kChunk));
  auto& state = *device.state;

  state.lost = true;
  state.restoreFailures = 2;  // two more tries, then it comes back
  ASSERT_TRUE(stream->writeChunk(data.data(), kChunk));
  EXPECT_EQ(state.restoreCalls, 3);
  // The restored buffer held garbage: everything but the new chunk is silence.
  EXPECT_EQ(state.memory[0], 0);
  EXPECT_EQ(state.memory[kChunk], 3);
  EXPECT_EQ(state.memory[2 * kChunk], 0);
}

TEST(DXStreamingSound, LostBufferGivesUpAfterAHundredAttempts) {
  Device device;
  auto stream = device.stream();
  device.sound.resetBuffer();
  auto data = block(kChunk, 3);
  ASSERT_TRUE(stream->writeFirst(data.data(), kChunk));
  auto& state = *device.state;
  const std::size_t before = state.writes.size();

  state.lost = true;
  state.restoreFailures = -1;
  EXPECT_FALSE(stream->writeChunk(data.data(), kChunk));
  EXPECT_EQ(state.restoreCalls, 100);
  // Another failure than "still lost" is not worth waiting for.
  state.restoreCalls = 0;
  state.restoreFailure = ds::errPrioLevelNeeded;
  EXPECT_FALSE(stream->writeChunk(data.data(), kChunk));
  EXPECT_FALSE(device.sound.play());
  EXPECT_EQ(state.restoreCalls, 2);
  EXPECT_EQ(state.writes.size(), before);
}

TEST(SoundBackends, NotificationIsPassedWhenTheCursorReachesTheByteAfterIt) {
  using kolm::backend::notificationPassed;
  const std::uint32_t size = 100;
  EXPECT_FALSE(notificationPassed(0, 19, 19, size));
  EXPECT_TRUE(notificationPassed(0, 20, 19, size));
  EXPECT_FALSE(notificationPassed(20, 60, 19, size));   // already passed
  EXPECT_TRUE(notificationPassed(90, 105, 99, size));   // the last byte, across the wrap
  EXPECT_TRUE(notificationPassed(390, 425, 19, size));  // later laps alike
  EXPECT_FALSE(notificationPassed(320, 419, 19, size));
  EXPECT_TRUE(notificationPassed(21, 121, 5, size));    // a whole lap passes everything
  EXPECT_FALSE(notificationPassed(50, 50, 60, size));
  EXPECT_FALSE(static_cast<bool>(kolm::soundDeviceFactory("none")));
}

TEST(SoundBackends, TableNamesThisPlatformsBackEndsOnly) {
  std::vector<std::string> names;
  for (const auto& backend : kolm::soundBackends()) {
    names.push_back(backend.name);
    EXPECT_NE(backend.create, nullptr) << backend.name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"sdl", "null"}));
  EXPECT_TRUE(static_cast<bool>(kolm::soundDeviceFactory("sdl")));
  // DirectSound is Windows only; names are matched exactly.
  EXPECT_FALSE(static_cast<bool>(kolm::soundDeviceFactory("dsound")));
  EXPECT_FALSE(static_cast<bool>(kolm::soundDeviceFactory("")));
  EXPECT_FALSE(static_cast<bool>(kolm::soundDeviceFactory("NULL")));

  auto factory = kolm::soundDeviceFactory("null");
  ASSERT_TRUE(static_cast<bool>(factory));
  auto device = factory();
  ASSERT_TRUE(device);
  kolm::SoundDeviceCaps caps;
  EXPECT_EQ(device->getCaps(&caps), ds::ok);
}

// The volume applied to the samples by the back ends that mix themselves
// (SDL): full leaves them, silence zeroes them (8-bit: to 0x80), and half the
// level in decibels halves them.
TEST(SoundVolume, AppliedToSamplesOfBothWidths) {
  std::int16_t pcm[4] = {32767, -32768, 1000, -1};
  std::uint8_t* bytes = reinterpret_cast<std::uint8_t*>(pcm);
  kolm::backend::applyVolume(bytes, sizeof pcm, 16, kolm::ds::volumeMax);
  EXPECT_EQ(pcm[0], 32767);
  EXPECT_EQ(pcm[1], -32768);
  kolm::backend::applyVolume(bytes, sizeof pcm, 16, -602);  // -6.02 dB: a gain of 0.50003
  EXPECT_EQ(pcm[0], 16384);
  EXPECT_EQ(pcm[1], -16385);
  EXPECT_EQ(pcm[2], 500);
  EXPECT_EQ(pcm[3], 0);
  kolm::backend::applyVolume(bytes, sizeof pcm, 16, kolm::ds::volumeMin);
  for (std::int16_t sample : pcm) EXPECT_EQ(sample, 0);
  std::uint8_t narrow[3] = {0xFF, 0x00, 0x80};
  kolm::backend::applyVolume(narrow, sizeof narrow, 8, kolm::ds::volumeMin);
  for (std::uint8_t sample : narrow) EXPECT_EQ(sample, 0x80);
}

}  // namespace
