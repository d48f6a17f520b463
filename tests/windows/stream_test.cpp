// The Windows file streams on real files: the shell's COM stream behind
// openFileStream and the overlapped-read stream.
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

// A scratch file of known bytes, removed after the test.
struct ScratchFile {
  explicit ScratchFile(int bytes) {
    char folder[MAX_PATH], name[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "zrv", 0, name);
    path = name;
    append(bytes);
  }
  ~ScratchFile() { DeleteFileA(path.c_str()); }
  void append(int bytes) {
    for (int i = 0; i < bytes; ++i) data.push_back(static_cast<unsigned char>(i * 7 + i / 256));
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::fwrite(data.data(), 1, data.size(), file), data.size());
    std::fclose(file);
  }
  std::string path;
  std::vector<unsigned char> data;
};

std::vector<unsigned char> readToEnd(CStream& stream, int chunk) {
  std::vector<unsigned char> all, buffer(static_cast<size_t>(chunk));
  for (int got; (got = stream.read(buffer.data(), chunk)) > 0;) all.insert(all.end(), buffer.begin(), buffer.begin() + got);
  return all;
}

TEST(ShellStream, ReadsWholeSeeksAndReopens) {
  // 10000 = 2 * 4096 + 1808: the shell stream answers the short last read
  // with S_FALSE and the bytes it did read.
  ScratchFile file(10000);
  std::unique_ptr<CStream> stream(kolm::openFileStream(file.path.c_str(), 1));
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(readToEnd(*stream, 4096), file.data);
  EXPECT_EQ(stream->tell(), 10000);
  EXPECT_EQ(stream->size(), 10000);

  ASSERT_TRUE(stream->seek(100, kolm::fromBegin));
  ASSERT_TRUE(stream->seek(50, kolm::fromCurrent));
  EXPECT_FALSE(stream->seek(-1000, kolm::fromCurrent));  // refused: the position stays
  EXPECT_FALSE(stream->seek(-1, kolm::fromBegin));
  EXPECT_EQ(stream->tell(), 150);
  ASSERT_TRUE(stream->seek(-10, kolm::fromEnd));
  EXPECT_EQ(stream->tell(), 9990);

  // The second stream starts at 0, moves on its own and outlives the first.
  std::unique_ptr<CStream> second(stream->reopen());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->tell(), 0);
  stream.reset();
  EXPECT_EQ(readToEnd(*second, 3000), file.data);
}

TEST(ShellStream, MissingFilesAndFoldersDoNotOpen) {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  EXPECT_EQ(kolm::openFileStream("C:\\zarvel\\no\\such\\file.mpg", 1), nullptr);
  EXPECT_EQ(kolm::openFileStream(folder, 1), nullptr);
  EXPECT_EQ(kolm::openFileStream(nullptr, 1), nullptr);
}

void CALLBACK doNothing(ULONG_PTR) {}

TEST(Win32Stream, OverlappedReadsToTheEnd) {
  ScratchFile file(70000);
  std::unique_ptr<CWin32Stream> stream(CWin32Stream::open(file.path.c_str()));
  ASSERT_NE(stream, nullptr);
  // A call queued by someone else ends the read's alertable sleep first; the
  // read must still wait for its own completion.
  ASSERT_NE(QueueUserAPC(doNothing, GetCurrentThread(), 0), 0u);
  EXPECT_EQ(readToEnd(*stream, 4096), file.data);
  EXPECT_EQ(stream->tell(), 70000);
  EXPECT_EQ(stream->reopen(), nullptr);
  EXPECT_EQ(CWin32Stream::open("C:\\zarvel\\no\\such\\file.mpg"), nullptr);
}

TEST(Win32Stream, SeekLimits) {
  ScratchFile file(1000);
  std::unique_ptr<CWin32Stream> stream(CWin32Stream::open(file.path.c_str()));
  ASSERT_NE(stream, nullptr);
  EXPECT_FALSE(stream->seek(-1, kolm::fromCurrent));
  EXPECT_FALSE(stream->seek(1000, kolm::fromBegin));  // the size itself, from the beginning
  EXPECT_FALSE(stream->seek(-5, kolm::fromBegin));
  EXPECT_FALSE(stream->seek(1, kolm::fromEnd));
  EXPECT_EQ(stream->tell(), 0);
  ASSERT_TRUE(stream->seek(0, kolm::fromEnd));
  EXPECT_EQ(stream->tell(), 1000);
  ASSERT_TRUE(stream->seek(-1, kolm::fromCurrent));
  unsigned char byte = 0;
  ASSERT_EQ(stream->read(&byte, 1), 1);
  EXPECT_EQ(byte, file.data[999]);
}

TEST(Win32Stream, AnEmptyFileIsAskedItsSizeAgain) {
  ScratchFile file(0);
  std::unique_ptr<CWin32Stream> stream(CWin32Stream::open(file.path.c_str()));
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->size(), 0);
  file.append(42);  // the stream shares the file with writers
  EXPECT_EQ(stream->size(), 42);
}

}  // namespace
