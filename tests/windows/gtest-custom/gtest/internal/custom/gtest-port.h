// GoogleTest's hook for platform customisation, found before its own (empty)
// copy. mingw-w64's default GCC uses the win32 thread model, whose standard
// library has no std::mutex or std::condition_variable; GoogleTest needs them
// only for Notification, so this supplies one over a Win32 event and leaves
// the rest of GoogleTest's Win32 threading as it is.
#ifndef ZARVEL_GTEST_CUSTOM_PORT_H_
#define ZARVEL_GTEST_CUSTOM_PORT_H_

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

// Lets a controller thread hold new threads back until it notifies them.
class Notification {
 public:
  Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace internal
}  // namespace testing
#endif  // _WIN32

#endif  // ZARVEL_GTEST_CUSTOM_PORT_H_
