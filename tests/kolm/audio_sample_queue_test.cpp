#include <gtest/gtest.h>

#include "kolm/audio_sample_queue.h"

namespace {

// A device that halves the rate it is asked for and can refuse its buffer.
class FakeSink : public kolm::ISoundFormatSink {
 public:
  void setFormat(AudioFormat& format) override {
    ++formats;
    format.sampleRate /= 2;
    format.channels = 1;
  }
  bool createStream(int count) override {
    streamCount = count;
    return acceptStream;
  }
  int formats = 0;
  int streamCount = -1;
  bool acceptStream = true;
};

TEST(AudioSampleQueue, TheDeviceAgreesTheFormatAndGetsOneChunkPerBlock) {
  FakeSink sink;
  CAudioSampleQueue pool(&sink);
  int count = 0;
  AudioFormat agreed;
  pool.setFormat(0, AudioFormat{2, 48000, 16, 100}, &count, &agreed);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(agreed.sampleRate, 24000u);
  EXPECT_EQ(agreed.channels, 1u);
  ASSERT_TRUE(pool.allocate());
  EXPECT_EQ(sink.streamCount, 1);
  CAudioSample* sample = nullptr;
  ASSERT_TRUE(pool.acquire(&sample));
  EXPECT_EQ(chunkBytes(sample->format), 2400u * 2);
  sample->buffer[chunkBytes(sample->format) - 1] = 0;  // the whole block is writable

  // Once blocks exist the device is not asked again and nothing changes.
  pool.setFormat(5, AudioFormat{}, &count, &agreed);
  EXPECT_EQ(sink.formats, 1);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(agreed.sampleRate, 24000u);
  pool.release(sample);
}

TEST(AudioSampleQueue, ARefusedBufferLeavesThePoolEmptyAndAcquireFailsAtOnce) {
  FakeSink sink;
  sink.acceptStream = false;
  CAudioSampleQueue pool(&sink);
  pool.setFormat(5, AudioFormat{}, nullptr, nullptr);
  EXPECT_FALSE(pool.allocate());
  EXPECT_FALSE(pool.isAllocated());
  CAudioSample* sample = nullptr;
  EXPECT_FALSE(pool.acquire(&sample));
}

TEST(AudioSampleQueue, WithoutADeviceTheFormatStaysAsAskedAndFormatsNoBlockCouldHoldAreRefused) {
  CAudioSampleQueue pool(nullptr);
  AudioFormat agreed;
  pool.setFormat(3, AudioFormat{6, 96000, 16, 200}, nullptr, &agreed);
  EXPECT_EQ(agreed.channels, 6u);
  EXPECT_EQ(agreed.sampleRate, 96000u);
  ASSERT_TRUE(pool.allocate());

  CAudioSampleQueue silent(nullptr);
  silent.setFormat(5, AudioFormat{2, 0, 16, 200}, nullptr, nullptr);
  EXPECT_FALSE(silent.allocate());
}

}  // namespace
