// DirectSound back end (Windows): ISoundDevice and ISoundBuffer as thin
// wrappers over IDirectSound8 and IDirectSoundBuffer. The interface already
// speaks DirectSound's flags and result codes, so calls and results pass
// through unchanged; only the records are copied into their Windows shapes.
#include <windows.h>
#include <mmreg.h>
#include <dsound.h>

#include <memory>
#include <new>

#include "audio/sound_backends.h"

namespace kolm {

namespace {

// The interface's own copies of DirectSound's numbers must be the real ones,
// or nothing could pass through unchanged.
static_assert(ds::ok == DS_OK);
static_assert(ds::errGeneric == DSERR_GENERIC);
static_assert(ds::errUnsupported == DSERR_UNSUPPORTED);
static_assert(ds::errOutOfMemory == DSERR_OUTOFMEMORY);
static_assert(ds::errInvalidParam == DSERR_INVALIDPARAM);
static_assert(ds::errNoInterface == DSERR_NOINTERFACE);
static_assert(ds::errAllocated == DSERR_ALLOCATED);
static_assert(ds::errControlUnavail == DSERR_CONTROLUNAVAIL);
static_assert(ds::errInvalidCall == DSERR_INVALIDCALL);
static_assert(ds::errPrioLevelNeeded == DSERR_PRIOLEVELNEEDED);
static_assert(ds::errBadFormat == DSERR_BADFORMAT);
static_assert(ds::errNoDriver == DSERR_NODRIVER);
static_assert(ds::errBufferLost == DSERR_BUFFERLOST);
static_assert(ds::errOtherAppHasPrio == DSERR_OTHERAPPHASPRIO);
static_assert(ds::errUninitialized == DSERR_UNINITIALIZED);
static_assert(ds::coNotInitialized == CO_E_NOTINITIALIZED);
static_assert(ds::levelNormal == DSSCL_NORMAL && ds::levelPriority == DSSCL_PRIORITY);
static_assert(ds::capsPrimaryMono == DSCAPS_PRIMARYMONO && ds::capsPrimaryStereo == DSCAPS_PRIMARYSTEREO);
static_assert(ds::capsPrimary8Bit == DSCAPS_PRIMARY8BIT && ds::capsPrimary16Bit == DSCAPS_PRIMARY16BIT);
static_assert(ds::bufferPrimary == DSBCAPS_PRIMARYBUFFER && ds::bufferCtrlFrequency == DSBCAPS_CTRLFREQUENCY);
static_assert(ds::bufferCtrlPan == DSBCAPS_CTRLPAN && ds::bufferCtrlVolume == DSBCAPS_CTRLVOLUME);
static_assert(ds::bufferCtrlPositionNotify == DSBCAPS_CTRLPOSITIONNOTIFY);
static_assert(ds::bufferGlobalFocus == DSBCAPS_GLOBALFOCUS);
static_assert(ds::bufferGetCurrentPosition2 == DSBCAPS_GETCURRENTPOSITION2);
static_assert(ds::statusPlaying == DSBSTATUS_PLAYING && ds::statusBufferLost == DSBSTATUS_BUFFERLOST);
static_assert(ds::statusLooping == DSBSTATUS_LOOPING && ds::playLooping == DSBPLAY_LOOPING);
static_assert(ds::lockFromWriteCursor == DSBLOCK_FROMWRITECURSOR && ds::lockEntireBuffer == DSBLOCK_ENTIREBUFFER);
// Our event handles are the kernel's, so notification positions need no
// translation of the handle either.
static_assert(sizeof(sys::EventHandle) == sizeof(HANDLE));

template <typename T>
void release(T*& object) {
  if (object) object->Release();
  object = nullptr;
}

class DsSoundBuffer : public ISoundBuffer {
 public:
  DsSoundBuffer(IDirectSoundBuffer* buffer, bool primary) : buffer_(buffer), primary_(primary) {}

  ~DsSoundBuffer() override {
    // Stopping a primary buffer would silence every other buffer of the device.
    if (buffer_ && !primary_) buffer_->Stop();
    release(buffer_);
  }

