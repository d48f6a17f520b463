#include "app/front_end.h"

#include <csignal>
#include <cstdio>
#include <memory>

#include "app/player.h"
#include "app/statistics_json.h"
#include "app/sync_log.h"
#include "audio/dx_sound.h"
#include "audio/sound_backends.h"
#include "kolm/sys/sys.h"
#include "video/memory_presenter.h"

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
    } else if (arg == "--script") {
      if (!value(&options->script)) return false;
    } else if (arg == "--sync-log") {
      if (!value(&options->syncLog)) return false;
    } else if (arg == "--help" || arg == "-h") {
      options->help = true;
    } else if (arg == "--version") {
      options->version = true;
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  return true;
}

void printUsage(FILE* to) {
  std::fprintf(to,
               "usage: zarvel [FILE] [--headless] [--timing] [--exit-at-end] [--stats-json PATH]\n"
               "              [--help] [--version]\n"
               "  FILE               play FILE as if it had been dropped on the window\n"
               "  --headless         no window and no sound card: play FILE in real time, exit at its end\n"
               "  --timing           timing mode: pictures are decoded and recycled unseen\n"
               "  --exit-at-end      quit when the file has played to its end\n"
               "  --stats-json PATH  when playback ends, write what was shown and played as one\n"
               "                     JSON object to PATH (- for standard output)\n"
#ifdef _WIN32
               "Window keys: drop a file to play it; Alt+R timing mode for the next file;\n"
               "Alt+X quits.\n");
#else
               "Window keys: drop a file to play it; Alt+R timing mode for the next file;\n"
               "F or a double click full screen, Escape leaves it; Alt+X quits.\n");
#endif
}

std::string printable(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return out;
}

std::string baseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool reportStatistics(const Options& options, const PlaybackStatistics& statistics) {
  if (options.statsJson.empty()) return true;
  std::string error;
  if (writeStatisticsJson(options.statsJson, statistics, &error)) return true;
  std::fprintf(stderr, "zarvel: cannot write %s: %s\n", printable(options.statsJson).c_str(), error.c_str());
  return false;
}

namespace {

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void onStopSignal(int signal) { stopSignal = signal; }

}  // namespace

int runWithoutWindow(const Options& options) {
  if (options.help) {
    printUsage(stdout);
    return 0;
  }
  if (options.version) {
    std::printf("zarvel %s\n", ZARVEL_VERSION);
    return 0;
  }
  if (options.headless) {
    if (options.file.empty()) {
      std::fprintf(stderr, "zarvel: --headless needs a FILE\n");
      printUsage(stderr);
      return 2;
    }
    return runHeadless(options);
  }
  return -1;
}

int runHeadless(const Options& options) {
  // Ctrl+C or a kill ends playback through the usual teardown, so the
  // statistics of what did play are still written.
#ifdef _WIN32
  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);
#else
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#endif

  auto player = std::make_unique<CPlayer>();
  auto presenter = std::make_unique<CMemoryPresenter>(&player->timekeeper());
  auto sound = std::make_unique<kolm::CDXSound>(nullptr, kolm::soundDeviceFactory("null"));
  sound->createDevice();
  CSyncLog syncLog;
  if (!options.syncLog.empty()) syncLog.attach(presenter.get(), sound.get());

  int status = 0;
  if (!player->open(options.file, presenter.get(), sound.get(), !options.timing)) {
    const std::string reason = player->lastError().empty() ? "no decode path accepts it" : player->lastError();
    std::fprintf(stderr, "zarvel: cannot play %s: %s\n", printable(options.file).c_str(),
                 printable(reason).c_str());
    status = 1;
  } else {
    player->play();
    // The player has no end event; a few looks a second are plenty.
    while (!stopSignal && !player->isFinished()) kolm::sys::sleepMs(50);
    if (!reportStatistics(options, player->statistics())) status = 1;
    if (!options.syncLog.empty() &&
        !syncLog.write(options.syncLog, presenter->presented(), player->timekeeper().startTime)) {
      std::fprintf(stderr, "zarvel: cannot write %s\n", printable(options.syncLog).c_str());
      status = 1;
    }
    if (stopSignal) status = 128 + stopSignal;
  }

  // The player's threads use the presenter and the sound device until it stops.
  player->stop();
  player.reset();
  presenter.reset();
  sound.reset();
  return status;
}
