// The two sides of the Ogg decoder on their own threads, as the decode threads
// run them, with consumers that give samples back the way renderers do.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "kolm/stream.h"
#include "ogg/ogg_decoder.h"
#include "ogg_test_support.h"

namespace {

// Hands delivered samples to a consumer thread, which gives them back; the
// producer waits in the pool's acquire when it runs ahead.
template <typename Sample, typename Pool, typename Interface>
class QueuedSink : public Interface {
 public:
  QueuedSink() : pool_(nullptr) {}
  Pool* sampleQueue() override { return &pool_; }
  void deliver(Sample* sample) override {
    std::lock_guard<std::mutex> guard(lock_);
    pending_.push_back(sample);
    arrived_.notify_one();
  }
  void finish() {
    std::lock_guard<std::mutex> guard(lock_);
    finished_ = true;
    arrived_.notify_one();
  }
  // The consumer's body: ends when the producer has finished and nothing is left.
  void consume() {
    for (;;) {
      Sample* sample = nullptr;
      {
        std::unique_lock<std::mutex> guard(lock_);
        arrived_.wait(guard, [&] { return finished_ || !pending_.empty(); });
        if (pending_.empty()) return;
        sample = pending_.front();
        pending_.pop_front();
      }
      ++consumed;
      pool_.release(sample);
    }
  }
  int consumed = 0;

 private:
  Pool pool_;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::deque<Sample*> pending_;
  bool finished_ = false;
};

using PictureQueue = QueuedSink<CSample, CSampleQueue, kolm::IVideoDownstream>;
using SoundQueue = QueuedSink<CAudioSample, CAudioSampleQueue, kolm::IAudioDownstream>;

TEST(OggDecoderThreads, BothSidesRunAtTheirOwnPace) {
  const std::string path = std::string(ZARVEL_TEST_DATA) + "/ogg-tv-176x120.ogv";
  std::unique_ptr<kolm::CStream> stream(kolm::openFileStream(path.c_str(), 1));
  ASSERT_TRUE(stream);
  PictureQueue pictures;
  SoundQueue sound;
  int steps[2] = {0, 0};
  {
    COggDecoder decoder(&pictures, &sound, stream.get());
    decoder.audioPacing = false;
    ASSERT_TRUE(decoder.open());
    ASSERT_TRUE(decoder.vorbisActive);
    std::thread showPictures([&] { pictures.consume(); });
    std::thread playSound([&] { sound.consume(); });
    std::thread video([&] {
      while (decoder.videoStep()) ++steps[0];
      pictures.finish();
    });
    std::thread audio([&] {
      while (decoder.audioStep()) ++steps[1];
      sound.finish();
    });
    video.join();
    audio.join();
    showPictures.join();
    playSound.join();
  }
  EXPECT_EQ(steps[0], 25);
  EXPECT_EQ(steps[1], 5);
  EXPECT_EQ(pictures.consumed, 25);
  EXPECT_EQ(sound.consumed, 5);
}

}  // namespace