  DsSoundBuffer(const DsSoundBuffer&) = delete;
  DsSoundBuffer& operator=(const DsSoundBuffer&) = delete;

  HResult getCaps(SoundBufferCaps* caps) override {
    if (!caps) return ds::errInvalidParam;
    DSBCAPS dsCaps{};
    dsCaps.dwSize = sizeof dsCaps;
    const HRESULT hr = buffer_->GetCaps(&dsCaps);
    if (SUCCEEDED(hr)) {
      caps->flags = dsCaps.dwFlags;
      caps->bufferBytes = dsCaps.dwBufferBytes;
    }
    return hr;
  }

  HResult setFormat(const PcmFormat& format) override {
    const WAVEFORMATEX wave = waveFormat(format);
    return buffer_->SetFormat(&wave);
  }

  HResult lock(std::uint32_t offset, std::uint32_t bytes, void** region1, std::uint32_t* bytes1, void** region2,
               std::uint32_t* bytes2, std::uint32_t flags) override {
    if (!region1 || !bytes1) return ds::errInvalidParam;
    // Without both second-region pointers DirectSound cuts the lock at the
    // end of the buffer, which is what such a caller asks for.
    const bool wantsSecond = region2 && bytes2;
    void* first = nullptr;
    void* second = nullptr;
    DWORD firstBytes = 0;
    DWORD secondBytes = 0;
    const HRESULT hr = buffer_->Lock(offset, bytes, &first, &firstBytes, wantsSecond ? &second : nullptr,
                                     wantsSecond ? &secondBytes : nullptr, flags);
    *region1 = first;
    *bytes1 = firstBytes;
    if (region2) *region2 = second;
    if (bytes2) *bytes2 = secondBytes;
    return hr;
  }

  HResult unlock(void* region1, std::uint32_t bytes1, void* region2, std::uint32_t bytes2) override {
    return buffer_->Unlock(region1, bytes1, region2, bytes2);
  }

  HResult play(std::uint32_t reserved, std::uint32_t priority, std::uint32_t flags) override {
    return buffer_->Play(reserved, priority, flags);
  }

  HResult stop() override { return buffer_->Stop(); }

  HResult getCurrentPosition(std::uint32_t* play, std::uint32_t* write) override {
    DWORD playCursor = 0;
    DWORD writeCursor = 0;
    const HRESULT hr = buffer_->GetCurrentPosition(play ? &playCursor : nullptr, write ? &writeCursor : nullptr);
    if (play) *play = playCursor;
    if (write) *write = writeCursor;
    return hr;
  }

  HResult setCurrentPosition(std::uint32_t position) override { return buffer_->SetCurrentPosition(position); }

  HResult getStatus(std::uint32_t* status) override {
    if (!status) return ds::errInvalidParam;
    DWORD value = 0;
    const HRESULT hr = buffer_->GetStatus(&value);
    *status = value;
    return hr;
  }

  HResult restore() override { return buffer_->Restore(); }
  HResult setVolume(std::int32_t volume) override { return buffer_->SetVolume(volume); }
  HResult getVolume(std::int32_t* volume) override {
    if (!volume) return ds::errInvalidParam;
    LONG value = 0;
    const HRESULT hr = buffer_->GetVolume(&value);
    *volume = static_cast<std::int32_t>(value);
    return hr;
  }
  HResult setFrequency(std::uint32_t frequency) override { return buffer_->SetFrequency(frequency); }
  HResult setPan(std::int32_t pan) override { return buffer_->SetPan(pan); }

  HResult setNotificationPositions(std::uint32_t count, const SoundNotifyPosition* positions) override {
    if (count && !positions) return ds::errInvalidParam;
    IDirectSoundNotify* notify = nullptr;
    HRESULT hr = buffer_->QueryInterface(IID_IDirectSoundNotify, reinterpret_cast<void**>(&notify));
    if (FAILED(hr)) return hr;
    if (!notify) return ds::errNoInterface;
    std::unique_ptr<DSBPOSITIONNOTIFY[]> table(count ? new (std::nothrow) DSBPOSITIONNOTIFY[count] : nullptr);
    if (count && !table) {
      release(notify);
      return ds::errOutOfMemory;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      table[i].dwOffset = positions[i].offset;
      table[i].hEventNotify = static_cast<HANDLE>(positions[i].event);
    }
    hr = notify->SetNotificationPositions(count, table.get());
    release(notify);
    return hr;
  }

