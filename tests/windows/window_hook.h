// What the main window test and its hook in zarvel.exe (window_hook.cpp)
// agree on. Both requests are messages sent to the window while the hook is
// on its thread, with a shared memory block named for the process:
// - dropRequest, wParam = the size of the list in the block: the names, each
//   ended by a NUL and the list by one more, are dropped on the window;
//   wideDropRequest the same with UTF-16 names, as the shell drops them;
// - labelRequest, wParam = a menu command: its label, as UTF-16 ended by a
//   NUL, is written into the block;
// - factsRequest: the process's HookFacts are written into the block.
#pragma once

#include <string>

constexpr char dropRequest[] = "zarvel-test-drop";
constexpr char wideDropRequest[] = "zarvel-test-wide-drop";
constexpr char labelRequest[] = "zarvel-test-label";
constexpr char factsRequest[] = "zarvel-test-facts";
constexpr unsigned long hookBlockBytes = 1 << 16;

// What only the program's own process can tell.
struct HookFacts {
  unsigned codePage;  // GetACP()
  int dpiAwareness;   // the window thread's: 0 unaware, 1 system, 2 per monitor; -1 when the system cannot tell
};

inline std::string hookBlockName(unsigned long processId) {
  return "zarvel-test-hook-" + std::to_string(processId);
}
