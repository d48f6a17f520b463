#include "kolm/event.h"

CEvent::CEvent() : handle(kolm::sys::createEvent()) {}

CEvent::~CEvent() {
  if (handle) kolm::sys::closeEvent(handle);
}

void CEvent::set() {
  kolm::sys::Guard guard(lock_);
  signalled_ = true;
  kolm::sys::setEvent(handle);
}

void CEvent::reset() {
  kolm::sys::Guard guard(lock_);
  kolm::sys::resetEvent(handle);
  signalled_ = false;
}

bool CEvent::isSet() {
  kolm::sys::Guard guard(lock_);
  return signalled_;
}

int CEvent::wait(int timeoutMs) {
  return kolm::sys::waitEvent(handle, timeoutMs < 0 ? kolm::sys::infinite : timeoutMs);
}
