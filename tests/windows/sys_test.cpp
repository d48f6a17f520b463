// The Win32 platform layer: events and the wait on two events, threads, the
// recursive lock, the clock and library loading.
#include <gtest/gtest.h>

#include <windows.h>

#include "kolm/sys/sys.h"

namespace sys = kolm::sys;

namespace {

struct Events {
  Events() : first(sys::createEvent()), second(sys::createEvent()) {}
  ~Events() {
    sys::closeEvent(first);
    sys::closeEvent(second);
  }
  sys::EventHandle first;
  sys::EventHandle second;
};

TEST(Win32Events, SetResetAndTimeOut) {
  Events events;
  sys::EventHandle event = events.first;
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(sys::waitEvent(event, 0), sys::waitTimedOut);
  EXPECT_EQ(sys::waitEvent(event, 20), sys::waitTimedOut);
  ASSERT_TRUE(sys::setEvent(event));
  EXPECT_EQ(sys::waitEvent(event, sys::infinite), sys::waitSignalled);
  // Auto-reset: that wait consumed the signal.
  EXPECT_EQ(sys::waitEvent(event, 0), sys::waitTimedOut);
  sys::setEvent(event);
  sys::resetEvent(event);
  EXPECT_EQ(sys::waitEvent(event, 0), sys::waitTimedOut);
  EXPECT_EQ(sys::waitEvent(nullptr, 0), sys::waitFailed);
  EXPECT_FALSE(sys::setEvent(nullptr));
}

TEST(Win32Events, WaitEitherFirstWinsAndConsumesOnlyItsSignal) {
  Events events;
  int which = -1;
  sys::setEvent(events.first);
  sys::setEvent(events.second);
  ASSERT_EQ(sys::waitEither(events.first, events.second, sys::infinite, &which), sys::waitSignalled);
  EXPECT_EQ(which, 0);
  // The second event keeps its signal for the next wait.
  ASSERT_EQ(sys::waitEither(events.first, events.second, 0, &which), sys::waitSignalled);
  EXPECT_EQ(which, 1);
  EXPECT_EQ(sys::waitEither(events.first, events.second, 10, &which), sys::waitTimedOut);

  // The same event twice, or no second event, is a wait on one event.
  sys::setEvent(events.first);
  EXPECT_EQ(sys::waitEither(events.first, events.first, 0, &which), sys::waitSignalled);
  EXPECT_EQ(which, 0);
  sys::setEvent(events.first);
  EXPECT_EQ(sys::waitEither(events.first, nullptr, 0, &which), sys::waitSignalled);
  EXPECT_EQ(sys::waitEither(nullptr, events.second, 0, &which), sys::waitFailed);
}

struct ThreadRecord {
  std::uint32_t storedId = 0;      // written by startThread
  std::uint32_t idSeenAtStart = 0;  // what the thread found there first
  std::uint32_t ownId = 0;
  sys::EventHandle go = nullptr;
};

unsigned recordIds(void* raw) {
  auto* record = static_cast<ThreadRecord*>(raw);
  record->idSeenAtStart = record->storedId;
  record->ownId = sys::currentThreadId();
  if (record->go) sys::waitEvent(record->go, sys::infinite);
  return 0;
}

TEST(Win32Threads, TheIdIsStoredBeforeTheThreadRuns) {
  for (int round = 0; round < 20; ++round) {
    ThreadRecord record;
    sys::ThreadHandle thread = sys::startThread(recordIds, &record, &record.storedId);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(sys::joinThread(thread), sys::waitSignalled);
    sys::closeThread(thread);
    EXPECT_NE(record.storedId, 0u);
    EXPECT_EQ(record.idSeenAtStart, record.storedId);
    EXPECT_EQ(record.ownId, record.storedId);
    EXPECT_NE(record.ownId, sys::currentThreadId());
  }
  EXPECT_EQ(sys::startThread(nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(sys::joinThread(nullptr), sys::waitFailed);
}

TEST(Win32Threads, JoinWaitsForTheThread) {
  Events events;
  ThreadRecord record;
  record.go = events.first;
  sys::ThreadHandle thread = sys::startThread(recordIds, &record, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  sys::setEvent(events.first);
  EXPECT_EQ(sys::joinThread(thread), sys::waitSignalled);
  sys::closeThread(thread);
}

struct LockRecord {
  sys::CriticalSection* section;
  sys::EventHandle entered;
};

unsigned enterAndLeave(void* raw) {
  auto* record = static_cast<LockRecord*>(raw);
  sys::Guard hold(*record->section);
  sys::setEvent(record->entered);
  return 0;
}

TEST(Win32CriticalSection, IsRecursiveAndKeepsOthersOutUntilFullyLeft) {
  sys::CriticalSection section;
  Events events;
  LockRecord record{&section, events.first};
  section.enter();
  section.enter();  // the owner enters again without blocking
  sys::ThreadHandle thread = sys::startThread(enterAndLeave, &record, nullptr);
  ASSERT_NE(thread, nullptr);
  section.leave();
  EXPECT_EQ(sys::waitEvent(events.first, 50), sys::waitTimedOut);  // still held once
  section.leave();
  EXPECT_EQ(sys::waitEvent(events.first, sys::infinite), sys::waitSignalled);
  EXPECT_EQ(sys::joinThread(thread), sys::waitSignalled);
  sys::closeThread(thread);
}

TEST(Win32Clock, MillisecondsAdvanceWithTheSystemClock) {
  sys::beginTimerPeriod(1);
  const std::uint64_t start = sys::milliseconds();
  const ULONGLONG tickStart = GetTickCount64();
  sys::sleepMs(30);
  const std::uint64_t end = sys::milliseconds();
  const ULONGLONG tickEnd = GetTickCount64();
  sys::endTimerPeriod(1);
  EXPECT_GE(end, start + 25);
  // Same scale as the system's own tick count (which moves in coarser steps).
  const long long difference = static_cast<long long>(end - start) - static_cast<long long>(tickEnd - tickStart);
  EXPECT_LT(difference < 0 ? -difference : difference, 50);
}

TEST(Win32Libraries, LoadsWhatExistsAndRefusesWhatDoesNot) {
  sys::LibraryHandle kernel = sys::loadLibrary("kernel32.dll");
  ASSERT_NE(kernel, nullptr);
  EXPECT_NE(sys::findSymbol(kernel, "GetTickCount64"), nullptr);
  EXPECT_EQ(sys::findSymbol(kernel, "NoSuchFunctionInKernel32"), nullptr);
  sys::freeLibrary(kernel);

  EXPECT_EQ(sys::loadLibrary("zarvel-no-such-library.dll"), nullptr);
  EXPECT_EQ(sys::loadLibrary(nullptr), nullptr);
  EXPECT_EQ(sys::findSymbol(nullptr, "GetTickCount64"), nullptr);
  sys::freeLibrary(nullptr);
}

}  // namespace
