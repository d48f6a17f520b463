// The Windows file streams: the shell's COM stream behind openFileStream and
// the overlapped-read stream, on real files in the temporary folder.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "kolm/stream.h"
#include "kolm/sys/win32/file_stream.h"

using kolm::CStream;
using kolm::CWin32Stream;

namespace {

std::vector<unsigned char> pattern(int bytes) {
  std::vector<unsigned char> data(static_cast<size_t>(bytes));
  for (int i = 0; i < bytes; ++i) data[static_cast<size_t>(i)] = static_cast<unsigned char>(i * 7 + i / 256);
  return data;
}

// A scratch file with known bytes, removed after the test.
class ScratchFile {
 public:
  explicit ScratchFile(int bytes) : data(pattern(bytes)) {
    char folder[MAX_PATH];
    char name[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "zrv", 0, name);
    path = name;
    append(data);
  }
  ~ScratchFile() { DeleteFileA(path.c_str()); }
  void append(const std::vector<unsigned char>& bytes) const {
    std::FILE* file = std::fopen(path.c_str(), "ab");
    ASSERT_NE(file, nullptr);
    if (!bytes.empty()) {
      EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    }
    std::fclose(file);
  }
  std::string path;
  std::vector<unsigned char> data;
};

std::vector<unsigned char> readToEnd(CStream& stream, int chunk) {
  std::vector<unsigned char> all;
  std::vector<unsigned char> buffer(static_cast<size_t>(chunk));
  for (int guard = 0; guard < 100000; ++guard) {
    const int got = stream.read(buffer.data(), chunk);
    if (got <= 0) break;
    all.insert(all.end(), buffer.begin(), buffer.begin() + got);
  }
  return all;
}

std::unique_ptr<CStream> openShell(const std::string& path, int mode = 1) {
  return std::unique_ptr<CStream>(kolm::openFileStream(path.c_str(), mode));
}

TEST(ShellStream, TheShortLastReadKeepsItsBytes) {
  // 10000 = 2 * 4096 + 1808: the last read is short, which the shell stream
  // answers with S_FALSE and the bytes it did read.
  ScratchFile file(10000);
  auto stream = openShell(file.path);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(readToEnd(*stream, 4096), file.data);
  EXPECT_EQ(stream->tell(), 10000);
  unsigned char byte = 0;
  EXPECT_EQ(stream->read(&byte, 1), 0);
  EXPECT_EQ(stream->read(nullptr, 10), 0);
  EXPECT_EQ(stream->read(&byte, -1), 0);
}

TEST(ShellStream, SeekTellSizeAndReopen) {
  ScratchFile file(5000);
  auto stream = openShell(file.path);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->size(), 5000);
  ASSERT_TRUE(stream->seek(100, kolm::fromBegin));
  ASSERT_TRUE(stream->seek(50, kolm::fromCurrent));
  EXPECT_EQ(stream->tell(), 150);
  unsigned char byte = 0;
  ASSERT_EQ(stream->read(&byte, 1), 1);
  EXPECT_EQ(byte, file.data[150]);

  // A refused seek leaves the position where it was.
  EXPECT_FALSE(stream->seek(-1000, kolm::fromCurrent));
  EXPECT_FALSE(stream->seek(-1, kolm::fromBegin));
  EXPECT_EQ(stream->tell(), 151);

  ASSERT_TRUE(stream->seek(0, kolm::fromEnd));
  EXPECT_EQ(stream->tell(), 5000);
  EXPECT_EQ(stream->read(&byte, 1), 0);
  ASSERT_TRUE(stream->seek(-10, kolm::fromEnd));
  EXPECT_EQ(stream->tell(), 4990);

  // The second stream starts at 0 and moves on its own.
  std::unique_ptr<CStream> second(stream->reopen());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->tell(), 0);
  EXPECT_EQ(readToEnd(*second, 1000), file.data);
  EXPECT_EQ(stream->tell(), 4990);
  stream.reset();
  // The shell library stays loaded for the stream that is still open.
  ASSERT_TRUE(second->seek(0, kolm::fromBegin));
  EXPECT_EQ(second->read(&byte, 1), 1);
  EXPECT_EQ(byte, file.data[0]);
}

