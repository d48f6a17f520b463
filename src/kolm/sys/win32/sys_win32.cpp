// Win32 implementation of the platform layer: the kernel objects the engine
// was designed around, used directly.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <io.h>
#include <mmsystem.h>
#include <process.h>
#include <shellapi.h>

#include <new>

#include "kolm/sys/sys.h"

namespace kolm::sys {

namespace {

DWORD timeoutOf(int timeoutMs) { return timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs); }

}  // namespace

// ---- events ---------------------------------------------------------------

EventHandle createEvent() { return CreateEventA(nullptr, FALSE, FALSE, nullptr); }

void closeEvent(EventHandle event) {
  if (event) CloseHandle(event);
}

bool setEvent(EventHandle event) { return event && SetEvent(event); }

bool resetEvent(EventHandle event) { return event && ResetEvent(event); }

int waitEvent(EventHandle event, int timeoutMs) {
  if (!event) return waitFailed;
  switch (WaitForSingleObject(event, timeoutOf(timeoutMs))) {
    case WAIT_OBJECT_0: return waitSignalled;
    case WAIT_TIMEOUT: return waitTimedOut;
    default: return waitFailed;
  }
}

int waitEither(EventHandle first, EventHandle second, int timeoutMs, int* which) {
  if (!first) return waitFailed;
  // The system refuses the same handle twice in one wait.
  if (!second || second == first) {
    const int result = waitEvent(first, timeoutMs);
    if (result == waitSignalled && which) *which = 0;
    return result;
  }
  // With both signalled the system reports the lower index and consumes only
  // that event's signal: the first wins.
  HANDLE handles[2] = {first, second};
  const DWORD result = WaitForMultipleObjects(2, handles, FALSE, timeoutOf(timeoutMs));
  if (result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1) {
    if (which) *which = static_cast<int>(result - WAIT_OBJECT_0);
    return waitSignalled;
  }
  return result == WAIT_TIMEOUT ? waitTimedOut : waitFailed;
}

// ---- critical sections -----------------------------------------------------

CriticalSection::CriticalSection() {
  auto* section = new CRITICAL_SECTION;
  InitializeCriticalSection(section);
  impl_ = section;
}

CriticalSection::~CriticalSection() {
  auto* section = static_cast<CRITICAL_SECTION*>(impl_);
  DeleteCriticalSection(section);
  delete section;
}

void CriticalSection::enter() { EnterCriticalSection(static_cast<CRITICAL_SECTION*>(impl_)); }
void CriticalSection::leave() { LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(impl_)); }

// ---- threads ---------------------------------------------------------------

namespace {

struct StartData {
  ThreadProc proc;
  void* argument;
};

unsigned __stdcall trampoline(void* raw) {
  const StartData data = *static_cast<StartData*>(raw);
  delete static_cast<StartData*>(raw);
  return data.proc(data.argument);
}

}  // namespace

ThreadHandle startThread(ThreadProc proc, void* argument, std::uint32_t* id) {
  if (!proc) return nullptr;
  auto* data = new (std::nothrow) StartData{proc, argument};
  if (!data) return nullptr;
  // Created suspended so that *id holds the id before the thread's first
  // instruction: the thread may read it at once.
  unsigned threadId = 0;
  const uintptr_t handle = _beginthreadex(nullptr, 0, trampoline, data, CREATE_SUSPENDED, &threadId);
  if (handle == 0) {
    delete data;
    return nullptr;
  }
  if (id) *id = threadId;
  ResumeThread(reinterpret_cast<HANDLE>(handle));
  return reinterpret_cast<ThreadHandle>(handle);
}

int joinThread(ThreadHandle thread) {
  if (!thread) return waitFailed;
  return WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0 ? waitSignalled : waitFailed;
}

void closeThread(ThreadHandle thread) {
  if (thread) CloseHandle(thread);
}

std::uint32_t currentThreadId() { return GetCurrentThreadId(); }

// ---- time ------------------------------------------------------------------

std::uint64_t milliseconds() {
  // The multimedia timer wraps after 49.7 days; the extender carries it on.
  static WrapExtender extender;
  return extender.extend(timeGetTime());
}

void beginTimerPeriod(unsigned ms) { timeBeginPeriod(ms); }
void endTimerPeriod(unsigned ms) { timeEndPeriod(ms); }

