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

#include "kolm/sys/sys.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace kolm {

namespace {

using CreateStreamOnFile = HRESULT(WINAPI*)(LPCWSTR, DWORD, IStream**);

constexpr std::int64_t maxPosition = std::numeric_limits<std::int64_t>::max();
// The shell stream is moved by at most this much a call, and that many calls a seek.
constexpr std::int64_t maxStep = 0x7FFFFFFF;
constexpr std::int64_t maxSteps = 4096;

// Why a file cannot be opened, in a user's words, from a Win32 error code.
std::string openError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "no such file";
    case ERROR_ACCESS_DENIED: return "permission denied";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return "another program has it open";
    case ERROR_FILENAME_EXCED_RANGE: return "its name is too long";
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: return "its name is not a valid file name";
    case ERROR_NOT_READY: return "the drive is not ready";
    default: return "Windows error " + std::to_string(error);
  }
}

// The UTF-8 name as the wide calls take it. A name of MAX_PATH or more
// characters is made absolute with the \\?\ prefix, which lifts the limit
// where the system's long names are not turned on. Empty when the name is
// no UTF-8 (it came from nowhere but our own conversions).
std::wstring systemName(const char* path, std::string* why) {
  bool ok = false;
  std::wstring name = sys::toWide(path, true, &ok);
  if (!ok || name.empty()) {
    *why = "its name is not a valid file name";
    return std::wstring();
  }
  if (name.size() < MAX_PATH || name.compare(0, 4, L"\\\\?\\") == 0 || name.compare(0, 4, L"\\\\.\\") == 0)
    return name;
  const DWORD needed = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  std::wstring full(needed, L'\0');
  const DWORD length = needed ? GetFullPathNameW(name.c_str(), needed, &full[0], nullptr) : 0;
  if (length == 0 || length >= needed) return name;
  full.resize(length);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share
  return L"\\\\?\\" + full;
}

// What a path names, before the shell is asked to stream it: a folder or a
// device ("\\.\..." names one) is no file.
bool isPlainFile(const std::wstring& path, std::string* why) {
  if (path.compare(0, 4, L"\\\\.\\") == 0) {
    *why = "it is a device, not a file";
    return false;
  }
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    *why = openError(GetLastError());
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    *why = "it is a folder";
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_DEVICE) {
    *why = "it is a device, not a file";
    return false;
  }
  return true;
}

}  // namespace

