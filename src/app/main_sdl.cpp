// The zarvel program on Linux: the SDL2 main window, or headless playback.
//
// The window starts with a 640 x 480 client area and plays the first file of
// every drop, resized to its picture; Alt+X leaves, Alt+R switches between
// presenting and timing mode for the next file, F or a double click toggles
// full screen and Escape leaves it.
#define SDL_MAIN_HANDLED  // our own main, no SDL2main
#include <SDL.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/command_line.h"
#include "app/headless.h"
#include "app/script.h"
#include "app/window_fit.h"
#include "audio/dx_sound.h"
#include "audio/sound_backends.h"
#include "kolm/seek_gate.h"
#include "playback/session.h"
#include "video/position_bar.h"
#include "video/sdl_presenter.h"

namespace {

constexpr int startWidth = 640;
constexpr int startHeight = 480;
// Drivers without events of their own (dummy, offscreen) are looked at this
// often; see run().
constexpr int driverPollMs = 50;
constexpr int scriptLookMs = 10;  // how often a script's wait is looked at
constexpr Uint64 barShowMs = 2000;  // how long the position bar stays after what showed it
constexpr Uint64 barRefreshMs = 250;  // while it shows, how often a paused picture's bar is drawn again

class CWindow final : public CScript::ITarget {
 public:
  CWindow(const Options& options, SDL_Window* window, SDL_Renderer* renderer)
      : options_(options), window_(window), renderer_(renderer), session_(options.statsJson) {
    session_.presentPictures = !options.timing;
    session_.onPictureSize = [this](int width, int height) { takePictureSize(width, height); };
    session_.onNews = [this] { noticeNews(); };
    newsEvent_ = SDL_RegisterEvents(2);
    syncEvent_ = newsEvent_ + 1;
  }

  int run() {
    setTitle();
    presenter_ = std::make_unique<CSdlPresenter>();
    presenter_->draw(renderer_);  // black until the first picture
    sound_ = std::make_unique<kolm::CDXSound>(window_, kolm::soundDeviceFactory("sdl"));
    sound_->createDevice();
    session_.attach(presenter_.get(), sound_.get());

    if (!options_.script.empty() && !script_.load(options_.script)) {
      status_ = 2;
    } else {
      if (!options_.file.empty()) session_.play(options_.file, options_.start);
      loop();
    }
    // The player's threads use the presenter and the sound device until it stops.
    session_.close();
    if (status_ == 0 && session_.statisticsFailed()) status_ = 1;
    presenter_.reset();
    sound_.reset();
    return status_;
  }

  // Script target: real SDL events, answered by the loop like any other --------

