// zarvel.exe as a user meets it: its resources, and one session of its
// window given shell drops and typed keys, watched through the window and
// the program's debug output.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/resource.h"
#include "window_hook.h"
#include "zarvel_process.h"

namespace {

using namespace zarvel_test;

// The test's hook in the window's process (window_hook.cpp), on the window's
// thread while this lives: drops as the shell makes them, and menu labels.
class WindowHook {
 public:
  explicit WindowHook(HWND window) : window_(window) {
    DWORD processId = 0;
    const DWORD thread = GetWindowThreadProcessId(window, &processId);
    block_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, hookBlockBytes,
                                hookBlockName(processId).c_str());
    bytes_ = static_cast<char*>(block_ ? MapViewOfFile(block_, FILE_MAP_WRITE, 0, 0, hookBlockBytes) : nullptr);
    library_ = LoadLibraryA(windowsPath(ZARVEL_WINDOW_HOOK).c_str());
    const auto proc = reinterpret_cast<HOOKPROC>(
        reinterpret_cast<void*>(library_ ? GetProcAddress(library_, "zarvelWindowHook") : nullptr));
    if (proc && bytes_) hook_ = SetWindowsHookExA(WH_CALLWNDPROC, proc, library_, thread);
  }
  ~WindowHook() {
    if (hook_) UnhookWindowsHookEx(hook_);
    if (library_) FreeLibrary(library_);
    if (bytes_) UnmapViewOfFile(bytes_);
    if (block_) CloseHandle(block_);
  }
  WindowHook(const WindowHook&) = delete;
  WindowHook& operator=(const WindowHook&) = delete;

  bool ready() const { return hook_ != nullptr; }

  bool drop(const std::vector<std::string>& paths) {
    std::string names;
    for (const std::string& path : paths) names += path + '\0';
    names += '\0';
    if (!hook_ || names.size() > hookBlockBytes) return false;
    std::memcpy(bytes_, names.data(), names.size());
    return request(dropRequest, names.size());
  }

  // As the shell drops them: UTF-16 names (DROPFILES.fWide).
  bool dropWide(const std::vector<std::string>& paths) {
    std::wstring names;
    for (const std::string& path : paths) names += wide(path) + L'\0';
    names += L'\0';
    const std::size_t size = names.size() * sizeof(wchar_t);
    if (!hook_ || size > hookBlockBytes) return false;
    std::memcpy(bytes_, names.data(), size);
    return request(wideDropRequest, size);
  }

  HookFacts facts() {
    HookFacts facts = {0, -1};
    if (hook_ && request(factsRequest, 0)) std::memcpy(&facts, bytes_, sizeof facts);
    return facts;
  }

  std::wstring label(UINT command) {
    if (!hook_ || !request(labelRequest, command)) return L"(no answer)";
    const auto* text = reinterpret_cast<const wchar_t*>(bytes_);
    return std::wstring(text, wcsnlen(text, hookBlockBytes / sizeof(wchar_t)));
  }

 private:
  bool request(const char* name, WPARAM parameter) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window_, RegisterWindowMessageA(name), parameter, 0, SMTO_ABORTIFHUNG, waitMs,
                               &result) != 0;
  }

  HWND window_;
  HANDLE block_ = nullptr;
  char* bytes_ = nullptr;
  HMODULE library_ = nullptr;
  HHOOK hook_ = nullptr;
};

