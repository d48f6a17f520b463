// End to end on recordings past 2 GiB. A fixture is split in two around
// more than 2.2 GiB of data its format says to skip, so that its later
// pictures and sound lie past the 2 GiB mark; zarvel-decode must decode the
// big file to its end, with FFmpeg's picture count. Each file is written to
// /tmp by its test and deleted at its end (label "large": they are slow).
#include <gtest/gtest.h>
#include <ogg/ogg.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "app/program.h"
#include "ogg/ogg_test_support.h"
#include "support/fixtures.h"

namespace {

using oggtest::Bytes;

const std::string kTool = ZARVEL_DECODE;
constexpr std::int64_t kFillerBytes = std::int64_t{2304} << 20;  // 2.25 GiB

// A file written in large buffered pieces, removed when the test ends.
class BigFile {
 public:
  explicit BigFile(const std::string& suffix) : path(fixtures::tempPath(suffix)) {
    file_ = std::fopen(path.c_str(), "wb");
    if (file_) std::setvbuf(file_, nullptr, _IOFBF, std::size_t{4} << 20);
  }
  ~BigFile() {
    if (file_) std::fclose(file_);
    std::remove(path.c_str());
  }
  void write(const std::uint8_t* data, std::size_t bytes) {
    ok_ = ok_ && file_ && std::fwrite(data, 1, bytes, file_) == bytes;
  }
  bool close() {
    const bool ok = ok_ && file_ && std::fclose(file_) == 0;
    file_ = nullptr;
    return ok;
  }
  const std::string path;

 private:
  std::FILE* file_ = nullptr;
  bool ok_ = true;
};

bool roomInTmp() {
  struct statvfs info {};
  return statvfs("/tmp", &info) == 0 &&
         static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize) > kFillerBytes + (1 << 30);
}

struct Decoded {
  int status = -1;
  long pictures = -1;
  std::string sound;  // the tool's line about the sound, empty without
  std::string printed;
};

Decoded decode(const std::string& file, const std::string& path) {
  Decoded result;
  result.status = fixtures::runTool(kTool, file + " --path " + path, &result.printed, true);
  std::smatch match;
  if (std::regex_search(result.printed, match, std::regex(R"(, (\d+) pictures in )")))
    result.pictures = std::stol(match[1]);
  if (std::regex_search(result.printed, match, std::regex("zarvel-decode: sound [^\n]*"))) result.sound = match[0];
  return result;
}

// Where `what` first occurs at or after `from`; bytes.size() when nowhere.
std::size_t findFrom(const Bytes& bytes, const Bytes& what, std::size_t from) {
  return static_cast<std::size_t>(
      std::search(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(), what.begin(), what.end()) -
      bytes.begin());
}

long manifestPictures(const std::string& name) {
  for (const auto& row : fixtures::manifest())
    if (row["file"] == name) return std::stol(row["frames"]);
  return -1;
}

// The big file decodes to its end on our path, with every picture of the
// fixture, FFmpeg's picture count and the whole of the fixture's sound.
void expectDecodedToTheEnd(const std::string& fixture, const std::string& big, const std::string& path) {
  const Decoded ours = decode(big, path);
  const Decoded ffmpeg = decode(big, "ffmpeg");
  const Decoded small = decode(fixtures::dataPath(fixture), path);
  ASSERT_EQ(ours.status, 0) << ours.printed;
  ASSERT_EQ(ffmpeg.status, 0) << ffmpeg.printed;
  EXPECT_EQ(ours.printed.find("stopped early"), std::string::npos) << ours.printed;
  EXPECT_EQ(ours.pictures, ffmpeg.pictures);
  EXPECT_EQ(ours.pictures, manifestPictures(fixture));
  EXPECT_FALSE(ours.sound.empty()) << ours.printed;
  EXPECT_EQ(ours.sound, small.sound);
}

// An MPEG-1 system stream: padding packets (stream 0xBE, of the largest
// length, filled with 0xFF as muxers do) between two packs of the fixture.
TEST(LargeFiles, Mpeg1SystemStreamPastTwoGigabytes) {
  if (!roomInTmp()) GTEST_SKIP() << "less than 3.3 GiB free in /tmp";
  const std::string name = "mpg-ip-176x120.mpg";
  const Bytes fixture = oggtest::readFile(fixtures::dataPath(name));
  // The first pack of the second half: pictures and sound packets follow it.
  const std::size_t split = findFrom(fixture, {0, 0, 1, 0xBA}, fixture.size() / 2);
  ASSERT_LT(split, fixture.size());
  ASSERT_LT(findFrom(fixture, {0, 0, 1, 0x00}, split), fixture.size()) << "no picture after the split";
  ASSERT_LT(findFrom(fixture, {0, 0, 1, 0xC0}, split), fixture.size()) << "no sound after the split";

  constexpr std::size_t packetBytes = 6 + 65535;
  constexpr std::size_t perChunk = 64;
  Bytes chunk(packetBytes * perChunk, 0xFF);
  for (std::size_t i = 0; i < perChunk; ++i) {
    std::uint8_t* packet = chunk.data() + i * packetBytes;
    packet[0] = packet[1] = 0;
    packet[2] = 1;
    packet[3] = 0xBE;  // the length field stays 0xFFFF
  }
  const std::int64_t packets = (kFillerBytes + static_cast<std::int64_t>(packetBytes) - 1) / packetBytes;
  BigFile big(".mpg");
  big.write(fixture.data(), split);
  for (std::int64_t done = 0; done < packets; done += perChunk)
    big.write(chunk.data(), static_cast<std::size_t>(std::min<std::int64_t>(perChunk, packets - done)) * packetBytes);
  big.write(fixture.data() + split, fixture.size() - split);
  ASSERT_TRUE(big.close());

  expectDecodedToTheEnd(name, big.path, "mpeg1");

  // The player too: every picture shown, the sound played.
  std::string out, err;
  ASSERT_EQ(runZarvel("--headless --exit-at-end --stats-json - " + big.path, &out, &err), 0) << err;
  EXPECT_NE(out.find("\"pictures\": " + std::to_string(manifestPictures(name)) + ","), std::string::npos) << out;
  EXPECT_EQ(out.find("\"blocks_played\": 0,"), std::string::npos) << out;
}

