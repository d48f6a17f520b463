// What the window and the headless player share: the command line, the
// messages, and headless playback.
#pragma once

#include <cstdio>
#include <string>

struct Options {
  std::string file;
  std::string statsJson;  // "" for none, "-" for standard output
  std::string script;     // test hook: events fed to the window (see main_sdl.cpp)
  std::string syncLog;    // benchmark hook, headless: flash and beep times (see sync_log.h)
  bool headless = false;
  bool timing = false;
  bool exitAtEnd = false;
  bool help = false;
  bool version = false;
};

// False on an unknown option, a missing value or a second file; the reason
// goes to *error.
bool parseCommandLine(int argc, char** argv, Options* options, std::string* error);
void printUsage(FILE* to);

// The text with every control character replaced, so that a hostile file name
// keeps a message on one line.
std::string printable(const std::string& text);
// The part of a path after its last slash.
std::string baseName(const std::string& path);

// What needs no window: --help, --version and headless playback. Returns
// the exit status, or -1 when the window should open.
int runWithoutWindow(const Options& options);

// Plays options.file with no window and no sound card, in real time, until
// it ends (or the process is asked to stop). Exit status: 0 at the end of the
// file, 1 when it cannot be played or the statistics cannot be written.
int runHeadless(const Options& options);

// Writes statistics to options.statsJson, when asked for; false (and one line
// on standard error) when that fails.
struct PlaybackStatistics;
bool reportStatistics(const Options& options, const PlaybackStatistics& statistics);