  bool act(const std::vector<std::string>& command) override {
    const std::string& name = command[0];
    const Uint32 windowId = SDL_GetWindowID(window_);
    SDL_Event event;
    SDL_zero(event);
    if (name == "drop" && command.size() > 1) {
      event.type = SDL_DROPBEGIN;
      event.drop.windowID = windowId;
      push(event);
      for (std::size_t i = 1; i < command.size(); ++i) {
        event.type = SDL_DROPFILE;
        event.drop.file = SDL_strdup(command[i].c_str());
        push(event);
      }
      event.type = SDL_DROPCOMPLETE;
      event.drop.file = nullptr;
      push(event);
    } else if (name == "key" && command.size() == 2) {
      KeyPress key;
      if (!parseKeyPress(command[1], &key)) return false;
      event.type = SDL_KEYDOWN;
      event.key.windowID = windowId;
      event.key.state = SDL_PRESSED;
      if (key.alt) event.key.keysym.mod |= KMOD_LALT;
      if (key.ctrl) event.key.keysym.mod |= KMOD_LCTRL;
      if (key.shift) event.key.keysym.mod |= KMOD_LSHIFT;
      event.key.keysym.sym = SDL_GetKeyFromName(key.name.c_str());
      if (event.key.keysym.sym == SDLK_UNKNOWN) return false;
      event.key.keysym.scancode = SDL_GetScancodeFromKey(event.key.keysym.sym);
      push(event);
    } else if (name == "dblclick" && command.size() == 1) {
      event.type = SDL_MOUSEBUTTONDOWN;
      event.button.windowID = windowId;
      event.button.button = SDL_BUTTON_LEFT;
      event.button.state = SDL_PRESSED;
      event.button.clicks = 2;
      push(event);
    } else if (name == "quit" && command.size() == 1) {
      event.type = SDL_QUIT;
      push(event);
    } else if (name == "seek" && command.size() == 2) {
      // No key goes to a time: the session is asked, as a click on the bar does.
      std::int64_t time = 0;
      if (!kolm::parseTime(command[1].c_str(), &time)) return false;
      session_.seekTo(time);
      showBar();
      return true;
    } else {
      return false;
    }
    // Once this comes round, every event above has been handled.
    SDL_zero(event);
    event.type = syncEvent_;
    push(event);
    awaitingSync_ = true;
    return true;
  }
  bool settled() override { return !awaitingSync_; }
  std::string title() override { return SDL_GetWindowTitle(window_); }
  void clientSize(int* width, int* height) override { SDL_GetWindowSize(window_, width, height); }
  int fullScreen() override {
    const bool is = SDL_GetWindowFlags(window_) & SDL_WINDOW_FULLSCREEN_DESKTOP;
    return is && fullScreen_ ? 1 : !is && !fullScreen_ ? 0 : 2;  // 2: on its way
  }
  bool fileEnded() override { return session_.ended(); }
  long picturesShown() override { return session_.picturesShown(); }
  bool position(std::int64_t* time) override {
    if (session_.seeking() || session_.opening()) return false;
    *time = session_.position();
    return true;
  }
  // The whole window, frame included, lies on the usable area of its screen.
  int onScreen() override {
    int top = 0, left = 0, bottom = 0, right = 0, x = 0, y = 0, width = 0, height = 0;
    SDL_Rect usable;
    const int display = SDL_GetWindowDisplayIndex(window_);
    if (display < 0 || SDL_GetDisplayUsableBounds(display, &usable) != 0) return -1;
    SDL_GetWindowBordersSize(window_, &top, &left, &bottom, &right);
    SDL_GetWindowPosition(window_, &x, &y);
    SDL_GetWindowSize(window_, &width, &height);
    return x - left >= usable.x && y - top >= usable.y && x + width + right <= usable.x + usable.w &&
           y + height + bottom <= usable.y + usable.h;
  }

 private:
  // The window takes the picture's display size where it fits on the usable
  // area of its screen (without panels), its top-left corner staying where it
  // is, whatever the window manager does; otherwise it moves onto the area,
  // scaled down if need be. In full screen SDL keeps the size for the way back.
  void takePictureSize(int width, int height) {
    presenter_->setDisplayShape(width, height);
    displayWidth_ = width;
    displayHeight_ = height;
    if (!fullScreen_) {
      int top = 0, left = 0, bottom = 0, right = 0;
      // Unknown until the window manager has framed the window: the last known.
      if (SDL_GetWindowBordersSize(window_, &top, &left, &bottom, &right) == 0) borders_ = {left, top, right, bottom};
    }
    int x = 0, y = 0;
    SDL_GetWindowPosition(window_, &x, &y);
    ScreenRect area;
    SDL_Rect usable;
    const int display = SDL_GetWindowDisplayIndex(window_);
    if (display >= 0 && SDL_GetDisplayUsableBounds(display, &usable) == 0)
      area = {usable.x, usable.y, usable.w, usable.h};
    // SDL places the client area; the fit places the whole window.
    const WindowPlace place = fitWindow(width, height, borders_, x - borders_.left, y - borders_.top, area);
    SDL_SetWindowSize(window_, place.clientWidth, place.clientHeight);
    if (!fullScreen_) SDL_SetWindowPosition(window_, place.x + borders_.left, place.y + borders_.top);
    windowedWidth_ = place.clientWidth;
    windowedHeight_ = place.clientHeight;
  }

