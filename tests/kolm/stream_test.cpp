#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kolm/memory_stream.h"
#include "kolm/stream.h"

using kolm::CStream;
using kolm::openFileStream;

namespace {

// A scratch file with known bytes 0, 1, 2, ... removed after the test.
class ScratchFile {
 public:
  explicit ScratchFile(int bytes) {
    char name[] = "/tmp/zarvel-stream-XXXXXX";
    const int fd = mkstemp(name);
    path = name;
    for (int i = 0; i < bytes; ++i) {
      const unsigned char byte = static_cast<unsigned char>(i);
      EXPECT_EQ(::write(fd, &byte, 1), 1);
    }
    ::close(fd);
  }
  ~ScratchFile() { std::remove(path.c_str()); }
  std::string path;
};

std::unique_ptr<CStream> open(const std::string& path, int mode = 1) {
  return std::unique_ptr<CStream>(openFileStream(path.c_str(), mode));
}

TEST(FileStream, MissingFilesAndFoldersDoNotOpen) {
  EXPECT_EQ(open("/nonexistent/zarvel/file.mpg"), nullptr);
  EXPECT_EQ(open("/tmp"), nullptr);
  EXPECT_EQ(openFileStream(nullptr, 1), nullptr);
}

TEST(FileStream, ReadsToTheEndThenReturnsZero) {
  ScratchFile file(1000);
  auto stream = open(file.path);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->size(), 1000);
  unsigned char buffer[600];
  EXPECT_EQ(stream->read(buffer, 600), 600);
  EXPECT_EQ(buffer[599], static_cast<unsigned char>(599));
  EXPECT_EQ(stream->read(buffer, 600), 400);  // what is left
  EXPECT_EQ(buffer[0], static_cast<unsigned char>(600));
  EXPECT_EQ(stream->read(buffer, 600), 0);
  EXPECT_EQ(stream->tell(), 1000);
  EXPECT_EQ(stream->read(buffer, 0), 0);
  EXPECT_EQ(stream->read(nullptr, 10), 0);
}

TEST(FileStream, SeekOrigins) {
  ScratchFile file(100);
  auto stream = open(file.path);
  unsigned char byte = 0;
  ASSERT_TRUE(stream->seek(10, kolm::fromCurrent));  // skip forward
  ASSERT_EQ(stream->read(&byte, 1), 1);
  EXPECT_EQ(byte, 10);
  ASSERT_TRUE(stream->seek(0, kolm::fromBegin));  // rewind
  EXPECT_EQ(stream->tell(), 0);
  ASSERT_TRUE(stream->seek(-1, kolm::fromEnd));
  ASSERT_EQ(stream->read(&byte, 1), 1);
  EXPECT_EQ(byte, 99);
  ASSERT_TRUE(stream->seek(0, kolm::fromEnd));
  EXPECT_EQ(stream->tell(), 100);
  ASSERT_TRUE(stream->seek(7, 99));  // any other origin counts from the end
  EXPECT_EQ(stream->tell(), 107);
  EXPECT_EQ(stream->read(&byte, 1), 0);  // past the end there is nothing to read
}

TEST(FileStream, FailedSeeksLeaveThePositionAlone) {
  ScratchFile file(100);
  auto stream = open(file.path);
  ASSERT_TRUE(stream->seek(5, kolm::fromBegin));
  EXPECT_FALSE(stream->seek(-6, kolm::fromCurrent));
  EXPECT_FALSE(stream->seek(-1, kolm::fromBegin));
  EXPECT_FALSE(stream->seek(-101, kolm::fromEnd));
  EXPECT_FALSE(stream->seek(std::numeric_limits<std::int64_t>::max(), kolm::fromEnd));  // beyond int64
  EXPECT_EQ(stream->tell(), 5);
}

