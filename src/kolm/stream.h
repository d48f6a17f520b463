#pragma once

namespace kolm {

// Seek origins. Note the order differs from the C library's.
enum SeekOrigin : int { fromCurrent = 0, fromBegin = 1, fromEnd = 2 };

// A random-access byte stream with 32-bit positions. Used by one thread at a
// time; reopen() gives an independent stream for a second reader.
class CStream {
 public:
  virtual ~CStream() = default;
  // Bytes read; 0 at the end of the data or on failure.
  virtual int read(void* buffer, int count) = 0;
  // Bytes written; 0 on failure.
  virtual int write(const void* buffer, int count) = 0;
  // True when the new position was taken; a failed seek leaves it unchanged.
  virtual bool seek(int offset, int origin) = 0;
  virtual int tell() = 0;
  virtual int size() = 0;
  // A new stream over the same source at position 0, owned by the caller; null
  // when this stream cannot be reopened.
  virtual CStream* reopen() = 0;
};

// Opens a file: mode 2 for writing an existing file, anything else for reading
// (the player passes 1). Returns a stream owned by the caller, or null.
CStream* openFileStream(const char* path, int mode);

}  // namespace kolm
