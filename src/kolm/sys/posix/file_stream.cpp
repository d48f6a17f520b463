// File streams over POSIX descriptors. Each stream keeps its own position and
// reads with pread, so a reopened stream never disturbs the first one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

#include "kolm/stream.h"

namespace kolm {

namespace {

// Positions past 2 GB go straight to pread and fstat: a 32-bit off_t (a
// 32-bit build without large-file support) would cut them.
static_assert(sizeof(off_t) >= sizeof(std::int64_t), "64-bit file offsets needed");

constexpr std::int64_t maxPosition = std::numeric_limits<std::int64_t>::max();

class CFileStream : public CStream {
 public:
  CFileStream(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~CFileStream() override { ::close(fd_); }

  int read(void* buffer, int count) override {
    if (!buffer || count <= 0) return 0;
    // The position never passes what int64 holds, even after a seek far past the end.
    if (maxPosition - position_ < count) count = static_cast<int>(maxPosition - position_);
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
    if (maxPosition - position_ < count) count = static_cast<int>(maxPosition - position_);
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

  bool seek(std::int64_t offset, int origin) override {
    const std::int64_t base = origin == fromCurrent ? position_ : origin == fromBegin ? 0 : size();
    // Like a COM stream, a position past the end is allowed (reads there give 0).
    return positionFrom(base, offset, &position_);
  }

  std::int64_t tell() override { return position_; }

  std::int64_t size() override {
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || info.st_size < 0) return 0;
    return static_cast<std::int64_t>(info.st_size);
  }

  CStream* reopen() override { return openFileStream(path_.c_str(), 1); }

 private:
  int fd_;
  std::int64_t position_ = 0;
  std::string path_;
};

}  // namespace

namespace {

// Why an open failed, in a user's words.
std::string openError(int error) {
  switch (error) {
    case ENOENT: return "no such file";
    case ENOTDIR: return "a folder on its path is not a folder";
    case EACCES:
    case EPERM: return "permission denied";
    case ENAMETOOLONG: return "its name is too long";
    case ELOOP: return "too many symbolic links on its path";
    case EISDIR: return "it is a folder";
    default: break;
  }
  std::string text = std::strerror(error);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

std::string notAFile(mode_t mode) {
  if (S_ISDIR(mode)) return "it is a folder";
  if (S_ISFIFO(mode)) return "it is a pipe, not a file";
  if (S_ISSOCK(mode)) return "it is a socket, not a file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device, not a file";
  return "it is not a regular file";
}

}  // namespace

CStream* openFileStream(const char* path, int mode, std::string* why) {
  std::string ignored;
  if (!why) why = &ignored;
  if (!path) {
    *why = "no file name";
    return nullptr;
  }
  // Without waiting: opening a pipe that has no writer (or some devices)
  // would block until one comes, possibly for ever.
  const int fd = ::open(path, (mode == 2 ? O_WRONLY : O_RDONLY) | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *why = openError(errno);
    return nullptr;
  }
  struct stat info {};
  // A directory opens for reading on POSIX but is no byte stream; nor is a
  // pipe, a socket or a device.
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *why = notAFile(info.st_mode);
    ::close(fd);
    return nullptr;
  }
  // Reads of a regular file wait for their data like any other.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  CStream* stream = new (std::nothrow) CFileStream(fd, path);
  if (!stream) {
    *why = "out of memory";
    ::close(fd);
  }
  return stream;
}

}  // namespace kolm
