#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

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
  EXPECT_FALSE(stream->seek(0x7FFFFFFF, kolm::fromEnd));  // beyond 32-bit positions
  EXPECT_EQ(stream->tell(), 5);
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
