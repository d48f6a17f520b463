// zarvel.exe run by a test as its debugger, so that the program's
// OutputDebugString text reaches the test as debug events, as it would reach
// any debugger; and what such tests share. Text here is UTF-8, as in the
// program, and meets the system through the wide calls.
#pragma once

#include <windows.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace zarvel_test {

constexpr DWORD waitMs = 30000;  // generous: Wine on a shared machine
constexpr DWORD printException = 0x40010006;  // DBG_PRINTEXCEPTION_C

inline std::wstring wide(const std::string& text) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length);
  return out;
}

inline std::string utf8(const std::wstring& text) {
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length), '\0');
  if (length > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length, nullptr, nullptr);
  return out;
}

// A path of the build as a Windows program opens it: under Wine the unix
// path is turned into its drive form; elsewhere it is used as it is.
inline std::string windowsPath(const std::string& path) {
  using Convert = WCHAR*(CDECL*)(const char*);
  const auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name")));
  if (!convert || path.empty() || path[0] != '/') return path;
  WCHAR* converted = convert(path.c_str());
  if (!converted) return path;
  const std::string name = utf8(converted);
  HeapFree(GetProcessHeap(), 0, converted);
  return name.empty() ? path : name;
}

inline std::string fixture(const char* name) { return windowsPath(std::string(ZARVEL_TEST_DATA) + "/" + name); }
inline std::string sample(const char* name) { return windowsPath(std::string(ZARVEL_SAMPLES) + "/" + name); }

// Waits for a condition of another process, which has no event to give.
inline bool eventually(const std::function<bool()>& condition, DWORD ms = waitMs) {
  const ULONGLONG deadline = GetTickCount64() + ms;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() > deadline) return false;
    Sleep(20);
  }
}