  // Any thread: wakes the loop, which asks the session on its own thread.
  void noticeNews() {
    SDL_Event event;
    SDL_zero(event);
    event.type = newsEvent_;
    SDL_PushEvent(&event);
    presenter_->wakeEvent.set();  // for a loop that waits on it instead of on SDL
  }

  void setTitle() { SDL_SetWindowTitle(window_, windowTitle(session_).c_str()); }

  // A file opened, failed, or played to its end. With --exit-at-end the
  // window leaves when a file ends or cannot be played, with status 1 then.
  void takeNews() {
    const CPlaybackSession::News news = session_.update();
    if (news == CPlaybackSession::News::none) return;
    setTitle();
    if (leavesAfter(news, session_, options_.exitAtEnd, &status_)) quit_ = true;
  }

  void push(SDL_Event event) {
    event.common.timestamp = SDL_GetTicks();
    SDL_PushEvent(&event);
  }

  void toggleFullScreen() {
    if (!fullScreen_) SDL_GetWindowSize(window_, &windowedWidth_, &windowedHeight_);
    if (SDL_SetWindowFullscreen(window_, fullScreen_ ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP) != 0) return;
    fullScreen_ = !fullScreen_;
    // Some window managers (and X without one) leave the window at the size
    // of the screen: the size it had, or the last picture's, comes back.
    if (!fullScreen_) SDL_SetWindowSize(window_, windowedWidth_, windowedHeight_);
    presenter_->redraw(renderer_);
  }

  void handleKey(const SDL_KeyboardEvent& key) {
    const Command command =
        commandForKey(SDL_GetKeyName(key.keysym.sym), key.keysym.mod & KMOD_ALT, key.keysym.mod & KMOD_CTRL);
    // A held key repeats; only leaving and the volume do no harm twice.
    if (key.repeat && command != Command::quit && command != Command::volumeDown && command != Command::volumeUp)
      return;
    switch (command) {
      case Command::quit:
        quit_ = true;
        break;
      case Command::switchMode:
        session_.presentPictures = !session_.presentPictures;
        setTitle();
        break;
      case Command::fullScreen:
        toggleFullScreen();
        break;
      case Command::leaveFullScreen:
        if (fullScreen_) toggleFullScreen();
        break;
      default:
        if (applyPlaybackCommand(session_, command) && showsPosition(command)) showBar();
        break;
    }
  }

  // The position bar, with the position of now, shown for a while from now.
  void showBar() {
    const bool hidden = barUntil_ == 0;
    barUntil_ = SDL_GetTicks64() + barShowMs;
    refreshBar();
    // A paused picture is drawn again to show it; a playing one shows it next.
    if (hidden || session_.paused() || session_.seeking()) presenter_->redraw(renderer_);
  }

  void refreshBar() {
    const PositionBarText bar = positionBarText(session_);
    presenter_->showPositionBar(bar.fraction, bar.label.c_str(), barUntil_ != 0);
  }

  // A left click on the bar seeks to where it points.
  bool clickOnBar(int x, int y) {
    const long long duration = session_.duration();
    if (barUntil_ == 0 || duration <= 0) return false;
    int width = 0, height = 0;
    SDL_GetWindowSize(window_, &width, &height);
    const double at = positionBarHit(width, height, displayWidth_, displayHeight_, x, y);
    if (at < 0) return false;
    session_.seekTo(static_cast<long long>(at * static_cast<double>(duration)));
    return true;
  }