  static WAVEFORMATEX waveFormat(const PcmFormat& format) {
    WAVEFORMATEX wave{};
    wave.wFormatTag = WAVE_FORMAT_PCM;
    wave.nChannels = format.channels;
    wave.nSamplesPerSec = format.samplesPerSec;
    wave.nAvgBytesPerSec = format.avgBytesPerSec;
    wave.nBlockAlign = format.blockAlign;
    wave.wBitsPerSample = format.bitsPerSample;
    wave.cbSize = 0;
    return wave;
  }

 private:
  IDirectSoundBuffer* buffer_;
  const bool primary_;
};

class DsSoundDevice : public ISoundDevice {
 public:
  explicit DsSoundDevice(IDirectSound8* device) : device_(device) {}
  ~DsSoundDevice() override { release(device_); }
  DsSoundDevice(const DsSoundDevice&) = delete;
  DsSoundDevice& operator=(const DsSoundDevice&) = delete;

  HResult getCaps(SoundDeviceCaps* caps) override {
    if (!caps) return ds::errInvalidParam;
    DSCAPS dsCaps{};
    dsCaps.dwSize = sizeof dsCaps;
    const HRESULT hr = device_->GetCaps(&dsCaps);
    if (SUCCEEDED(hr)) {
      caps->flags = dsCaps.dwFlags;
      caps->minSecondarySampleRate = dsCaps.dwMinSecondarySampleRate;
      caps->maxSecondarySampleRate = dsCaps.dwMaxSecondarySampleRate;
    }
    return hr;
  }

  // DirectSound wants a top-level window to follow the focus by; the main
  // window hands its own. Without one (a device made before or without any
  // window) the desktop window stands in rather than a hidden window of our
  // own: the streaming buffer plays with global focus, so which window has
  // the focus never matters, and the desktop needs no thread to pump its
  // messages and cannot be destroyed under the device.
  HResult setCooperativeLevel(void* window, std::uint32_t level) override {
    HWND owner = window ? static_cast<HWND>(window) : GetDesktopWindow();
    return device_->SetCooperativeLevel(owner, level);
  }

  HResult createSoundBuffer(const SoundBufferDesc& desc, std::unique_ptr<ISoundBuffer>* buffer) override {
    if (!buffer) return ds::errInvalidParam;
    WAVEFORMATEX wave{};
    if (desc.format) wave = DsSoundBuffer::waveFormat(*desc.format);
    DSBUFFERDESC dsDesc{};  // the 3D algorithm stays the null GUID
    dsDesc.dwSize = sizeof dsDesc;
    dsDesc.dwFlags = desc.flags;
    dsDesc.dwBufferBytes = desc.bufferBytes;
    dsDesc.lpwfxFormat = desc.format ? &wave : nullptr;
    IDirectSoundBuffer* made = nullptr;
    const HRESULT hr = device_->CreateSoundBuffer(&dsDesc, &made, nullptr);
    if (FAILED(hr)) {
      release(made);
      return hr;
    }
    if (!made) return ds::errGeneric;
    auto wrapped = std::unique_ptr<ISoundBuffer>(
        new (std::nothrow) DsSoundBuffer(made, (desc.flags & ds::bufferPrimary) != 0));
    if (!wrapped) {
      release(made);
      return ds::errOutOfMemory;
    }
    *buffer = std::move(wrapped);
    return hr;
  }

 private:
  IDirectSound8* device_;
};

}  // namespace

std::unique_ptr<ISoundDevice> createDirectSoundDevice() {
  IDirectSound8* device = nullptr;
  if (FAILED(DirectSoundCreate8(nullptr, &device, nullptr)) || !device) {
    release(device);
    return nullptr;
  }
  return std::make_unique<DsSoundDevice>(device);
}

}  // namespace kolm
