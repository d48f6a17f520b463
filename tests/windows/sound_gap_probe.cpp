// The least a DirectSound program can do: one looping buffer of a 440 Hz
// tone, written once, played for some seconds, so that any gap recorded
// from the sound server is the platform's own. Optionally it also presents
// through Direct3D 9 at 25 pictures a second, as a movie player does, to
// show what that costs the sound on the same platform.
//   sound_gap_probe SECONDS [--present]
#include <windows.h>
#include <mmreg.h>
#include <d3d9.h>
#include <dsound.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  const bool present = argc > 2 && std::strcmp(argv[2], "--present") == 0;
  HWND window = CreateWindowA("STATIC", "sound gap probe", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 352, 240, nullptr,
                              nullptr, nullptr, nullptr);
  IDirectSound8* sound = nullptr;
  if (!window || FAILED(DirectSoundCreate8(nullptr, &sound, nullptr))) {
    std::puts("sound_gap_probe: no sound device");
    return 1;
  }
  sound->SetCooperativeLevel(window, DSSCL_PRIORITY);
  WAVEFORMATEX format = {};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 2;
  format.nSamplesPerSec = 44100;
  format.wBitsPerSample = 16;
  format.nBlockAlign = 4;
  format.nAvgBytesPerSec = 44100 * 4;
  DSBUFFERDESC desc = {};
  desc.dwSize = sizeof desc;
  desc.dwFlags = DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_GLOBALFOCUS;
  desc.dwBufferBytes = format.nAvgBytesPerSec;  // one second, a whole number of periods
  desc.lpwfxFormat = &format;
  IDirectSoundBuffer* buffer = nullptr;
  void* bytes = nullptr;
  DWORD size = 0;
  if (FAILED(sound->CreateSoundBuffer(&desc, &buffer, nullptr)) ||
      FAILED(buffer->Lock(0, 0, &bytes, &size, nullptr, nullptr, DSBLOCK_ENTIREBUFFER))) {
    std::puts("sound_gap_probe: no sound buffer");
    return 1;
  }
  auto* samples = static_cast<short*>(bytes);
  for (DWORD i = 0; i < size / 4; ++i)
    samples[2 * i] = samples[2 * i + 1] = static_cast<short>(8000 * std::sin(2 * 3.14159265358979 * 440.0 * i / 44100));
  buffer->Unlock(bytes, size, nullptr, 0);

  IDirect3D9* direct3d = present ? Direct3DCreate9(D3D_SDK_VERSION) : nullptr;
  IDirect3DDevice9* device = nullptr;
  if (direct3d) {
    D3DPRESENT_PARAMETERS parameters = {};
    parameters.Windowed = TRUE;
    parameters.SwapEffect = D3DSWAPEFFECT_DISCARD;
    parameters.BackBufferFormat = D3DFMT_UNKNOWN;
    parameters.hDeviceWindow = window;
    direct3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window, D3DCREATE_SOFTWARE_VERTEXPROCESSING,
                           &parameters, &device);
  }
  if (present && !device) {
    std::puts("sound_gap_probe: no Direct3D device");
    return 1;
  }

  buffer->Play(0, 0, DSBPLAY_LOOPING);
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  for (int picture = 0; GetTickCount64() < end; ++picture) {
    if (device) {
      device->Clear(0, nullptr, D3DCLEAR_TARGET, D3DCOLOR_XRGB(picture * 7 % 256, 64, 128), 1.0f, 0);
      device->Present(nullptr, nullptr, nullptr, nullptr);
    }
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    Sleep(40);
  }
  buffer->Stop();
  if (device) device->Release();
  if (direct3d) direct3d->Release();
  buffer->Release();
  sound->Release();
  DestroyWindow(window);
  return 0;
}
