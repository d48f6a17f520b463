// The Win32 platform layer: events and the wait on two events, threads, the
// recursive lock, the clock and library loading.
#include <gtest/gtest.h>

#include <windows.h>

#include "kolm/sys/sys.h"

namespace sys = kolm::sys;

namespace {

TEST(Win32Events, AutoResetWaitsAndTheFirstOfTwoWins) {
  sys::EventHandle first = sys::createEvent();
  sys::EventHandle second = sys::createEvent();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(sys::waitEvent(first, 20), sys::waitTimedOut);
  sys::setEvent(first);
  EXPECT_EQ(sys::waitEvent(first, sys::infinite), sys::waitSignalled);
  EXPECT_EQ(sys::waitEvent(first, 0), sys::waitTimedOut);  // consumed
  sys::setEvent(first);
  sys::resetEvent(first);
  EXPECT_EQ(sys::waitEvent(first, 0), sys::waitTimedOut);

  // Both signalled: the first wins and the second keeps its signal.
  int which = -1;
  sys::setEvent(first);
  sys::setEvent(second);
  ASSERT_EQ(sys::waitEither(first, second, sys::infinite, &which), sys::waitSignalled);
  EXPECT_EQ(which, 0);
  ASSERT_EQ(sys::waitEither(first, second, 0, &which), sys::waitSignalled);
  EXPECT_EQ(which, 1);
  EXPECT_EQ(sys::waitEither(first, second, 10, &which), sys::waitTimedOut);
  // The same event twice is a wait on one event, which the system would refuse.
  sys::setEvent(first);
  EXPECT_EQ(sys::waitEither(first, first, 0, &which), sys::waitSignalled);
  EXPECT_EQ(sys::waitEither(nullptr, second, 0, &which), sys::waitFailed);
  sys::closeEvent(first);
  sys::closeEvent(second);
}

struct ThreadRecord {
  std::uint32_t storedId = 0;
  std::uint32_t idSeenAtStart = 0;
  std::uint32_t ownId = 0;
};

unsigned recordIds(void* raw) {
  auto* record = static_cast<ThreadRecord*>(raw);
  record->idSeenAtStart = record->storedId;
  record->ownId = sys::currentThreadId();
  return 0;
}

TEST(Win32Threads, TheIdIsStoredBeforeTheThreadRuns) {
  for (int round = 0; round < 20; ++round) {
    ThreadRecord record;
    sys::ThreadHandle thread = sys::startThread(recordIds, &record, &record.storedId);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(sys::joinThread(thread), sys::waitSignalled);
    sys::closeThread(thread);
    EXPECT_EQ(record.idSeenAtStart, record.storedId);
    EXPECT_EQ(record.ownId, record.storedId);
    EXPECT_NE(record.ownId, sys::currentThreadId());
  }
}

struct LockRecord {
  sys::CriticalSection section;
  sys::EventHandle entered = sys::createEvent();
  ~LockRecord() { sys::closeEvent(entered); }
};

unsigned enterAndLeave(void* raw) {
  auto* record = static_cast<LockRecord*>(raw);
  sys::Guard hold(record->section);
  sys::setEvent(record->entered);
  return 0;
}

TEST(Win32CriticalSection, IsRecursiveAndKeepsOthersOutUntilFullyLeft) {
  LockRecord record;
  record.section.enter();
  record.section.enter();
  sys::ThreadHandle thread = sys::startThread(enterAndLeave, &record, nullptr);
  ASSERT_NE(thread, nullptr);
  record.section.leave();
  EXPECT_EQ(sys::waitEvent(record.entered, 50), sys::waitTimedOut);  // still held once
  record.section.leave();
  EXPECT_EQ(sys::waitEvent(record.entered, sys::infinite), sys::waitSignalled);
  EXPECT_EQ(sys::joinThread(thread), sys::waitSignalled);
  sys::closeThread(thread);
}

TEST(Win32Clock, MillisecondsAdvanceWithTheSystemClock) {
  sys::beginTimerPeriod(1);
  const std::uint64_t start = sys::milliseconds();
  const ULONGLONG tickStart = GetTickCount64();
  sys::sleepMs(30);
  const long long elapsed = static_cast<long long>(sys::milliseconds() - start);
  const long long ticks = static_cast<long long>(GetTickCount64() - tickStart);
  sys::endTimerPeriod(1);
  EXPECT_GE(elapsed, 25);
  EXPECT_LT(elapsed > ticks ? elapsed - ticks : ticks - elapsed, 50);  // same scale
}

TEST(Win32Libraries, LoadsWhatExistsAndRefusesWhatDoesNot) {
  sys::LibraryHandle kernel = sys::loadLibrary("kernel32.dll");
  ASSERT_NE(kernel, nullptr);
  EXPECT_NE(sys::findSymbol(kernel, "GetTickCount64"), nullptr);
  EXPECT_EQ(sys::findSymbol(kernel, "NoSuchFunctionInKernel32"), nullptr);
  sys::freeLibrary(kernel);
  EXPECT_EQ(sys::loadLibrary("zarvel-no-such-library.dll"), nullptr);
  EXPECT_EQ(sys::findSymbol(nullptr, "GetTickCount64"), nullptr);
}

}  // namespace
