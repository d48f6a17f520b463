// POSIX implementation of the platform layer.
#include "kolm/sys/sys.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>
#include <vector>

namespace kolm::sys {

// ---- events ---------------------------------------------------------------
//
// A thread may wait on two events at once, so a signal must be handed to
// exactly one waiter even when that waiter sits on two lists. One lock for all
// events keeps that hand-over atomic without lock ordering between events;
// events are set a few hundred times a second at most, so it is never hot.

namespace {

struct Waiter {
  std::condition_variable wake;
  PosixEvent* events[2] = {nullptr, nullptr};
  int fired = -1;  // index of the event whose signal this waiter took
};

std::mutex& eventLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

struct PosixEvent {
  bool signalled = false;
  std::vector<Waiter*> waiters;  // first in, first woken
};

namespace {

void unregister(Waiter& waiter) {
  for (PosixEvent* event : waiter.events) {
    if (!event) continue;
    auto& list = event->waiters;
    list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
  }
}

}  // namespace

EventHandle createEvent() { return new (std::nothrow) PosixEvent; }

void closeEvent(EventHandle event) { delete event; }

bool setEvent(EventHandle event) {
  if (!event) return false;
  std::lock_guard<std::mutex> hold(eventLock());
  if (event->waiters.empty()) {
    event->signalled = true;
    return true;
  }
  // Auto-reset: the signal goes straight to the longest waiter and is consumed.
  Waiter* waiter = event->waiters.front();
  waiter->fired = waiter->events[0] == event ? 0 : 1;
  unregister(*waiter);
  waiter->wake.notify_one();
  return true;
}

bool resetEvent(EventHandle event) {
  if (!event) return false;
  std::lock_guard<std::mutex> hold(eventLock());
  event->signalled = false;
  return true;
}

int waitEither(EventHandle first, EventHandle second, int timeoutMs, int* which) {
  if (!first) return waitFailed;
  PosixEvent* events[2] = {first, second};
  std::unique_lock<std::mutex> hold(eventLock());
  for (int i = 0; i < 2; ++i) {
    if (events[i] && events[i]->signalled) {
      events[i]->signalled = false;
      if (which) *which = i;
      return waitSignalled;
    }
  }
  if (timeoutMs == 0) return waitTimedOut;

  Waiter waiter;
  waiter.events[0] = first;
  waiter.events[1] = second != first ? second : nullptr;
  for (PosixEvent* event : waiter.events)
    if (event) event->waiters.push_back(&waiter);

  if (timeoutMs < 0) {
    waiter.wake.wait(hold, [&] { return waiter.fired >= 0; });
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!waiter.wake.wait_until(hold, deadline, [&] { return waiter.fired >= 0; })) {
      unregister(waiter);
      return waitTimedOut;
    }
  }
  if (which) *which = waiter.fired;
  return waitSignalled;
}

int waitEvent(EventHandle event, int timeoutMs) {
  if (!event) return waitFailed;
  return waitEither(event, nullptr, timeoutMs);
}

// ---- critical sections -----------------------------------------------------

CriticalSection::CriticalSection() {
  auto* mutex = new pthread_mutex_t;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  impl_ = mutex;
}

CriticalSection::~CriticalSection() {
  auto* mutex = static_cast<pthread_mutex_t*>(impl_);
  pthread_mutex_destroy(mutex);
  delete mutex;
}

void CriticalSection::enter() { pthread_mutex_lock(static_cast<pthread_mutex_t*>(impl_)); }
void CriticalSection::leave() { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(impl_)); }

// ---- threads ---------------------------------------------------------------

namespace {

std::atomic<std::uint32_t> nextThreadId{1};
thread_local std::uint32_t thisThreadId = 0;

struct StartData {
  ThreadProc proc;
  void* argument;
  std::uint32_t id;
};

void* trampoline(void* raw) {
  StartData data = *static_cast<StartData*>(raw);
  delete static_cast<StartData*>(raw);
  thisThreadId = data.id;
  data.proc(data.argument);
  return nullptr;
}

}  // namespace

ThreadHandle startThread(ThreadProc proc, void* argument, std::uint32_t* id) {
  auto* data = new (std::nothrow) StartData{proc, argument, nextThreadId.fetch_add(1)};
  auto* thread = new (std::nothrow) pthread_t;
  if (!data || !thread) {
    delete data;
    delete thread;
    return nullptr;
  }
  // The id is published before the thread can run, as _beginthreadex does.
  if (id) *id = data->id;
  if (pthread_create(thread, nullptr, trampoline, data) != 0) {
    delete data;
    delete thread;
    return nullptr;
  }
  return thread;
}

int joinThread(ThreadHandle thread) {
  if (!thread) return waitFailed;
  return pthread_join(*static_cast<pthread_t*>(thread), nullptr) == 0 ? waitSignalled : waitFailed;
}

