// The real SDL window on a virtual X display: drops, keys and full screen
// through the program's test hook (--script), a file played to its end, and,
// with a window manager framing it, where the window goes for large pictures.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>

#include "program.h"
#include "support/fixtures.h"

namespace {

// An Xvfb server for one test, on a display number it picks itself; it
// tells the number once it accepts connections.
class VirtualDisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v Xvfb >/dev/null 2>&1") != 0) GTEST_SKIP() << "Xvfb is not installed";
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    server_ = fork();
    ASSERT_GE(server_, 0);
    if (server_ == 0) {
      close(pipeFds[0]);
      const std::string fd = std::to_string(pipeFds[1]);
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen_.c_str(), "-nolisten", "tcp",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(pipeFds[1]);
    std::string number;
    pollfd ready{pipeFds[0], POLLIN, 0};
    char c;
    while (poll(&ready, 1, 20000) == 1 && read(pipeFds[0], &c, 1) == 1 && c != '\n') number += c;
    close(pipeFds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start";
    display_ = ":" + number;
    startSoundServer();
  }
  void TearDown() override {
    for (pid_t server : {windowManager_, sound_, server_}) {
      if (server > 0) {
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
      }
    }
    for (const std::string& folder : {runtime_, managerHome_})
      if (!folder.empty()) std::system(("rm -rf '" + folder + "'").c_str());
  }

  // Openbox on the display, with a home of its own; false (the test then
  // skips) when it is not installed. It says it is up by making a file.
  bool startWindowManager() {
    if (std::system("command -v openbox >/dev/null 2>&1") != 0) return false;
    char folder[] = "/tmp/zarvel-openbox.XXXXXX";
    if (!mkdtemp(folder)) return false;
    managerHome_ = folder;
    const std::string up = managerHome_ + "/up";
    windowManager_ = fork();
    if (windowManager_ < 0) return false;
    if (windowManager_ == 0) {
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      setenv("DISPLAY", display_.c_str(), 1);
      setenv("HOME", folder, 1);
      setenv("XDG_CONFIG_HOME", folder, 1);
      setenv("XDG_CACHE_HOME", folder, 1);
      execlp("openbox", "openbox", "--sm-disable", "--startup", ("touch " + up).c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    struct stat made;
    for (int i = 0; i < 400; ++i) {
      if (stat(up.c_str(), &made) == 0) return true;
      usleep(50000);
    }
    ADD_FAILURE() << "openbox did not start";
    return false;
  }

  // A PulseAudio server of the test's own with a null sink, so the window
  // plays through SDL's PulseAudio back end as on a desktop (skipped, with
  // SDL's dummy driver instead, when PulseAudio is not installed).
  void startSoundServer() {
    if (std::system("command -v pulseaudio >/dev/null 2>&1 && command -v pactl >/dev/null 2>&1") != 0) return;
    char folder[] = "/tmp/zarvel-pulse.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    runtime_ = folder;
    const std::string environment = "HOME='" + runtime_ + "' XDG_RUNTIME_DIR='" + runtime_ + "'";
    sound_ = fork();
    ASSERT_GE(sound_, 0);
    if (sound_ == 0) {
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      setenv("HOME", folder, 1);
      setenv("XDG_RUNTIME_DIR", folder, 1);
      unsetenv("PULSE_SERVER");
      execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "-L", "module-native-protocol-unix", "-L", "module-null-sink sink_name=nullsink", "-L",
             "module-always-sink", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Up within a few seconds, or the test fails: a sound server that never
    // answers is no desktop.
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
      up = std::system(("env " + environment + " pactl info >/dev/null 2>&1").c_str()) == 0;
      if (!up) usleep(50000);
    }
    ASSERT_TRUE(up) << "PulseAudio did not start";
    audio_ = environment + " SDL_AUDIODRIVER=pulseaudio";
  }

  // SDL's software renderer on a plain X framebuffer: Mesa's GL threads are
  // beyond the thread sanitizer's sight. Leaks are left to the headless
  // tests: the X libraries that SDL loads and unloads leave allocations that
  // name no module at all.
  int runWindow(const std::string& arguments, std::string* out, std::string* err) {
    return runZarvel(arguments, out, err,
                     "env DISPLAY=" + display_ +
                         " " + audio_ + " SDL_RENDER_DRIVER=software SDL_FRAMEBUFFER_ACCELERATION=0"
                         " ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\"");
  }

  std::string screen_ = "1024x768x24";
  pid_t server_ = -1;
  pid_t sound_ = -1;
  pid_t windowManager_ = -1;
  std::string display_;
  std::string runtime_;
  std::string managerHome_;
  std::string audio_ = "SDL_AUDIODRIVER=dummy";
};

TEST_F(VirtualDisplay, DropsKeysAndFullScreen) {
  const std::string script = fixtures::tempPath(".script");
  {
    std::ofstream out(script);
    out << "expect-size 640 480\n"
           "wait-title zarvel\n"
           // Two files in one drop: only the first plays, and sizes the window.
           "drop " << fixtures::dataPath("mpg-ibbp-352x240.mpg") << " " << fixtures::dataPath("mpg-ip-176x120.mpg")
        << "\n"
           "expect-size 352 240\n"
           "key alt+r\n"
           "wait-title zarvel [timing]\n"
           // A file that cannot play leaves the window as it was and says why.
           "drop " << fixtures::dataPath("bad-random.bin") << "\n"
           "wait-title zarvel [timing] - cannot play bad-random.bin: \n"
           "expect-size 352 240\n"
           "key alt+r\n"
           "drop " << fixtures::dataPath("ogg-t-180x100.ogv") << "\n"
           "expect-size 180 100\n"
           "key f\n"
           "expect-fullscreen 1\n"
           "expect-size 1024 768\n"
           "key escape\n"
           "expect-fullscreen 0\n"
           "expect-size 180 100\n"
           "dblclick\n"
           "expect-fullscreen 1\n"
           "dblclick\n"
           "expect-fullscreen 0\n"
           "key alt+x\n";
  }
  std::string err;
  EXPECT_EQ(runWindow("--script " + script, nullptr, &err), 0) << err;
  std::remove(script.c_str());
  EXPECT_NE(err.find("zarvel: cannot play " + fixtures::dataPath("bad-random.bin") + ": "), std::string::npos) << err;
}

TEST_F(VirtualDisplay, PlaysTheFileItWasGivenToItsEnd) {
  std::string out, err;
  EXPECT_EQ(runWindow("--exit-at-end --stats-json - " + fixtures::dataPath("ogg-tv-176x120.ogv"), &out, &err), 0)
      << err;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"re(^\{"path": "ogg", "pictures": 25, "early_pictures": 0, )re")))
      << out;
}

