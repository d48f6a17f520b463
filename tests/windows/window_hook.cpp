// Loaded into zarvel.exe by the main window test, as a hook on its window's
// thread (see window_hook.h).
//
// A drop is made the way the shell makes one, in the receiving process: a
// DROPFILES block in moveable global memory, posted as WM_DROPFILES. A drop
// handle is memory of the process that reads it; one posted from another
// process would name nothing there. Menus, too, can only be read from the
// window's own process on some systems.
#include <windows.h>
#include <shlobj.h>

#include <cstring>

#include "window_hook.h"

namespace {

void postDrop(HWND window, const char* names, SIZE_T size, bool wide) {
  // Only a list that ends as a list should: two NULs (of its characters' size) at its end.
  const SIZE_T end = wide ? 4 : 2;
  if (size < end || size > hookBlockBytes) return;
  for (SIZE_T i = size - end; i < size; ++i)
    if (names[i] != '\0') return;
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + size);
  auto* files = static_cast<DROPFILES*>(memory ? GlobalLock(memory) : nullptr);
  if (!files) {
    if (memory) GlobalFree(memory);
    return;
  }
  files->pFiles = sizeof(DROPFILES);
  files->pt.x = 20;
  files->pt.y = 20;
  files->fNC = FALSE;
  files->fWide = wide;
  std::memcpy(files + 1, names, size);
  GlobalUnlock(memory);
  if (!PostMessageA(window, WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0)) GlobalFree(memory);
}

// The window thread's DPI awareness, through the calls of Windows 10 1607 on.
int dpiAwareness() {
  using Context = void*;
  using ThreadContext = Context(WINAPI*)();
  using AwarenessOf = int(WINAPI*)(Context);
  HMODULE user = GetModuleHandleA("user32.dll");
  const auto threadContext = reinterpret_cast<ThreadContext>(
      reinterpret_cast<void*>(GetProcAddress(user, "GetThreadDpiAwarenessContext")));
  const auto awarenessOf = reinterpret_cast<AwarenessOf>(
      reinterpret_cast<void*>(GetProcAddress(user, "GetAwarenessFromDpiAwarenessContext")));
  return threadContext && awarenessOf ? awarenessOf(threadContext()) : -1;
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK zarvelWindowHook(int code, WPARAM wParam, LPARAM lParam) {
  static const UINT drop = RegisterWindowMessageA(dropRequest);
  static const UINT wideDrop = RegisterWindowMessageA(wideDropRequest);
  static const UINT label = RegisterWindowMessageA(labelRequest);
  static const UINT facts = RegisterWindowMessageA(factsRequest);
  const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && sent &&
      (sent->message == drop || sent->message == wideDrop || sent->message == label || sent->message == facts)) {
    HANDLE block = OpenFileMappingA(FILE_MAP_WRITE, FALSE, hookBlockName(GetCurrentProcessId()).c_str());
    auto* bytes = static_cast<char*>(block ? MapViewOfFile(block, FILE_MAP_WRITE, 0, 0, hookBlockBytes) : nullptr);
    if (bytes && (sent->message == drop || sent->message == wideDrop)) {
      postDrop(sent->hwnd, bytes, sent->wParam, sent->message == wideDrop);
    } else if (bytes && sent->message == facts) {
      HookFacts* out = reinterpret_cast<HookFacts*>(bytes);
      out->codePage = GetACP();
      out->dpiAwareness = dpiAwareness();
    } else if (bytes) {
      auto* text = reinterpret_cast<wchar_t*>(bytes);
      text[0] = L'\0';
      GetMenuStringW(GetMenu(sent->hwnd), static_cast<UINT>(sent->wParam), text,
                     hookBlockBytes / sizeof(wchar_t), MF_BYCOMMAND);
    }
    if (bytes) UnmapViewOfFile(bytes);
    if (block) CloseHandle(block);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}
