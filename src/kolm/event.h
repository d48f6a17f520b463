#pragma once

#include "kolm/sys/sys.h"

// An auto-reset event with a flag that remembers a set until the next reset.
// The flag, not the event, is the lasting record: a waiter consumes the event.
class CEvent {
 public:
  CEvent();
  ~CEvent();
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  void set();
  void reset();
  bool isSet();
  // Time-out in ms, -1 for none. 0 signalled, 1 timed out, 2 failed.
  int wait(int timeoutMs);

  kolm::sys::EventHandle handle;

 private:
  bool signalled_ = false;
  kolm::sys::CriticalSection lock_;
};
