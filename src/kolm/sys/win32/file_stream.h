// The Windows file streams: the shell's COM stream (what openFileStream
// returns) and a stream over a file handle read with overlapped reads.
#pragma once

#include <cstdint>
#include <string>

#include "kolm/event.h"
#include "kolm/stream.h"

struct IStream;

namespace kolm {

// A CStream over the COM stream of SHCreateStreamOnFileW (the name kept in
// UTF-8, as everywhere in the program). The shell library
// is loaded at run time; each wrapper holds a reference to it, so the
// stream's code stays loaded while the stream lives. The wrapper keeps the
// 64-bit position itself and moves the COM stream by relative steps of less
// than 2 GB: Wine's shell stream takes only the low 32 bits of a move
// (sign-extended) and reports only the low 32 bits of its position. A seek
// more than 8 TB away is refused (it would take thousands of steps).
class CIStreamWrapper : public CStream {
 public:
  // Takes over the caller's reference to `stream`, which must be at its
  // beginning, and to `library`.
  CIStreamWrapper(IStream* stream, std::string fileName, void* library);
  ~CIStreamWrapper() override;
  CIStreamWrapper(const CIStreamWrapper&) = delete;
  CIStreamWrapper& operator=(const CIStreamWrapper&) = delete;

  int read(void* buffer, int count) override;
  int write(const void* buffer, int count) override;
  bool seek(std::int64_t offset, int origin) override;
  std::int64_t tell() override;
  std::int64_t size() override;
  CStream* reopen() override;

  IStream* stream;
  std::string fileName;

 private:
  // Moves the COM stream from `from` towards `to`; where it got to.
  std::int64_t moveTowards(std::int64_t from, std::int64_t to);

  void* library_;
  std::int64_t position_ = 0;
};

// A CStream over a Win32 file handle opened for overlapped input. Reads are
// issued with ReadFileEx and finished in an alertable wait, so `read` must be
// called on one thread at a time, the one that waits.
class CWin32Stream : public CStream {
 public:
  // Opens an existing file, named in UTF-8, for overlapped reading; null when it cannot.
  static CWin32Stream* open(const char* path);
  // Takes over `file`, which must have been opened with FILE_FLAG_OVERLAPPED.
  explicit CWin32Stream(void* file);
  ~CWin32Stream() override;
  CWin32Stream(const CWin32Stream&) = delete;
  CWin32Stream& operator=(const CWin32Stream&) = delete;

  int read(void* buffer, int count) override;
  int write(const void* buffer, int count) override;
  bool seek(std::int64_t offset, int origin) override;
  std::int64_t tell() override;
  std::int64_t size() override;
  CStream* reopen() override;  // not supported: null

  void* file;
  CEvent readDone;
  int lastRead = 0;
  std::int64_t position = 0;
  std::int64_t cachedSize = 0;
};

}  // namespace kolm
