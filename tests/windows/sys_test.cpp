// The Win32 platform layer: events, waits on two events, threads, the
// recursive lock, the clock and library loading.
#include <gtest/gtest.h>

#include "kolm/sys/sys.h"

namespace sys = kolm::sys;

TEST(Win32Events, SetResetAndTimeOut) {
  sys::EventHandle event = sys::createEvent();
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
  sys::closeEvent(event);
  EXPECT_EQ(sys::waitEvent(nullptr, 0), sys::waitFailed);
}