void closeThread(ThreadHandle thread) { delete static_cast<pthread_t*>(thread); }

std::uint32_t currentThreadId() {
  if (thisThreadId == 0) thisThreadId = nextThreadId.fetch_add(1);
  return thisThreadId;
}

// ---- time ------------------------------------------------------------------

std::uint64_t milliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

void beginTimerPeriod(unsigned) {}  // the monotonic clock already has 1 ms resolution
void endTimerPeriod(unsigned) {}

void sleepMs(unsigned ms) {
  timespec span{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&span, &span) != 0) {
  }
}

void sleepMicroseconds(unsigned us) {
  timespec span{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000L};
  while (nanosleep(&span, &span) != 0) {
  }
}

// ---- picture memory -------------------------------------------------------------

namespace {

constexpr std::size_t largePage = std::size_t{2} << 20;

// Below half a large page the heap does; above, a mapping rounded up to whole
// large pages (at most one page's worth spare) and aligned to them, so that
// every page of it can be a large one.
bool mapped(std::size_t bytes) { return bytes >= largePage / 2; }
std::size_t mappedSize(std::size_t bytes) { return (bytes + largePage - 1) / largePage * largePage; }

}  // namespace

void* allocatePictureMemory(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  if (!mapped(bytes)) return std::calloc(bytes, 1);
  const std::size_t size = mappedSize(bytes);
  if (size < bytes || size > SIZE_MAX - largePage) return nullptr;
  void* raw = mmap(nullptr, size + largePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + largePage - 1) / largePage * largePage;
  if (aligned > start) munmap(raw, aligned - start);
  const std::size_t tail = start + size + largePage - (aligned + size);
  if (tail) munmap(reinterpret_cast<void*>(aligned + size), tail);
#ifdef MADV_HUGEPAGE
  // Advice only: where large pages are off, small ones serve.
  madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(aligned);
}

void freePictureMemory(void* memory, std::size_t bytes) {
  if (!memory) return;
  if (mapped(bytes))
    munmap(memory, mappedSize(bytes));
  else
    std::free(memory);
}

// ---- diagnostics and libraries ------------------------------------------------

void debugOutput(const char* text) {
  std::fprintf(stderr, "%s\n", text ? text : "");
  std::fflush(stderr);
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i] ? argv[i] : "");
  return arguments;
}

std::FILE* openFile(const char* path, const char* mode) { return std::fopen(path, mode); }

void printText(std::FILE* to, const std::string& text) { std::fputs(text.c_str(), to); }

// ---- interrupts -----------------------------------------------------------------
//
// A signal handler cannot set an event (that takes a lock), so the signals are
// blocked in the process and taken by a thread of their own with sigwait.

namespace {

struct InterruptWatch {
  pthread_t thread{};
  EventHandle event = nullptr;
  sigset_t signals{};
  sigset_t previousMask{};
  std::atomic<int> first{0};
  std::atomic<bool> ending{false};
};
InterruptWatch* interruptWatch = nullptr;

void* watchInterrupts(void* argument) {
  auto* watch = static_cast<InterruptWatch*>(argument);
  for (;;) {
    int number = 0;
    if (sigwait(&watch->signals, &number) != 0) continue;
    if (watch->ending) return nullptr;
    int none = 0;
    watch->first.compare_exchange_strong(none, number);
    setEvent(watch->event);
  }
}

}  // namespace

bool beginInterruptWatch(EventHandle event) {
  if (interruptWatch || !event) return false;
  auto* watch = new (std::nothrow) InterruptWatch;
  if (!watch) return false;
  watch->event = event;
  sigemptyset(&watch->signals);
  sigaddset(&watch->signals, SIGINT);
  sigaddset(&watch->signals, SIGTERM);
  // Blocked here first, so the watching thread and every later one inherit it.
  pthread_sigmask(SIG_BLOCK, &watch->signals, &watch->previousMask);
  if (pthread_create(&watch->thread, nullptr, watchInterrupts, watch) != 0) {
    pthread_sigmask(SIG_SETMASK, &watch->previousMask, nullptr);
    delete watch;
    return false;
  }
  interruptWatch = watch;
  return true;
}

int endInterruptWatch() {
  InterruptWatch* watch = interruptWatch;
  if (!watch) return 0;
  interruptWatch = nullptr;
  watch->ending = true;
  // Aimed at the watching thread alone, whose sigwait takes it.
  pthread_kill(watch->thread, SIGTERM);
  pthread_join(watch->thread, nullptr);
  pthread_sigmask(SIG_SETMASK, &watch->previousMask, nullptr);
  const int first = watch->first;
  delete watch;
  return first;
}

LibraryHandle loadLibrary(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

void* findSymbol(LibraryHandle library, const char* name) {
  return library ? dlsym(library, name) : nullptr;
}

void freeLibrary(LibraryHandle library) {
  if (library) dlclose(library);
}

}  // namespace kolm::sys
