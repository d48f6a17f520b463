#pragma once

#include <cstdint>

#include "kolm/event.h"

namespace kolm {

// Base of every worker thread: owns one OS thread at a time, a stop request
// that the body polls or waits on, and a started signal for start().
// start() and stop() belong to one controlling thread (the player's); any
// thread may requestStop(). A start() racing another thread's stop() could
// clear the stop request before the old body has seen it.
class CThread {
 public:
  CThread();
  virtual ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // 0 running, -1 the thread could not be created, 2 waiting for it failed.
  int start();
  // Asks the thread to finish and joins it: 0 ended (or none owned),
  // 1 the join failed, 2 called from the worker itself (it is not joined).
  int stop();
  void requestStop();
  bool keepRunning();
  // Interruptible sleep: false when the time ran out, true on a stop request.
  bool waitForStop(int timeoutMs);
  // Waits for the stop request or *object; 0 either signalled, 1 timed out,
  // 2 failed. keepRunning() tells the two apart.
  int waitForObjectOrStop(const sys::EventHandle* object, int timeoutMs);

  // The body. Overrides call CThread::run() first.
  virtual void run();

 private:
  static unsigned threadProc(void* self);

  sys::ThreadHandle thread_ = nullptr;
  std::uint32_t threadId_ = 0xFFFFFFFFu;
  sys::CriticalSection lock_;
  CEvent stopEvent_;
  CEvent startedEvent_;
};

}  // namespace kolm