// A sparse file of 5 GiB (nothing but its marks takes disk space) with marks
// across the 2 GiB and 4 GiB lines and at its end: 32-bit positions would cut
// or wrap all three.
TEST(FileStream, PositionsPastFourGigabytes) {
  constexpr std::int64_t GiB = std::int64_t{1} << 30;
  constexpr std::int64_t length = 5 * GiB;
  char name[] = "/tmp/zarvel-stream-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  const std::string path = name;
  struct Remove {
    std::string path;
    ~Remove() { std::remove(path.c_str()); }
  } remove{path};
  const unsigned char mark[4] = {0xA1, 0xB2, 0xC3, 0xD4};
  const bool made = ::ftruncate(fd, length) == 0 && ::pwrite(fd, mark, 4, 2 * GiB - 2) == 4 &&
                    ::pwrite(fd, mark, 4, 4 * GiB - 2) == 4 && ::pwrite(fd, mark, 4, length - 4) == 4;
  ::close(fd);
  if (!made) GTEST_SKIP() << "this file system takes no 5 GiB sparse file";

  auto stream = open(path);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->size(), length);
  unsigned char got[8] = {};
  for (const std::int64_t at : {2 * GiB - 2, 4 * GiB - 2}) {
    ASSERT_TRUE(stream->seek(at, kolm::fromBegin));
    ASSERT_EQ(stream->read(got, 4), 4);
    EXPECT_EQ(std::vector<unsigned char>(got, got + 4), std::vector<unsigned char>(mark, mark + 4));
    EXPECT_EQ(stream->tell(), at + 4);
  }
  // Relative moves of more than 2 GiB each way.
  ASSERT_TRUE(stream->seek(-4 * GiB, kolm::fromCurrent));
  EXPECT_EQ(stream->tell(), 2);
  ASSERT_TRUE(stream->seek(3 * GiB, kolm::fromCurrent));
  EXPECT_EQ(stream->tell(), 3 * GiB + 2);
  // The end: a short last read, then nothing.
  ASSERT_TRUE(stream->seek(-6, kolm::fromEnd));
  EXPECT_EQ(stream->read(got, 8), 6);
  EXPECT_EQ(got[2], 0xA1);
  EXPECT_EQ(got[5], 0xD4);
  EXPECT_EQ(stream->tell(), length);
  EXPECT_EQ(stream->read(got, 8), 0);

  // A reopened stream starts at 0 and reaches the end on its own.
  std::unique_ptr<CStream> second(stream->reopen());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->tell(), 0);
  ASSERT_TRUE(second->seek(length - 4, kolm::fromBegin));
  ASSERT_EQ(second->read(got, 4), 4);
  EXPECT_EQ(got[3], 0xD4);
}

// Positions up to the largest int64 are taken (reads there give nothing);
// one that would pass it is refused and leaves the position alone.
TEST(Streams, PositionsStopAtTheLargestInt64) {
  constexpr std::int64_t largest = std::numeric_limits<std::int64_t>::max();
  ScratchFile file(100);
  std::vector<std::unique_ptr<CStream>> streams;
  streams.push_back(open(file.path));
  streams.push_back(std::make_unique<kolm::CMemoryStream>(std::vector<std::uint8_t>(100, 7)));
  for (auto& stream : streams) {
    ASSERT_NE(stream, nullptr);
    ASSERT_TRUE(stream->seek(largest, kolm::fromBegin));
    EXPECT_EQ(stream->tell(), largest);
    unsigned char byte = 0;
    EXPECT_EQ(stream->read(&byte, 1), 0);
    EXPECT_EQ(stream->tell(), largest);
    EXPECT_FALSE(stream->seek(1, kolm::fromCurrent));
    EXPECT_FALSE(stream->seek(largest - 99, kolm::fromEnd));
    EXPECT_FALSE(stream->seek(std::numeric_limits<std::int64_t>::min(), kolm::fromCurrent));
    EXPECT_EQ(stream->tell(), largest);
    ASSERT_TRUE(stream->seek(-largest, kolm::fromCurrent));
    EXPECT_EQ(stream->tell(), 0);
    ASSERT_TRUE(stream->seek(largest - 100, kolm::fromEnd));
    EXPECT_EQ(stream->tell(), largest);
  }
}

TEST(FileStream, ReopenedStreamsKeepTheirOwnPositions) {
  ScratchFile file(256);
  auto first = open(file.path);
  ASSERT_TRUE(first->seek(100, kolm::fromBegin));
  std::unique_ptr<CStream> second(first->reopen());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->tell(), 0);
  unsigned char buffer[50];
  ASSERT_EQ(second->read(buffer, 50), 50);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(first->tell(), 100);
  unsigned char byte = 0;
  ASSERT_EQ(first->read(&byte, 1), 1);
  EXPECT_EQ(byte, 100);
  EXPECT_EQ(second->tell(), 50);
  // The reopened stream outlives the first.
  first.reset();
  ASSERT_EQ(second->read(&byte, 1), 1);
  EXPECT_EQ(byte, 50);
}

TEST(FileStream, EmptyFile) {
  ScratchFile file(0);
  auto stream = open(file.path);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->size(), 0);
  unsigned char byte = 0;
  EXPECT_EQ(stream->read(&byte, 1), 0);
  EXPECT_TRUE(stream->seek(0, kolm::fromEnd));
}

TEST(FileStream, WriteModeWritesAndReadModeDoesNot) {
  ScratchFile file(10);
  const char text[] = "abc";
  auto reader = open(file.path);
  EXPECT_EQ(reader->write(text, 3), 0);
  auto writer = open(file.path, 2);
  ASSERT_NE(writer, nullptr);
  ASSERT_TRUE(writer->seek(4, kolm::fromBegin));
  EXPECT_EQ(writer->write(text, 3), 3);
  EXPECT_EQ(writer->tell(), 7);
  char back[3] = {};
  ASSERT_TRUE(reader->seek(4, kolm::fromBegin));
  ASSERT_EQ(reader->read(back, 3), 3);
  EXPECT_EQ(std::string(back, 3), "abc");
}

}  // namespace