// Alt and a letter, typed: the key messages come through the program's
// message loop and its accelerator table like those of a keyboard.
void typeAlt(HWND window, WORD key) {
  SetForegroundWindow(window);
  INPUT input[4] = {};
  const WORD keys[4] = {VK_MENU, key, key, VK_MENU};
  for (int i = 0; i < 4; ++i) {
    input[i].type = INPUT_KEYBOARD;
    input[i].ki.wVk = keys[i];
    input[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
  }
  ASSERT_EQ(SendInput(4, input, sizeof(INPUT)), 4u);
}

// One key, typed.
void typeKey(HWND window, WORD key) {
  SetForegroundWindow(window);
  INPUT input[2] = {};
  for (int i = 0; i < 2; ++i) {
    input[i].type = INPUT_KEYBOARD;
    input[i].ki.wVk = key;
    input[i].ki.dwFlags = i == 1 ? KEYEVENTF_KEYUP : 0;
  }
  ASSERT_EQ(SendInput(2, input, sizeof(INPUT)), 2u);
}

SIZE clientSize(HWND window) {
  RECT client = {};
  GetClientRect(window, &client);
  return {client.right, client.bottom};
}

bool clientIs(HWND window, int width, int height) {
  const SIZE size = clientSize(window);
  return size.cx == width && size.cy == height;
}

std::string titleOf(HWND window) {
  char text[512] = "";
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::wstring menuLabel(HMENU menu, UINT command) {
  wchar_t text[64] = L"";
  GetMenuStringW(menu, command, text, 64, MF_BYCOMMAND);
  return text;
}

// The resources of the program, read as data.
class ZarvelResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExA(windowsPath(ZARVEL_PROGRAM).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  HMODULE module_ = nullptr;
};

TEST_F(ZarvelResources, MenuTitleAndClassAreThoseOfTheProgram) {
  HMENU menu = LoadMenuW(module_, MAKEINTRESOURCEW(IDC_ZARVEL));
  ASSERT_NE(menu, nullptr);
  // Two commands on the bar itself, no pop-ups; the code page 932 texts
  // arrive as the Japanese they are.
  ASSERT_EQ(GetMenuItemCount(menu), 2);
  EXPECT_EQ(GetMenuItemID(menu, 0), static_cast<UINT>(IDM_ZARVEL_EXIT));
  EXPECT_EQ(GetMenuItemID(menu, 1), static_cast<UINT>(IDM_ZARVEL_PRESENT_SWITCH));
  EXPECT_EQ(menuLabel(menu, IDM_ZARVEL_EXIT),
            L"\u30a2\u30d7\u30ea\u30b1\u30fc\u30b7\u30e7\u30f3\u306e\u7d42\u4e86(&X)");
  EXPECT_EQ(menuLabel(menu, IDM_ZARVEL_PRESENT_SWITCH), L"\u63cf\u753b\u5f85\u3061ON/OFF(&R)");
  EXPECT_TRUE(GetMenuState(menu, IDM_ZARVEL_PRESENT_SWITCH, MF_BYCOMMAND) & MF_CHECKED);
  DestroyMenu(menu);

  char text[100] = "";
  EXPECT_GT(LoadStringA(module_, IDS_ZARVEL_TITLE, text, sizeof text), 0);
  EXPECT_STREQ(text, "zarvel");
  EXPECT_GT(LoadStringA(module_, IDC_ZARVEL, text, sizeof text), 0);
  EXPECT_STREQ(text, "ZARVEL");
  EXPECT_NE(FindResourceA(module_, MAKEINTRESOURCEA(IDI_ZARVEL), RT_GROUP_ICON), nullptr);
  EXPECT_NE(FindResourceA(module_, MAKEINTRESOURCEA(IDI_ZARVEL_SMALL), RT_GROUP_ICON), nullptr);
}

// One manifest, asking for per-monitor DPI awareness, long paths and Common
// Controls 6.
TEST_F(ZarvelResources, ManifestAsksForDpiAwarenessLongPathsAndCommonControls) {
  int manifests = 0;
  const auto count = [](HMODULE, LPCSTR, LPSTR, LONG_PTR counter) -> BOOL {
    ++*reinterpret_cast<int*>(counter);
    return TRUE;
  };
  EnumResourceNamesA(module_, RT_MANIFEST, count, reinterpret_cast<LONG_PTR>(&manifests));
  EXPECT_EQ(manifests, 1);
  HRSRC found = FindResourceA(module_, MAKEINTRESOURCEA(1), RT_MANIFEST);
  ASSERT_NE(found, nullptr);
  const char* data = static_cast<const char*>(LockResource(LoadResource(module_, found)));
  ASSERT_NE(data, nullptr);
  const std::string manifest(data, SizeofResource(module_, found));
  for (const char* setting :
       {">true/pm</dpiAware>", ">PerMonitorV2, PerMonitor</dpiAwareness>", ">true</longPathAware>",
        "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", "level=\"asInvoker\"",
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
    EXPECT_NE(manifest.find(setting), std::string::npos) << setting;
}

TEST_F(ZarvelResources, AcceleratorsSendTheirCommands) {
  HACCEL table = LoadAcceleratorsW(module_, MAKEINTRESOURCEW(IDC_ZARVEL));
  ASSERT_NE(table, nullptr);
  ACCEL entries[8];
  const int count = CopyAcceleratorTableW(table, entries, 8);
  DestroyAcceleratorTable(table);
  auto command = [&](BYTE flags, WORD key) -> int {
    for (int i = 0; i < count; ++i)
      if ((entries[i].fVirt & ~FNOINVERT) == flags && entries[i].key == key) return entries[i].cmd;
    return -1;
  };
  EXPECT_EQ(command(FALT, '?'), IDM_ZARVEL_ABOUT);
  EXPECT_EQ(command(FALT, '/'), IDM_ZARVEL_ABOUT);
  EXPECT_EQ(command(FVIRTKEY | FALT, 'X'), IDM_ZARVEL_EXIT);
  EXPECT_EQ(command(FVIRTKEY | FALT, 'R'), IDM_ZARVEL_PRESENT_SWITCH);
}

// Everything a user does in one session: a file that cannot be played, a drop
// of two files, the mode switch, a narrow picture and Alt+X.
TEST(ZarvelWindow, PlaysTheFirstFileOfADropAndLeavesOnAltX) {
  DebuggedZarvel zarvel("");
  ASSERT_TRUE(zarvel.running());
  HWND window = zarvel.window();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(clientIs(window, 640, 480));
  EXPECT_EQ(titleOf(window), "zarvel");
  WindowHook hook(window);
  ASSERT_TRUE(hook.ready());
  // The label of the mode the switch leads to, from the window's first frame on.
  EXPECT_EQ(hook.label(IDM_ZARVEL_PRESENT_SWITCH), L"\u6642\u9593\u8a08\u6e2c(&R)");

  // Not a movie: the reason in the title and on the debug output; the window
  // keeps its size.
  const std::string junk = fixture("bad-random.bin");
  ASSERT_TRUE(hook.drop({junk}));
  EXPECT_NE(zarvel.waitForLine("zarvel: cannot play " + junk), "");
  EXPECT_TRUE(eventually([&] { return titleOf(window).find("cannot play bad-random.bin: ") != std::string::npos; }))
      << titleOf(window);
  EXPECT_TRUE(clientIs(window, 640, 480));

  // Two files: the first plays (352 x 240), the second is left alone. The
  // window's top-left corner stays where it was.
  RECT before = {};
  GetWindowRect(window, &before);
  ASSERT_TRUE(hook.drop({fixture("mpg-ibbp-352x240.mpg"), fixture("ogg-tv-176x120.ogv")}));
  EXPECT_TRUE(eventually([&] { return clientIs(window, 352, 240); }))
      << clientSize(window).cx << " x " << clientSize(window).cy;
  RECT after = {};
  GetWindowRect(window, &after);
  EXPECT_EQ(after.left, before.left);
  EXPECT_EQ(after.top, before.top);
  EXPECT_TRUE(eventually([&] { return titleOf(window) == "zarvel"; })) << titleOf(window);
  // The statistics line of an MPEG-1 file: "zarvel : m:ss.mmm".
  const std::string statistics = zarvel.waitForLine("zarvel : ");
  unsigned minutes = 0, seconds = 0, milliseconds = 0;
  char rest = 0;
  EXPECT_EQ(std::sscanf(statistics.c_str(), "zarvel : %u:%2u.%3u%c", &minutes, &seconds, &milliseconds, &rest), 3)
      << statistics;

  // Alt+R switches the label to the mode it now leads back to, and leaves
  // no menu armed: the Enter after it opens no menu (whose first command
  // would leave), and the drop below is still taken.
  typeAlt(window, 'R');
  EXPECT_TRUE(eventually([&] { return hook.label(IDM_ZARVEL_PRESENT_SWITCH) == L"\u63cf\u753b\u3059\u308b(&R)"; }))
      << "the label did not change";
  typeKey(window, VK_RETURN);

  // A picture narrower than the menu bar, which then wraps onto a second
  // line: the picture keeps its height (the window cannot be narrower than
  // the system allows).
  ASSERT_TRUE(hook.drop({fixture("m1v-zeros-96x64.m1v")}));
  EXPECT_TRUE(eventually([&] { return clientSize(window).cy == 64 && clientSize(window).cx >= 96; }))
      << clientSize(window).cx << " x " << clientSize(window).cy;

  // Alt+X, with or without a file playing.
  typeAlt(window, 'X');
  EXPECT_EQ(zarvel.waitForExit(), 0);
  EXPECT_FALSE(IsWindow(window));
}

// The whole window, frame included, lies on the work area of its monitor.
bool onWorkArea(HWND window) {
  RECT frame = {};
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof monitor;
  if (!GetWindowRect(window, &frame) ||
      !GetMonitorInfoA(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor))
    return false;
  const RECT& work = monitor.rcWork;
  return frame.left >= work.left && frame.top >= work.top && frame.right <= work.right && frame.bottom <= work.bottom;
}

// Opened hanging off the right edge of the screen, the window takes the
// picture's size and moves back onto the screen.
TEST(ZarvelWindow, TakesThePictureSizeOnTheScreen) {
  DebuggedZarvel zarvel("--window-at 700,300");
  ASSERT_TRUE(zarvel.running());
  HWND window = zarvel.window();
  ASSERT_NE(window, nullptr);
  WindowHook hook(window);
  ASSERT_TRUE(hook.ready());
  POINT origin = {0, 0};
  ClientToScreen(window, &origin);
  EXPECT_EQ(origin.x, 700);
  EXPECT_EQ(origin.y, 300);
  EXPECT_FALSE(onWorkArea(window));

  ASSERT_TRUE(hook.drop({fixture("mpg-ibbp-352x240.mpg")}));
  EXPECT_TRUE(eventually([&] { return clientIs(window, 352, 240) && onWorkArea(window); }))
      << clientSize(window).cx << " x " << clientSize(window).cy;
  RECT windowed = {};
  GetWindowRect(window, &windowed);

  // F: the whole monitor, without frame or menu; Escape: back where it was.
  // A double click does the same; a picture of another size that comes in
  // full screen sizes the window on the way back.
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof monitor;
  ASSERT_TRUE(GetMonitorInfoA(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor));
  const int screenWidth = monitor.rcMonitor.right - monitor.rcMonitor.left;
  const int screenHeight = monitor.rcMonitor.bottom - monitor.rcMonitor.top;
  typeKey(window, 'F');
  EXPECT_TRUE(eventually([&] { return clientIs(window, screenWidth, screenHeight) && !GetMenu(window); }))
      << clientSize(window).cx << " x " << clientSize(window).cy;
  typeKey(window, VK_ESCAPE);
  EXPECT_TRUE(eventually([&] { return clientIs(window, 352, 240) && GetMenu(window); }))
      << clientSize(window).cx << " x " << clientSize(window).cy;
  RECT back = {};
  GetWindowRect(window, &back);
  EXPECT_EQ(back.left, windowed.left);
  EXPECT_EQ(back.top, windowed.top);
  PostMessageA(window, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(10, 10));
  EXPECT_TRUE(eventually([&] { return clientIs(window, screenWidth, screenHeight); }))
      << clientSize(window).cx << " x " << clientSize(window).cy;
  ASSERT_TRUE(hook.drop({fixture("ogg-tv-176x120.ogv")}));
  PostMessageA(window, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(10, 10));
  EXPECT_TRUE(eventually([&] { return clientIs(window, 176, 120) && onWorkArea(window); }))
      << clientSize(window).cx << " x " << clientSize(window).cy;
  typeAlt(window, 'X');
  EXPECT_EQ(zarvel.waitForExit(), 0);
}

// The playback keys beside the menu's: Space pauses and resumes, Left seeks
// back (to the start of a file that has played less than 5 s), Right past the
// end, which ends the file as its data would; the statistics count both
// seeks and the pause.
TEST(ZarvelWindow, PausesAndSeeksOnItsKeys) {
  char folder[MAX_PATH] = "";
  ASSERT_GT(GetTempPathA(MAX_PATH, folder), 0u);
  const std::string statistics = std::string(folder) + "zarvel-keys.json";
  DeleteFileA(statistics.c_str());
  DebuggedZarvel zarvel("--exit-at-end --stats-json \"" + statistics + "\" \"" +
                        fixture("../../samples/demo.ogv") + "\"");
  ASSERT_TRUE(zarvel.running());
  HWND window = zarvel.window();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(eventually([&] { return clientIs(window, 320, 240); }))
      << clientSize(window).cx << " x " << clientSize(window).cy;
  // The window's thread shows the first picture before the clock starts;
  // once it answers again, the file plays.
  DWORD_PTR answer = 0;
  EXPECT_NE(SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 20000, &answer), 0);
  typeKey(window, VK_SPACE);
  Sleep(300);  // the pause's length, which the statistics then count
  typeKey(window, VK_SPACE);
  typeKey(window, VK_LEFT);
  typeKey(window, VK_RIGHT);
  EXPECT_EQ(zarvel.waitForExit(), 0);

  char text[1024] = "";
  FILE* file = std::fopen(statistics.c_str(), "r");
  ASSERT_NE(file, nullptr);
  text[std::fread(text, 1, sizeof text - 1, file)] = 0;
  std::fclose(file);
  DeleteFileA(statistics.c_str());
  const std::string json = text;
  EXPECT_NE(json.find("\"early_pictures\": 0,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"seeks\": {\"count\": 2,"), std::string::npos) << json;
  double paused = 0;
  const std::size_t at = json.find("\"paused_ms\": ");
  ASSERT_NE(at, std::string::npos) << json;
  EXPECT_EQ(std::sscanf(json.c_str() + at, "\"paused_ms\": %lf", &paused), 1);
  EXPECT_GE(paused, 150.0) << json;  // the two keys may be taken a little nearer
}

// ---- names outside the ANSI code page ----------------------------------------
//
// Run under a Western code page (1252) and, as a second ctest entry, under a
// Japanese one (932), which ZARVEL_TEST_CODE_PAGE names.

const char japaneseName[] = "\u65e5\u672c\u8a9e.mpg";
const char accentedName[] = "caf\u00e9.ogv";
const char emojiName[] = "\U0001F3AC clip.mpg";

// Small fixtures copied under such names into a folder of their own, removed
// afterwards. Beside caf\u00e9.ogv lies cafe.ogv, its look-alike in code
// page 932, holding another film (MPEG-1, 352 x 240): a name mapped to
// the ANSI code page plays that one instead.
class NameFolder {
 public:
  NameFolder() {
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    folder_ = utf8(temp) + "zarvel-names-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryW(wide(folder_).c_str(), nullptr);
    made_.push_back(folder_);
    add("mpg-ibbp-352x240.mpg", japaneseName);  // 352 x 240
    add("ogg-tv-176x120.ogv", accentedName);    // 176 x 120
    add("mpg-ibbp-352x240.mpg", "cafe.ogv");
    add("m1v-ibbp-360x240.m1v", emojiName);     // 360 x 240
  }
  ~NameFolder() {
    for (auto at = made_.rbegin(); at != made_.rend(); ++at)
      if (!DeleteFileW(longName(*at).c_str())) RemoveDirectoryW(longName(*at).c_str());
  }
  NameFolder(const NameFolder&) = delete;
  NameFolder& operator=(const NameFolder&) = delete;

  const std::string& folder() const { return folder_; }
  std::string operator[](const std::string& name) const { return folder_ + "\\" + name; }

  // A file the test makes there itself, removed with the folder.
  std::string made(const std::string& name) {
    made_.push_back(folder_ + "\\" + name);
    return made_.back();
  }

  // The fixture copied to NAME, which may lie in folders of its own (made).
  std::string add(const char* fixtureName, const std::string& name) {
    std::string path = folder_;
    for (std::size_t from = 0, to; (to = name.find('\\', from)) != std::string::npos; from = to + 1) {
      path += "\\" + name.substr(from, to - from);
      if (CreateDirectoryW(longName(path).c_str(), nullptr)) made_.push_back(path);
    }
    path = folder_ + "\\" + name;
    if (CopyFileW(longName(fixture(fixtureName)).c_str(), longName(path).c_str(), FALSE)) made_.push_back(path);
    return path;
  }

 private:
  // Past MAX_PATH the calls here take the \\?\ form.
  static std::wstring longName(const std::string& path) { return L"\\\\?\\" + wide(path); }

  std::string folder_;
  std::vector<std::string> made_;
};

std::string readFile(const std::string& path) {
  std::string text;
  if (FILE* file = _wfopen(wide(path).c_str(), L"rb")) {
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
    std::fclose(file);
  }
  return text;
}

// The code page this run is meant to have; the test's own when none is named.
unsigned expectedCodePage() {
  const char* named = std::getenv("ZARVEL_TEST_CODE_PAGE");
  return named && *named ? static_cast<unsigned>(std::atoi(named)) : GetACP();
}

std::wstring boxText(HWND box) {
  wchar_t text[4096] = L"";
  GetDlgItemTextW(box, 0xFFFF, text, 4096);  // the message's static control
  return text;
}

// Each name on the command line plays that very file: absolute, relative with
// a space (from the folder), and a path past MAX_PATH; the statistics, also
// written to a name outside the code page, tell which path played it.
TEST(ZarvelNames, CommandLineNamesPlayThatFile) {
  ASSERT_EQ(GetACP(), expectedCodePage()) << "the locale for this code page is missing (Debian's locales package)";
  NameFolder names;
  std::string deep;
  for (int level = 0; level < 8; ++level) deep += std::string(32, static_cast<char>('a' + level)) + "\\";
  const std::string longPath = names.add("mpg-ibbp-352x240.mpg", deep + japaneseName);
  ASSERT_GT(wide(longPath).size(), static_cast<std::size_t>(MAX_PATH));
  const std::string statistics = names["\u7d71\u8a08.json"];
  const struct {
    std::string argument;
    std::string folder;
    const char* path;
  } runs[] = {{names[japaneseName], "", "mpeg1"},
              {names[accentedName], "", "ogg"},
              {emojiName, names.folder(), "mpeg1"},
              {longPath, "", "mpeg1"}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.argument);
    DeleteFileW(wide(statistics).c_str());
    DebuggedZarvel zarvel("--exit-at-end --timing --stats-json \"" + statistics + "\" \"" + run.argument + "\"",
                          run.folder);
    ASSERT_TRUE(zarvel.running());
    const long status = zarvel.waitForExit();
    if (status != 0) {
      const HWND box = zarvel.messageBox(0);
      ADD_FAILURE() << "exit " << status << (box ? ": " + utf8(boxText(box)) : std::string());
      continue;
    }
    const std::string json = readFile(statistics);
    EXPECT_NE(json.find("{\"path\": \"" + std::string(run.path) + "\""), std::string::npos) << json;
  }
  DeleteFileW(wide(statistics).c_str());
}

// Drops as the shell makes them, with UTF-16 names: each plays the file it
// names (the window takes its picture's size), in a process of the expected
// code page and per-monitor DPI aware through its manifest.
TEST(ZarvelNames, WideDropsPlayThatFile) {
  NameFolder names;
  DebuggedZarvel zarvel("");
  ASSERT_TRUE(zarvel.running());
  HWND window = zarvel.window();
  ASSERT_NE(window, nullptr);
  WindowHook hook(window);
  ASSERT_TRUE(hook.ready());
  const HookFacts facts = hook.facts();
  EXPECT_EQ(facts.codePage, expectedCodePage());
  EXPECT_EQ(facts.dpiAwareness, 2);

  ASSERT_TRUE(hook.dropWide({names[japaneseName]}));
  EXPECT_TRUE(eventually([&] { return clientIs(window, 352, 240); }))
      << clientSize(window).cx << " x " << clientSize(window).cy;
  // cafe.ogv would keep it at 352 x 240.
  ASSERT_TRUE(hook.dropWide({names[accentedName]}));
  EXPECT_TRUE(eventually([&] { return clientSize(window).cy == 120 && clientSize(window).cx >= 176; }))
      << clientSize(window).cx << " x " << clientSize(window).cy;
  ASSERT_TRUE(hook.dropWide({names[emojiName]}));
  EXPECT_TRUE(eventually([&] { return clientIs(window, 360, 240); }))
      << clientSize(window).cx << " x " << clientSize(window).cy;
  typeAlt(window, 'X');
  EXPECT_EQ(zarvel.waitForExit(), 0);
  for (const std::string& line : zarvel.lines()) EXPECT_EQ(line.find("cannot play"), std::string::npos) << line;
}

// What a console program would print shows in a message box, which the test
// reads and closes: the usage, a mistake on the command line, and a file of
// the command line that cannot be played (a text file, named outside the
// code page; without FFmpeg, as under Wine here).
TEST(ZarvelMessages, HelpMistakesAndUnplayableFilesShowInABox) {
  NameFolder names;
  const std::string text = names.made("\u30e1\u30e2 caf\u00e9.txt");
  {
    HANDLE file = CreateFileW(wide(text).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, "A line of plain text.\r\n", 23, &written, nullptr);
    CloseHandle(file);
  }
  const struct {
    std::string arguments;
    std::vector<std::wstring> says;
    long status;
  } cases[] = {
      {"--help", {L"usage: zarvel [FILE]", L"--exit-at-end"}, 0},
      {"--no-such-option", {L"unknown option --no-such-option", L"usage: zarvel [FILE]"}, 2},
      {"--exit-at-end \"" + text + "\"",
       {L"cannot play " + wide(text) + L": no decode path accepts",
        L"(not a file zarvel can play without FFmpeg, and FFmpeg is not installed (avutil-57.dll not found))"},
       1},
  };
  for (const auto& run : cases) {
    SCOPED_TRACE(run.arguments);
    DebuggedZarvel zarvel(run.arguments);
    ASSERT_TRUE(zarvel.running());
    const HWND box = zarvel.messageBox();
    ASSERT_NE(box, nullptr) << "no message box";
    std::wstring said;  // the box may be found before its text is in place
    EXPECT_TRUE(eventually([&] { return !(said = boxText(box)).empty(); }));
    for (const std::wstring& part : run.says) EXPECT_NE(said.find(part), std::wstring::npos) << utf8(said);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(zarvel.waitForExit(), run.status);
  }
}

}  // namespace
