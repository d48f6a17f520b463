// Kernel services the engine takes from the operating system: events, waits,
// recursive locks, threads, a millisecond clock, debug output and run-time
// library loading. One header, one implementation per platform (posix/, win32/);
// nothing outside this folder includes an OS header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

namespace kolm::sys {

// Results of every wait: the object was signalled, the time ran out, or the wait failed.
enum WaitResult : int { waitSignalled = 0, waitTimedOut = 1, waitFailed = 2 };
constexpr int infinite = -1;  // time-out meaning "no limit"

// An auto-reset event: one wait consumes one signal. On Windows this is the
// kernel HANDLE itself, so code that hands "a handle" around hands this type.
#ifdef _WIN32
using EventHandle = void*;
#else
struct PosixEvent;
using EventHandle = PosixEvent*;
#endif

EventHandle createEvent();  // auto-reset, not signalled; null on failure
void closeEvent(EventHandle event);
bool setEvent(EventHandle event);
bool resetEvent(EventHandle event);
// Waits up to timeoutMs (negative = no limit) for the event.
int waitEvent(EventHandle event, int timeoutMs);
// Waits for whichever of two events is signalled first, consuming only that
// one's signal (the first wins when both are). *which gets 0 or 1.
int waitEither(EventHandle first, EventHandle second, int timeoutMs, int* which = nullptr);

// A recursive lock, like a Win32 critical section.
class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  void enter();
  void leave();

 private:
  void* impl_;
};

// Holds a CriticalSection for one scope.
class Guard {
 public:
  explicit Guard(CriticalSection& section) : section_(section) { section_.enter(); }
  ~Guard() { section_.leave(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  CriticalSection& section_;
};

using ThreadHandle = void*;
using ThreadProc = unsigned (*)(void* argument);
// Starts a thread at once; the new thread's id is stored in *id before the
// thread runs. Null on failure.
ThreadHandle startThread(ThreadProc proc, void* argument, std::uint32_t* id);
// Waits without limit for the thread to end: waitSignalled or waitFailed.
int joinThread(ThreadHandle thread);
// Releases a thread handle after a successful join.
void closeThread(ThreadHandle thread);
std::uint32_t currentThreadId();

// Milliseconds since an arbitrary origin; 64-bit so that it never wraps.
std::uint64_t milliseconds();
// Ask for (and give back) a 1 ms timer resolution, where the platform needs it.
void beginTimerPeriod(unsigned ms);
void endTimerPeriod(unsigned ms);
void sleepMs(unsigned ms);
// Sleeps about `us` microseconds where the platform can (a sub-millisecond
// wait); where it cannot, gives up the rest of the time slice.
void sleepMicroseconds(unsigned us);

// One line of diagnostics for a debugger (no line break is added).
void debugOutput(const char* text);

// File names and messages are UTF-8 throughout the program, as on Linux; on
// Windows they are turned into UTF-16 at each call into the system, since
// the ANSI calls lose every character outside the system's code page (or
// map it to a look-alike, which can name another file).
//
// The program's arguments, in UTF-8: on Windows from the wide command line,
// elsewhere argv as it is.
std::vector<std::string> commandLineArguments(int argc, char** argv);
// std::fopen of a file named in UTF-8.
std::FILE* openFile(const char* path, const char* mode);
// Writes text to `to` (stdout or stderr): a Windows console gets it as
// UTF-16, so that names show as they are; files and pipes get the bytes.
void printText(std::FILE* to, const std::string& text);
#ifdef _WIN32
// UTF-8 to UTF-16. Strict: text that is no valid UTF-8 gives "" and *ok
// false (a name must not be guessed at); otherwise such bytes become U+FFFD.
std::wstring toWide(const std::string& text, bool strict = false, bool* ok = nullptr);
std::string toUtf8(const wchar_t* text);
#endif

// From now until endInterruptWatch(), a request to stop the process (Ctrl+C,
// a termination signal, a console closing) sets `event` instead of ending
// the process. Call it before any other thread starts. One watch at a time;
// false when none could be made.
bool beginInterruptWatch(EventHandle event);
// Ends the watch: the number of the first request's signal (SIGINT 2,
// SIGTERM 15), 0 when none came.
int endInterruptWatch();

#ifdef _WIN32
// The DirectX error library's symbolic name and description of an HRESULT:
// "Unknown" and "n/a" for a code it does not know.
const char* dxErrorName(std::int32_t hr);
const char* dxErrorDescription(std::int32_t hr);
#endif

// Zeroed memory for pictures, straight from the system: where it can, in
// large pages, which spare the page faults of first touch and the address
// translation misses of walking down a picture's rows (each row of a large
// picture lies on another small page). Null on failure. Give it back with
// the same size.
void* allocatePictureMemory(std::size_t bytes);
void freePictureMemory(void* memory, std::size_t bytes);

// Owns one allocatePictureMemory block.
class PictureMemory {
 public:
  PictureMemory() = default;
  // Throws std::bad_alloc when the system has none; with std::nothrow, stays
  // empty instead.
  explicit PictureMemory(std::size_t bytes);
  PictureMemory(std::size_t bytes, const std::nothrow_t&) noexcept
      : memory_(allocatePictureMemory(bytes)), bytes_(memory_ ? bytes : 0) {}
  ~PictureMemory() { freePictureMemory(memory_, bytes_); }
  PictureMemory(PictureMemory&& other) noexcept : memory_(other.memory_), bytes_(other.bytes_) {
    other.memory_ = nullptr;
    other.bytes_ = 0;
  }
  PictureMemory& operator=(PictureMemory&& other) noexcept;
  PictureMemory(const PictureMemory&) = delete;
  PictureMemory& operator=(const PictureMemory&) = delete;
  std::uint8_t* data() const { return static_cast<std::uint8_t*>(memory_); }
  std::size_t size() const { return bytes_; }

 private:
  void* memory_ = nullptr;
  std::size_t bytes_ = 0;
};

using LibraryHandle = void*;
LibraryHandle loadLibrary(const char* name);
void* findSymbol(LibraryHandle library, const char* name);
void freeLibrary(LibraryHandle library);

// Extends a wrapping 32-bit millisecond counter (the Windows multimedia timer
// wraps after 49.7 days) to 64 bits. Readings may come from several threads
// and slightly out of order; a reading older than the newest one seen returns
// that newest one, so the extended clock never goes backwards. It must be
// read at least once per wrap period, which any playing clock does.
class WrapExtender {
 public:
  std::uint64_t extend(std::uint32_t now);

 private:
  CriticalSection lock_;
  std::uint64_t last_ = 0;
  bool started_ = false;
};

}  // namespace kolm::sys
