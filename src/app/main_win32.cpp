// The zarvel program on Windows: one window with a two-command menu bar. It
// plays the first file of every drop, in a window whose client area takes the
// picture's size; Alt+X leaves, Alt+R switches between presenting and timing
// mode for the next file; F or a double click toggles full screen, Escape
// leaves it.
//
// The command line is the Linux program's: FILE plays as if dropped,
// --exit-at-end quits when it has played, --timing starts in timing mode,
// --stats-json writes what was shown, --headless plays without a window;
// --overlay shows the pictures in a display overlay where the adapter has one.
//
// Names are UTF-8 inside, as on Linux: the command line is read wide, drops
// with DragQueryFileW, and whatever shows a name to the user takes it wide.
// --help, a mistake on the command line and a FILE that cannot be played
// are told in a message box too: a window program has no console to print to.
#include <windows.h>
#include <shellapi.h>
#include <windowsx.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/resource.h"
#include "app/window_fit.h"
#include "audio/dx_sound.h"
#include "audio/sound_backends.h"
#include "kolm/sys/sys.h"
#include "playback/session.h"
#include "video/dx3d_draw.h"
#include "video/dx_overlay.h"
#include "video/position_bar.h"

namespace {

constexpr int startWidth = 640;
constexpr int startHeight = 480;
constexpr DWORD windowStyle = WS_OVERLAPPEDWINDOW;
constexpr UINT newsMessage = WM_APP + 1;  // posted when the session has news
constexpr UINT_PTR barTimer = 1;          // ticks while the position bar shows
constexpr UINT barTickMs = 250;
constexpr ULONGLONG barShowMs = 2000;     // how long the bar stays after what showed it

// The labels of the mode switch name the mode that choosing it switches to,
// in code page 932: "time measurement (&R)" and "render (&R)".
const char labelTiming[] = "\x8e\x9e\x8a\xd4\x8c\x76\x91\xaa(&R)";
const char labelPresent[] = "\x95\x60\x89\xe6\x82\xb7\x82\xe9(&R)";
constexpr UINT labelCodePage = 932;

// The part of a path after its last separator. The path is UTF-8, where no
// byte of a longer character is an ASCII one.
std::string fileName(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/:");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

// A message for the user, in a box (the debug output and stderr have it too
// where the caller says so). Blocks until the box is closed.
void showMessage(HWND owner, const std::string& text, UINT icon) {
  MessageBoxW(owner, kolm::sys::toWide(text).c_str(), L"zarvel", MB_OK | icon);
}

// The frame round a client area, at the window's DPI where the system tells
// it (Windows 10 1607 on); the system DPI otherwise, which is then the same.
void adjustFrame(HWND window, RECT* frame, DWORD style, DWORD exStyle, UINT dpi = 0) {
  using ForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  using DpiOf = UINT(WINAPI*)(HWND);
  HMODULE user = GetModuleHandleA("user32.dll");
  const auto forDpi = reinterpret_cast<ForDpi>(
      reinterpret_cast<void*>(user ? GetProcAddress(user, "AdjustWindowRectExForDpi") : nullptr));
  const auto dpiOf = reinterpret_cast<DpiOf>(
      reinterpret_cast<void*>(user ? GetProcAddress(user, "GetDpiForWindow") : nullptr));
  if (dpi == 0 && dpiOf && window) dpi = dpiOf(window);
  if (forDpi && dpi != 0 && forDpi(frame, style, TRUE, exStyle, dpi)) return;
  AdjustWindowRectEx(frame, style, TRUE, exStyle);
}

// The playback command of an accelerator beside the menu's own.
Command commandOf(WORD id) {
  switch (id) {
    case IDM_ZARVEL_PAUSE: return Command::pause;
    case IDM_ZARVEL_VOLUME_DOWN: return Command::volumeDown;
    case IDM_ZARVEL_VOLUME_UP: return Command::volumeUp;
    case IDM_ZARVEL_MUTE: return Command::mute;
    case IDM_ZARVEL_SEEK_BACK: return Command::seekBack;
    case IDM_ZARVEL_SEEK_FORWARD: return Command::seekForward;
    case IDM_ZARVEL_SEEK_BACK_LONG: return Command::seekBackLong;
    case IDM_ZARVEL_SEEK_FORWARD_LONG: return Command::seekForwardLong;
    case IDM_ZARVEL_SEEK_START: return Command::seekStart;
    default: return Command::none;
  }
}

// The main window and everything it owns (the presenter, the sound device
// and the playback session) for the window's life.
class CMainWindow {
 public:
  CMainWindow(HINSTANCE instance, const Options& options)
      : instance_(instance), options_(options), session_(options.statsJson) {
    session_.presentPictures = !options.timing;
    session_.onPictureSize = [this](int width, int height) { fitClientArea(width, height); };
    session_.onNews = [this] { PostMessageA(window_, newsMessage, 0, 0); };
  }
  CMainWindow(const CMainWindow&) = delete;
  CMainWindow& operator=(const CMainWindow&) = delete;

  // The window, shown; false (and a line on the debug output) when it cannot be made.
  bool create(int showCommand) {
    if (!LoadStringA(instance_, IDS_ZARVEL_TITLE, title_, sizeof title_) ||
        !LoadStringA(instance_, IDC_ZARVEL, className_, sizeof className_)) {
      kolm::sys::debugOutput("zarvel: the program's resources are missing");
      return false;
    }
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance_;
    windowClass.hIcon = LoadIconA(instance_, MAKEINTRESOURCEA(IDI_ZARVEL));
    windowClass.hIconSm = LoadIconA(instance_, MAKEINTRESOURCEA(IDI_ZARVEL_SMALL));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    // Black, as round the picture: no white client before the first picture,
    // nor where a resize uncovers the client before the next one.
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    windowClass.lpszMenuName = MAKEINTRESOURCEA(IDC_ZARVEL);
    windowClass.lpszClassName = className_;
    RegisterClassExA(&windowClass);
    RECT frame = {0, 0, startWidth, startHeight};
    AdjustWindowRect(&frame, windowStyle, TRUE);
    // --window-at places the client area; the frame goes round it.
    const int x = options_.windowAt ? options_.windowX + frame.left : CW_USEDEFAULT;
    const int y = options_.windowAt ? options_.windowY + frame.top : CW_USEDEFAULT;
    if (!CreateWindowExA(0, className_, title_, windowStyle, x, y, frame.right - frame.left,
                         frame.bottom - frame.top, nullptr, nullptr, instance_, this)) {
      // A window that cannot be made is a failure, not a normal end.
      char line[80];
      std::snprintf(line, sizeof line, "zarvel: cannot make the window (error %lu)", GetLastError());
      kolm::sys::debugOutput(line);
      return false;
    }
    menu_ = GetMenu(window_);
    // The menu shows the current mode's label from the first frame on.
    setModeLabel();
    ShowWindow(window_, showCommand);
    UpdateWindow(window_);
    presenter_ = std::make_unique<kolm::CDX3DDraw>(window_);
    // DirectSound, or the null device (which keeps real time) where none opens.
    sound_ = std::make_unique<kolm::CDXSound>(window_, kolm::soundDeviceFactory("dsound"));
    sound_->createDevice();
    // The overlay asked for, where the adapter has one (Wine's has none).
    if (options_.overlay && !(overlay_ = kolm::CDXOverlay::open(window_, startWidth, startHeight)))
      kolm::sys::debugOutput("zarvel: no display overlay can be had; the pictures go through Direct3D");
    moveOverlay();
    // With an overlay the pictures go there, and the Direct3D presenter idles.
    session_.attach(overlay_ ? nullptr : presenter_.get(), sound_.get(), overlay_.get());
    DragAcceptFiles(window_, TRUE);
    return true;
  }

  void playCommandLineFile() {
    if (options_.file.empty()) return;
    commandLineFilePending_ = true;
    session_.play(options_.file, options_.start);
  }

  // Nothing of the window's playback is left after this; the session's
  // threads use the presenter and the sound device until it has closed.
  int shutDown() {
    session_.close();
    overlay_.reset();
    presenter_.reset();
    sound_.reset();
    return session_.statisticsFailed() ? 1 : exitStatus_;
  }

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      auto* self = static_cast<CMainWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
      self->window_ = window;
      SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<CMainWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    return self ? self->onMessage(message, wParam, lParam) : DefWindowProcA(window, message, wParam, lParam);
  }

  LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
      case WM_DESTROY:
        PostQuitMessage(exitStatus_);
        return 0;
      case WM_MOVE:
        moveOverlay();
        return 0;
      case WM_DPICHANGED: {
        // On a monitor of another scale the client area keeps its size in
        // pixels (the picture's, one to one); the frame and the menu bar take
        // the new scale, at the place the system suggests.
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        RECT frame = {};
        GetClientRect(window_, &frame);
        adjustFrame(window_, &frame, static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_STYLE)),
                    static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_EXSTYLE)), HIWORD(wParam));
        SetWindowPos(window_, nullptr, suggested->left, suggested->top, frame.right - frame.left,
                     frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
      }
      case WM_PAINT: {
        // The presenter draws the pictures; a paused one, or one in a window
        // just resized, is shown again as the client area is now.
        PAINTSTRUCT paint;
        BeginPaint(window_, &paint);
        EndPaint(window_, &paint);
        if (presenter_ && !overlay_) presenter_->redraw();
        return 0;
      }
      case WM_SYSKEYDOWN:
      case WM_KEYDOWN:
        altCommandTaken_ = false;
        break;
      case WM_SYSCOMMAND:
        // Alt let go after Alt+R would arm the menu bar (Wine does, taking
        // the accelerator's key for none), and the next Enter would open the
        // first menu: once the Alt has served a command, it arms nothing.
        if ((wParam & 0xFFF0) == SC_KEYMENU && lParam == 0 && altCommandTaken_) {
          altCommandTaken_ = false;
          return 0;
        }
        break;
      case WM_COMMAND:
        // An accelerator's command (HIWORD 1) typed with Alt held.
        if (HIWORD(wParam) == 1 && (GetKeyState(VK_MENU) & 0x8000)) altCommandTaken_ = true;
        if (LOWORD(wParam) == IDM_ZARVEL_EXIT) {
          DestroyWindow(window_);
          return 0;
        }
        if (LOWORD(wParam) == IDM_ZARVEL_FULL_SCREEN) {
          setFullScreen(!fullScreen_);
          return 0;
        }
        if (LOWORD(wParam) == IDM_ZARVEL_LEAVE_FULL_SCREEN) {
          setFullScreen(false);
          return 0;
        }
        if (const Command command = commandOf(LOWORD(wParam)); applyPlaybackCommand(session_, command)) {
          if (showsPosition(command)) showBar();
          return 0;
        }
        if (LOWORD(wParam) == IDM_ZARVEL_PRESENT_SWITCH) {
          // Applies from the next file on; what plays is not affected.
          session_.presentPictures = !session_.presentPictures;
          setModeLabel();
          return 0;
        }
        break;
      case WM_MOUSEWHEEL:
        session_.changeVolume(GET_WHEEL_DELTA_WPARAM(wParam) > 0 ? 1 : -1);
        return 0;
      case WM_MOUSEMOVE:
        // Windows sends one also when nothing moved (a window shown above it).
        if (lParam != lastMouse_) {
          lastMouse_ = lParam;
          showBar();
        }
        return 0;
      case WM_LBUTTONDOWN:
        clickOnBar(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
        return 0;
      case WM_LBUTTONDBLCLK:
        setFullScreen(!fullScreen_);
        return 0;
      case WM_TIMER:
        if (wParam == barTimer) tickBar();
        return 0;
      case WM_DROPFILES:
        onDrop(reinterpret_cast<HDROP>(wParam));
        return 0;
      case newsMessage:
        takeNews();
        return 0;
      default:
        break;
    }
    return DefWindowProcA(window_, message, wParam, lParam);
  }

  void setTitle() {
    std::string text = title_;
    if (!session_.failure().empty())
      text += " - cannot play " + printable(fileName(session_.failedFile())) + ": " + session_.failure();
    SetWindowTextW(window_, kolm::sys::toWide(text).c_str());
  }

  // The labels are converted from code page 932 here rather than by the A
  // functions, which would read them in the system's ANSI code page and
  // garble them on every system that is not Japanese.
  void setModeLabel() {
    const char* label = session_.presentPictures ? labelTiming : labelPresent;
    wchar_t wide[32];
    if (MultiByteToWideChar(labelCodePage, MB_ERR_INVALID_CHARS, label, -1, wide, 32) == 0) return;
    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_STRING | MIIM_FTYPE;
    item.fType = MFT_STRING;
    item.dwTypeData = wide;
    // The menu bar's own handle: in full screen it is off the window.
    SetMenuItemInfoW(menu_, IDM_ZARVEL_PRESENT_SWITCH, FALSE, &item);
    if (!fullScreen_) DrawMenuBar(window_);
  }

  // A client area of the picture's display size where the window then lies
  // on the work area of its monitor, the top-left corner staying put;
  // otherwise the window moves onto the work area, scaled down if need be.
  // The position bar, with the position of now, shown for a while from now;
  // a timer keeps its label current and takes it away.
  void showBar() {
    if (!presenter_ || overlay_) return;
    const bool hidden = barUntil_ == 0;
    barUntil_ = GetTickCount64() + barShowMs;
    if (hidden) SetTimer(window_, barTimer, barTickMs, nullptr);
    refreshBar();
  }

  void tickBar() {
    if (barUntil_ != 0 && GetTickCount64() >= barUntil_) {
      barUntil_ = 0;
      KillTimer(window_, barTimer);
    }
    refreshBar();
  }

  void refreshBar() {
    const PositionBarText bar = positionBarText(session_);
    presenter_->showPositionBar(bar.fraction, bar.label.c_str(), barUntil_ != 0);
    // A playing picture shows it with the next present; a paused one is drawn again.
    if (session_.paused() || session_.seeking() || barUntil_ == 0) presenter_->redraw();
  }

  // A left click on the bar seeks to where it points.
  void clickOnBar(int x, int y) {
    const long long duration = session_.duration();
    RECT client;
    if (barUntil_ == 0 || duration <= 0 || !GetClientRect(window_, &client)) return;
    const double at = positionBarHit(client.right, client.bottom, displayWidth_, displayHeight_, x, y);
    if (at < 0) return;
    session_.seekTo(static_cast<long long>(at * static_cast<double>(duration)));
    showBar();
  }

  // Full screen: the window without frame or menu over its whole monitor,
  // the picture in its shape with black bars; back to the place and size it
  // had, or to the size of a picture opened meanwhile.
  void setFullScreen(bool on) {
    if (on == fullScreen_) return;
    if (on) {
      MONITORINFO monitor = {};
      monitor.cbSize = sizeof monitor;
      windowed_.length = sizeof windowed_;
      if (!GetWindowPlacement(window_, &windowed_) ||
          !GetMonitorInfoA(MonitorFromWindow(window_, MONITOR_DEFAULTTONEAREST), &monitor))
        return;
      fullScreen_ = true;
      refitAfterFullScreen_ = false;
      SetMenu(window_, nullptr);
      SetWindowLongPtrA(window_, GWL_STYLE, (windowStyle & ~WS_OVERLAPPEDWINDOW) | WS_POPUP | WS_VISIBLE);
      const RECT& area = monitor.rcMonitor;
      SetWindowPos(window_, HWND_TOP, area.left, area.top, area.right - area.left, area.bottom - area.top,
                   SWP_FRAMECHANGED | SWP_NOOWNERZORDER);
    } else {
      fullScreen_ = false;
      SetWindowLongPtrA(window_, GWL_STYLE, windowStyle | WS_VISIBLE);
      SetMenu(window_, menu_);
      SetWindowPlacement(window_, &windowed_);
      SetWindowPos(window_, nullptr, 0, 0, 0, 0,
                   SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOOWNERZORDER);
      if (refitAfterFullScreen_) fitClientArea(displayWidth_, displayHeight_);
    }
    InvalidateRect(window_, nullptr, TRUE);
  }

  void fitClientArea(int width, int height) {
    if (presenter_) presenter_->setDisplayShape(width, height);
    displayWidth_ = width;
    displayHeight_ = height;
    // In full screen the picture fills the screen; the window takes its size on the way back.
    if (fullScreen_) {
      refitAfterFullScreen_ = true;
      return;
    }
    const DWORD style = static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_STYLE));
    const DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_EXSTYLE));
    RECT frame = {0, 0, width, height};
    adjustFrame(window_, &frame, style, exStyle);
    FrameBorders borders{-frame.left, -frame.top, frame.right - width, frame.bottom - height};
    // The work area (the monitor without task bars) of the monitor it is on.
    const auto workArea = [](HMONITOR on) {
      ScreenRect area;
      MONITORINFO monitor = {};
      monitor.cbSize = sizeof monitor;
      if (on && GetMonitorInfoA(on, &monitor))
        area = {monitor.rcWork.left, monitor.rcWork.top, monitor.rcWork.right - monitor.rcWork.left,
                monitor.rcWork.bottom - monitor.rcWork.top};
      return area;
    };
    const auto outer = [&](const WindowPlace& place, int* outerWidth, int* outerHeight) {
      *outerWidth = place.clientWidth + borders.left + borders.right;
      *outerHeight = place.clientHeight + borders.top + borders.bottom;
    };
    int outerWidth = 0, outerHeight = 0;
    if (IsIconic(window_) || IsZoomed(window_)) {
      // The place it will have when restored; a move now would place the icon
      // or the maximised frame instead. The placement counts from the primary
      // monitor's work area, not from the screen's corner.
      WINDOWPLACEMENT placement = {};
      placement.length = sizeof placement;
      RECT primaryWork = {};
      if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &primaryWork, 0)) primaryWork = RECT{};
      if (GetWindowPlacement(window_, &placement)) {
        RECT normal = placement.rcNormalPosition;
        OffsetRect(&normal, primaryWork.left, primaryWork.top);
        const WindowPlace place = fitWindow(width, height, borders, normal.left, normal.top,
                                            workArea(MonitorFromRect(&normal, MONITOR_DEFAULTTONEAREST)));
        outer(place, &outerWidth, &outerHeight);
        placement.rcNormalPosition.left = place.x - primaryWork.left;
        placement.rcNormalPosition.top = place.y - primaryWork.top;
        placement.rcNormalPosition.right = placement.rcNormalPosition.left + outerWidth;
        placement.rcNormalPosition.bottom = placement.rcNormalPosition.top + outerHeight;
        placement.showCmd = IsIconic(window_) ? SW_SHOWMINNOACTIVE : SW_SHOWMAXIMIZED;
        SetWindowPlacement(window_, &placement);
      }
      return;
    }
    RECT now;
    GetWindowRect(window_, &now);
    const ScreenRect area = workArea(MonitorFromWindow(window_, MONITOR_DEFAULTTONEAREST));
    WindowPlace place = fitWindow(width, height, borders, now.left, now.top, area);
    outer(place, &outerWidth, &outerHeight);
    MoveWindow(window_, place.x, place.y, outerWidth, outerHeight, TRUE);
    // The computation counts one line of menu bar; on a narrow picture the
    // bar wraps and takes its second line from the picture: the frame is that
    // much taller, and the window is fitted again with it.
    RECT client;
    if (GetClientRect(window_, &client) && client.bottom != place.clientHeight) {
      borders.top += place.clientHeight - client.bottom;
      place = fitWindow(width, height, borders, place.x, place.y, area);
      outer(place, &outerWidth, &outerHeight);
      MoveWindow(window_, place.x, place.y, outerWidth, outerHeight, TRUE);
    }
  }

  // A file opened, failed, or played to its end. With --exit-at-end the
  // window leaves when a file ends or cannot be played, with status 1 then.
  void takeNews() {
    const CPlaybackSession::News news = session_.update();
    if (news == CPlaybackSession::News::none) return;
    setTitle();
    // The file of the command line that cannot be played is told in a box
    // as well; a dropped one only in the title, as the user is looking there.
    const bool commandLineFile = commandLineFilePending_;
    commandLineFilePending_ = false;
    if (commandLineFile && news == CPlaybackSession::News::failed && session_.failedFile() == options_.file)
      showMessage(window_, "cannot play " + printable(session_.failedFile()) + ": " + session_.failure(),
                  MB_ICONERROR);
    if (leavesAfter(news, session_, options_.exitAtEnd, &exitStatus_)) DestroyWindow(window_);
  }

  // The first file of a drop; later files of the same drop are left alone.
  void onDrop(HDROP drop) {
    std::wstring name;
    if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) > 0) {
      // Sized by the name itself: a fixed buffer would cut a long path and
      // open some other file, or none.
      const UINT length = DragQueryFileW(drop, 0, nullptr, 0);
      if (length > 0) {
        name.resize(length + 1);
        name.resize(DragQueryFileW(drop, 0, &name[0], length + 1));
      }
    }
    if (!name.empty()) session_.play(kolm::sys::toUtf8(name.c_str()));
    DragFinish(drop);
    SetForegroundWindow(window_);
  }

  // The overlay sits at the client area's origin on the screen.
  void moveOverlay() {
    if (!overlay_) return;
    POINT origin = {0, 0};
    ClientToScreen(window_, &origin);
    overlay_->moveOverlay(origin.x, origin.y);
  }

  HINSTANCE instance_;
  const Options& options_;
  HWND window_ = nullptr;
  char title_[100] = {};
  char className_[100] = {};
  std::unique_ptr<kolm::CDX3DDraw> presenter_;
  std::unique_ptr<kolm::CDXOverlay> overlay_;  // only with --overlay, on an adapter that has overlays
  std::unique_ptr<kolm::CDXSound> sound_;
  CPlaybackSession session_;
  int exitStatus_ = 0;
  bool commandLineFilePending_ = false;  // the command line's file has not been heard of yet
  ULONGLONG barUntil_ = 0;  // when the position bar goes; 0 while it is hidden
  LPARAM lastMouse_ = -1;
  bool altCommandTaken_ = false;  // an Alt accelerator's command came since the last key went down
  bool fullScreen_ = false;
  bool refitAfterFullScreen_ = false;  // a picture of another size came in full screen
  WINDOWPLACEMENT windowed_ = {};      // where the window was before full screen
  HMENU menu_ = nullptr;               // the menu bar, off in full screen
  int displayWidth_ = 0;    // the picture's display shape
  int displayHeight_ = 0;
};

