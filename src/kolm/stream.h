#pragma once

#include <cstdint>
#include <string>
#include <limits>

namespace kolm {

// Seek origins. Note the order differs from the C library's.
enum SeekOrigin : int { fromCurrent = 0, fromBegin = 1, fromEnd = 2 };

// A random-access byte stream with 64-bit positions (recordings run past
// 4 GB). Used by one thread at a time; reopen() gives an independent stream
// for a second reader.
class CStream {
 public:
  virtual ~CStream() = default;
  // Bytes read; 0 at the end of the data or on failure.
  virtual int read(void* buffer, int count) = 0;
  // Bytes written; 0 on failure.
  virtual int write(const void* buffer, int count) = 0;
  // True when the new position was taken; a failed seek leaves it unchanged.
  // A negative position, or one past what int64 holds, is refused.
  virtual bool seek(std::int64_t offset, int origin) = 0;
  virtual std::int64_t tell() = 0;
  virtual std::int64_t size() = 0;
  // A new stream over the same source at position 0, owned by the caller; null
  // when this stream cannot be reopened.
  virtual CStream* reopen() = 0;
};

// The position `offset` bytes from `base` (a position or a size, never
// negative) into *target; false when it would be negative or overflow int64.
inline bool positionFrom(std::int64_t base, std::int64_t offset, std::int64_t* target) {
  if (base < 0 || (offset > 0 && offset > std::numeric_limits<std::int64_t>::max() - base)) return false;
  const std::int64_t at = base + offset;  // base >= 0: a negative offset cannot overflow
  if (at < 0) return false;
  *target = at;
  return true;
}

// Opens a file: mode 2 for writing an existing file, anything else for reading
// (the player passes 1). Returns a stream owned by the caller, or null with
// *why (when given) saying in a few words why not ("no such file",
// "permission denied", "it is a folder"...). Only regular files open, and the
// open never waits: a pipe with no writer or a device is refused at once.
CStream* openFileStream(const char* path, int mode, std::string* why = nullptr);

}  // namespace kolm
