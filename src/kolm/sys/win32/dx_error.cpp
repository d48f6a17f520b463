// HRESULT texts from the DirectX error library (mingw-w64's dxerr9; linking
// dxerr8 as well would clash on DXTraceA).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <dxerr9.h>

#include "kolm/sys/sys.h"

namespace kolm::sys {

const char* dxErrorName(std::int32_t hr) {
  const char* name = DXGetErrorString9A(static_cast<HRESULT>(hr));
  return name && *name ? name : "Unknown";
}

const char* dxErrorDescription(std::int32_t hr) {
  const char* description = DXGetErrorDescription9A(static_cast<HRESULT>(hr));
  return description && *description ? description : "n/a";
}

}  // namespace kolm::sys
