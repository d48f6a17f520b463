#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio_renderer.h"
#include "audio/dx_sound.h"
#include "fake_sound_device.h"

using kolm::CAudioRenderer;

namespace {

constexpr std::uint32_t kChunk = 35280;  // bytes of one 200 ms block
constexpr std::int64_t kFrames = 8820;   // frames of one block

// Records in the device's log when its thread has finished, so that a test
// can tell what happened to the buffer before the thread was joined.
class LoggedRenderer : public CAudioRenderer {
 public:
  LoggedRenderer(kolm::CDXSound* sound, kolm::CTimekeeper* timekeeper, fake::SoundState* state)
      : CAudioRenderer(sound, timekeeper), state_(state) {}
  // The thread runs this class's run(): it must end before this part goes.
  ~LoggedRenderer() override { CThread::stop(); }

  void run() override {
    CAudioRenderer::run();
    state_->record("thread end");
  }

 private:
  fake::SoundState* state_;
};

// A renderer over the scripted device with the default pool (five blocks of
// 200 ms, so a buffer of five chunks).
struct Rig {
  Rig() {
    renderer.sampleQueue()->setFormat(5, AudioFormat{}, nullptr, nullptr);
    EXPECT_TRUE(renderer.sampleQueue()->allocate());
  }

  // Takes a free block (waiting for the renderer to give one back), filled
  // with `value` and stamped with `position`.
  CAudioSample* block(std::int64_t position, std::uint8_t value) {
    CAudioSample* sample = nullptr;
    EXPECT_TRUE(renderer.sampleQueue()->acquire(&sample));
    std::memset(sample->buffer.get(), value, kChunk);
    sample->position = position;
    return sample;
  }

  // Waits until a whole chunk holding `value` has been written at `offset`.
  bool waitForWrite(std::uint32_t offset, int value) {
    return state->waitFor([&] {
      return std::any_of(state->writes.begin(), state->writes.end(), [&](const fake::Write& w) {
        return w.offset == offset && w.bytes == kChunk && w.value == value;
      });
    });
  }

  bool everWritten(int value) {
    std::lock_guard<std::mutex> hold(state->lock);
    return std::any_of(state->writes.begin(), state->writes.end(),
                       [&](const fake::Write& w) { return w.value == value; });
  }

  // Starts the renderer and fills the buffer with blocks 1 to 5 (positions 0
  // to 4 blocks): the cursor is at 0 and the next write goes to chunk 0.
  // The renderer then waits for a chunk notification.
  void startFull() {
    ASSERT_EQ(renderer.start(), 0);
    for (int i = 0; i < 5; ++i) renderer.deliver(block(i * kFrames, static_cast<std::uint8_t>(i + 1)));
    ASSERT_TRUE(waitForWrite(4 * kChunk, 5));
  }

  // Moves the play cursor and signals the notification of the chunk it left.
  void playTo(std::uint32_t cursor) {
    state->setCursor(cursor);
    state->notify((cursor / kChunk + 4) % 5);
  }

  std::size_t indexOf(const std::string& entry) {
    auto log = state->logCopy();
    return static_cast<std::size_t>(std::find(log.begin(), log.end(), entry) - log.begin());
  }

  std::shared_ptr<fake::SoundState> state = std::make_shared<fake::SoundState>();
  kolm::CDXSound sound{nullptr, fake::factory(state)};
  kolm::CTimekeeper timekeeper;
  LoggedRenderer renderer{&sound, &timekeeper, state.get()};
};

TEST(AudioRenderer, FirstBlockIsWrittenAtTheStartThenTheBufferPlays) {
  for (bool deliverFirst : {true, false}) {
    Rig rig;
    CAudioSample* first = rig.block(1000, 0x11);
    if (deliverFirst) rig.renderer.deliver(first);
    ASSERT_EQ(rig.renderer.start(), 0);
    if (!deliverFirst) rig.renderer.deliver(first);
    ASSERT_TRUE(rig.state->waitFor([&] { return rig.state->playing; }));

    // Rewound and silenced, the first block at offset 0, rewound, played.
    auto log = rig.state->logCopy();
    const std::vector<std::string> expected = {"position 0",          "lock 0 176400", "unlock 0 176400",
                                               "lock 0 35280",        "unlock 0 35280", "position 0",
                                               "play looping"};
    ASSERT_GE(log.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 7), expected) << deliverFirst;
    auto writes = rig.state->writesSince(0);
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[0].value, 0);
    EXPECT_EQ(writes[1].value, 0x11);
    // Written blocks go back to the pool.
    EXPECT_EQ(rig.block(0, 0), first);
    EXPECT_EQ(rig.renderer.stop(), 0);
  }
}

