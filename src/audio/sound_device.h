// The narrow sound-device interface under CDXSound: the part of DirectSound
// that the streaming logic uses, with DirectSound's result codes, flags and
// call shapes, so a DirectSound back end is a thin wrapper and the portable
// back ends (SDL, null, the tests' scripted fake) behave alike.
//
// Threads: a buffer's operations may be called from several threads at once
// (the renderer writes while the clock and the producer read the cursor, and
// the player stops it); every back end makes them safe to do so. Notification
// events are signalled from the back end's own thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "kolm/hresult_exception.h"
#include "kolm/sys/sys.h"

namespace kolm {

// Result codes, as DirectSound reports them (several are the COM codes of the
// same value). Lower-case names: the Windows headers define the upper-case ones
// as macros.
namespace ds {
constexpr HResult ok = 0;                                             // DS_OK, S_OK
constexpr HResult sFalse = 1;                                         // S_FALSE
constexpr HResult errGeneric = static_cast<HResult>(0x80004005u);       // DSERR_GENERIC, E_FAIL
constexpr HResult errUnsupported = static_cast<HResult>(0x80004001u);   // DSERR_UNSUPPORTED, E_NOTIMPL
constexpr HResult errOutOfMemory = static_cast<HResult>(0x8007000Eu);   // DSERR_OUTOFMEMORY
constexpr HResult errInvalidParam = static_cast<HResult>(0x80070057u);  // DSERR_INVALIDPARAM
constexpr HResult errNoInterface = static_cast<HResult>(0x80004002u);   // DSERR_NOINTERFACE
constexpr HResult errAllocated = static_cast<HResult>(0x8878000Au);     // DSERR_ALLOCATED
constexpr HResult errControlUnavail = static_cast<HResult>(0x8878001Eu);  // DSERR_CONTROLUNAVAIL
constexpr HResult errInvalidCall = static_cast<HResult>(0x88780032u);   // DSERR_INVALIDCALL
constexpr HResult errPrioLevelNeeded = static_cast<HResult>(0x88780046u);  // DSERR_PRIOLEVELNEEDED
constexpr HResult errBadFormat = static_cast<HResult>(0x88780064u);     // DSERR_BADFORMAT
constexpr HResult errNoDriver = static_cast<HResult>(0x88780078u);      // DSERR_NODRIVER
constexpr HResult errBufferLost = static_cast<HResult>(0x88780096u);    // DSERR_BUFFERLOST
constexpr HResult errOtherAppHasPrio = static_cast<HResult>(0x887800A0u);  // DSERR_OTHERAPPHASPRIO
constexpr HResult errUninitialized = static_cast<HResult>(0x887800AAu);    // DSERR_UNINITIALIZED
constexpr HResult coNotInitialized = static_cast<HResult>(0x800401F0u);    // CO_E_NOTINITIALIZED

inline bool failed(HResult hr) { return hr < 0; }
inline bool succeeded(HResult hr) { return hr >= 0; }

// Cooperative levels.
constexpr std::uint32_t levelNormal = 1;    // DSSCL_NORMAL
constexpr std::uint32_t levelPriority = 2;  // DSSCL_PRIORITY

// Device capability flags (DSCAPS_*).
constexpr std::uint32_t capsPrimaryMono = 0x1;
constexpr std::uint32_t capsPrimaryStereo = 0x2;
constexpr std::uint32_t capsPrimary8Bit = 0x4;
constexpr std::uint32_t capsPrimary16Bit = 0x8;

// Buffer description and capability flags (DSBCAPS_*).
constexpr std::uint32_t bufferPrimary = 0x1;
constexpr std::uint32_t bufferCtrlFrequency = 0x20;
constexpr std::uint32_t bufferCtrlPan = 0x40;
constexpr std::uint32_t bufferCtrlVolume = 0x80;
constexpr std::uint32_t bufferCtrlPositionNotify = 0x100;
constexpr std::uint32_t bufferGlobalFocus = 0x8000;
constexpr std::uint32_t bufferGetCurrentPosition2 = 0x10000;

// Buffer status flags (DSBSTATUS_*).
constexpr std::uint32_t statusPlaying = 0x1;
constexpr std::uint32_t statusBufferLost = 0x2;
constexpr std::uint32_t statusLooping = 0x4;

// Play flags (DSBPLAY_*).
constexpr std::uint32_t playLooping = 0x1;

// Volume (DSBVOLUME_*): attenuation in hundredths of a decibel.
constexpr std::int32_t volumeMax = 0;
constexpr std::int32_t volumeMin = -10000;

// Lock flags (DSBLOCK_*).
constexpr std::uint32_t lockFromWriteCursor = 0x1;
constexpr std::uint32_t lockEntireBuffer = 0x2;
}  // namespace ds

// DSCAPS, the fields the logic reads.
struct SoundDeviceCaps {
  std::uint32_t flags = 0;
  std::uint32_t minSecondarySampleRate = 0;
  std::uint32_t maxSecondarySampleRate = 0;
};

// WAVEFORMATEX for integer PCM (the format tag is implied).
struct PcmFormat {
  std::uint16_t channels = 0;
  std::uint32_t samplesPerSec = 0;
  std::uint32_t avgBytesPerSec = 0;
  std::uint16_t blockAlign = 0;
  std::uint16_t bitsPerSample = 0;
};

// DSBUFFERDESC. A primary buffer has no format and no size.
struct SoundBufferDesc {
  std::uint32_t flags = 0;
  std::uint32_t bufferBytes = 0;
  const PcmFormat* format = nullptr;
};

// DSBCAPS, the fields the logic reads.
struct SoundBufferCaps {
  std::uint32_t flags = 0;
  std::uint32_t bufferBytes = 0;
};

// DSBPOSITIONNOTIFY: the event is signalled when the play cursor passes offset.
struct SoundNotifyPosition {
  std::uint32_t offset = 0;
  sys::EventHandle event = nullptr;
};

// One sound buffer: IDirectSoundBuffer8 plus IDirectSoundNotify. Destroying it
// releases it (and stops it).
class ISoundBuffer {
 public:
  virtual ~ISoundBuffer() = default;
  virtual HResult getCaps(SoundBufferCaps* caps) = 0;
  // Primary buffers only: the output format of the device.
  virtual HResult setFormat(const PcmFormat& format) = 0;
  // Locks bytes from offset; a region that runs past the end of the buffer
  // continues at its start in the second region. Either second-region pointer
  // may be null when the caller wants no wrap (the lock is then cut short).
  virtual HResult lock(std::uint32_t offset, std::uint32_t bytes, void** region1, std::uint32_t* bytes1,
                       void** region2, std::uint32_t* bytes2, std::uint32_t flags) = 0;
  // Hands back what lock gave, with the byte counts actually written.
  virtual HResult unlock(void* region1, std::uint32_t bytes1, void* region2, std::uint32_t bytes2) = 0;
  virtual HResult play(std::uint32_t reserved, std::uint32_t priority, std::uint32_t flags) = 0;
  virtual HResult stop() = 0;
  // Byte offsets of the play cursor and of the write cursor (either may be null).
  virtual HResult getCurrentPosition(std::uint32_t* play, std::uint32_t* write) = 0;
  virtual HResult setCurrentPosition(std::uint32_t position) = 0;
  virtual HResult getStatus(std::uint32_t* status) = 0;
  virtual HResult restore() = 0;
  // Attenuation in hundredths of a decibel: 0 full, -10000 silent.
  virtual HResult setVolume(std::int32_t volume) = 0;
  virtual HResult getVolume(std::int32_t* volume) = 0;
  virtual HResult setFrequency(std::uint32_t frequency) = 0;
  virtual HResult setPan(std::int32_t pan) = 0;
  // Only while the buffer is stopped; replaces any earlier positions.
  virtual HResult setNotificationPositions(std::uint32_t count, const SoundNotifyPosition* positions) = 0;
};

// One output device: IDirectSound8. Destroying it releases it; its buffers
// must be destroyed first.
class ISoundDevice {
 public:
  virtual ~ISoundDevice() = default;
  virtual HResult getCaps(SoundDeviceCaps* caps) = 0;
  virtual HResult setCooperativeLevel(void* window, std::uint32_t level) = 0;
  virtual HResult createSoundBuffer(const SoundBufferDesc& desc, std::unique_ptr<ISoundBuffer>* buffer) = 0;
  // Lets go of what the device keeps open for a next buffer once no buffer
  // is left (an output kept from one file to the next); nothing by default.
  virtual void releaseIdle() {}
};

// Makes a device for the default output (DirectSoundCreate8); null on failure.
using SoundDeviceFactory = std::function<std::unique_ptr<ISoundDevice>()>;

}  // namespace kolm
