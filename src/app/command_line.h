// The command line and the keys of the zarvel program, on every platform.
#pragma once

#include <cstdio>
#include <string>

#include "playback/session.h"

struct Options {
  std::string file;
  std::string statsJson;  // "" for none, "-" for standard output
  std::string script;     // test hook: commands fed to the window or headless mode (see script.h)
  std::string syncLog;    // benchmark hook, headless: flash and beep times (see sync_log.h)
  long long start = 0;     // --start: where FILE begins, 100 ns units
  bool headless = false;
  bool timing = false;
  bool exitAtEnd = false;
  bool help = false;
  bool version = false;
  bool windowAt = false;  // --window-at: the window's client area starts at windowX, windowY
  int windowX = 0;
  int windowY = 0;
  bool overlay = false;   // Windows: pictures through a display overlay where the adapter has one
};

// False on an unknown option, a missing value or a second file; the reason
// goes to *error.
bool parseCommandLine(int argc, char** argv, Options* options, std::string* error);
// The usage, as printUsage prints it, and what --version prints.
std::string usageText();
std::string versionText();
void printUsage(FILE* to);

// The part of a path after its last slash.
std::string baseName(const std::string& path);

// What the keys of the window ask for.
enum class Command {
  none, quit, switchMode, fullScreen, leaveFullScreen, pause, volumeDown, volumeUp, mute,
  seekBack, seekForward, seekBackLong, seekForwardLong, seekStart,
};
// The command of a key press, the key named as SDL names keys ("X", "R",
// "F", "Escape"; any case). Windows has the menu's accelerators instead.
Command commandForKey(const std::string& name, bool alt, bool ctrl);

// What every front end does alike with the commands that act on playback
// (pause, volume, seeks): true when it was one of them.
bool applyPlaybackCommand(CPlaybackSession& session, Command command);

// The position bar's label: "1:23 / 4:56" ("-:--" for a total not known),
// or "cannot seek" for a file that cannot be moved in.
std::string positionLabel(long long position, long long duration, bool canSeek);
// What the position bar shows of the session now: the share played (-1 when
// the total is not known) and the label.
struct PositionBarText {
  double fraction;
  std::string label;
};
PositionBarText positionBarText(CPlaybackSession& session);
// The commands after which the windows show the bar: seeks and pauses.
bool showsPosition(Command command);
// After news from the session: true when a window given --exit-at-end
// leaves now (a file ended or could not be played; *status 1 for the latter).
bool leavesAfter(CPlaybackSession::News news, const CPlaybackSession& session, bool exitAtEnd, int* status);

// The Linux window's title (headless mode keeps one too, for scripts):
// "zarvel", " [timing]" in timing mode, " - cannot play NAME: REASON" after a
// file that could not be played.
std::string windowTitle(const CPlaybackSession& session);

// What needs no window: --help, --version and headless playback. Returns
// the exit status, or -1 when the window should open.
int runWithoutWindow(const Options& options);
