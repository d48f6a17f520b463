// File streams on Windows: the shell's COM stream and overlapped file reads.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objidl.h>

#include "kolm/sys/win32/file_stream.h"

#include <climits>
#include <new>

namespace kolm {

namespace {

using CreateStreamOnFile = HRESULT(WINAPI*)(LPCSTR, DWORD, IStream**);

}  // namespace

CStream* openFileStream(const char* path, int mode) {
  if (!path) return nullptr;
  const DWORD access = mode == 2 ? STGM_WRITE : STGM_READ;
  HMODULE shell = LoadLibraryA("shlwapi.dll");
  if (!shell) return nullptr;
  auto create = reinterpret_cast<CreateStreamOnFile>(
      reinterpret_cast<void*>(GetProcAddress(shell, "SHCreateStreamOnFileA")));
  IStream* stream = nullptr;
  if (!create || create(path, access, &stream) != S_OK || !stream) {
    if (stream) stream->Release();
    FreeLibrary(shell);
    return nullptr;
  }
  // The stream's code lives in the shell library: the wrapper keeps this
  // reference until it has released the stream.
  CStream* wrapper = new (std::nothrow) CIStreamWrapper(stream, path, shell);
  if (!wrapper) {
    stream->Release();
    FreeLibrary(shell);
  }
  return wrapper;
}

// ---- CIStreamWrapper ------------------------------------------------------------

CIStreamWrapper::CIStreamWrapper(IStream* stream, std::string fileName, void* library)
    : stream(stream), fileName(std::move(fileName)), library_(library) {}

CIStreamWrapper::~CIStreamWrapper() {
  if (stream) stream->Release();
  stream = nullptr;
  if (library_) FreeLibrary(static_cast<HMODULE>(library_));
}

bool CIStreamWrapper::position(std::uint64_t* at) {
  ULARGE_INTEGER now{};
  if (stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &now) != S_OK) return false;
  *at = now.QuadPart;
  return true;
}

int CIStreamWrapper::read(void* buffer, int count) {
  if (!buffer || count <= 0) return 0;
  // Positions are 32-bit: nothing past INT_MAX is reachable.
  std::uint64_t at = 0;
  if (!position(&at) || at >= static_cast<std::uint64_t>(INT_MAX)) return 0;
  if (static_cast<std::uint64_t>(INT_MAX) - at < static_cast<std::uint64_t>(count))
    count = static_cast<int>(INT_MAX - at);
  ULONG got = 0;
  const HRESULT hr = stream->Read(buffer, static_cast<ULONG>(count), &got);
  // S_FALSE is the shell stream's answer for the last, short read: its bytes
  // are real data, not a failure.
  if (hr != S_OK && hr != S_FALSE) return 0;
  return got > static_cast<ULONG>(count) ? count : static_cast<int>(got);
}

int CIStreamWrapper::write(const void* buffer, int count) {
  if (!buffer || count <= 0) return 0;
  ULONG put = 0;
  if (stream->Write(buffer, static_cast<ULONG>(count), &put) != S_OK) return 0;
  return put > static_cast<ULONG>(count) ? count : static_cast<int>(put);
}

bool CIStreamWrapper::seek(int offset, int origin) {
  const DWORD how = origin == fromCurrent ? STREAM_SEEK_CUR : origin == fromBegin ? STREAM_SEEK_SET : STREAM_SEEK_END;
  std::uint64_t before = 0;
  if (!position(&before)) return false;
  LARGE_INTEGER move;
  move.QuadPart = offset;
  ULARGE_INTEGER after{};
  const HRESULT hr = stream->Seek(move, how, &after);
  if (hr == S_OK && after.QuadPart <= static_cast<std::uint64_t>(INT_MAX)) return true;
  // Refused, or beyond what a 32-bit position can say: stay where we were.
  LARGE_INTEGER back;
  back.QuadPart = static_cast<LONGLONG>(before);
  stream->Seek(back, STREAM_SEEK_SET, nullptr);
  return false;
}

