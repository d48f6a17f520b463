#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "kolm/thread.h"

using kolm::CThread;
namespace sys = kolm::sys;

namespace {

constexpr int kNoHang = 10000;

// A worker whose body is given by the test, with an event raised as the body
// begins so the test can synchronise without sleeping.
class Worker : public CThread {
 public:
  explicit Worker(std::function<void(Worker&)> body) : body_(std::move(body)) {}
  ~Worker() override { stop(); }

  void run() override {
    CThread::run();
    runs.fetch_add(1);
    entered.set();
    body_(*this);
    left.set();
  }

  std::atomic<int> runs{0};
  CEvent entered, left, go;

 private:
  std::function<void(Worker&)> body_;
};

// The usual body: work until a stop is requested.
void untilStopped(Worker& w) {
  while (w.keepRunning()) w.waitForStop(-1);
}

TEST(Thread, StopWithoutStartReturnsAtOnce) {
  Worker worker(untilStopped);
  EXPECT_EQ(worker.stop(), 0);
  EXPECT_FALSE(worker.keepRunning());
}

TEST(Thread, StartRunsTheBodyAndStopJoinsIt) {
  Worker worker(untilStopped);
  ASSERT_EQ(worker.start(), 0);
  EXPECT_EQ(worker.entered.wait(kNoHang), sys::waitSignalled);
  EXPECT_TRUE(worker.keepRunning());
  EXPECT_EQ(worker.stop(), 0);
  EXPECT_TRUE(worker.left.isSet());
  EXPECT_EQ(worker.stop(), 0);  // nothing owned any more
}

TEST(Thread, KeepRunningTurnsFalseAsSoonAsStopIsRequested) {
  Worker worker([](Worker& w) { w.go.wait(kNoHang); });
  ASSERT_EQ(worker.start(), 0);
  worker.requestStop();
  EXPECT_FALSE(worker.keepRunning());
  worker.go.set();
  EXPECT_EQ(worker.stop(), 0);
}

TEST(Thread, RestartAfterStopClearsTheStopRequest) {
  std::atomic<bool> keptRunningAtStart{false};
  Worker worker([&](Worker& w) {
    keptRunningAtStart = w.keepRunning();
    w.go.set();
    untilStopped(w);
  });
  ASSERT_EQ(worker.start(), 0);
  ASSERT_EQ(worker.go.wait(kNoHang), sys::waitSignalled);
  ASSERT_EQ(worker.stop(), 0);
  keptRunningAtStart = false;
  ASSERT_EQ(worker.start(), 0);
  ASSERT_EQ(worker.go.wait(kNoHang), sys::waitSignalled);
  EXPECT_TRUE(keptRunningAtStart);
  EXPECT_TRUE(worker.keepRunning());
  EXPECT_EQ(worker.stop(), 0);
  EXPECT_EQ(worker.runs.load(), 2);
}

TEST(Thread, StartOnARunningThreadStopsItFirst) {
  Worker worker(untilStopped);
  ASSERT_EQ(worker.start(), 0);
  ASSERT_EQ(worker.entered.wait(kNoHang), sys::waitSignalled);
  worker.left.reset();
  ASSERT_EQ(worker.start(), 0);
  // The first body had to leave before the second one was started.
  EXPECT_TRUE(worker.left.isSet());
  EXPECT_TRUE(worker.keepRunning());
  EXPECT_EQ(worker.stop(), 0);
  EXPECT_EQ(worker.runs.load(), 2);
}

TEST(Thread, StopFromInsideRunReturnsTwoAndTheBodyGoesOn) {
  std::atomic<int> selfStop{-1};
  std::atomic<bool> sawStopRequest{false};
  CEvent afterSelfStop;
  Worker worker([&](Worker& w) {
    selfStop = w.stop();
    sawStopRequest = !w.keepRunning();
    afterSelfStop.set();
    w.go.wait(kNoHang);  // the body goes on after its own stop
  });
  ASSERT_EQ(worker.start(), 0);
  ASSERT_EQ(afterSelfStop.wait(kNoHang), sys::waitSignalled);
  EXPECT_FALSE(worker.left.isSet());
  worker.go.set();
  // The handle stayed owned, so this stop from outside still joins the thread.
  EXPECT_EQ(worker.stop(), 0);
  EXPECT_EQ(selfStop.load(), 2);
  EXPECT_TRUE(sawStopRequest);
  EXPECT_TRUE(worker.left.isSet());
}

TEST(Thread, WaitForStopTimesOutOrEndsOnRequest) {
  std::atomic<int> timedOut{-1}, stopped{-1};
  Worker worker([&](Worker& w) {
    timedOut = w.waitForStop(10) ? 1 : 0;
    w.go.set();
    stopped = w.waitForStop(-1) ? 1 : 0;
  });
  ASSERT_EQ(worker.start(), 0);
  ASSERT_EQ(worker.go.wait(kNoHang), sys::waitSignalled);
  EXPECT_EQ(worker.stop(), 0);
  EXPECT_EQ(timedOut.load(), 0);
  EXPECT_EQ(stopped.load(), 1);
}

TEST(Thread, WaitForStopAfterAConsumedStopDoesNotSleep) {
  // Once a wait has consumed the stop signal, later waits must still see it.
  std::atomic<int> second{-1};
  Worker worker([&](Worker& w) {
    w.waitForStop(-1);
    second = w.waitForStop(-1) ? 1 : 0;
    CEvent never;
    w.waitForObjectOrStop(&never.handle, -1);
  });
  ASSERT_EQ(worker.start(), 0);
  EXPECT_EQ(worker.stop(), 0);
  EXPECT_EQ(second.load(), 1);
}

TEST(Thread, WaitForObjectOrStopWakesOnEither) {
  CEvent object;
  std::atomic<int> onObject{-1}, onStop{-1};
  std::atomic<bool> runningAfterObject{false};
  Worker worker([&](Worker& w) {
    onObject = w.waitForObjectOrStop(&object.handle, kNoHang);
    runningAfterObject = w.keepRunning();
    w.go.set();
    onStop = w.waitForObjectOrStop(&object.handle, -1);
  });
  ASSERT_EQ(worker.start(), 0);
  object.set();
  ASSERT_EQ(worker.go.wait(kNoHang), sys::waitSignalled);
  EXPECT_EQ(worker.stop(), 0);
  EXPECT_EQ(onObject.load(), sys::waitSignalled);
  EXPECT_TRUE(runningAfterObject);
  EXPECT_EQ(onStop.load(), sys::waitSignalled);
  EXPECT_FALSE(worker.keepRunning());
}

TEST(Thread, WaitForObjectOrStopTimesOut) {
  CEvent object;
  std::atomic<int> result{-1};
  Worker worker([&](Worker& w) { result = w.waitForObjectOrStop(&object.handle, 5); });
  ASSERT_EQ(worker.start(), 0);
  ASSERT_EQ(worker.left.wait(kNoHang), sys::waitSignalled);
  EXPECT_EQ(worker.stop(), 0);
  EXPECT_EQ(result.load(), sys::waitTimedOut);
}

TEST(Thread, StartStopCyclesWithStopRequestsFromAnotherThread) {
  Worker worker(untilStopped);
  std::atomic<bool> done{false};
  std::thread requester([&] {
    while (!done) worker.requestStop();
  });
  int failures = 0;
  for (int i = 0; i < 300; ++i) {
    if (worker.start() != 0) ++failures;
    if (worker.stop() != 0) ++failures;
  }
  done = true;
  requester.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(worker.runs.load(), 300);
}

}  // namespace
