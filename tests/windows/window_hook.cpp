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

void postDrop(HWND window, const char* names, SIZE_T size) {
  // Only a list that ends as a list should: two NULs at its end.
  if (size < 2 || size > hookBlockBytes || names[size - 1] != '\0' || names[size - 2] != '\0') return;
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
  files->fWide = FALSE;
  std::memcpy(files + 1, names, size);
  GlobalUnlock(memory);
  if (!PostMessageA(window, WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0)) GlobalFree(memory);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK zarvelWindowHook(int code, WPARAM wParam, LPARAM lParam) {
  static const UINT drop = RegisterWindowMessageA(dropRequest);
  static const UINT label = RegisterWindowMessageA(labelRequest);
  const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && sent && (sent->message == drop || sent->message == label)) {
    HANDLE block = OpenFileMappingA(FILE_MAP_WRITE, FALSE, hookBlockName(GetCurrentProcessId()).c_str());
    auto* bytes = static_cast<char*>(block ? MapViewOfFile(block, FILE_MAP_WRITE, 0, 0, hookBlockBytes) : nullptr);
    if (bytes && sent->message == drop) {
      postDrop(sent->hwnd, bytes, sent->wParam);
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