void sleepMs(unsigned ms) { Sleep(ms); }

// Win32 sleeps in whole timer periods: under a millisecond, only the rest of
// the time slice is given up.
void sleepMicroseconds(unsigned us) { Sleep(us >= 1000 ? us / 1000 : 0); }

// ---- picture memory -------------------------------------------------------------

// Committed pages come zeroed. Large pages would need a privilege ordinary
// users lack, so these are small ones.
void* allocatePictureMemory(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  return VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void freePictureMemory(void* memory, std::size_t) {
  if (memory) VirtualFree(memory, 0, MEM_RELEASE);
}

// ---- diagnostics and libraries ------------------------------------------------

// The wide call, so that a debugger that reads UTF-16 sees names as they
// are (others, and Wine, get them in the ANSI code page).
void debugOutput(const char* text) { OutputDebugStringW(toWide(text ? text : "").c_str()); }

std::wstring toWide(const std::string& text, bool strict, bool* ok) {
  if (ok) *ok = true;
  if (text.empty()) return std::wstring();
  const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  const int length = text.size() > 0x7FFFFFFF ? 0 : static_cast<int>(text.size());
  const int needed = length ? MultiByteToWideChar(CP_UTF8, flags, text.data(), length, nullptr, 0) : 0;
  if (needed <= 0) {
    if (ok) *ok = false;
    return std::wstring();
  }
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  MultiByteToWideChar(CP_UTF8, flags, text.data(), length, &wide[0], needed);
  return wide;
}

std::string toUtf8(const wchar_t* text) {
  if (!text || !*text) return std::string();
  const int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 1) return std::string();
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], needed, nullptr, nullptr);
  narrow.resize(static_cast<std::size_t>(needed) - 1);
  return narrow;
}

// The C run-time's argv is in the ANSI code page: "日本語.mpg" arrives as
// "???.mpg" on a Western system, and "café.ogv" as "cafe.ogv" on a Japanese
// one. The wide command line has every name as it is.
std::vector<std::string> commandLineArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  int count = 0;
  if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i) arguments.push_back(toUtf8(wide[i]));
    LocalFree(wide);
    return arguments;
  }
  for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i] ? argv[i] : "");
  return arguments;
}

std::FILE* openFile(const char* path, const char* mode) {
  bool ok = false;
  const std::wstring name = toWide(path ? path : "", true, &ok);
  const std::wstring wideMode = toWide(mode ? mode : "");
  if (!ok || name.empty()) return nullptr;
  return _wfopen(name.c_str(), wideMode.c_str());
}

void printText(std::FILE* to, const std::string& text) {
  HANDLE handle = to ? reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(to))) : INVALID_HANDLE_VALUE;
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    std::fflush(to);
    const std::wstring wide = toWide(text);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  if (to) std::fputs(text.c_str(), to);
}

namespace {

EventHandle interruptEvent = nullptr;
volatile LONG interruptSignal = 0;

// Runs on a thread the system starts for the console's request.
BOOL WINAPI onConsoleControl(DWORD type) {
  const LONG number = type == CTRL_C_EVENT ? 2 : 15;  // SIGINT, else SIGTERM
  InterlockedCompareExchange(&interruptSignal, number, 0);
  if (interruptEvent) SetEvent(interruptEvent);
  return TRUE;
}

}  // namespace

bool beginInterruptWatch(EventHandle event) {
  if (interruptEvent || !event) return false;
  interruptEvent = event;
  interruptSignal = 0;
  if (SetConsoleCtrlHandler(onConsoleControl, TRUE)) return true;
  interruptEvent = nullptr;
  return false;
}

int endInterruptWatch() {
  if (!interruptEvent) return 0;
  SetConsoleCtrlHandler(onConsoleControl, FALSE);
  interruptEvent = nullptr;
  return static_cast<int>(InterlockedExchange(&interruptSignal, 0));
}

LibraryHandle loadLibrary(const char* name) { return name ? LoadLibraryA(name) : nullptr; }

void* findSymbol(LibraryHandle library, const char* name) {
  if (!library || !name) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void freeLibrary(LibraryHandle library) {
  if (library) FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace kolm::sys