// zarvel.exe run under this process as its debugger, on a thread of its own
// (the thread that starts a debuggee must be the one that waits for its
// events).
class DebuggedZarvel {
 public:
  // `folder`: the working folder ("" for the test's own); `program`: the
  // build's zarvel.exe, or another copy (the release zip's).
  explicit DebuggedZarvel(const std::string& arguments, const std::string& folder = "",
                          const std::string& program = ZARVEL_PROGRAM)
      : commandLine_("\"" + windowsPath(program) + "\" " + arguments), folder_(folder) {
    InitializeCriticalSection(&lock_);
    changed_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    started_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, &DebuggedZarvel::debugLoop, this, 0, nullptr);
    if (thread_) WaitForSingleObject(started_, waitMs);
  }
  ~DebuggedZarvel() {
    // A process that did not end by itself is ended; the debug loop then
    // sees its exit and returns.
    if (thread_ && WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT) {
      if (process_) TerminateProcess(process_, 99);
      WaitForSingleObject(thread_, waitMs);
    }
    if (thread_) CloseHandle(thread_);
    if (process_) CloseHandle(process_);
    CloseHandle(changed_);
    CloseHandle(started_);
    DeleteCriticalSection(&lock_);
  }
  DebuggedZarvel(const DebuggedZarvel&) = delete;
  DebuggedZarvel& operator=(const DebuggedZarvel&) = delete;

  bool running() const { return process_ != nullptr; }

  // The program's main window, once it has one.
  HWND window() {
    HWND found = nullptr;
    eventually([&] {
      found = findWindow("ZARVEL");
      return found != nullptr || exited();
    });
    return found;
  }

  // A message box of the program (the system's dialog class), once it shows one.
  HWND messageBox(DWORD ms = waitMs) {
    HWND found = nullptr;
    eventually(
        [&] {
          found = findWindow("#32770");
          return found != nullptr || exited();
        },
        ms);
    return found;
  }

  // The first debug line containing text, or "" when none came in time or
  // the program ended first. Lines already seen count.
  std::string waitForLine(const std::string& text, DWORD ms = waitMs) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
      bool ended;
      EnterCriticalSection(&lock_);
      for (const std::string& line : lines_) {
        if (line.find(text) != std::string::npos) {
          LeaveCriticalSection(&lock_);
          return line;
        }
      }
      ended = exited_;
      LeaveCriticalSection(&lock_);
      const ULONGLONG now = GetTickCount64();
      if (ended || now >= deadline) return "";
      WaitForSingleObject(changed_, static_cast<DWORD>(deadline - now));
    }
  }

  std::vector<std::string> lines() {
    EnterCriticalSection(&lock_);
    std::vector<std::string> copy = lines_;
    LeaveCriticalSection(&lock_);
    return copy;
  }

  // The exit code once the program has ended by itself, or -1.
  long waitForExit(DWORD ms = waitMs) {
    if (!thread_ || WaitForSingleObject(thread_, ms) != WAIT_OBJECT_0) return -1;
    return static_cast<long>(exitCode_);
  }

 private:
  bool exited() {
    EnterCriticalSection(&lock_);
    const bool ended = exited_;
    LeaveCriticalSection(&lock_);
    return ended;
  }

  HWND findWindow(const char* className) {
    struct Search {
      DWORD processId;
      const char* className;
      HWND window;
    } search = {processId_, className, nullptr};
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
          auto* s = reinterpret_cast<Search*>(parameter);
          DWORD owner = 0;
          char name[32] = "";
          GetWindowThreadProcessId(window, &owner);
          GetClassNameA(window, name, sizeof name);
          if (owner != s->processId || std::strcmp(name, s->className) != 0) return TRUE;
          s->window = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.window;
  }

  static DWORD WINAPI debugLoop(void* self) {
    static_cast<DebuggedZarvel*>(self)->debug();
    return 0;
  }

  void debug() {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::wstring commandLine = wide(commandLine_);
    const std::wstring folder = wide(folder_);
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
      SetEvent(started_);
      return;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    processId_ = info.dwProcessId;
    SetEvent(started_);
    for (;;) {
      DEBUG_EVENT event;
      if (!WaitForDebugEvent(&event, INFINITE)) break;
      DWORD answer = DBG_CONTINUE;
      switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
          if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
          break;
        case LOAD_DLL_DEBUG_EVENT:
          if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
          break;
        case OUTPUT_DEBUG_STRING_EVENT:
          readLine(event.u.DebugString);
          break;
        case EXCEPTION_DEBUG_EVENT: {
          // Breakpoints and debug text are the debugger's; every other
          // exception (the decoders' own C++ exceptions among them) goes back
          // to the program. Some systems hand the text over as the exception
          // that OutputDebugStringA raises rather than as its own event.
          const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
          if (record.ExceptionCode == printException && record.NumberParameters >= 2) {
            OUTPUT_DEBUG_STRING_INFO text = {};
            text.nDebugStringLength = static_cast<WORD>(record.ExceptionInformation[0] > 0xffff ? 0xffff : record.ExceptionInformation[0]);
            text.lpDebugStringData = reinterpret_cast<char*>(record.ExceptionInformation[1]);
            readLine(text);
          } else if (record.ExceptionCode != EXCEPTION_BREAKPOINT) {
            answer = DBG_EXCEPTION_NOT_HANDLED;
          }
          break;
        }
        default:
          break;
      }
      const bool ended = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
      if (ended) {
        EnterCriticalSection(&lock_);
        exitCode_ = event.u.ExitProcess.dwExitCode;
        exited_ = true;
        LeaveCriticalSection(&lock_);
        SetEvent(changed_);
      }
      ContinueDebugEvent(event.dwProcessId, event.dwThreadId, answer);
      if (ended) break;
    }
  }

  void readLine(const OUTPUT_DEBUG_STRING_INFO& info) {
    if (info.fUnicode || info.nDebugStringLength == 0) return;
    std::string text(info.nDebugStringLength, '\0');
    SIZE_T got = 0;
    if (!ReadProcessMemory(process_, info.lpDebugStringData, &text[0], text.size(), &got)) return;
    text.resize(got);
    text.resize(std::strlen(text.c_str()));
    // The program's wide text reaches a debugger of this kind in the ANSI code page.
    std::wstring wideText(text.size(), L'\0');
    wideText.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wideText[0],
                            static_cast<int>(wideText.size()))));
    text = utf8(wideText);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    EnterCriticalSection(&lock_);
    lines_.push_back(text);
    LeaveCriticalSection(&lock_);
    SetEvent(changed_);
  }

  std::string commandLine_;
  std::string folder_;
  HANDLE thread_ = nullptr;
  HANDLE started_ = nullptr;
  HANDLE changed_ = nullptr;  // a debug line came or the program ended
  HANDLE process_ = nullptr;  // written before started_ is set, read after
  DWORD processId_ = 0;
  CRITICAL_SECTION lock_;
  std::vector<std::string> lines_;
  DWORD exitCode_ = 0;
  bool exited_ = false;
};


}  // namespace zarvel_test