int CIStreamWrapper::tell() {
  std::uint64_t at = 0;
  if (!position(&at)) return 0;
  return at > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(at);
}

int CIStreamWrapper::size() {
  STATSTG info{};
  if (stream->Stat(&info, STATFLAG_NONAME) != S_OK) return 0;
  // Files past 2 GB are cut to what 32-bit positions reach.
  return info.cbSize.QuadPart > static_cast<ULONGLONG>(INT_MAX) ? INT_MAX : static_cast<int>(info.cbSize.QuadPart);
}

CStream* CIStreamWrapper::reopen() { return openFileStream(fileName.c_str(), 1); }

// ---- CWin32Stream ---------------------------------------------------------------

namespace {

// The OVERLAPPED's event field carries the stream: ReadFileEx ignores it.
void CALLBACK readCompleted(DWORD error, DWORD transferred, OVERLAPPED* overlapped) {
  auto* self = static_cast<CWin32Stream*>(overlapped->hEvent);
  if (error == 0) self->lastRead = static_cast<int>(transferred);
  self->readDone.set();
}

}  // namespace

CWin32Stream* CWin32Stream::open(const char* path) {
  if (!path) return nullptr;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  auto* stream = new (std::nothrow) CWin32Stream(file);
  if (!stream) CloseHandle(file);
  return stream;
}

CWin32Stream::CWin32Stream(void* file) : file(file) {}

CWin32Stream::~CWin32Stream() {
  if (file && file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

int CWin32Stream::read(void* buffer, int count) {
  if (!buffer || count <= 0 || position < 0) return 0;
  if (INT_MAX - position < count) count = INT_MAX - position;
  if (count == 0) return 0;
  lastRead = 0;
  readDone.reset();
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(position);
  overlapped.hEvent = this;
  if (!ReadFileEx(file, buffer, static_cast<DWORD>(count), &overlapped, readCompleted)) return 0;
  // The completion routine runs only inside an alertable wait of this thread.
  // An alertable sleep also ends for any other queued call, so sleep again
  // until ours has run; a wait on readDone alone could never end.
  while (readDone.wait(0) != 0) SleepEx(INFINITE, TRUE);
  const int got = lastRead > count ? count : lastRead;
  position += got;
  return got;
}

int CWin32Stream::write(const void* buffer, int count) {
  if (!buffer || count <= 0) return 0;
  // An overlapped handle needs an OVERLAPPED for every transfer; the position
  // does not move.
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(position);
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!overlapped.hEvent) return 0;
  DWORD put = 0;
  BOOL done = WriteFile(file, buffer, static_cast<DWORD>(count), nullptr, &overlapped);
  if (!done && GetLastError() == ERROR_IO_PENDING) done = TRUE;
  if (done) done = GetOverlappedResult(file, &overlapped, &put, TRUE);
  CloseHandle(overlapped.hEvent);
  return done ? static_cast<int>(put) : 0;
}

bool CWin32Stream::seek(int offset, int origin) {
  const std::int64_t length = size();
  std::int64_t target;
  if (origin == fromCurrent) {
    target = static_cast<std::int64_t>(position) + offset;
    if (target < 0 || target > length) return false;
  } else if (origin == fromBegin) {
    // Unlike the other origins, the size itself is not a place to go from
    // the beginning; a negative offset never is.
    if (offset < 0 || offset >= length) return false;
    target = offset;
  } else {
    target = length + offset;
    if (target < 0 || target > length) return false;
  }
  position = static_cast<int>(target);
  return true;
}

int CWin32Stream::tell() { return position; }

int CWin32Stream::size() {
  if (cachedSize == 0) {
    // The full 64-bit size: a file past 4 GB must not pass for its low part.
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file, &length) || length.QuadPart < 0) return 0;
    cachedSize = length.QuadPart > INT_MAX ? static_cast<std::uint32_t>(INT_MAX)
                                           : static_cast<std::uint32_t>(length.QuadPart);
  }
  return static_cast<int>(cachedSize);
}

CStream* CWin32Stream::reopen() { return nullptr; }

}  // namespace kolm