  void handle(const SDL_Event& event) {
    if (event.type == presenter_->pictureEventType()) {
      if (barUntil_ != 0) refreshBar();
      presenter_->draw(renderer_);
      return;
    }
    if (event.type == newsEvent_) {
      takeNews();
      return;
    }
    if (event.type == syncEvent_) {
      awaitingSync_ = false;
      return;
    }
    switch (event.type) {
      case SDL_QUIT:
        quit_ = true;
        break;
      case SDL_DROPBEGIN:
      case SDL_DROPCOMPLETE:
        dropTaken_ = false;
        break;
      case SDL_DROPFILE:
        // Later files of the same drop are left alone.
        if (event.drop.file && !dropTaken_) {
          dropTaken_ = true;
          session_.play(event.drop.file);
        }
        SDL_free(event.drop.file);
        break;
      case SDL_DROPTEXT:
        SDL_free(event.drop.file);
        break;
      case SDL_KEYDOWN:
        handleKey(event.key);
        break;
      case SDL_MOUSEWHEEL:
        if (event.wheel.y != 0) session_.changeVolume(event.wheel.y > 0 ? 1 : -1);
        break;
      case SDL_MOUSEBUTTONDOWN:
        if (event.button.button == SDL_BUTTON_LEFT && event.button.clicks == 2) {
          toggleFullScreen();
        } else if (event.button.button == SDL_BUTTON_LEFT && clickOnBar(event.button.x, event.button.y)) {
          showBar();
        }
        break;
      case SDL_MOUSEMOTION:
        showBar();
        break;
      case SDL_WINDOWEVENT:
        if (event.window.event == SDL_WINDOWEVENT_EXPOSED || event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)
          presenter_->redraw(renderer_);
        break;
      case SDL_RENDER_DEVICE_RESET:
        // The textures are gone with the device: the presenter makes a new one.
        presenter_->releaseTexture();
        presenter_->redraw(renderer_);
        break;
      case SDL_RENDER_TARGETS_RESET:
        presenter_->redraw(renderer_);
        break;
      default:
        break;
    }
  }

  void loop() {
    // SDL waits for events natively on X11 and Wayland; on drivers without
    // events of their own (dummy, offscreen) its wait polls every millisecond,
    // so the loop waits on the presenter's signal instead, and looks for
    // other events now and then.
    const char* driver = SDL_GetCurrentVideoDriver();
    const bool driverPolls = driver && (std::strcmp(driver, "dummy") == 0 || std::strcmp(driver, "offscreen") == 0);
    while (!quit_) {
      if (!script_.run(*this)) {
        status_ = 3;
        return;
      }
      int waitMs = script_.waiting() ? scriptLookMs : driverPolls ? driverPollMs : -1;
      if (barUntil_ != 0) {
        // The bar goes when its time is up, and meanwhile keeps up with a
        // paused player's seeks.
        const Uint64 now = SDL_GetTicks64();
        if (now >= barUntil_) {
          barUntil_ = 0;
          refreshBar();
          presenter_->redraw(renderer_);
        } else {
          const int left = static_cast<int>(std::min<Uint64>(barUntil_ - now, barRefreshMs));
          waitMs = waitMs < 0 ? left : std::min(waitMs, left);
          if (session_.paused()) {
            refreshBar();
            presenter_->redraw(renderer_);
          }
        }
      }
      SDL_Event event;
      bool got;
      if (driverPolls) {
        presenter_->wakeEvent.wait(waitMs);
        got = SDL_PollEvent(&event) != 0;
      } else {
        got = (waitMs < 0 ? SDL_WaitEvent(&event) : SDL_WaitEventTimeout(&event, waitMs)) != 0;
      }
      if (got) {
        handle(event);
        while (!quit_ && SDL_PollEvent(&event)) handle(event);
      }
    }
  }