CStream* openFileStream(const char* path, int mode, std::string* why) {
  std::string ignored;
  if (!why) why = &ignored;
  if (!path) {
    *why = "no file name";
    return nullptr;
  }
  const std::wstring name = systemName(path, why);
  if (name.empty() || !isPlainFile(name, why)) return nullptr;
  const DWORD access = mode == 2 ? STGM_WRITE : STGM_READ;
  HMODULE shell = LoadLibraryA("shlwapi.dll");
  if (!shell) {
    *why = "the shell library (shlwapi.dll) cannot be loaded";
    return nullptr;
  }
  auto create = reinterpret_cast<CreateStreamOnFile>(
      reinterpret_cast<void*>(GetProcAddress(shell, "SHCreateStreamOnFileW")));
  IStream* stream = nullptr;
  const HRESULT hr = create ? create(name.c_str(), access, &stream) : E_NOINTERFACE;
  if (hr != S_OK || !stream) {
    if (stream) stream->Release();
    FreeLibrary(shell);
    *why = HRESULT_FACILITY(hr) == FACILITY_WIN32 ? openError(HRESULT_CODE(hr))
                                                  : "the shell cannot stream it (error " + std::to_string(hr) + ")";
    return nullptr;
  }
  // The stream's code lives in the shell library: the wrapper keeps this
  // reference until it has released the stream.
  CStream* wrapper = new (std::nothrow) CIStreamWrapper(stream, path, shell);
  if (!wrapper) {
    *why = "out of memory";
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

int CIStreamWrapper::read(void* buffer, int count) {
  if (!buffer || count <= 0) return 0;
  if (maxPosition - position_ < count) count = static_cast<int>(maxPosition - position_);
  if (count == 0) return 0;
  ULONG got = 0;
  const HRESULT hr = stream->Read(buffer, static_cast<ULONG>(count), &got);
  // S_FALSE is the shell stream's answer for the last, short read: its bytes
  // are real data, not a failure.
  if (hr != S_OK && hr != S_FALSE) return 0;
  const int done = got > static_cast<ULONG>(count) ? count : static_cast<int>(got);
  position_ += done;
  return done;
}

int CIStreamWrapper::write(const void* buffer, int count) {
  if (!buffer || count <= 0) return 0;
  if (maxPosition - position_ < count) count = static_cast<int>(maxPosition - position_);
  if (count == 0) return 0;
  ULONG put = 0;
  if (stream->Write(buffer, static_cast<ULONG>(count), &put) != S_OK) return 0;
  const int done = put > static_cast<ULONG>(count) ? count : static_cast<int>(put);
  position_ += done;
  return done;
}

std::int64_t CIStreamWrapper::moveTowards(std::int64_t from, std::int64_t to) {
  while (from != to) {
    // Both are positions (0 to INT64_MAX), so their difference cannot overflow.
    const std::int64_t step = std::max(-maxStep, std::min(maxStep, to - from));
    LARGE_INTEGER move;
    move.QuadPart = step;
    if (stream->Seek(move, STREAM_SEEK_CUR, nullptr) != S_OK) break;
    from += step;
  }
  return from;
}

bool CIStreamWrapper::seek(std::int64_t offset, int origin) {
  std::int64_t base = origin == fromCurrent ? position_ : 0;
  if (origin != fromCurrent && origin != fromBegin) {
    STATSTG info{};
    if (stream->Stat(&info, STATFLAG_NONAME) != S_OK || info.cbSize.QuadPart > static_cast<ULONGLONG>(maxPosition))
      return false;
    base = static_cast<std::int64_t>(info.cbSize.QuadPart);
  }
  std::int64_t target = 0;
  if (!positionFrom(base, offset, &target)) return false;
  // Every step is a call: a move that would take thousands of them (8 TB) is refused.
  const std::int64_t distance = target > position_ ? target - position_ : position_ - target;
  if (distance / maxStep > maxSteps) return false;
  const std::int64_t reached = moveTowards(position_, target);
  if (reached == target) {
    position_ = target;
    return true;
  }
  // Refused part way: back to where we were (or as near as the stream lets us).
  position_ = moveTowards(reached, position_);
  return false;
}

std::int64_t CIStreamWrapper::tell() { return position_; }

std::int64_t CIStreamWrapper::size() {
  STATSTG info{};
  if (stream->Stat(&info, STATFLAG_NONAME) != S_OK) return 0;
  return info.cbSize.QuadPart > static_cast<ULONGLONG>(maxPosition) ? maxPosition
                                                                    : static_cast<std::int64_t>(info.cbSize.QuadPart);
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
  std::string why;
  const std::wstring name = systemName(path, &why);
  if (name.empty()) return nullptr;
  HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
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
  if (maxPosition - position < count) count = static_cast<int>(maxPosition - position);
  if (count == 0) return 0;
  lastRead = 0;
  readDone.reset();
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(position);
  overlapped.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(position) >> 32);
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
  if (position < 0) return 0;
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(position);
  overlapped.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(position) >> 32);
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!overlapped.hEvent) return 0;
  DWORD put = 0;
  BOOL done = WriteFile(file, buffer, static_cast<DWORD>(count), nullptr, &overlapped);
  if (!done && GetLastError() == ERROR_IO_PENDING) done = TRUE;
  if (done) done = GetOverlappedResult(file, &overlapped, &put, TRUE);
  CloseHandle(overlapped.hEvent);
  return done ? static_cast<int>(put) : 0;
}

bool CWin32Stream::seek(std::int64_t offset, int origin) {
  const std::int64_t length = size();
  std::int64_t target;
  if (origin == fromBegin) {
    // Unlike the other origins, the size itself is not a place to go from
    // the beginning; a negative offset never is.
    if (offset < 0 || offset >= length) return false;
    target = offset;
  } else if (!positionFrom(origin == fromCurrent ? position : length, offset, &target) || target > length) {
    return false;
  }
  position = target;
  return true;
}

std::int64_t CWin32Stream::tell() { return position; }

std::int64_t CWin32Stream::size() {
  if (cachedSize == 0) {
    // The full 64-bit size: a file past 4 GB must not pass for its low part.
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file, &length) || length.QuadPart < 0) return 0;
    cachedSize = length.QuadPart;
  }
  return cachedSize;
}

CStream* CWin32Stream::reopen() { return nullptr; }

}  // namespace kolm
