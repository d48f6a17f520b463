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

constexpr int scriptLookMs = 10;  // how often a script's wait is looked at

// Plays the file, or runs the script, until it is done or a stop is asked.
int play(const Options& options, CPlaybackSession& session, CEvent& news, CEvent& interrupt) {
  CScript script;
  CSessionTarget target(session);
  if (!options.script.empty() && !script.load(options.script)) return 2;
  if (!options.file.empty()) session.play(options.file, options.start);
  for (;;) {
    if (script.active() && !script.run(target)) return 3;
    if (target.quitAsked()) return 0;
    // After the script, the file that plays plays to its end; a file that
    // could not be played (it has been named with its reason) is status 1.
    if (!script.active() && !session.opening() && !session.seeking() && (session.ended() || !session.player().isOpen()))
      return session.failure().empty() ? 0 : 1;
    int which = -1;
    kolm::sys::waitEither(interrupt.handle, news.handle, script.waiting() ? scriptLookMs : kolm::sys::infinite,
                          &which);
    if (which == 0) return 0;
    session.update();
  }
}

}  // namespace

int runHeadless(const Options& options) {
  CEvent news, interrupt;
  // Before any thread starts, so that none of them takes the signals.
  const bool watching = kolm::sys::beginInterruptWatch(interrupt.handle);
  CPlaybackSession session(options.statsJson);
  session.presentPictures = !options.timing;
  session.onNews = [&news] { news.set(); };
  CMemoryPresenter presenter(&session.timekeeper());
  kolm::CDXSound sound(nullptr, kolm::soundDeviceFactory("null"));
  sound.createDevice();
  session.attach(&presenter, &sound);
  CSyncLog syncLog;
  if (!options.syncLog.empty()) syncLog.attach(&presenter, &sound);

  int status = play(options, session, news, interrupt);
  // The sound device and the presenter are used until playback stops.
  session.close();
  if (status == 0 && session.statisticsFailed()) status = 1;
  if (!options.syncLog.empty() &&
      !syncLog.write(options.syncLog, presenter.presented())) {
    std::fprintf(stderr, "zarvel: cannot write %s\n", printable(options.syncLog).c_str());
    if (status == 0) status = 1;
  }
  const int signal = watching ? kolm::sys::endInterruptWatch() : 0;
  return signal ? 128 + signal : status;
}