  const Options& options_;
  SDL_Window* window_;
  SDL_Renderer* renderer_;
  std::unique_ptr<CSdlPresenter> presenter_;
  std::unique_ptr<kolm::CDXSound> sound_;
  CPlaybackSession session_;
  CScript script_;
  Uint32 newsEvent_ = 0;  // pushed when the session has news
  Uint64 barUntil_ = 0;   // when the position bar goes; 0 while it is hidden
  int displayWidth_ = 0;  // the picture's display shape
  int displayHeight_ = 0;
  Uint32 syncEvent_ = 0;  // pushed after a script command's events
  bool awaitingSync_ = false;
  bool fullScreen_ = false;
  int windowedWidth_ = startWidth;  // the client area to go back to from full screen
  int windowedHeight_ = startHeight;
  FrameBorders borders_;  // the window manager's frame, as last seen outside full screen
  bool dropTaken_ = false;  // the first file of the current drop has been played
  bool quit_ = false;
  int status_ = 0;
};

// SDL falls back to a driver that draws into memory when there is no display;
// that counts as none unless it was asked for by name.
bool initDisplay(std::string* reason) {
  // Nothing names a display: SDL is not asked at all, since its drivers'
  // libraries print their own complaints (Wayland's about XDG_RUNTIME_DIR).
  if (!SDL_getenv("SDL_VIDEODRIVER") && !SDL_getenv("DISPLAY") && !SDL_getenv("WAYLAND_DISPLAY")) {
    *reason = "neither DISPLAY nor WAYLAND_DISPLAY is set";
    return false;
  }
  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    *reason = SDL_GetError();
    return false;
  }
  const char* driver = SDL_GetCurrentVideoDriver();
  const char* asked = SDL_getenv("SDL_VIDEODRIVER");
  const bool memoryOnly = driver && (SDL_strcmp(driver, "offscreen") == 0 || SDL_strcmp(driver, "dummy") == 0);
  if (memoryOnly && !(asked && SDL_strcasecmp(asked, driver) == 0)) {
    *reason = "neither DISPLAY nor WAYLAND_DISPLAY leads to one";
    SDL_Quit();
    return false;
  }
  return true;
}

int runWindow(const Options& options) {
  std::string reason;
  if (!initDisplay(&reason)) {
    if (options.file.empty()) {
      std::fprintf(stderr, "zarvel: no display (%s)\n", reason.c_str());
      return 1;
    }
    std::fprintf(stderr, "zarvel: no display (%s); playing %s headless\n", reason.c_str(),
                 printable(options.file).c_str());
    return runHeadless(options);
  }
  // Without sound output the sound back end falls back to the null device.
  SDL_InitSubSystem(SDL_INIT_AUDIO);
  SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");

  const int x = options.windowAt ? options.windowX : SDL_WINDOWPOS_UNDEFINED;
  const int y = options.windowAt ? options.windowY : SDL_WINDOWPOS_UNDEFINED;
  SDL_Window* window = SDL_CreateWindow("zarvel", x, y, startWidth, startHeight, SDL_WINDOW_RESIZABLE);
  // Window managers may place a new window themselves; asked once it is up.
  if (window && options.windowAt) SDL_SetWindowPosition(window, x, y);
  SDL_Renderer* renderer = nullptr;
  if (window) {
    renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_ACCELERATED);
    if (!renderer) renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE);
  }
  int status = 1;
  if (renderer) {
    CWindow main(options, window, renderer);
    status = main.run();
    SDL_DestroyRenderer(renderer);
  } else {
    std::fprintf(stderr, "zarvel: cannot make the window (%s)\n", SDL_GetError());
  }
  if (window) SDL_DestroyWindow(window);
  // A sound device still closing is left to the end of the process: quitting
  // does not wait on the sound server.
  if (kolm::soundDevicesClosing() == 0) SDL_Quit();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!parseCommandLine(argc, argv, &options, &error)) {
    std::fprintf(stderr, "zarvel: %s\n", printable(error).c_str());
    printUsage(stderr);
    return 2;
  }
  const int status = runWithoutWindow(options);
  if (status >= 0) return status;
  return runWindow(options);
}
