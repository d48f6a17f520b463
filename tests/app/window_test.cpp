// The real SDL window on a virtual X display: drops, keys and full screen
// through the program's test hook (--script), and a file played to its end.
#include <gtest/gtest.h>

#include <poll.h>
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
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
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
  }
  void TearDown() override {
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
    }
  }

  // SDL's software renderer on a plain X framebuffer: Mesa's GL threads are
  // beyond the thread sanitizer's sight. Leaks are left to the headless
  // tests: the X libraries that SDL loads and unloads leave allocations that
  // name no module at all.
  int runWindow(const std::string& arguments, std::string* out, std::string* err) {
    return runZarvel(arguments, out, err,
                     "env DISPLAY=" + display_ +
                         " SDL_AUDIODRIVER=dummy SDL_RENDER_DRIVER=software SDL_FRAMEBUFFER_ACCELERATION=0"
                         " ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\"");
  }

  pid_t server_ = -1;
  std::string display_;
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

}  // namespace
