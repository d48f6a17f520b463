#include "kolm/thread.h"

namespace kolm {

CThread::CThread() = default;

CThread::~CThread() { stop(); }

unsigned CThread::threadProc(void* self) {
  auto* thread = static_cast<CThread*>(self);
  thread->startedEvent_.set();
  thread->run();
  return 0;
}

void CThread::run() { startedEvent_.set(); }

int CThread::start() {
  sys::Guard guard(lock_);
  stop();
  stopEvent_.reset();
  startedEvent_.reset();
  thread_ = sys::startThread(&CThread::threadProc, this, &threadId_);
  if (!thread_) {
    threadId_ = 0xFFFFFFFFu;
    return -1;
  }
  // lock_ stays held: the new thread raises the started signal without it.
  return startedEvent_.wait(sys::infinite) == sys::waitSignalled ? 0 : 2;
}

int CThread::stop() {
  sys::ThreadHandle thread;
  {
    sys::Guard guard(lock_);
    requestStop();
    if (!thread_) return 0;
    // Joining itself would never return; a later stop from elsewhere still joins.
    if (threadId_ == sys::currentThreadId()) return 2;
    thread = thread_;
    thread_ = nullptr;
    threadId_ = 0xFFFFFFFFu;
  }
  // The join runs without lock_, so the body can still poll keepRunning().
  const int joined = sys::joinThread(thread);
  sys::Guard guard(lock_);
  if (joined != sys::waitSignalled) return 1;
  sys::closeThread(thread);
  return 0;
}

void CThread::requestStop() {
  sys::Guard guard(lock_);
  stopEvent_.set();
}

bool CThread::keepRunning() { return !stopEvent_.isSet(); }

// The stop event is auto-reset, so one wait consumes it; checking the flag
// first keeps a second wait after a stop request from sleeping forever.
bool CThread::waitForStop(int timeoutMs) {
  if (!keepRunning()) return true;
  return stopEvent_.wait(timeoutMs < 0 ? sys::infinite : timeoutMs) != sys::waitTimedOut;
}

int CThread::waitForObjectOrStop(const sys::EventHandle* object, int timeoutMs) {
  if (!object) return sys::waitFailed;
  if (!keepRunning()) return sys::waitSignalled;
  return sys::waitEither(stopEvent_.handle, *object, timeoutMs < 0 ? sys::infinite : timeoutMs);
}

}  // namespace kolm
