// The player over the memory presenter and the null sound device: every path
// to its end, the clock it chooses, refusals, prompt teardown, and many files
// in quick succession (run under the thread sanitizer too).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>

#include "audio/dx_sound.h"
#include "audio/sound_backends.h"
#include "kolm/hresult_exception.h"
#include "playback/decode_threads.h"
#include "playback/player.h"
#include "playback/session.h"
#include "support/fixtures.h"
#include "video/memory_presenter.h"

namespace {

struct Rig {
  Rig() : presenter(&player.timekeeper()), sound(nullptr, kolm::soundDeviceFactory("null")) { sound.createDevice(); }
  // The player's threads use the presenter and the sound device: stop them first.
  ~Rig() { player.stop(); }
  CPlayer player;
  CMemoryPresenter presenter;
  kolm::CDXSound sound;

  bool open(const std::string& file) { return player.open(fixtures::dataPath(file), &presenter, &sound, true); }
  // Waits (bounded) for the open file to finish; false when it did not.
  bool waitForEnd(int seconds) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!player.isFinished()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      presenter.presentedEvent.wait(20);
    }
    return true;
  }
};

TEST(Player, EveryPathPlaysToItsEndWithItsOwnClock) {
  struct Case {
    const char* file;
    const char* path;
    long pictures;
    bool sound;
  } cases[] = {{"mpg-ip-176x120.mpg", "mpeg1", 0, true},
               {"mpg-junk-96x64.mpg", "mpeg1", 0, false},
               {"ogg-tv-176x120.ogv", "ogg", 0, true},
               {"ogg-t-180x100.ogv", "ogg", 0, false},
               {"mp4-h264-176x120.mp4", "ffmpeg", 0, true},
               {"mp4-vfr-176x120.mp4", "ffmpeg", 0, false},
               {"mp4-earlysound-96x64.mp4", "ffmpeg", 0, true}};
  for (auto& c : cases)
    for (const auto& row : fixtures::manifest())
      if (row["file"] == c.file) c.pictures = std::stol(row["frames"]);
  Rig rig;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    ASSERT_TRUE(rig.open(c.file)) << rig.player.lastError();
    // A file without sound after one with sound runs on the built-in clock.
    EXPECT_EQ(rig.player.timekeeper().clock == &rig.player.timekeeper().basicClock, !c.sound);
    int width = 0, height = 0;
    EXPECT_TRUE(rig.player.getVideoSize(&width, &height));
    rig.player.play();
    ASSERT_TRUE(rig.waitForEnd(20));
    const PlaybackStatistics stats = rig.player.statistics();
    EXPECT_EQ(stats.path, c.path);
    EXPECT_EQ(stats.pictures, c.pictures);
    EXPECT_EQ(stats.earlyPictures, 0);
    EXPECT_EQ(stats.hasSound, c.sound);
    if (c.sound) {
      EXPECT_GT(stats.blocksPlayed, 0);
    }
    const std::string line = rig.player.statisticsLine();
    EXPECT_EQ(line.find("zarvel : "), 0u) << line;
    EXPECT_EQ(line.find("decode") != std::string::npos, std::string(c.path) == "ogg") << line;
  }
  rig.player.stop();
  rig.player.stop();
}

// Five seconds of sound: more blocks than the sound buffer holds at the start,
// so a producer that starts too slowly loses blocks to silence.
TEST(Player, TheDemoClipsSoundPlaysWhole) {
  Rig rig;
  ASSERT_TRUE(rig.player.open(fixtures::dataPath("../../samples/demo.ogv"), &rig.presenter, &rig.sound, true));
  rig.player.play();
  ASSERT_TRUE(rig.waitForEnd(30));
  const PlaybackStatistics stats = rig.player.statistics();
  EXPECT_EQ(stats.blocksPlayed, 25);
  EXPECT_EQ(stats.blocksDropped, 0);
  EXPECT_EQ(stats.underruns, 0);
}

TEST(Player, AFileNoPathAcceptsLeavesThePlayerClosed) {
  Rig rig;
  ASSERT_TRUE(rig.open("mpg-ip-176x120.mpg"));
  EXPECT_FALSE(rig.open("m4a-sound-only.m4a"));
  EXPECT_NE(rig.player.lastError().find("no video stream"), std::string::npos) << rig.player.lastError();
  int width = 0, height = 0;
  EXPECT_FALSE(rig.player.getVideoSize(&width, &height));
  rig.player.play();
  EXPECT_FALSE(rig.player.isFinished());
  EXPECT_FALSE(rig.player.open("/nonexistent/zarvel.mpg", &rig.presenter, &rig.sound, true));
}