int runWindow(HINSTANCE instance, int showCommand, const Options& options) {
  CMainWindow main(instance, options);
  if (!main.create(showCommand)) return 1;
  HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDC_ZARVEL));
  main.playCommandLineFile();

  MSG message = {};
  // GetMessage answers -1 when it fails: that ends the loop too, where
  // treating it as a message would spin for ever.
  BOOL got;
  while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
    if (!TranslateAcceleratorA(message.hwnd, accelerators, &message)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  // A file still playing when the window closed reports what it showed.
  const int status = main.shutDown();
  if (got < 0) return 1;
  return status != 0 ? status : static_cast<int>(message.wParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  Options options;
  std::string error;
  std::vector<std::string> arguments = kolm::sys::commandLineArguments(__argc, __argv);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  if (!parseCommandLine(static_cast<int>(arguments.size()), argv.data(), &options, &error)) {
    kolm::sys::printText(stderr, "zarvel: " + printable(error) + "\n");
    printUsage(stderr);
    kolm::sys::debugOutput(("zarvel: " + printable(error)).c_str());
    showMessage(nullptr, printable(error) + "\n\n" + usageText(), MB_ICONERROR);
    return 2;
  }
  if (options.help || options.version) {
    // As on Linux on standard output, and in a box for the user who has no console.
    runWithoutWindow(options);
    showMessage(nullptr, options.help ? usageText() : versionText(), MB_ICONINFORMATION);
    return 0;
  }
  const int status = runWithoutWindow(options);
  if (status >= 0) return status;
  if (!options.script.empty()) {
    // The window's own test driver is a hook DLL (tests/windows); scripts
    // drive the Linux window and headless mode.
    kolm::sys::debugOutput("zarvel: --script drives the Linux window and headless mode only");
    return 2;
  }
  return runWindow(instance, showCommand, options);
}