TEST(AudioRenderer, FillsTheBufferThenWritesOneChunkPerNotification) {
  Rig rig;
  rig.startFull();
  EXPECT_EQ(rig.state->writeCount(), 6u);  // silence, then five blocks
  CAudioSample* sixth = rig.block(5 * kFrames, 6);
  CAudioSample* seventh = rig.block(6 * kFrames, 7);
  rig.renderer.deliver(sixth);
  rig.renderer.deliver(seventh);
  EXPECT_FALSE(rig.everWritten(6));  // no room: the cursor is in chunk 0

  // The cursor has left chunks 0 and 1, and one notification arrives: one
  // block goes into chunk 0; chunk 1, already played, is silenced so it
  // cannot play twice; the seventh block waits for the next notification.
  const std::size_t before = rig.state->writeCount();
  rig.playTo(2 * kChunk + 400);
  ASSERT_TRUE(rig.waitForWrite(0, 6));
  EXPECT_EQ(rig.renderer.stop(), 0);
  auto writes = rig.state->writesSince(before);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].offset, kChunk);
  EXPECT_EQ(writes[0].value, 0);
  EXPECT_EQ(writes[1].offset, 0u);
  EXPECT_EQ(writes[1].value, 6);
  EXPECT_FALSE(rig.everWritten(7));
  EXPECT_FALSE(seventh->inUse);  // given back by stop
}

TEST(AudioRenderer, LateBlocksAreDroppedAtDeliveryAndAtTheFront) {
  Rig rig;
  rig.startFull();
  rig.state->setCursor(3 * kChunk + 40);  // 26470 frames played

  // Behind the cursor when delivered: given back at once, never queued.
  CAudioSample* stale = rig.block(100, 0x51);
  rig.renderer.deliver(stale);
  EXPECT_FALSE(stale->inUse);

  // In time when delivered, behind the cursor by the time it is looked at.
  CAudioSample* late = rig.block(5 * kFrames, 0x52);
  CAudioSample* next = rig.block(10 * kFrames, 0x53);
  rig.renderer.deliver(late);
  rig.renderer.deliver(next);
  rig.state->setCursor(170000);
  rig.sound.playedFrames();  // the producer reads it often enough to see the wrap
  rig.playTo(kChunk + 4);    // 52921 frames played
  ASSERT_TRUE(rig.waitForWrite(0, 0x53));
  EXPECT_EQ(rig.renderer.stop(), 0);
  EXPECT_FALSE(rig.everWritten(0x51));
  EXPECT_FALSE(rig.everWritten(0x52));
  EXPECT_FALSE(late->inUse);
}

TEST(AudioRenderer, UnderrunPlaysSilenceAndTheBlockThatMissedItsChunkIsDropped) {
  Rig rig;
  rig.startFull();

  // Nothing pending when chunk 0 comes free: it becomes silence, rather than
  // playing block 1 again a second later.
  rig.playTo(kChunk + 4);
  ASSERT_TRUE(rig.waitForWrite(0, 0));
  const std::int64_t clockAtGap = rig.sound.getTime();
  EXPECT_GT(clockAtGap, 0);

  // The block meant for chunk 0 arrives late; the one after it is on time.
  // Played in chunk 1 it would be a whole block behind, and so would every
  // block after it: it is dropped and the next one takes chunk 1.
  CAudioSample* missed = rig.block(5 * kFrames, 0x61);
  CAudioSample* onTime = rig.block(6 * kFrames, 0x62);
  rig.renderer.deliver(missed);
  rig.renderer.deliver(onTime);
  rig.playTo(2 * kChunk + 4);
  ASSERT_TRUE(rig.waitForWrite(kChunk, 0x62));
  EXPECT_FALSE(rig.everWritten(0x61));

  // The end of the stream: silence from now on, and the clock keeps running.
  rig.playTo(3 * kChunk + 4);
  ASSERT_TRUE(rig.waitForWrite(2 * kChunk, 0));
  rig.playTo(4 * kChunk + 4);
  ASSERT_TRUE(rig.waitForWrite(3 * kChunk, 0));
  EXPECT_GT(rig.sound.getTime(), clockAtGap);
  EXPECT_TRUE(rig.state->playing);
  EXPECT_EQ(rig.renderer.stop(), 0);
}

