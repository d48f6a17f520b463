#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "kolm/event.h"
#include "kolm/sys/sys.h"

using namespace kolm::sys;

namespace {

// Long enough never to fire on a healthy run; short enough that a lost
// wake-up fails the test instead of hanging it.
constexpr int kNoHang = 10000;

TEST(Event, AutoResetSignalIsConsumedByOneWait) {
  CEvent event;
  EXPECT_EQ(event.wait(0), waitTimedOut);
  event.set();
  EXPECT_TRUE(event.isSet());
  EXPECT_EQ(event.wait(0), waitSignalled);
  EXPECT_EQ(event.wait(0), waitTimedOut);
  // The flag lasts until reset even though the wait consumed the event.
  EXPECT_TRUE(event.isSet());
  event.reset();
  EXPECT_FALSE(event.isSet());
}

TEST(Event, ResetDiscardsAPendingSignal) {
  CEvent event;
  event.set();
  event.reset();
  EXPECT_EQ(event.wait(0), waitTimedOut);
}

TEST(Event, WaitTimesOut) {
  CEvent event;
  EXPECT_EQ(event.wait(20), waitTimedOut);
}

TEST(Event, NullHandleFails) {
  EXPECT_EQ(waitEvent(nullptr, 0), waitFailed);
  EXPECT_FALSE(setEvent(nullptr));
}

TEST(Event, WaitEitherTakesOnlyTheFirstSignalled) {
  CEvent first, second;
  first.set();
  second.set();
  int which = -1;
  EXPECT_EQ(waitEither(first.handle, second.handle, 0, &which), waitSignalled);
  EXPECT_EQ(which, 0);
  // The second event's signal was not consumed.
  EXPECT_EQ(waitEither(first.handle, second.handle, 0, &which), waitSignalled);
  EXPECT_EQ(which, 1);
  EXPECT_EQ(waitEither(first.handle, second.handle, 0, &which), waitTimedOut);
}

TEST(Event, WaitEitherWakesOnTheSecondEventFromAnotherThread) {
  CEvent first, second;
  int which = -1;
  std::thread setter([&] { second.set(); });
  EXPECT_EQ(waitEither(first.handle, second.handle, kNoHang, &which), waitSignalled);
  EXPECT_EQ(which, 1);
  setter.join();
  EXPECT_EQ(first.wait(0), waitTimedOut);
}

TEST(Event, TimedOutWaiterNoLongerTakesSignals) {
  CEvent first, second;
  EXPECT_EQ(waitEither(first.handle, second.handle, 5), waitTimedOut);
  // A set after the waiter left must be kept, not handed to the departed waiter.
  second.set();
  EXPECT_EQ(second.wait(0), waitSignalled);
}

// Each set wakes exactly one of many waiters sitting on two events at once,
// and no set is lost: the setter waits for an acknowledgement every round.
TEST(EventStress, EverySetWakesExactlyOneWaiter) {
  constexpr int kWaiters = 6, kRounds = 3000;
  CEvent shared, ack;
  std::vector<std::unique_ptr<CEvent>> stops;
  for (int i = 0; i < kWaiters; ++i) stops.push_back(std::make_unique<CEvent>());
  std::atomic<int> woken{0};
  std::atomic<bool> failed{false};

  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&, i] {
      for (;;) {
        int which = -1;
        if (waitEither(stops[i]->handle, shared.handle, kNoHang, &which) != waitSignalled) {
          failed = true;
          return;
        }
        if (which == 0) return;
        woken.fetch_add(1);
        ack.set();
      }
    });
  }
  for (int round = 1; round <= kRounds && !failed; ++round) {
    shared.set();
    ASSERT_EQ(ack.wait(kNoHang), waitSignalled) << "lost wake-up in round " << round;
    ASSERT_EQ(woken.load(), round) << "one set woke more than one waiter";
  }
  for (auto& stop : stops) stop->set();
  for (auto& waiter : waiters) waiter.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(woken.load(), kRounds);
}

// Threads hammer a small set of events with set, reset and two-event waits of
// random short time-outs. Nothing may crash, race (thread sanitizer) or hang.
TEST(EventStress, RandomSetResetAndWaitsTerminate) {
  constexpr int kThreads = 8, kEvents = 4, kOps = 4000;
  std::vector<std::unique_ptr<CEvent>> events;
  for (int i = 0; i < kEvents; ++i) events.push_back(std::make_unique<CEvent>());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(1234u + t);
      for (int op = 0; op < kOps; ++op) {
        CEvent& a = *events[random() % kEvents];
        CEvent& b = *events[random() % kEvents];
        switch (random() % 4) {
          case 0: a.set(); break;
          case 1: a.reset(); break;
          case 2:
            if (a.wait(static_cast<int>(random() % 2)) == waitFailed) failures.fetch_add(1);
            break;
          default:
            if (waitEither(a.handle, b.handle, static_cast<int>(random() % 2)) == waitFailed)
              failures.fetch_add(1);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

// Two threads bounce a token through two events many times, each waiting on
// its own stop event as well; a single lost signal would stall the rally.
TEST(EventStress, PingPongThroughTwoEventWaits) {
  constexpr int kRounds = 20000;
  CEvent ping, pong, stopA, stopB;
  std::atomic<bool> failed{false};
  auto player = [&](CEvent& stop, CEvent& mine, CEvent& theirs, bool serves) {
    if (serves) theirs.set();
    for (int i = 0; i < kRounds; ++i) {
      int which = -1;
      if (waitEither(stop.handle, mine.handle, kNoHang, &which) != waitSignalled || which != 1) {
        failed = true;
        return;
      }
      theirs.set();
    }
  };
  std::thread a(player, std::ref(stopA), std::ref(ping), std::ref(pong), true);
  std::thread b(player, std::ref(stopB), std::ref(pong), std::ref(ping), false);
  a.join();
  b.join();
  EXPECT_FALSE(failed);
}

}  // namespace
