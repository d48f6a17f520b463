// The zarvel program on Linux: the SDL2 main window, or headless playback.
//
// The window starts with a 640 x 480 client area and plays the first file of
// every drop, resized to its picture; Alt+X leaves, Alt+R switches between
// presenting and timing mode for the next file, F or a double click toggles
// full screen and Escape leaves it.
#define SDL_MAIN_HANDLED  // our own main, no SDL2main
#include <SDL.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "app/player.h"
#include "audio/dx_sound.h"
#include "audio/sound_backends.h"
#include "video/sdl_presenter.h"

namespace {

constexpr int startWidth = 640;
constexpr int startHeight = 480;
constexpr Uint32 loopMs = 50;  // how often the loop looks at the player when no event comes

// Test hook (--script FILE, not in the usage): commands fed to the window as
// real SDL events, one a line, each run when the one before it is done:
//   drop PATH...            one drop of these files (no spaces in a path)
//   key [alt+|ctrl+|shift+]NAME   a key press, NAME as SDL names keys (r, f, escape)
//   dblclick                a left double click in the window
//   wait-title TEXT         waits until the title contains TEXT
//   expect-size W H         waits until the client area is W x H
//   expect-fullscreen 0|1   waits until full screen is off / on
//   quit                    closes the window
// A wait that is not met within a few seconds ends the program with status 3.
struct Script {
  bool load(const std::string& path) {
    std::ifstream in(path);
    if (!in) return false;
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::vector<std::string> command;
      for (std::string word; words >> word;) command.push_back(word);
      if (!command.empty()) commands.push_back(command);
    }
    return true;
  }
  bool active() const { return next < commands.size(); }

  std::vector<std::vector<std::string>> commands;
  std::size_t next = 0;
  std::uint32_t syncEvent = 0;  // pushed after a command's events: once it comes, they have all been handled
  bool awaitingSync = false;
  Uint64 deadline = 0;  // of the wait under way; 0 when none is
};

struct Window {
  Options options;
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  std::unique_ptr<CSdlPresenter> presenter;
  std::unique_ptr<kolm::CDXSound> sound;
  std::unique_ptr<CPlayer> player;
  bool presentPictures = true;
  bool fullScreen = false;
  int windowedWidth = startWidth;  // the client area to go back to from full screen
  int windowedHeight = startHeight;
  bool dropTaken = false;      // the first file of the current drop has been played
  bool playing = false;        // a file was opened and played
  bool statsPending = false;   // its statistics are still to be written
  bool quit = false;
  int status = 0;
  std::string error;           // why the last file could not be played, for the title
  Script script;

  void setTitle() {
    std::string title = "zarvel";
    if (!presentPictures) title += " [timing]";
    if (!error.empty()) title += " - " + error;
    SDL_SetWindowTitle(window, title.c_str());
  }

  // The playback that is about to end (finished, replaced or quit) reports.
  void endPlayback() {
    if (statsPending && !reportStatistics(options, player->statistics())) status = 1;
    statsPending = false;
  }

  bool play(const std::string& path) {
    endPlayback();
    playing = false;
    // open stops what plays first, so a file that fails leaves nothing playing.
    if (!player->open(path, presenter.get(), sound.get(), presentPictures)) {
      const std::string reason = printable(player->lastError().empty() ? "no decode path accepts it"
                                                                       : player->lastError());
      error = "cannot play " + printable(baseName(path)) + ": " + reason;
      std::fprintf(stderr, "zarvel: cannot play %s: %s\n", printable(path).c_str(), reason.c_str());
      setTitle();
      return false;
    }
    error.clear();
    setTitle();
    int width = 0, height = 0;
    if (player->getVideoSize(&width, &height) && width > 0 && height > 0) {
      // The top-left corner stays where it is, whatever the window manager does.
      // In full screen SDL keeps the size for the way back.
      int x = 0, y = 0;
      SDL_GetWindowPosition(window, &x, &y);
      SDL_SetWindowSize(window, width, height);
      if (!fullScreen) SDL_SetWindowPosition(window, x, y);
      windowedWidth = width;
      windowedHeight = height;
    }
    player->play();
    playing = statsPending = true;
    return true;
  }

  void toggleFullScreen() {
    if (!fullScreen) SDL_GetWindowSize(window, &windowedWidth, &windowedHeight);
    if (SDL_SetWindowFullscreen(window, fullScreen ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP) != 0) return;
    fullScreen = !fullScreen;
    // Some window managers (and X without one) leave the window at the size
    // of the screen: the size it had, or the last picture's, comes back.
    if (!fullScreen) SDL_SetWindowSize(window, windowedWidth, windowedHeight);
    presenter->redraw(renderer);
  }

