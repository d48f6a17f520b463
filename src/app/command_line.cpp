#include "app/command_line.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/headless.h"
#include "kolm/seek_gate.h"
#include "playback/session.h"

namespace {

// "X,Y", each a whole number within reach of any desktop (negative on a
// monitor left of or above the primary one).
bool parsePosition(const std::string& text, int* x, int* y) {
  constexpr long limit = 1000000;
  const char* at = text.c_str();
  long values[2];
  for (int i = 0; i < 2; ++i) {
    char* end = nullptr;
    errno = 0;
    values[i] = std::strtol(at, &end, 10);
    if (end == at || errno != 0 || values[i] < -limit || values[i] > limit) return false;
    if (*end != (i == 0 ? ',' : '\0')) return false;
    at = end + 1;
  }
  *x = static_cast<int>(values[0]);
  *y = static_cast<int>(values[1]);
  return true;
}

}  // namespace

bool parseCommandLine(int argc, char** argv, Options* options, std::string* error) {
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = "option " + arg + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
      if (!options->file.empty()) {
        *error = "one file at a time";
        return false;
      }
      options->file = arg;
    } else if (arg == "--") {
      optionsEnd = true;
    } else if (arg == "--headless") {
      options->headless = true;
    } else if (arg == "--timing") {
      options->timing = true;
    } else if (arg == "--exit-at-end") {
      options->exitAtEnd = true;
    } else if (arg == "--stats-json") {
      if (!value(&options->statsJson)) return false;
    } else if (arg == "--start") {
      std::string text;
      std::int64_t time = 0;
      if (!value(&text)) return false;
      if (!kolm::parseTime(text.c_str(), &time)) {
        *error = "--start takes seconds or [h:]m:s, not " + text;
        return false;
      }
      options->start = time;
    } else if (arg == "--script") {
      if (!value(&options->script)) return false;
    } else if (arg == "--sync-log") {
      if (!value(&options->syncLog)) return false;
    } else if (arg == "--window-at") {
      std::string position;
      if (!value(&position)) return false;
      if (!parsePosition(position, &options->windowX, &options->windowY)) {
        *error = "option --window-at needs X,Y (whole numbers), not " + position;
        return false;
      }
      options->windowAt = true;
    } else if (arg == "--help" || arg == "-h") {
      options->help = true;
    } else if (arg == "--version") {
      options->version = true;
#ifdef _WIN32
    } else if (arg == "--overlay") {
      options->overlay = true;
#endif
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  return true;
}

std::string usageText() {
  return "usage: zarvel [FILE] [--start TIME] [--headless] [--timing] [--exit-at-end] [--stats-json PATH]\n"
#ifdef _WIN32
         "              [--window-at X,Y] [--overlay] [--help] [--version]\n"
#else
         "              [--window-at X,Y] [--help] [--version]\n"
#endif
         "  FILE               play FILE as if it had been dropped on the window\n"
         "  --start TIME       begin FILE at TIME: seconds (90, 1.5) or [h:]m:s (1:30)\n"
         "  --headless         no window and no sound card: play FILE in real time, exit at its end\n"
         "  --timing           timing mode: pictures are decoded and recycled unseen\n"
         "  --exit-at-end      quit when the file has played to its end\n"
         "  --stats-json PATH  when playback ends, write what was shown and played as one\n"
         "                     JSON object to PATH (- for standard output)\n"
         "  --window-at X,Y    open the window with its client area's top-left corner at X,Y\n"
#ifdef _WIN32
         "  --overlay          show pictures in a display overlay where the adapter has one\n"
         "Window keys: drop a file to play it; Space or P pauses and resumes; Left and\n"
         "Right seek 5 s, Down and Up 60 s, Home to the start; 9 and 0\n"
         "(or the wheel) volume down and up, M mutes; Alt+R timing mode for the next\n"
         "file; Alt+X quits.\n";
#else
         "Window keys: drop a file to play it; Space or P pauses and resumes; Left and\n"
         "Right seek 5 s, Down and Up 60 s, Home to the start; 9 and 0\n"
         "(or the wheel) volume down and up, M mutes; Alt+R timing mode for the next\n"
         "file; F or a double click full screen, Escape leaves it; Alt+X quits.\n";
#endif
}

