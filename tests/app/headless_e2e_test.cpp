// End to end: `zarvel --headless` plays a fixture of each decode path in real
// time and reports what it showed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <ostream>
#include <regex>
#include <string>

#include "program.h"
#include "support/fixtures.h"

namespace {

std::string printableName(std::string name) {
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  return name;
}

const fixtures::Row* manifestRow(const std::string& file) {
  static const std::vector<fixtures::Row> rows = fixtures::manifest();
  for (const auto& row : rows)
    if (row["file"] == file) return &row;
  return nullptr;
}

// The whole object, with exactly its keys in their order.
const std::regex kStatistics(
    R"re(\{"path": "(mpeg1|ogg|ffmpeg)", "pictures": (\d+), "early_pictures": (\d+), )re"
    R"re("lateness_ms": \{"mean": -?[0-9.]+, "p50": -?[0-9.]+, "p99": -?[0-9.]+, "max": -?[0-9.]+\}, )re"
    R"re("sound": \{"blocks_played": (\d+), "blocks_dropped": \d+, "underruns": \d+\}, )re"
    R"re("seeks": \{"count": (\d+), "latency_ms": \{"p50": [0-9.]+, "max": [0-9.]+\}\}, "paused_ms": ([0-9.]+)\}\n)re");

struct Clip {
  const char* file;
  const char* path;
  bool sound;
};
void PrintTo(const Clip& clip, std::ostream* out) { *out << clip.file; }

class HeadlessPlayback : public ::testing::TestWithParam<Clip> {};

TEST_P(HeadlessPlayback, PlaysToTheEndAndReportsEveryPicture) {
  const Clip clip = GetParam();
  const fixtures::Row* row = manifestRow(clip.file);
  ASSERT_NE(row, nullptr);
  const std::string json = fixtures::tempPath(".json");
  std::string err;
  ASSERT_EQ(runZarvel("--headless --exit-at-end --stats-json " + json + " " + fixtures::dataPath(clip.file),
                      nullptr, &err),
            0)
      << err;
  const std::string text = readText(json);
  std::remove(json.c_str());
  std::smatch match;
  ASSERT_TRUE(std::regex_match(text, match, kStatistics)) << text;
  EXPECT_EQ(match[1].str(), clip.path);
  EXPECT_EQ(std::stol(match[2]), std::stol((*row)["frames"]));
  EXPECT_EQ(match[3].str(), "0") << "pictures shown before their time";
  if (clip.sound) {
    EXPECT_GT(std::stol(match[4]), 0) << "the sound did not play";
  } else {
    EXPECT_EQ(match[4].str(), "0");
  }
}

INSTANTIATE_TEST_SUITE_P(EachPath, HeadlessPlayback,
                         ::testing::Values(Clip{"mpg-ip-176x120.mpg", "mpeg1", true},
                                           Clip{"mpg-mp3-176x120.mpg", "mpeg1", true},
                                           Clip{"mpg-soundfirst-96x64.mpg", "mpeg1", true},
                                           Clip{"mpg-junk-96x64.mpg", "mpeg1", false},
                                           Clip{"ogg-tv-176x120.ogv", "ogg", true},
                                           Clip{"ogg-t-352x240.ogv", "ogg", false},
                                           Clip{"mp4-176x120.mp4", "ffmpeg", true},
                                           Clip{"mkv-flac-96x64.mkv", "ffmpeg", true},
                                           Clip{"mp4-earlysound-96x64.mp4", "ffmpeg", true},
                                           Clip{"mp4-vfr-176x120.mp4", "ffmpeg", false}),
                         [](const auto& info) {
                           std::string name = info.param.file;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

// An Ogg file whose Vorbis stream has its headers and not one sample: the
// sound card is still the clock, so a block of silence must start it, or the
// pictures wait for ever.
TEST(Headless, AnOggSoundWithoutSamplesStillStartsTheClock) {
  const std::string bytes = readText(fixtures::dataPath("ogg-tv-176x120.ogv"));
  std::string kept;
  std::map<std::uint32_t, int> pages;
  std::uint32_t vorbis = 0;
  bool found = false;
  for (std::size_t at = 0; at + 27 <= bytes.size() && bytes.compare(at, 4, "OggS") == 0;) {
    const std::size_t segments = static_cast<std::uint8_t>(bytes[at + 26]);
    std::size_t size = 27 + segments;
    for (std::size_t i = 0; i < segments && at + 27 + i < bytes.size(); ++i)
      size += static_cast<std::uint8_t>(bytes[at + 27 + i]);
    std::uint32_t serial = 0;
    std::memcpy(&serial, bytes.data() + at + 14, 4);  // little-endian, as this machine
    if (!found && bytes.compare(at + 27 + segments + 1, 6, "vorbis") == 0) vorbis = serial, found = true;
    // Its two header pages stay; every page of samples goes.
    if (!(found && serial == vorbis && ++pages[serial] > 2)) kept += bytes.substr(at, size);
    at += size;
  }
  ASSERT_TRUE(found);
  const std::string copy = fixtures::tempPath(".ogv");
  {
    std::FILE* file = std::fopen(copy.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(kept.data(), 1, kept.size(), file);
    std::fclose(file);
  }
  std::string out, err;
  EXPECT_EQ(runZarvel("--headless --exit-at-end --stats-json - " + copy, &out, &err), 0) << err;
  std::remove(copy.c_str());
  std::smatch match;
  ASSERT_TRUE(std::regex_match(out, match, kStatistics)) << out;
  EXPECT_EQ(match[1].str(), "ogg");
  EXPECT_EQ(match[2].str(), "25");
}

// A sound stream no decoder takes (its codec name garbled in a copy of the
// file): the pictures play on the built-in clock, and standard error says so
// once.
TEST(Headless, AnUndecodableSoundPlaysSilentAndSaysSoOnce) {
  std::string bytes = readText(fixtures::dataPath("mkv-flac-96x64.mkv"));
  const std::size_t at = bytes.find("A_FLAC");
  ASSERT_NE(at, std::string::npos);
  bytes[at + 4] = 'X';
  const std::string copy = fixtures::tempPath(".mkv"), json = fixtures::tempPath(".json");
  {
    std::FILE* file = std::fopen(copy.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  std::string err;
  EXPECT_EQ(runZarvel("--headless --exit-at-end --stats-json " + json + " " + copy, nullptr, &err), 0) << err;
  const std::string text = readText(json);
  std::remove(json.c_str());
  std::remove(copy.c_str());
  std::smatch match;
  ASSERT_TRUE(std::regex_match(text, match, kStatistics)) << text;
  EXPECT_EQ(match[1].str(), "ffmpeg");
  EXPECT_EQ(match[2].str(), "25");
  EXPECT_EQ(match[4].str(), "0");
  const std::size_t said = err.find("playing without sound");
  ASSERT_NE(said, std::string::npos) << err;
  EXPECT_EQ(err.find("playing without sound", said + 1), std::string::npos) << err;
}

// A copy of an MPEG-1 system stream whose sound packets carry noise in place
// of MPEG audio (their headers and time stamps kept).
std::string withNoiseForSound(const std::string& name) {
  std::string bytes = readText(fixtures::dataPath(name));
  std::uint32_t noise = 12345;
  for (std::size_t at = 0; at + 6 <= bytes.size(); ++at) {
    if (bytes.compare(at, 4, std::string("\0\0\1\xC0", 4)) != 0) continue;
    const std::size_t length = static_cast<std::uint8_t>(bytes[at + 4]) << 8 | static_cast<std::uint8_t>(bytes[at + 5]);
    std::size_t p = at + 6;
    const std::size_t end = std::min(bytes.size(), p + length);
    while (p < end && static_cast<std::uint8_t>(bytes[p]) == 0xFF) ++p;
    if (p < end && (bytes[p] & 0xC0) == 0x40) p += 2;
    if (p < end) p += (bytes[p] & 0xF0) == 0x20 ? 5 : (bytes[p] & 0xF0) == 0x30 ? 10 : 1;
    for (; p < end; ++p) {
      noise = noise * 1103515245u + 12345u;
      bytes[p] = static_cast<char>(noise >> 24);
    }
    at = end - 1;
  }
  const std::string path = fixtures::tempPath(".mpg");
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  return path;
}

TEST(Headless, UndecodableSoundPlaysThePicturesAndSaysSoOnce) {
  const std::string file = withNoiseForSound("mpg-ip-176x120.mpg");
  std::string out, err;
  ASSERT_EQ(runZarvel("--headless --exit-at-end --stats-json - " + file, &out, &err), 0) << err;
  std::smatch match;
  ASSERT_TRUE(std::regex_match(out, match, kStatistics)) << out;
  EXPECT_EQ(match[1].str(), "mpeg1");
  EXPECT_EQ(std::stol(match[2]), 25);
  EXPECT_EQ(match[4].str(), "0");
  // Said once (beside the statistics line).
  const std::string said = "zarvel: " + file + ": playing without sound: ";
  EXPECT_NE(err.find(said), std::string::npos) << err;
  EXPECT_EQ(err.find(said), err.rfind(said)) << err;
  // zarvel-decode takes the pictures too, and writes no sound.
  std::string printed;
  EXPECT_EQ(fixtures::runTool(ZARVEL_DECODE, file + " --wav " + file + ".wav", &printed), 0);
  EXPECT_NE(printed.find(" 25 pictures"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("sound"), std::string::npos) << printed;
  std::remove(file.c_str());
  std::remove((file + ".wav").c_str());
}

TEST(Headless, TimingModeStillEnds) {
  std::string out, err;
  EXPECT_EQ(runZarvel("--headless --timing --stats-json - " + fixtures::dataPath("ogg-t-352x240.ogv"), &out, &err),
            0)
      << err;
  EXPECT_TRUE(std::regex_match(out, kStatistics)) << out;
}

TEST(Headless, AFileItCannotPlayIsOneLineAndStatusOne) {
  for (const std::string name : {"bad-random.bin", "bad-empty.mpg", "no-such-file.mpg"}) {
    SCOPED_TRACE(name);
    const std::string json = fixtures::tempPath(".json");
    std::string out, err;
    EXPECT_EQ(runZarvel("--headless --exit-at-end --stats-json " + json + " " + fixtures::dataPath(name), &out, &err),
              1);
    EXPECT_EQ(lineCount(err), 1) << err;
    EXPECT_EQ(err.rfind("zarvel: cannot play " + fixtures::dataPath(name) + ": ", 0), 0u) << err;
    EXPECT_EQ(out, "");
    FILE* written = std::fopen(json.c_str(), "r");
    EXPECT_EQ(written, nullptr) << "statistics of nothing played";
    if (written) std::fclose(written);
  }
}

TEST(Headless, StatisticsThatCannotBeWrittenAreAFailure) {
  std::string err;
  EXPECT_EQ(runZarvel("--headless --stats-json /nonexistent/dir/out.json " + fixtures::dataPath("m1v-intra-176x120.m1v"),
                      nullptr, &err),
            1);
  EXPECT_NE(err.find("cannot write /nonexistent/dir/out.json"), std::string::npos) << err;
}

TEST(CommandLine, MistakesGiveUsageAndStatusTwo) {
  for (const std::string arguments : {"--bogus", "--headless", "--stats-json", "a.mpg b.mpg", "--window-at",
                                      "--window-at 10", "--window-at 10,", "--window-at x,5", "--window-at 1,2,3",
                                      "--window-at 99999999999,0"}) {
    SCOPED_TRACE(arguments);
    std::string out, err;
    EXPECT_EQ(runZarvel(arguments, &out, &err), 2);
    EXPECT_NE(err.find("usage: zarvel"), std::string::npos) << err;
  }
  std::string out;
  EXPECT_EQ(runZarvel("--help", &out, nullptr), 0);
  EXPECT_NE(out.find("--stats-json PATH"), std::string::npos);
  EXPECT_EQ(runZarvel("--version", &out, nullptr), 0);
  EXPECT_EQ(out.rfind("zarvel ", 0), 0u);
}

TEST(CommandLine, WithoutADisplayTheWindowFallsBackToHeadless) {
  std::string out, err;
  EXPECT_EQ(runZarvel("--exit-at-end --stats-json - " + fixtures::dataPath("m1v-intra-176x120.m1v"), &out, &err,
                      "env -u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER"),
            0)
      << err;
  EXPECT_NE(err.find("headless"), std::string::npos) << err;
  EXPECT_TRUE(std::regex_match(out, kStatistics)) << out;
}

// The test driver runs in headless mode too: drops go to the session, Alt+R
// and Alt+X do what they do in the window, and the "window" takes each
// picture's size. Every file that played reports its statistics.
TEST(Headless, AScriptDrivesTheSessionWithoutAWindow) {
  const std::string script = fixtures::tempPath(".script");
  {
    std::ofstream out(script);
    out << "expect-size 640 480\n"
           "drop " << fixtures::dataPath("ogg-t-180x100.ogv") << " " << fixtures::dataPath("mpg-ip-176x120.mpg") << "\n"
           "expect-size 180 100\n"
           "wait-end\n"
           "key alt+r\n"
           "wait-title zarvel [timing]\n"
           "drop " << fixtures::dataPath("bad-random.bin") << "\n"
           "wait-title zarvel [timing] - cannot play bad-random.bin: \n"
           "expect-size 180 100\n"
           "key alt+r\n"
           "drop " << fixtures::dataPath("mpg-ip-176x120.mpg") << "\n"
           "wait-title zarvel\n"
           "expect-size 176 120\n"
           "key alt+x\n";
  }
  std::string out, err;
  EXPECT_EQ(runZarvel("--headless --stats-json - --script " + script, &out, &err), 0) << err;
  EXPECT_EQ(lineCount(out), 2) << out;
  EXPECT_NE(out.find("{\"path\": \"ogg\", \"pictures\": 20, "), std::string::npos) << out;
  EXPECT_NE(out.find("{\"path\": \"mpeg1\", "), std::string::npos) << out;

  // Without a window there is no full screen to wait for.
  std::ofstream(script) << "expect-fullscreen 1\n";
  EXPECT_EQ(runZarvel("--headless --script " + script, &out, &err), 3);
  EXPECT_NE(err.find("script command \"expect-fullscreen 1\" cannot run (title \"zarvel\", 640 x 480)"),
            std::string::npos)
      << err;
  std::remove(script.c_str());
}

// Ctrl+C ends headless playback through the usual teardown: the statistics
// of what did play are written, and the status says which signal ended it.
TEST(Headless, AnInterruptEndsPlaybackAndStillReports) {
  const std::string json = fixtures::tempPath(".json");
  const std::string status = fixtures::tempPath(".status");
  const std::string command = "timeout --preserve-status -s INT 1.5 " + std::string(ZARVEL_PROGRAM) +
                              " --headless --stats-json " + json + " " + fixtures::dataPath("../../samples/demo.ogv") +
                              " 2>/dev/null; echo $? >" + status;
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(readText(status), "130\n");
  const std::string written = readText(json);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(written, match, kStatistics)) << written;
  EXPECT_GT(std::stoi(match[2]), 0);
  EXPECT_LT(std::stoi(match[2]), 125);  // the clip is 5 s long
  std::remove(json.c_str());
  std::remove(status.c_str());
}

// What is no regular file is refused at once with its reason, one line and
// status 1, by the player and by zarvel-decode: opening a pipe with no
// writer used to wait for ever. A name with a control character keeps the
// line whole.
TEST(Headless, WhatIsNoFileIsRefusedAtOnceWithItsReason) {
  const std::string fifo = fixtures::tempPath(".fifo");
  const std::string odd = fixtures::tempPath("\nodd.mpg");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> cases[] = {{fifo, "it is a pipe, not a file"},
                                                       {"/tmp", "it is a folder"},
                                                       {"/dev/zero", "it is a device, not a file"},
                                                       {"/nonexistent/zarvel.mpg", "no such file"},
                                                       {odd, "no such file"}};
  for (const auto& [file, reason] : cases) {
    SCOPED_TRACE(file);
    std::string out, err;
    EXPECT_EQ(runZarvel("--headless -- '" + file + "'", &out, &err), 1);
    EXPECT_EQ(err, "zarvel: cannot play " + printableName(file) + ": " + reason + "\n");
    EXPECT_EQ(fixtures::runTool(ZARVEL_DECODE, "-- '" + file + "'", &err, true), 1);
    EXPECT_EQ(err, "zarvel-decode: cannot open " + printableName(file) + ": " + reason + "\n");
  }
  std::remove(fifo.c_str());
}

// Headers that parse and pictures that never come: no success.
TEST(Headless, AFileWithoutAPictureIsAFailure) {
  const std::string cut = fixtures::tempPath(".ogv");
  {
    std::ifstream in(fixtures::dataPath("ogg-tv-176x120.ogv"), std::ios::binary);
    std::string head(1582, '\0');
    in.read(&head[0], static_cast<std::streamsize>(head.size()));
    std::ofstream(cut, std::ios::binary) << head;
  }
  std::string out, err;
  EXPECT_EQ(runZarvel("--headless --stats-json - " + cut, &out, &err), 1);
  EXPECT_NE(err.find("zarvel: cannot play " + cut + ": no picture could be decoded"), std::string::npos) << err;
  EXPECT_NE(out.find("\"pictures\": 0"), std::string::npos) << out;
  std::remove(cut.c_str());
}

// A pause holds pictures, sound and playback time together: with the sound
// card as the clock (the demo clip) and with the built-in one (a file
// without sound), every picture and block comes after it, none early,
// none dropped, and nothing is late by the pause's length.
TEST(Headless, APauseHoldsPicturesSoundAndTimeTogether) {
  const std::string script = fixtures::tempPath(".script");
  for (const std::string file : {"../../samples/demo.ogv", "m1v-ibbp-352x240.m1v"}) {
    SCOPED_TRACE(file);
    std::ofstream(script) << "drop " << fixtures::dataPath(file) << "\nplay-for 300\nkey space\n"
                          << "play-for 1500\nkey p\nwait-end\n";
    std::string out, err;
    ASSERT_EQ(runZarvel("--headless --stats-json - --script " + script, &out, &err), 0) << err;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(out, match, kStatistics)) << out;
    const fixtures::Row* row = manifestRow(file);
    EXPECT_EQ(std::stol(match[2]), row ? std::stol((*row)["frames"]) : 125);
    EXPECT_EQ(match[3].str(), "0");
    std::smatch late;
    ASSERT_TRUE(std::regex_search(out, late, std::regex(R"re("max": (-?[0-9.]+)\})re")));
    EXPECT_LT(std::stod(late[1]), 1000.0) << "the pictures after the pause came late by its length";
    if (row == nullptr) {
      EXPECT_NE(out.find("\"blocks_played\": 25, \"blocks_dropped\": 0, \"underruns\": 0"), std::string::npos)
          << out;
    }
  }
  std::remove(script.c_str());
}

}  // namespace

namespace {

// Twelve seconds of each path, made by ffmpeg at test time ("" when it lacks
// the encoder): the fixtures are too short to seek in.
std::string longClip(const std::string& name, const std::string& codecs) {
  if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) return "";
  const std::string path = fixtures::tempPath("-" + name);
  const std::string command = "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=176x120:rate=25 " +
                              std::string(codecs.find("-an") == std::string::npos
                                              ? "-f lavfi -i sine=frequency=440:sample_rate=44100 "
                                              : "") +
                              "-t 12 " + codecs + " " + path;
  return std::system(command.c_str()) == 0 ? path : "";
}

// Seeks every way on every path, in real time, through the script driver: a
// seek while the file opens, in the first GOP, twice in a row (one target),
// back past the start, while paused (the picture at the target is shown at
// once), and to the last picture, which then ends the file as its data
// does. No picture is shown early, no sound block is dropped, the file ends
// and the program with it (every thread joined).
TEST(Headless, SeeksOnEveryPathLandWhereTheyWereSentAndEndCleanly) {
  struct Case {
    const char* name;
    const char* codecs;
    const char* path;
  };
  const Case cases[] = {
      {"seek.mpg", "-c:v mpeg1video -g 15 -bf 2 -c:a mp2 -f mpeg", "mpeg1"},
      {"seek.m1v", "-an -c:v mpeg1video -g 15 -bf 2 -f mpeg1video", "mpeg1"},
      {"seek.ogv", "-c:v libtheora -g 64 -c:a libvorbis", "ogg"},
      {"seek.mp4", "-c:v libx264 -g 25 -bf 2 -c:a aac", "ffmpeg"},
  };
  const std::string script = fixtures::tempPath(".script");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string clip = longClip(c.name, c.codecs);
    if (clip.empty()) continue;
    std::ofstream(script) << "drop " << clip << "\nseek 3\nexpect-position 3 4\nplay-for 300\n"
                          << "seek 0.2\nexpect-position 0.2 1\nplay-for 200\n"
                          << "key right\nkey right\nexpect-position 10 11\nplay-for 200\n"
                          << "key down\nexpect-position 0 0.8\nkey space\nseek 5.5\nexpect-position 5.5 5.5\n"
                          << "play-for 300\nkey p\nplay-for 300\nseek 11.98\nwait-end\n";
    std::string out, err;
    ASSERT_EQ(runZarvel("--headless --stats-json - --script " + script, &out, &err), 0) << err;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(out, match, kStatistics)) << out;
    EXPECT_EQ(match[1].str(), c.path);
    EXPECT_EQ(match[3].str(), "0") << "a picture came before its time after a seek";
    // The first right starts a seek; the second, while it runs, becomes the next.
    EXPECT_EQ(std::stol(match[5]), 7) << out;
    EXPECT_GE(std::stod(match[6]), 250.0) << out;
    EXPECT_NE(out.find("\"blocks_dropped\": 0"), std::string::npos) << out;
    std::remove(clip.c_str());
  }
  std::remove(script.c_str());
}

// --start begins at a time (seconds or m:s) as a seek would; a time past
// the end ends the file at once; a malformed one is a usage error.
TEST(Headless, StartBeginsWhereItSays) {
  const std::string clip = longClip("start.mpg", "-c:v mpeg1video -g 15 -bf 2 -c:a mp2 -f mpeg");
  if (clip.empty()) GTEST_SKIP() << "ffmpeg is not installed";
  std::string out, err;
  ASSERT_EQ(runZarvel("--headless --stats-json - --start 0:11 " + clip, &out, &err), 0) << err;
  std::smatch match;
  ASSERT_TRUE(std::regex_match(out, match, kStatistics)) << out;
  EXPECT_EQ(std::stol(match[2]), 25) << "the last second of 25 pictures";
  EXPECT_EQ(match[5].str(), "0") << "a start position is not a seek command";
  ASSERT_EQ(runZarvel("--headless --stats-json - --start 60 " + clip, &out, &err), 0) << err;
  ASSERT_TRUE(std::regex_match(out, match, kStatistics)) << out;
  EXPECT_EQ(match[2].str(), "0");
  EXPECT_EQ(runZarvel("--headless --start 1:75 " + clip, &out, &err), 2);
  std::remove(clip.c_str());
}

}  // namespace
