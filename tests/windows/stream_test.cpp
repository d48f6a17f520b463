// The Windows file streams on real files: the shell's COM stream behind
// openFileStream and the overlapped-read stream.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kolm/stream.h"
#include "kolm/sys/sys.h"
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

// Names are UTF-8: one that no ANSI code page holds opens in both streams
// (and reopens) with the bytes sys::openFile wrote under it; bytes that are
// no UTF-8 name no file.
TEST(FileStreams, NamesAreUtf8) {
  wchar_t folder[MAX_PATH] = L"";
  GetTempPathW(MAX_PATH, folder);
  const std::string path = kolm::sys::toUtf8(folder) + "\u65e5\u672c\u8a9e caf\u00e9 \U0001F3AC.bin";
  const std::vector<unsigned char> bytes = {'z', 'a', 'r', 'v', 'e', 'l'};
  std::FILE* out = kolm::sys::openFile(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
  std::fclose(out);
  std::unique_ptr<CStream> shell(kolm::openFileStream(path.c_str(), 1));
  ASSERT_NE(shell, nullptr);
  std::unique_ptr<CStream> again(shell->reopen());
  std::unique_ptr<CStream> overlapped(CWin32Stream::open(path.c_str()));
  for (CStream* stream : {shell.get(), again.get(), overlapped.get()}) {
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(readToEnd(*stream, 64), bytes);
  }
  std::string why;
  EXPECT_EQ(kolm::openFileStream("caf\xe9.bin", 1, &why), nullptr);
  EXPECT_EQ(why, "its name is not a valid file name");
  shell.reset();
  again.reset();
  overlapped.reset();
  EXPECT_TRUE(DeleteFileW(kolm::sys::toWide(path).c_str()));
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

constexpr std::int64_t GiB = std::int64_t{1} << 30;
constexpr unsigned char kMark[4] = {0xA1, 0xB2, 0xC3, 0xD4};

// A 5 GiB file, sized with SetEndOfFile (sparse under Wine on Linux), with
// kMark across the 2 GiB and 4 GiB lines and at its end.
struct BigFile {
  BigFile() {
    char folder[MAX_PATH], name[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "zrv", 0, name);
    path = name;
    HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER end;
    end.QuadPart = length;
    made = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    for (const std::int64_t at : {2 * GiB - 2, 4 * GiB - 2, length - 4}) {
      LARGE_INTEGER where;
      where.QuadPart = at;
      DWORD put = 0;
      made = made && SetFilePointerEx(file, where, nullptr, FILE_BEGIN) && WriteFile(file, kMark, 4, &put, nullptr) &&
             put == 4;
    }
    CloseHandle(file);
  }
  ~BigFile() { DeleteFileA(path.c_str()); }
  static constexpr std::int64_t length = 5 * GiB;
  std::string path;
  bool made = false;
};

std::vector<unsigned char> readAt(CStream& stream, std::int64_t at, int count) {
  std::vector<unsigned char> bytes(static_cast<size_t>(count));
  if (!stream.seek(at, kolm::fromBegin)) return {};
  const int got = stream.read(bytes.data(), count);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

// Both streams past 4 GiB: the size, reads across the 2 GiB and 4 GiB lines,
// relative moves of more than 2 GiB and the end of the file.
TEST(FileStreams, PositionsPastFourGigabytes) {
  BigFile file;
  ASSERT_TRUE(file.made);
  const std::vector<unsigned char> mark(kMark, kMark + 4);
  std::unique_ptr<CStream> shell(kolm::openFileStream(file.path.c_str(), 1));
  std::unique_ptr<CStream> overlapped(CWin32Stream::open(file.path.c_str()));
  for (CStream* stream : {shell.get(), overlapped.get()}) {
    ASSERT_NE(stream, nullptr);
    SCOPED_TRACE(stream == shell.get() ? "shell stream" : "overlapped stream");
    EXPECT_EQ(stream->size(), BigFile::length);
    EXPECT_EQ(readAt(*stream, 2 * GiB - 2, 4), mark);
    EXPECT_EQ(readAt(*stream, 4 * GiB - 2, 4), mark);
    EXPECT_EQ(stream->tell(), 4 * GiB + 2);
    ASSERT_TRUE(stream->seek(-4 * GiB, kolm::fromCurrent));
    EXPECT_EQ(stream->tell(), 2);
    ASSERT_TRUE(stream->seek(3 * GiB, kolm::fromCurrent));
    EXPECT_EQ(stream->tell(), 3 * GiB + 2);
    ASSERT_TRUE(stream->seek(-6, kolm::fromEnd));
    unsigned char tail[8] = {};
    EXPECT_EQ(stream->read(tail, 8), 6);
    EXPECT_EQ(std::vector<unsigned char>(tail + 2, tail + 6), mark);
    EXPECT_EQ(stream->tell(), BigFile::length);
    EXPECT_EQ(stream->read(tail, 8), 0);
    // Refused moves leave the position where it was.
    EXPECT_FALSE(stream->seek(std::numeric_limits<std::int64_t>::max(), kolm::fromEnd));
    EXPECT_FALSE(stream->seek(-BigFile::length - 1, kolm::fromCurrent));
    EXPECT_EQ(stream->tell(), BigFile::length);
  }
  // The shell stream may stand past the end, where reads give nothing.
  ASSERT_TRUE(shell->seek(GiB, kolm::fromEnd));
  EXPECT_EQ(shell->tell(), 6 * GiB);
  unsigned char byte = 0;
  EXPECT_EQ(shell->read(&byte, 1), 0);
  EXPECT_EQ(readAt(*shell, 2 * GiB - 2, 4), mark);
}

}  // namespace