// A platform presenter that fails the way Direct3D does: with its own
// exception type, not a standard one. The file is refused with its text.
TEST(Player, APresenterThatThrowsItsOwnErrorRefusesTheFile) {
  struct ThrowingPresenter final : IVideoHardwareAccelerator {
    int getWidth() override { return 0; }
    int getHeight() override { return 0; }
    bool present(int, int, VideoSurface) override { return false; }
    bool configure(int*, int*, int*, int) override { return true; }
    bool allocateSurface(int, int, VideoSurface*) override {
      throw kolm::CHResultException("Failed to create device.", static_cast<kolm::HResult>(0x8876086Cu));
    }
    bool lockSurface(int*, int*, int*, std::uint8_t**, VideoSurface) override { return false; }
    void unlockSurface(VideoSurface) override {}
  } presenter;
  Rig rig;
  EXPECT_FALSE(rig.player.open(fixtures::dataPath("mpg-ip-176x120.mpg"), &presenter, &rig.sound, true));
  EXPECT_NE(rig.player.lastError().find("Failed to create device."), std::string::npos) << rig.player.lastError();
}

TEST(Player, ANewFileReplacesAPlayingOnePromptly) {
  Rig rig;
  ASSERT_TRUE(rig.open("ogg-tv-176x120.ogv"));
  rig.player.play();
  while (rig.presenter.presented().size() < 3) ASSERT_EQ(rig.presenter.presentedEvent.wait(5000), 0);
  const auto dropped = std::chrono::steady_clock::now();
  ASSERT_TRUE(rig.open("mpg-ip-176x120.mpg"));
  const std::size_t before = rig.presenter.presented().size();
  rig.player.play();
  while (rig.presenter.presented().size() == before) ASSERT_EQ(rig.presenter.presentedEvent.wait(5000), 0);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - dropped).count();
  std::printf("new file's first picture %.1f ms after the drop\n", ms);
}

TEST(Player, StatisticsLineShowsThreeDigitMilliseconds) {
  EXPECT_EQ(kolm::formatStatistics(65007 * 10000LL, false, 0), "zarvel : 1:05.007");
  EXPECT_EQ(kolm::formatStatistics(65700 * 10000LL, true, 1234), "zarvel : total 1:05.700, decode 0:01.234");
}

// Many files in quick succession, each replaced while it still plays: no
// dead-lock, every thread joined, every sample back (the sanitizers watch).
TEST(Player, ReplacingPlayingFilesAgainAndAgain) {
  const char* files[] = {"mpg-ibbp-352x240.mpg", "ogg-tv-176x120.ogv", "ogg-t-330x190.ogv", "mkv-audiofirst-176x120.mkv",
                          "m1v-ip-176x120.m1v",   "mp4-176x120.mp4",     "mkv-flac-96x64.mkv",
                          "mp4-earlysound-96x64.mp4", "mpg-mp3-176x120.mpg", "mpg-soundfirst-96x64.mpg"};
  constexpr int count = sizeof files / sizeof files[0];
  Rig rig;
  for (int cycle = 0; cycle < 200; ++cycle) {
    ASSERT_TRUE(rig.open(files[cycle % count])) << rig.player.lastError();
    rig.player.play();
    if (cycle % 7 == 0) rig.presenter.presentedEvent.wait(50);  // 7, coprime with the 10 files: each in turn
  }
  rig.player.stop();
}

// The player tells of a file's end itself, once, from the thread that
// finishes last; a file stopped before its end is never told of.
TEST(Player, TheEndIsToldOnceAndNeverForAStoppedFile) {
  Rig rig;
  std::atomic<int> ends{0};
  CEvent ended;
  rig.player.setEndCallback([&] {
    ++ends;
    ended.set();
  });
  for (const char* file : {"ogg-tv-176x120.ogv", "mpg-ip-176x120.mpg", "mp4-vfr-176x120.mp4"}) {
    SCOPED_TRACE(file);
    ends = 0;
    ASSERT_TRUE(rig.open(file));
    rig.player.play();
    ASSERT_EQ(ended.wait(20000), 0);
    EXPECT_TRUE(rig.player.isFinished());
    rig.player.stop();
    EXPECT_EQ(ends, 1);
  }
  ends = 0;
  ASSERT_TRUE(rig.open("../../samples/demo.ogv"));
  rig.player.play();
  while (rig.presenter.presented().size() < 3) ASSERT_EQ(rig.presenter.presentedEvent.wait(5000), 0);
  rig.player.stop();
  EXPECT_EQ(ended.wait(0), 1);
  EXPECT_EQ(ends, 0);
}