TEST(AudioRenderer, StopHaltsTheBufferBeforeTheThreadIsJoined) {
  {
    // A file without sound: the renderer only ever waits for a first block.
    Rig rig;
    ASSERT_EQ(rig.renderer.start(), 0);
    EXPECT_EQ(rig.renderer.stop(), 0);
    EXPECT_LT(rig.indexOf("stop"), rig.indexOf("thread end"));
    EXPECT_EQ(rig.state->writeCount(), 1u);  // the silenced buffer, no more
  }
  {
    Rig rig;
    rig.startFull();
    ASSERT_TRUE(rig.state->playing);
    EXPECT_EQ(rig.renderer.stop(), 0);
    EXPECT_FALSE(rig.state->playing);
    EXPECT_LT(rig.indexOf("stop"), rig.indexOf("thread end"));
  }
  {
    // requestStop halts at once too; the join comes later.
    Rig rig;
    rig.startFull();
    rig.renderer.requestStop();
    EXPECT_FALSE(rig.state->playing);
    EXPECT_EQ(rig.renderer.stop(), 0);
    EXPECT_LT(rig.indexOf("stop"), rig.indexOf("thread end"));
  }
}

TEST(AudioRenderer, FlushOnlyOnceStopped) {
  Rig rig;
  rig.startFull();
  CAudioSample* waiting = rig.block(5 * kFrames, 0x71);
  rig.renderer.deliver(waiting);
  EXPECT_FALSE(rig.renderer.flush());  // the thread may still use it
  EXPECT_TRUE(waiting->inUse);
  EXPECT_EQ(rig.renderer.stop(), 0);
  EXPECT_FALSE(waiting->inUse);
  EXPECT_TRUE(rig.renderer.flush());
  EXPECT_FALSE(rig.everWritten(0x71));
}

TEST(AudioRenderer, BufferThatStaysLostIsRetriedWithoutHoldingTheQueue) {
  Rig rig;
  // Lost as soon as it starts, and restoring fails at once.
  rig.state->onPlay = [&] {
    std::lock_guard<std::mutex> hold(rig.state->lock);
    rig.state->lost = true;
    rig.state->restoreFailures = -1;
    rig.state->restoreFailure = kolm::ds::errOtherAppHasPrio;
  };
  rig.renderer.deliver(rig.block(0, 1));
  rig.renderer.deliver(rig.block(kFrames, 2));
  ASSERT_EQ(rig.renderer.start(), 0);
  // It tried, failed, and tried again.
  ASSERT_TRUE(rig.state->waitFor([&] { return rig.state->restoreCalls >= 2; }));

  // The producer is not held up meanwhile.
  rig.renderer.deliver(rig.block(2 * kFrames, 3));

  // Once the buffer can be restored, the blocks go in, in order.
  {
    std::lock_guard<std::mutex> hold(rig.state->lock);
    rig.state->restoreFailures = 0;
  }
  ASSERT_TRUE(rig.waitForWrite(kChunk, 2));
  ASSERT_TRUE(rig.waitForWrite(2 * kChunk, 3));
  EXPECT_EQ(rig.renderer.stop(), 0);
}

TEST(AudioRenderer, WithoutASoundDeviceBlocksGoBackUnplayed) {
  kolm::CTimekeeper timekeeper;
  CAudioRenderer renderer(nullptr, &timekeeper);
  renderer.sampleQueue()->setFormat(2, AudioFormat{}, nullptr, nullptr);
  ASSERT_TRUE(renderer.sampleQueue()->allocate());
  ASSERT_EQ(renderer.start(), 0);
  CAudioSample* sample = nullptr;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(renderer.sampleQueue()->acquire(&sample));
    renderer.deliver(sample);
    EXPECT_FALSE(sample->inUse);
  }
  EXPECT_EQ(renderer.stop(), 0);
}

}  // namespace