std::string versionText() { return std::string("zarvel ") + ZARVEL_VERSION; }

void printUsage(FILE* to) { std::fputs(usageText().c_str(), to); }

std::string baseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Command commandForKey(const std::string& name, bool alt, bool ctrl) {
  const auto is = [&](const std::string& key) {
    if (name.size() != key.size()) return false;
    for (std::size_t i = 0; i < key.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(name[i])) != std::tolower(static_cast<unsigned char>(key[i])))
        return false;
    return true;
  };
  if (is("X")) return alt ? Command::quit : Command::none;
  if (is("R")) return alt ? Command::switchMode : Command::none;
  if (is("F")) return alt || ctrl ? Command::none : Command::fullScreen;
  if (is("Escape")) return Command::leaveFullScreen;
  if (alt || ctrl) return Command::none;
  if (is("Space") || is("P")) return Command::pause;
  if (is("9")) return Command::volumeDown;
  if (is("0")) return Command::volumeUp;
  if (is("M")) return Command::mute;
  if (is("Left")) return Command::seekBack;
  if (is("Right")) return Command::seekForward;
  if (is("Down")) return Command::seekBackLong;
  if (is("Up")) return Command::seekForwardLong;
  if (is("Home")) return Command::seekStart;
  return Command::none;
}

bool applyPlaybackCommand(CPlaybackSession& session, Command command) {
  constexpr std::int64_t shortStep = 5 * kolm::unitsPerSecond;
  constexpr std::int64_t longStep = 60 * kolm::unitsPerSecond;
  switch (command) {
    case Command::pause:
      session.togglePause();
      return true;
    case Command::volumeDown:
    case Command::volumeUp:
      session.changeVolume(command == Command::volumeUp ? 1 : -1);
      return true;
    case Command::mute:
      session.toggleMute();
      return true;
    case Command::seekBack:
      session.seekBy(-shortStep);
      return true;
    case Command::seekForward:
      session.seekBy(shortStep);
      return true;
    case Command::seekBackLong:
      session.seekBy(-longStep);
      return true;
    case Command::seekForwardLong:
      session.seekBy(longStep);
      return true;
    case Command::seekStart:
      session.seekTo(0);
      return true;
    default:
      return false;
  }
}

std::string positionLabel(long long position, long long duration, bool canSeek) {
  if (!canSeek) return "cannot seek";
  const auto clock = [](long long time) {
    const long long seconds = time < 0 ? 0 : time / kolm::unitsPerSecond;
    char text[32];
    if (seconds >= 3600)
      std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    else
      std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
    return std::string(text);
  };
  return clock(position) + " / " + (duration >= 0 ? clock(duration) : std::string("-:--"));
}

PositionBarText positionBarText(CPlaybackSession& session) {
  const long long duration = session.duration();
  const long long position = session.position();
  return {duration > 0 ? static_cast<double>(position) / static_cast<double>(duration) : -1.0,
          positionLabel(position, duration, session.canSeek())};
}

bool showsPosition(Command command) {
  return command == Command::pause || command == Command::seekBack || command == Command::seekForward ||
         command == Command::seekBackLong || command == Command::seekForwardLong || command == Command::seekStart;
}

bool leavesAfter(CPlaybackSession::News news, const CPlaybackSession& session, bool exitAtEnd, int* status) {
  const bool failed = !session.failure().empty();
  if (!exitAtEnd || !(failed || news == CPlaybackSession::News::ended)) return false;
  if (failed) *status = 1;
  return true;
}

std::string windowTitle(const CPlaybackSession& session) {
  std::string title = "zarvel";
  if (!session.presentPictures) title += " [timing]";
  if (!session.failure().empty())
    title += " - cannot play " + printable(baseName(session.failedFile())) + ": " + session.failure();
  return title;
}

int runWithoutWindow(const Options& options) {
  if (options.help) {
    printUsage(stdout);
    return 0;
  }
  if (options.version) {
    std::printf("%s\n", versionText().c_str());
    return 0;
  }
  if (options.headless) {
    if (options.file.empty() && options.script.empty()) {
      std::fprintf(stderr, "zarvel: --headless needs a FILE\n");
      printUsage(stderr);
      return 2;
    }
    return runHeadless(options);
  }
  return -1;
}