// Files with sound replace each other on a real sound server, each showing
// its pictures; a dropped pipe (no writer: its open used to wait for ever)
// is refused with its reason and the window goes on answering.
TEST_F(VirtualDisplay, FilesWithSoundReplaceEachOtherAndAPipeFreezesNothing) {
  const std::string script = fixtures::tempPath(".script");
  const std::string fifo = fixtures::tempPath(".fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  {
    std::ofstream out(script);
    for (const char* file : {"../../samples/demo.ogv", "../../samples/demo.mpg", "mp4-h264-176x120.mp4",
                             "mpg-mp3-176x120.mpg", "../../samples/demo.ogv"})
      out << "timed-drop " << fixtures::dataPath(file) << "\nplay-for 300\n";
    out << "drop " << fifo << "\n"
        << "wait-title - cannot play " << fifo.substr(fifo.rfind('/') + 1) << ": it is a pipe, not a file\n"
        << "key alt+r\n"
           "wait-title zarvel [timing]\n"
           "key alt+x\n";
  }
  std::string out, err;
  EXPECT_EQ(runWindow("--script " + script, &out, &err), 0) << err;
  EXPECT_EQ(lineCount(out), 5) << out;
  std::remove(script.c_str());
  std::remove(fifo.c_str());
}

// Seeks and a pause in the window, on a real sound server, for a file with
// sound on each own path: the picture at each target comes first and in
// time, a seek while paused shows its picture and stays paused, and the
// file still ends (a seek to its last moment).
TEST_F(VirtualDisplay, SeeksAndAPauseOnARealSoundServer) {
  const std::string script = fixtures::tempPath(".script");
  for (const char* file : {"../../samples/demo.ogv", "../../samples/demo.mpg"}) {
    SCOPED_TRACE(file);
    std::ofstream(script) << "drop " << fixtures::dataPath(file) << "\nplay-for 300\nseek 3\nexpect-position 3 3.6\n"
                          << "key space\nplay-for 300\nkey left\nexpect-position 0 0\nkey space\nplay-for 300\n"
                          << "key home\nexpect-position 0 0.6\nseek 4.9\nwait-end\nkey alt+x\n";
    std::string out, err;
    ASSERT_EQ(runWindow("--stats-json - --script " + script, &out, &err), 0) << err;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"re("early_pictures": 0, )re"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"re("blocks_dropped": 0, )re"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"re("seeks": \{"count": 4, )re"))) << out;
  }
  std::remove(script.c_str());
}