  void handleKey(const SDL_KeyboardEvent& key) {
    const bool alt = key.keysym.mod & KMOD_ALT;
    const bool ctrl = key.keysym.mod & KMOD_CTRL;
    switch (key.keysym.sym) {
      case SDLK_x:
        if (alt) quit = true;
        break;
      case SDLK_r:
        if (alt && !key.repeat) {
          presentPictures = !presentPictures;
          setTitle();
        }
        break;
      case SDLK_f:
        if (!alt && !ctrl && !key.repeat) toggleFullScreen();
        break;
      case SDLK_ESCAPE:
        if (fullScreen) toggleFullScreen();
        break;
      default:
        break;
    }
  }

  void handle(const SDL_Event& event) {
    if (event.type == presenter->pictureEventType()) {
      presenter->draw(renderer);
      return;
    }
    if (script.syncEvent && event.type == script.syncEvent) {
      script.awaitingSync = false;
      return;
    }
    switch (event.type) {
      case SDL_QUIT:
        quit = true;
        break;
      case SDL_DROPBEGIN:
      case SDL_DROPCOMPLETE:
        dropTaken = false;
        break;
      case SDL_DROPFILE:
        // Later files of the same drop are left alone.
        if (event.drop.file && !dropTaken) {
          dropTaken = true;
          play(event.drop.file);
        }
        SDL_free(event.drop.file);
        break;
      case SDL_DROPTEXT:
        SDL_free(event.drop.file);
        break;
      case SDL_KEYDOWN:
        handleKey(event.key);
        break;
      case SDL_MOUSEBUTTONDOWN:
        if (event.button.button == SDL_BUTTON_LEFT && event.button.clicks == 2) toggleFullScreen();
        break;
      case SDL_WINDOWEVENT:
        if (event.window.event == SDL_WINDOWEVENT_EXPOSED || event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)
          presenter->redraw(renderer);
        break;
      case SDL_RENDER_DEVICE_RESET:
        // The textures are gone with the device: the presenter makes a new one.
        presenter->releaseTexture();
        presenter->redraw(renderer);
        break;
      case SDL_RENDER_TARGETS_RESET:
        presenter->redraw(renderer);
        break;
      default:
        break;
    }
  }

  void checkEnd() {
    if (!playing || !statsPending || !player->isFinished()) return;
    endPlayback();
    if (options.exitAtEnd) quit = true;
  }

  // Script commands ----------------------------------------------------------

  void push(SDL_Event event) {
    event.common.timestamp = SDL_GetTicks();
    SDL_PushEvent(&event);
  }

  bool pushCommand(const std::vector<std::string>& command) {
    const std::string& name = command[0];
    const Uint32 windowId = SDL_GetWindowID(window);
    SDL_Event event;
    if (name == "drop" && command.size() > 1) {
      SDL_zero(event);
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
      SDL_zero(event);
      event.type = SDL_KEYDOWN;
      event.key.windowID = windowId;
      event.key.state = SDL_PRESSED;
      std::string keyName = command[1];
      for (std::size_t plus; (plus = keyName.find('+')) != std::string::npos && plus + 1 < keyName.size();) {
        const std::string modifier = keyName.substr(0, plus);
        if (modifier == "alt") event.key.keysym.mod |= KMOD_LALT;
        else if (modifier == "ctrl") event.key.keysym.mod |= KMOD_LCTRL;
        else if (modifier == "shift") event.key.keysym.mod |= KMOD_LSHIFT;
        else return false;
        keyName = keyName.substr(plus + 1);
      }
      event.key.keysym.sym = SDL_GetKeyFromName(keyName.c_str());
      if (event.key.keysym.sym == SDLK_UNKNOWN) return false;
      event.key.keysym.scancode = SDL_GetScancodeFromKey(event.key.keysym.sym);
      push(event);
    } else if (name == "dblclick" && command.size() == 1) {
      SDL_zero(event);
      event.type = SDL_MOUSEBUTTONDOWN;
      event.button.windowID = windowId;
      event.button.button = SDL_BUTTON_LEFT;
      event.button.state = SDL_PRESSED;
      event.button.clicks = 2;
      push(event);
    } else if (name == "quit" && command.size() == 1) {
      SDL_zero(event);
      event.type = SDL_QUIT;
      push(event);
    } else {
      return false;
    }
    SDL_zero(event);
    event.type = script.syncEvent;
    push(event);
    script.awaitingSync = true;
    return true;
  }

