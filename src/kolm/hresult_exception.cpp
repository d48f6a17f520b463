#include "kolm/hresult_exception.h"

#include <cstring>

#include "kolm/sys/sys.h"

namespace kolm {

namespace {

struct Entry {
  std::uint32_t code;
  const char* name;
  const char* description;
};

constexpr std::uint32_t d3d(std::uint32_t code) { return 0x88760000u | code; }
constexpr std::uint32_t dsound(std::uint32_t code) { return 0x88780000u | code; }

// Codes shared by several interfaces (E_FAIL is also DSERR_GENERIC, E_NOTIMPL
// DSERR_UNSUPPORTED, ...) are listed once under their COM name.
constexpr Entry table[] = {
    {0x00000000u, "S_OK", "The function completed successfully"},
    {0x00000001u, "S_FALSE", "Call successful, but returned FALSE"},
    {0x80004001u, "E_NOTIMPL", "The function called is not supported at this time"},
    {0x80004002u, "E_NOINTERFACE", "The requested COM interface is not available"},
    {0x80004003u, "E_POINTER", "Invalid pointer"},
    {0x80004004u, "E_ABORT", "Operation aborted"},
    {0x80004005u, "E_FAIL", "An undetermined error occurred"},
    {0x8000FFFFu, "E_UNEXPECTED", "Catastrophic failure"},
    {0x80070005u, "E_ACCESSDENIED", "Access is denied"},
    {0x80070006u, "E_HANDLE", "Invalid handle"},
    {0x8007000Eu, "E_OUTOFMEMORY", "Ran out of memory"},
    {0x80070057u, "E_INVALIDARG", "An invalid parameter was passed to the returning function"},
    {0x800401F0u, "CO_E_NOTINITIALIZED", "CoInitialize has not been called."},
    {0x80040110u, "CLASS_E_NOAGGREGATION", "Class does not support aggregation (or class object is remote)"},
    {0x80040154u, "REGDB_E_CLASSNOTREG", "Class not registered"},

    {d3d(2072), "D3DERR_WRONGTEXTUREFORMAT", "The pixel format of the texture surface is not valid."},
    {d3d(2073), "D3DERR_UNSUPPORTEDCOLOROPERATION", "The device does not support a specified texture-blending operation for color values."},
    {d3d(2074), "D3DERR_UNSUPPORTEDCOLORARG", "The device does not support a specified texture-blending argument for color values."},
    {d3d(2075), "D3DERR_UNSUPPORTEDALPHAOPERATION", "The device does not support a specified texture-blending operation for the alpha channel."},
    {d3d(2076), "D3DERR_UNSUPPORTEDALPHAARG", "The device does not support a specified texture-blending argument for the alpha channel."},
    {d3d(2077), "D3DERR_TOOMANYOPERATIONS", "The application is requesting more texture-filtering operations than the device supports."},
    {d3d(2078), "D3DERR_CONFLICTINGTEXTUREFILTER", "The current texture filters cannot be used together."},
    {d3d(2079), "D3DERR_UNSUPPORTEDFACTORVALUE", "The device does not support the specified texture factor value."},
    {d3d(2081), "D3DERR_CONFLICTINGRENDERSTATE", "The currently set render states cannot be used together."},
    {d3d(2082), "D3DERR_UNSUPPORTEDTEXTUREFILTER", "The device does not support the specified texture filter."},
    {d3d(2086), "D3DERR_CONFLICTINGTEXTUREPALETTE", "The current textures cannot be used simultaneously."},
    {d3d(2087), "D3DERR_DRIVERINTERNALERROR", "Internal driver error."},
    {d3d(2150), "D3DERR_NOTFOUND", "The requested item was not found."},
    {d3d(2151), "D3DERR_MOREDATA", "There is more data available than the specified buffer size can hold."},
    {d3d(2152), "D3DERR_DEVICELOST", "The device has been lost but cannot be reset at this time."},
    {d3d(2153), "D3DERR_DEVICENOTRESET", "The device has been lost but can be reset at this time."},
    {d3d(2154), "D3DERR_NOTAVAILABLE", "This device does not support the queried technique."},
    {d3d(380), "D3DERR_OUTOFVIDEOMEMORY", "Direct3D does not have enough display memory to perform the operation."},
    {d3d(2155), "D3DERR_INVALIDDEVICE", "The requested device type is not valid."},
    {d3d(2156), "D3DERR_INVALIDCALL", "The method call is invalid."},
    {d3d(2157), "D3DERR_DRIVERINVALIDCALL", "Not used."},
    {d3d(540), "D3DERR_WASSTILLDRAWING", "The previous blit operation that is transferring information to or from this surface is incomplete."},

    {dsound(10), "DSERR_ALLOCATED", "The request failed because resources, such as a priority level, were already in use by another caller."},
    {dsound(30), "DSERR_CONTROLUNAVAIL", "The buffer control (volume, pan, and so on) requested by the caller is not available."},
    {dsound(50), "DSERR_INVALIDCALL", "This function is not valid for the current state of this object."},
    {dsound(70), "DSERR_PRIOLEVELNEEDED", "A cooperative level of DSSCL_PRIORITY or higher is required."},
    {dsound(100), "DSERR_BADFORMAT", "The specified wave format is not supported."},
    {dsound(120), "DSERR_NODRIVER", "No sound driver is available for use, or the given GUID is not a valid DirectSound device ID."},
    {dsound(130), "DSERR_ALREADYINITIALIZED", "The object is already initialized."},
    {dsound(150), "DSERR_BUFFERLOST", "The buffer memory has been lost and must be restored."},
    {dsound(160), "DSERR_OTHERAPPHASPRIO", "Another application has a higher priority level, preventing this call from succeeding."},
    {dsound(170), "DSERR_UNINITIALIZED", "The Initialize method has not been called or has not been called successfully before other methods were called."},
    {dsound(180), "DSERR_BUFFERTOOSMALL", "The buffer size is not great enough to enable effects processing."},
    {dsound(190), "DSERR_DS8_REQUIRED", "A DirectSound object of class CLSID_DirectSound8 or later is required for the requested functionality."},
    {dsound(200), "DSERR_SENDLOOP", "A circular loop of send effects was detected."},
    {dsound(210), "DSERR_BADSENDBUFFERGUID", "The GUID specified in an audiopath file does not match a valid mix-in buffer."},
    {dsound(220), "DSERR_FXUNAVAILABLE", "The effects requested could not be found on the system, or they are in the wrong order or in the wrong location."},
    {dsound(4449), "DSERR_OBJECTNOTFOUND", "The requested object was not found."},
};

const Entry* find(HResult hr) {
  for (const Entry& entry : table)
    if (entry.code == static_cast<std::uint32_t>(hr)) return &entry;
  return nullptr;
}

}  // namespace

// On Windows the DirectX error library answers; this table stands in on other
// systems, and for a code the library does not know.
const char* hresultName(HResult hr) {
#ifdef _WIN32
  const char* name = sys::dxErrorName(hr);
  if (std::strcmp(name, "Unknown") != 0) return name;
#endif
  const Entry* entry = find(hr);
  return entry ? entry->name : "Unknown";
}

const char* hresultDescription(HResult hr) {
#ifdef _WIN32
  if (std::strcmp(sys::dxErrorName(hr), "Unknown") != 0) return sys::dxErrorDescription(hr);
#endif
  const Entry* entry = find(hr);
  return entry ? entry->description : "n/a";
}

CHResultException::CHResultException(const char* message, HResult hr)
    : hr(hr),
      message(message ? message : ""),
      name(hresultName(hr)),
      description(hresultDescription(hr)),
      whatText(this->message + " : " + name + " : " + description) {}

CHResultException::CHResultException(const CHResultException& other)
    : CHResultException(other.message.c_str(), other.hr) {}

CHResultException::~CHResultException() = default;

const char* CHResultException::what() const { return whatText.c_str(); }

}  // namespace kolm
