// The zarvel program on Windows: one window with a two-command menu bar. It
// plays the first file of every drop through the player, in a window whose
// client area takes the picture's size; Alt+X leaves, Alt+R switches between
// presenting and timing mode for the next file.
//
// The command line is the Linux program's: FILE plays as if dropped,
// --exit-at-end quits when it has played, --timing starts in timing mode,
// --stats-json writes what was shown, --headless plays without a window.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/front_end.h"
#include "app/player.h"
#include "app/resource.h"
#include "audio/dx_sound.h"
#include "audio/sound_backends.h"
#include "kolm/sys/sys.h"
#include "video/dx3d_draw.h"
#include "video/dx_overlay.h"

namespace {

constexpr int startWidth = 640;
constexpr int startHeight = 480;
constexpr DWORD windowStyle = WS_OVERLAPPEDWINDOW;
constexpr UINT_PTR endTimer = 1;
constexpr UINT endCheckMs = 50;  // how often a playing file is asked whether it has ended

// The labels of the mode switch name the mode that choosing it switches to,
// in code page 932: "time measurement (&R)" and "render (&R)".
const char labelTiming[] = "\x8e\x9e\x8a\xd4\x8c\x76\x91\xaa(&R)";
const char labelPresent[] = "\x95\x60\x89\xe6\x82\xb7\x82\xe9(&R)";
constexpr UINT labelCodePage = 932;

HINSTANCE instance = nullptr;
char title[100];
char className[100];
kolm::CDX3DDraw* presenter = nullptr;
CPlayer* player = nullptr;
kolm::CDXSound* soundDevice = nullptr;
kolm::CDXOverlay* overlay = nullptr;  // nothing makes one; the window still moves and frees it
bool presentPictures = true;

Options options;
std::string playError;      // why the last file could not be played, shown after the title
bool statisticsPending = false;  // a file plays whose statistics are still to be written
int exitStatus = 0;

void setTitle(HWND window) {
  std::string text = title;
  if (!playError.empty()) text += " - " + playError;
  SetWindowTextA(window, text.c_str());
}

// The labels are converted from code page 932 here rather than by the A
// functions, which would read them in the system's ANSI code page and garble
// them on every system that is not Japanese.
void setModeLabel(HWND window) {
  const char* label = presentPictures ? labelTiming : labelPresent;
  wchar_t wide[32];
  if (MultiByteToWideChar(labelCodePage, MB_ERR_INVALID_CHARS, label, -1, wide, 32) == 0) return;
  MENUITEMINFOW item = {};
  item.cbSize = sizeof item;
  item.fMask = MIIM_STRING | MIIM_FTYPE;
  item.fType = MFT_STRING;
  item.dwTypeData = wide;
  SetMenuItemInfoW(GetMenu(window), IDM_ZARVEL_PRESENT_SWITCH, FALSE, &item);
  DrawMenuBar(window);
}

// The part of a path after its last separator, stepping over whole characters:
// in a code page like 932 the second byte of a character can be a backslash.
std::string fileName(const std::string& path) {
  const char* name = path.c_str();
  for (const char* at = name; *at; at = CharNextA(at))
    if (*at == '\\' || *at == '/' || *at == ':') name = at + 1;
  return name;
}

// The file that has been playing reports its statistics (once), when asked.
void endPlayback() {
  if (statisticsPending && !reportStatistics(options, player->statistics())) exitStatus = 1;
  statisticsPending = false;
}

// A client area of width x height, the window's top-left corner staying put.
void fitClientArea(HWND window, int width, int height) {
  const DWORD style = static_cast<DWORD>(GetWindowLongPtrA(window, GWL_STYLE));
  const DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrA(window, GWL_EXSTYLE));
  RECT frame = {0, 0, width, height};
  AdjustWindowRectEx(&frame, style, TRUE, exStyle);
  const int frameWidth = frame.right - frame.left;
  int frameHeight = frame.bottom - frame.top;
  if (IsIconic(window) || IsZoomed(window)) {
    // The size it will have when restored; a move now would place the icon
    // or the maximised frame instead.
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    if (GetWindowPlacement(window, &placement)) {
      placement.rcNormalPosition.right = placement.rcNormalPosition.left + frameWidth;
      placement.rcNormalPosition.bottom = placement.rcNormalPosition.top + frameHeight;
      placement.showCmd = IsIconic(window) ? SW_SHOWMINNOACTIVE : SW_SHOWMAXIMIZED;
      SetWindowPlacement(window, &placement);
    }
    return;
  }
  RECT now;
  GetWindowRect(window, &now);
  MoveWindow(window, now.left, now.top, frameWidth, frameHeight, TRUE);
  // The computation counts one line of menu bar; on a narrow picture the bar
  // wraps and takes its second line from the picture, which is given back.
  RECT client;
  if (GetClientRect(window, &client) && client.bottom != height) {
    frameHeight += height - client.bottom;
    MoveWindow(window, now.left, now.top, frameWidth, frameHeight, TRUE);
  }
}

// What a drop does with its first file (and the command line with its file).
bool playFile(HWND window, const std::string& path) {
  endPlayback();
  // open stops what plays first, so a file that fails leaves nothing playing.
  if (!player->open(path, presenter, soundDevice, presentPictures)) {
    const std::string reason =
        printable(player->lastError().empty() ? "no decode path accepts it" : player->lastError());
    playError = "cannot play " + printable(fileName(path)) + ": " + reason;
    kolm::sys::debugOutput(("zarvel: cannot play " + printable(path) + ": " + reason).c_str());
    setTitle(window);
    return false;
  }
  if (!playError.empty()) {
    playError.clear();
    setTitle(window);
  }
  int width = 0, height = 0;
  if (player->getVideoSize(&width, &height) && width > 0 && height > 0) fitClientArea(window, width, height);
  player->play();
  statisticsPending = true;
  SetTimer(window, endTimer, endCheckMs, nullptr);
  return true;
}