  // True when the wait is over, false while it goes on; *bad for a command
  // that is no wait.
  bool waitMet(const std::vector<std::string>& command, bool* bad) {
    const std::string& name = command[0];
    if (name == "wait-title" && command.size() > 1) {
      std::string text = command[1];
      for (std::size_t i = 2; i < command.size(); ++i) text += " " + command[i];
      return std::string(SDL_GetWindowTitle(window)).find(text) != std::string::npos;
    }
    if (name == "expect-size" && command.size() == 3) {
      int width = 0, height = 0;
      SDL_GetWindowSize(window, &width, &height);
      return width == std::atoi(command[1].c_str()) && height == std::atoi(command[2].c_str());
    }
    if (name == "expect-fullscreen" && command.size() == 2) {
      const bool wanted = command[1] == "1";
      const bool is = SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN_DESKTOP;
      return is == wanted && fullScreen == wanted;
    }
    *bad = true;
    return false;
  }

  void runScript() {
    while (script.active() && !script.awaitingSync && !quit) {
      const auto& command = script.commands[script.next];
      bool bad = false;
      if (command[0] == "drop" || command[0] == "key" || command[0] == "dblclick" || command[0] == "quit") {
        if (!pushCommand(command)) return scriptFailed("cannot run");
        ++script.next;
        continue;
      }
      if (script.deadline == 0) script.deadline = SDL_GetTicks64() + 10000;
      if (!waitMet(command, &bad)) {
        if (bad) return scriptFailed("cannot run");
        if (SDL_GetTicks64() > script.deadline) return scriptFailed("was not met");
        return;
      }
      script.deadline = 0;
      ++script.next;
    }
  }

  void scriptFailed(const char* what) {
    std::string line;
    for (const auto& word : script.commands[script.next]) line += (line.empty() ? "" : " ") + word;
    int width = 0, height = 0;
    SDL_GetWindowSize(window, &width, &height);
    std::fprintf(stderr, "zarvel: script command \"%s\" %s (title \"%s\", %d x %d)\n", line.c_str(), what,
                 SDL_GetWindowTitle(window), width, height);
    status = 3;
    quit = true;
  }

  int run() {
    if (!options.script.empty()) {
      if (!script.load(options.script)) {
        std::fprintf(stderr, "zarvel: cannot read %s\n", printable(options.script).c_str());
        return 2;
      }
      script.syncEvent = SDL_RegisterEvents(1);
    }
    if (!options.file.empty() && !play(options.file) && options.exitAtEnd) return 1;

    // SDL waits for events natively on X11 and Wayland; on drivers without
    // events of their own (dummy, offscreen) its wait polls every millisecond,
    // so the loop waits on the presenter's picture signal instead.
    const char* driver = SDL_GetCurrentVideoDriver();
    const bool driverPolls = driver && (std::strcmp(driver, "dummy") == 0 || std::strcmp(driver, "offscreen") == 0);
    Uint64 lastCheck = 0;
    while (!quit) {
      SDL_Event event;
      bool got;
      if (driverPolls) {
        presenter->wakeEvent.wait(script.active() ? 1 : static_cast<int>(loopMs));
        got = SDL_PollEvent(&event) != 0;
      } else {
        got = SDL_WaitEventTimeout(&event, loopMs) != 0;
      }
      if (got) {
        handle(event);
        while (!quit && SDL_PollEvent(&event)) handle(event);
      }
      const Uint64 now = SDL_GetTicks64();
      if (now - lastCheck >= loopMs) {
        lastCheck = now;
        checkEnd();
      }
      runScript();
    }
    endPlayback();
    return status;
  }
};

// SDL falls back to a driver that draws into memory when there is no display;
// that counts as none unless it was asked for by name.
bool initDisplay(std::string* reason) {
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

  Window w;
  w.options = options;
  w.presentPictures = !options.timing;
  w.window = SDL_CreateWindow("zarvel", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, startWidth, startHeight,
                              SDL_WINDOW_RESIZABLE);
  if (w.window) {
    w.renderer = SDL_CreateRenderer(w.window, -1, SDL_RENDERER_ACCELERATED);
    if (!w.renderer) w.renderer = SDL_CreateRenderer(w.window, -1, SDL_RENDERER_SOFTWARE);
  }
  if (!w.renderer) {
    std::fprintf(stderr, "zarvel: cannot make the window (%s)\n", SDL_GetError());
    if (w.window) SDL_DestroyWindow(w.window);
    SDL_Quit();
    return 1;
  }
  w.setTitle();
  w.presenter = std::make_unique<CSdlPresenter>();
  w.presenter->draw(w.renderer);  // black until the first picture
  w.player = std::make_unique<CPlayer>();
  w.sound = std::make_unique<kolm::CDXSound>(w.window, kolm::soundDeviceFactory("sdl"));
  w.sound->createDevice();

  const int status = w.run();

  // The player's threads use the presenter and the sound device until it stops.
  w.player->stop();
  w.player.reset();
  w.presenter.reset();
  w.sound.reset();
  SDL_DestroyRenderer(w.renderer);
  SDL_DestroyWindow(w.window);
  SDL_Quit();
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