TEST(ShellStream, WritesAnExistingFileInMode2) {
  ScratchFile file(100);
  {
    auto stream = openShell(file.path, 2);
    ASSERT_NE(stream, nullptr);
    const unsigned char bytes[3] = {0xAA, 0xBB, 0xCC};
    ASSERT_TRUE(stream->seek(10, kolm::fromBegin));
    EXPECT_EQ(stream->write(bytes, 3), 3);
  }
  auto stream = openShell(file.path);
  ASSERT_NE(stream, nullptr);
  const std::vector<unsigned char> back = readToEnd(*stream, 64);
  ASSERT_EQ(back.size(), 100u);
  EXPECT_EQ(back[10], 0xAA);
  EXPECT_EQ(back[12], 0xCC);
  EXPECT_EQ(back[13], file.data[13]);
  EXPECT_EQ(stream->write(back.data(), 1), 0);  // opened for reading
}

TEST(ShellStream, MissingFilesAndFoldersDoNotOpen) {
  EXPECT_EQ(openShell("C:\\zarvel\\no\\such\\file.mpg"), nullptr);
  EXPECT_EQ(kolm::openFileStream(nullptr, 1), nullptr);
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  EXPECT_EQ(openShell(folder), nullptr);
}

TEST(Win32Stream, OverlappedReadsToTheEnd) {
  ScratchFile file(70000);
  std::unique_ptr<CWin32Stream> stream(CWin32Stream::open(file.path.c_str()));
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(readToEnd(*stream, 4096), file.data);
  EXPECT_EQ(stream->tell(), 70000);
  unsigned char byte = 0;
  EXPECT_EQ(stream->read(&byte, 1), 0);
  EXPECT_EQ(stream->tell(), 70000);
  EXPECT_EQ(stream->reopen(), nullptr);
  EXPECT_EQ(CWin32Stream::open("C:\\zarvel\\no\\such\\file.mpg"), nullptr);
}

void CALLBACK doNothing(ULONG_PTR) {}

TEST(Win32Stream, AnotherQueuedCallDoesNotEndTheRead) {
  // The read's alertable sleep also runs calls queued by others; the read
  // must still wait for its own completion.
  ScratchFile file(3000);
  std::unique_ptr<CWin32Stream> stream(CWin32Stream::open(file.path.c_str()));
  ASSERT_NE(stream, nullptr);
  ASSERT_NE(QueueUserAPC(doNothing, GetCurrentThread(), 0), 0u);
  EXPECT_EQ(readToEnd(*stream, 1024), file.data);
}

TEST(Win32Stream, SeekLimits) {
  ScratchFile file(1000);
  std::unique_ptr<CWin32Stream> stream(CWin32Stream::open(file.path.c_str()));
  ASSERT_NE(stream, nullptr);
  EXPECT_FALSE(stream->seek(-1, kolm::fromCurrent));
  EXPECT_FALSE(stream->seek(1000, kolm::fromBegin));  // the size itself, from the beginning
  EXPECT_FALSE(stream->seek(-5, kolm::fromBegin));
  EXPECT_EQ(stream->tell(), 0);
  ASSERT_TRUE(stream->seek(0, kolm::fromEnd));
  EXPECT_EQ(stream->tell(), 1000);
  EXPECT_FALSE(stream->seek(1, kolm::fromEnd));
  EXPECT_FALSE(stream->seek(-1001, kolm::fromEnd));
  ASSERT_TRUE(stream->seek(-1000, kolm::fromEnd));
  ASSERT_TRUE(stream->seek(999, kolm::fromCurrent));
  unsigned char byte = 0;
  ASSERT_EQ(stream->read(&byte, 1), 1);
  EXPECT_EQ(byte, file.data[999]);
  EXPECT_FALSE(stream->seek(1, kolm::fromCurrent));
  ASSERT_TRUE(stream->seek(0, kolm::fromBegin));
  EXPECT_EQ(stream->tell(), 0);
}

TEST(Win32Stream, AnEmptyFileHasSize0AndIsAskedAgain) {
  ScratchFile file(0);
  std::unique_ptr<CWin32Stream> stream(CWin32Stream::open(file.path.c_str()));
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->size(), 0);
  unsigned char byte = 0;
  EXPECT_EQ(stream->read(&byte, 1), 0);
  file.append(pattern(42));
  EXPECT_EQ(stream->size(), 42);
}

}  // namespace