// One Ogg page holding one whole packet (less than 255 * 255 bytes), its
// checksum set by libogg; `page` is reused, so its memory is too.
void makePage(Bytes& page, int flags, std::int64_t granule, std::uint32_t serial, std::uint32_t sequence,
              const Bytes& packet) {
  const std::size_t segments = packet.size() / 255 + 1;
  page.assign(27, 0);
  std::memcpy(page.data(), "OggS", 4);
  page[5] = static_cast<std::uint8_t>(flags);
  for (int i = 0; i < 8; ++i) page[6 + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(granule) >> (8 * i));
  for (int i = 0; i < 4; ++i) {
    page[14 + i] = static_cast<std::uint8_t>(serial >> (8 * i));
    page[18 + i] = static_cast<std::uint8_t>(sequence >> (8 * i));
  }
  page[26] = static_cast<std::uint8_t>(segments);
  page.insert(page.end(), segments - 1, 255);
  page.push_back(static_cast<std::uint8_t>(packet.size() % 255));
  const std::size_t headerBytes = page.size();
  page.insert(page.end(), packet.begin(), packet.end());
  ogg_page sealed{page.data(), static_cast<long>(headerBytes), page.data() + headerBytes,
                  static_cast<long>(packet.size())};
  ogg_page_checksum_set(&sealed);
}

// Ogg Theora + Vorbis: pages of a third logical stream, a text stream whose
// first page comes with the other first pages. We step over every page of a
// stream that is neither Theora nor Vorbis; FFmpeg reads it as subtitles,
// whose packets the decoder drops. (A stream of no codec FFmpeg knows would
// not do: FFmpeg keeps all of its pages in memory.)
TEST(LargeFiles, OggTheoraVorbisPastTwoGigabytes) {
  if (!roomInTmp()) GTEST_SKIP() << "less than 3.3 GiB free in /tmp";
  const std::string name = "ogg-tv-176x120.ogv";
  const Bytes fixture = oggtest::readFile(fixtures::dataPath(name));
  const auto pages = oggtest::pagesOf(fixture);
  std::size_t firstPages = 0;
  while (firstPages < pages.size() && (pages[firstPages].flags & 0x02)) ++firstPages;
  // The first page that starts in the second half of the file.
  std::size_t split = firstPages;
  while (split < pages.size() && pages[split].offset < fixture.size() / 2) ++split;
  ASSERT_LT(split, pages.size());
  const std::uint32_t theora = oggtest::serialOf(fixture, "theora");
  ASSERT_TRUE(std::any_of(pages.begin() + static_cast<std::ptrdiff_t>(split), pages.end(),
                          [&](const oggtest::PageInfo& page) { return page.serial == theora; }))
      << "no picture after the split";

  constexpr std::uint32_t serial = 0x7A76464Cu;
  // The text stream's header: its type, then the sizes and the time unit
  // (one second in 100 ns) FFmpeg reads; a one-byte comment packet.
  Bytes header = {0x01, 't', 'e', 'x', 't', 0, 0, 0, 0, 0, 0, 0, 0, 52, 0, 0, 0};
  const Bytes timing = {0x80, 0x96, 0x98, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  header.insert(header.end(), timing.begin(), timing.end());
  header.resize(1 + 52, 0);
  // A data packet: its first byte 0 says no duration bytes follow.
  const Bytes data(255 * 255 - 1, 0);

  BigFile big(".ogv");
  auto copyPages = [&](std::size_t from, std::size_t to) {
    const std::size_t begin = pages[from].offset, end = to < pages.size() ? pages[to].offset : fixture.size();
    big.write(fixture.data() + begin, end - begin);
  };
  Bytes page;
  copyPages(0, firstPages);
  makePage(page, 0x02, 0, serial, 0, header);
  big.write(page.data(), page.size());
  makePage(page, 0, 0, serial, 1, Bytes{0x03});
  big.write(page.data(), page.size());
  copyPages(firstPages, split);
  makePage(page, 0, 0, serial, 2, data);
  const std::int64_t fillerPages = (kFillerBytes + static_cast<std::int64_t>(page.size()) - 1) / page.size();
  for (std::int64_t i = 0; i < fillerPages; ++i) {
    makePage(page, i + 1 == fillerPages ? 0x04 : 0, 0, serial, static_cast<std::uint32_t>(2 + i), data);
    big.write(page.data(), page.size());
  }
  copyPages(split, pages.size());
  ASSERT_TRUE(big.close());

  expectDecodedToTheEnd(name, big.path, "ogg");
}

}  // namespace
