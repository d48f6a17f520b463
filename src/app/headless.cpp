#include "app/headless.h"

#include <cstdio>

#include "app/script.h"
#include "app/sync_log.h"
#include "audio/dx_sound.h"
#include "audio/sound_backends.h"
#include "kolm/event.h"
#include "playback/session.h"
#include "video/memory_presenter.h"

namespace {

constexpr int startWidth = 640;
constexpr int startHeight = 480;
constexpr int scriptLookMs = 10;  // how often a script's wait is looked at

class CHeadless final : public CScript::ITarget {
 public:
  explicit CHeadless(const Options& options) : options_(options), session_(options.statsJson) {
    session_.presentPictures = !options.timing;
    session_.onPictureSize = [this](int width, int height) {
      width_ = width;
      height_ = height;
    };
    session_.onEnd = [this] { ended_.set(); };
  }

  int run() {
    // Before any thread starts, so that none of them takes the signals.
    const bool watching = kolm::sys::beginInterruptWatch(interrupt_.handle);
    CMemoryPresenter presenter(&session_.timekeeper());
    kolm::CDXSound sound(nullptr, kolm::soundDeviceFactory("null"));
    sound.createDevice();
    session_.attach(&presenter, &sound);
    CSyncLog syncLog;
    if (!options_.syncLog.empty()) syncLog.attach(&presenter, &sound);

    int status = loop();

    // The sound device and the presenter are used until playback stops.
    session_.close();
    if (status == 0 && session_.statisticsFailed()) status = 1;
    if (!options_.syncLog.empty() &&
        !syncLog.write(options_.syncLog, presenter.presented(), session_.timekeeper().startTime)) {
      std::fprintf(stderr, "zarvel: cannot write %s\n", printable(options_.syncLog).c_str());
      if (status == 0) status = 1;
    }
    const int signal = watching ? kolm::sys::endInterruptWatch() : 0;
    return signal ? 128 + signal : status;
  }

  bool act(const std::vector<std::string>& command) override {
    if (command[0] == "drop") {
      if (command.size() > 1) session_.play(command[1]);  // the first file of a drop
    } else if (command[0] == "key") {
      KeyPress key;
      if (!parseKeyPress(command.size() == 2 ? command[1] : "", &key)) return false;
      const Command what = commandForKey(key.name, key.alt, key.ctrl);
      if (what == Command::quit) quit_ = true;
      if (what == Command::switchMode) session_.presentPictures = !session_.presentPictures;
    } else if (command[0] == "quit") {
      quit_ = true;
    }
    // Keys of the window alone, and a double click, change nothing here.
    return true;
  }
  bool settled() override { return true; }
  std::string title() override { return windowTitle(session_); }
  void clientSize(int* width, int* height) override {
    *width = width_;
    *height = height_;
  }
  int fullScreen() override { return -1; }
  bool fileEnded() override { return session_.ended(); }

 private:
  // Plays the file, or runs the script, until it is done or a stop is asked.
  int loop() {
    CScript script;
    if (!options_.script.empty() && !script.load(options_.script)) {
      std::fprintf(stderr, "zarvel: cannot read %s\n", printable(options_.script).c_str());
      return 2;
    }
    // A file that cannot be played has been named with its reason.
    if (!options_.file.empty() && !session_.play(options_.file)) return 1;
    for (;;) {
      if (script.active() && !script.run(*this)) return 3;
      if (quit_) return 0;
      // After the script, the file that plays plays to its end.
      if (!script.active() && (session_.ended() || !session_.player().isOpen())) return 0;
      int which = -1;
      kolm::sys::waitEither(interrupt_.handle, ended_.handle, script.waiting() ? scriptLookMs : kolm::sys::infinite,
                            &which);
      if (which == 0) return 0;
      session_.fileEnded();
    }
  }

  const Options& options_;
  CPlaybackSession session_;
  CEvent ended_;      // a file has played to its end
  CEvent interrupt_;  // a stop was asked for (Ctrl+C, a termination signal)
  bool quit_ = false;
  int width_ = startWidth;
  int height_ = startHeight;
};

}  // namespace

int runHeadless(const Options& options) {
  CHeadless headless(options);
  return headless.run();
}