// A presenter that fails in the middle of a file, as Direct3D can, with its
// own exception type. The pictures end there, which is said once on the
// debug output with the path's name, and the file still comes to its end.
TEST(Player, AFailureInTheMiddleIsSaidAndStillEndsTheFile) {
  struct FailingPresenter final : IVideoHardwareAccelerator {
    int getWidth() override { return inner.getWidth(); }
    int getHeight() override { return inner.getHeight(); }
    bool present(int width, int height, VideoSurface surface) override { return inner.present(width, height, surface); }
    bool configure(int* width, int* height, int* count, int kind) override {
      return inner.configure(width, height, count, kind);
    }
    bool allocateSurface(int width, int height, VideoSurface* surface) override {
      return inner.allocateSurface(width, height, surface);
    }
    bool lockSurface(int* height, int* width, int* pitch, std::uint8_t** bits, VideoSurface surface) override {
      if (++locks == 4) throw kolm::CHResultException("Device lost.", static_cast<kolm::HResult>(0x88760868u));
      return inner.lockSurface(height, width, pitch, bits, surface);
    }
    void unlockSurface(VideoSurface surface) override { inner.unlockSurface(surface); }
    CMemoryPresenter inner;
    std::atomic<int> locks{0};
  } presenter;
  Rig rig;
  CEvent ended;
  rig.player.setEndCallback([&] { ended.set(); });
  testing::internal::CaptureStderr();
  ASSERT_TRUE(rig.player.open(fixtures::dataPath("mpg-ip-176x120.mpg"), &presenter, nullptr, true));
  rig.player.play();
  const int waited = ended.wait(20000);
  rig.player.stop();
  const std::string said = testing::internal::GetCapturedStderr();
  ASSERT_EQ(waited, 0) << said;
  const std::string line = "zarvel: mpeg1: the pictures stopped: Device lost.";
  ASSERT_NE(said.find(line), std::string::npos) << said;
  EXPECT_EQ(said.find(line), said.rfind(line)) << said;
  EXPECT_LT(rig.player.statistics().pictures, 25);
}

// The volume belongs to the session: set before a file, it is the sound
// buffer's (the null device keeps what it is given, as a card applies it),
// muting silences and unmuting gives the level back, and the next file
// keeps both.
TEST(Session, VolumeAndMuteReachEverySoundBuffer) {
  CEvent news;
  CPlaybackSession session("");
  session.onNews = [&news] { news.set(); };
  CMemoryPresenter presenter(&session.timekeeper());
  kolm::CDXSound sound(nullptr, kolm::soundDeviceFactory("null"));
  sound.createDevice();
  session.attach(&presenter, &sound);
  const auto playing = [&](const std::string& file) {
    session.play(fixtures::dataPath(file));
    for (;;) {
      if (news.wait(10000) != 0) return false;
      const CPlaybackSession::News what = session.update();
      if (what != CPlaybackSession::News::none) return what == CPlaybackSession::News::playing;
    }
  };
  session.changeVolume(-5);
  ASSERT_TRUE(playing("ogg-tv-176x120.ogv"));
  ASSERT_NE(sound.streamingSound(), nullptr);
  EXPECT_EQ(sound.streamingSound()->volume(), -602);  // 50 %: 20 log10(0.5) dB
  session.toggleMute();
  EXPECT_EQ(sound.streamingSound()->volume(), kolm::ds::volumeMin);
  ASSERT_TRUE(playing("mpg-mp3-176x120.mpg"));
  EXPECT_EQ(sound.streamingSound()->volume(), kolm::ds::volumeMin);
  session.toggleMute();
  session.changeVolume(20);  // no louder than full
  EXPECT_EQ(session.volume(), 100);
  EXPECT_EQ(sound.streamingSound()->volume(), kolm::ds::volumeMax);
  session.close();
}

}  // namespace