// The player has no end event: a timer asks while a file plays.
void checkEnd(HWND window) {
  if (!statisticsPending) {
    KillTimer(window, endTimer);
    return;
  }
  if (!player->isFinished()) return;
  KillTimer(window, endTimer);
  endPlayback();
  if (options.exitAtEnd) DestroyWindow(window);
}

// The first file of a drop; later files of the same drop are left alone.
void onDrop(HWND window, HDROP drop) {
  std::string name;
  if (DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0) > 0) {
    // Sized by the name itself: a fixed buffer would cut a long path and open
    // some other file, or none.
    const UINT length = DragQueryFileA(drop, 0, nullptr, 0);
    if (length > 0) {
      name.resize(length + 1);
      name.resize(DragQueryFileA(drop, 0, &name[0], length + 1));
    }
  }
  if (!name.empty()) playFile(window, name);
  DragFinish(drop);
  SetForegroundWindow(window);
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(exitStatus);
      return 0;
    case WM_MOVE: {
      RECT client;
      GetClientRect(window, &client);
      POINT origin = {client.left, client.top};
      ClientToScreen(window, &origin);
      if (overlay) overlay->moveOverlay(origin.x, origin.y);
      return 0;
    }
    case WM_PAINT: {
      // The presenter draws the pictures.
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDM_ZARVEL_EXIT:
          DestroyWindow(window);
          return 0;
        case IDM_ZARVEL_PRESENT_SWITCH:
          // Applies from the next file on; what plays is not affected.
          presentPictures = !presentPictures;
          setModeLabel(window);
          return 0;
        default:
          return DefWindowProcA(window, message, wParam, lParam);
      }
    case WM_DROPFILES:
      onDrop(window, reinterpret_cast<HDROP>(wParam));
      return 0;
    case WM_TIMER:
      if (wParam == endTimer) {
        checkEnd(window);
        return 0;
      }
      return DefWindowProcA(window, message, wParam, lParam);
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

ATOM registerWindowClass(HINSTANCE hInstance) {
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = mainWindowProc;
  windowClass.hInstance = hInstance;
  windowClass.hIcon = LoadIconA(hInstance, MAKEINTRESOURCEA(IDI_ZARVEL));
  windowClass.hIconSm = LoadIconA(hInstance, MAKEINTRESOURCEA(IDI_ZARVEL_SMALL));
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszMenuName = MAKEINTRESOURCEA(IDC_ZARVEL);
  windowClass.lpszClassName = className;
  return RegisterClassExA(&windowClass);
}

HWND createMainWindow(HINSTANCE hInstance, int showCommand) {
  instance = hInstance;
  RECT frame = {0, 0, startWidth, startHeight};
  AdjustWindowRect(&frame, windowStyle, TRUE);
  HWND window = CreateWindowExA(0, className, title, windowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance,
                                nullptr);
  if (!window) return nullptr;
  ShowWindow(window, showCommand);
  UpdateWindow(window);
  presenter = new kolm::CDX3DDraw(window);
  player = new CPlayer();
  // DirectSound, or the null device (which keeps real time) where none opens.
  soundDevice = new kolm::CDXSound(window, kolm::soundDeviceFactory("dsound"));
  soundDevice->createDevice();
  DragAcceptFiles(window, TRUE);
  setModeLabel(window);
  return window;
}

// Nothing of the window is left after this; the player's threads use the
// presenter and the sound device until it has stopped.
void shutDown() {
  if (player) player->stop();
  delete player;
  player = nullptr;
  delete overlay;
  overlay = nullptr;
  delete presenter;
  presenter = nullptr;
  delete soundDevice;
  soundDevice = nullptr;
}

int runWindow(HINSTANCE hInstance, int showCommand) {
  presentPictures = !options.timing;
  if (!LoadStringA(hInstance, IDS_ZARVEL_TITLE, title, sizeof title) ||
      !LoadStringA(hInstance, IDC_ZARVEL, className, sizeof className)) {
    kolm::sys::debugOutput("zarvel: the program's resources are missing");
    return 1;
  }
  registerWindowClass(hInstance);
  HWND window = createMainWindow(hInstance, showCommand);
  if (!window) {
    // A window that cannot be made is a failure, not a normal end.
    char line[80];
    std::snprintf(line, sizeof line, "zarvel: cannot make the window (error %lu)", GetLastError());
    kolm::sys::debugOutput(line);
    return 1;
  }
  HACCEL accelerators = LoadAcceleratorsA(hInstance, MAKEINTRESOURCEA(IDC_ZARVEL));

  if (!options.file.empty() && !playFile(window, options.file) && options.exitAtEnd) {
    exitStatus = 1;
    DestroyWindow(window);
  }

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
  endPlayback();
  shutDown();
  if (got < 0) return 1;
  return exitStatus != 0 ? exitStatus : static_cast<int>(message.wParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int showCommand) {
  std::string error;
  // The C run-time's ANSI arguments: the same code page the drop's names come in.
  if (!parseCommandLine(__argc, __argv, &options, &error) || !options.script.empty()) {
    if (error.empty()) error = "--script drives the Linux window only";
    std::fprintf(stderr, "zarvel: %s\n", printable(error).c_str());
    printUsage(stderr);
    kolm::sys::debugOutput(("zarvel: " + printable(error)).c_str());
    return 2;
  }
  const int status = runWithoutWindow(options);
  if (status >= 0) return status;
  return runWindow(hInstance, showCommand);
}
