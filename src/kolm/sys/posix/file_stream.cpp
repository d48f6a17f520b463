// File streams over POSIX descriptors. Each stream keeps its own position and
// reads with pread, so a reopened stream never disturbs the first one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <new>
#include <string>

#include "kolm/stream.h"

namespace kolm {

namespace {

class CFileStream : public CStream {
 public:
  CFileStream(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~CFileStream() override { ::close(fd_); }

  int read(void* buffer, int count) override {
    if (!buffer || count <= 0) return 0;
    // Positions are 32-bit: nothing past INT_MAX is reachable.
    const std::int64_t room = static_cast<std::int64_t>(INT_MAX) - position_;
    if (room < count) count = static_cast<int>(room);
    int done = 0;
    while (done < count) {
      const ssize_t got = ::pread(fd_, static_cast<char*>(buffer) + done,
                                  static_cast<size_t>(count - done), position_ + done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<int>(got);
    }
    position_ += done;
    return done;
  }

  int write(const void* buffer, int count) override {
    if (!buffer || count <= 0) return 0;
    const std::int64_t room = static_cast<std::int64_t>(INT_MAX) - position_;
    if (room < count) count = static_cast<int>(room);
    int done = 0;
    while (done < count) {
      const ssize_t put = ::pwrite(fd_, static_cast<const char*>(buffer) + done,
                                   static_cast<size_t>(count - done), position_ + done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) break;
      done += static_cast<int>(put);
    }
    position_ += done;
    return done;
  }

  bool seek(int offset, int origin) override {
    std::int64_t base;
    if (origin == fromCurrent)
      base = position_;
    else if (origin == fromBegin)
      base = 0;
    else
      base = size();
    const std::int64_t target = base + offset;
    // Like a COM stream, a position past the end is allowed (reads there give 0).
    if (target < 0 || target > INT_MAX) return false;
    position_ = static_cast<int>(target);
    return true;
  }

  int tell() override { return position_; }

  int size() override {
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || info.st_size < 0) return 0;
    // Files past 2 GB are cut to what 32-bit positions reach.
    return info.st_size > INT_MAX ? INT_MAX : static_cast<int>(info.st_size);
  }

  CStream* reopen() override { return openFileStream(path_.c_str(), 1); }

 private:
  int fd_;
  int position_ = 0;
  std::string path_;
};

}  // namespace

CStream* openFileStream(const char* path, int mode) {
  if (!path) return nullptr;
  const int fd = ::open(path, (mode == 2 ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  // A directory opens for reading on POSIX but is no byte stream.
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  CStream* stream = new (std::nothrow) CFileStream(fd, path);
  if (!stream) ::close(fd);
  return stream;
}

}  // namespace kolm