// A laptop-sized screen with a window manager that frames the window.
class VirtualDesktop : public VirtualDisplay {
 protected:
  VirtualDesktop() { screen_ = "1280x800x24"; }
  void SetUp() override {
    VirtualDisplay::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
    if (!startWindowManager()) GTEST_SKIP() << "openbox is not installed";
    char folder[] = "/tmp/zarvel-fit.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    clips_ = folder;
  }
  void TearDown() override {
    if (!clips_.empty()) std::system(("rm -rf '" + clips_ + "'").c_str());
    VirtualDisplay::TearDown();
  }

  // A few MPEG-1 pictures of this size (and display shape, "16:9"), made
  // now: big pictures would be big fixtures.
  std::string makeClip(const std::string& size, const std::string& aspect) {
    const std::string path = clips_ + "/" + size + ".mpg";
    const std::string command = "ffmpeg -v error -nostdin -f lavfi -i testsrc=size=" + size +
                                ":rate=25 -frames:v 5 -c:v mpeg1video" + (aspect.empty() ? "" : " -aspect " + aspect) +
                                " -f mpeg -y '" + path + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return path;
  }

  int runScript(const std::string& lines, const std::string& options, std::string* err) {
    const std::string script = clips_ + "/script";
    {
      std::ofstream out(script);
      out << lines;
    }
    return runWindow(options + " --script " + script, nullptr, err);
  }

  std::string clips_;
};

// Near the right edge, the window first hangs off the screen; a picture as
// wide as the screen is scaled down, keeping its shape, and the window moves
// so that all of it, frame included, is on the screen.
TEST_F(VirtualDesktop, AWindowTooLargeForWhereItIsMovesOntoTheScreenAndShrinks) {
  const std::string wide = makeClip("1280x720", "");
  std::string err;
  EXPECT_EQ(runScript("expect-size 640 480\n"
                      "expect-on-screen 0\n"
                      "drop " + wide + "\n"
                      "expect-on-screen 1\n"
                      // Fits as it is now: a small picture keeps the corner and its size.
                      "drop " + fixtures::dataPath("mpg-ibbp-352x240.mpg") + "\n"
                      "expect-size 352 240\n"
                      "expect-on-screen 1\n"
                      "key alt+x\n",
                      "--window-at 1000,100", &err),
            0)
      << err;
}

// A 720 x 576 picture shown 16:9 wide takes a window of that shape.
TEST_F(VirtualDesktop, AWidescreenPictureOfNonSquarePixelsTakesItsDisplayShape) {
  const std::string widescreen = makeClip("720x576", "16:9");
  // Headless mode reports the size the window would take: until the MPEG-1
  // path and the session give the display size, the window cannot take it.
  const std::string probe = clips_ + "/probe";
  {
    std::ofstream out(probe);
    out << "drop " << widescreen << "\nexpect-size 1024 576\n";
  }
  if (runZarvel("--headless --script " + probe, nullptr, nullptr) != 0)
    GTEST_SKIP() << "the session gives the stored size, not the display size, of a 16:9 MPEG-1 picture";
  std::string err;
  EXPECT_EQ(runScript("drop " + widescreen + "\n"
                      "expect-size 1024 576\n"
                      "expect-on-screen 1\n"
                      "key alt+x\n",
                      "--window-at 600,50", &err),
            0)
      << err;
}

}  // namespace
