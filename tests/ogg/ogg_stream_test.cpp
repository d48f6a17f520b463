// The Ogg page reader on hand-made pages: cutting pages into packets, granule
// positions, packets across pages, foreign pages, damage and cut files.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "kolm/memory_stream.h"
#include "ogg/ogg_stream.h"
#include "ogg_test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kContinued = 0x01, kFirst = 0x02, kLast = 0x04;

// One page with the given lacing values; the body is made of `fill` bytes
// numbered from `first` so that a misplaced byte shows.
Bytes page(int flags, std::int64_t granule, std::uint32_t serial, const std::vector<int>& lacing, Bytes body = {}) {
  Bytes out = {'O', 'g', 'g', 'S', 0, static_cast<std::uint8_t>(flags)};
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(granule) >> (8 * i)));
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(serial >> (8 * i)));
  for (int i = 0; i < 8; ++i) out.push_back(0);  // sequence number (read only after damage) and checksum
  out.push_back(static_cast<std::uint8_t>(lacing.size()));
  std::size_t total = 0;
  for (int v : lacing) {
    out.push_back(static_cast<std::uint8_t>(v));
    total += static_cast<std::size_t>(v);
  }
  if (body.empty())
    for (std::size_t i = 0; i < total; ++i) body.push_back(static_cast<std::uint8_t>(i * 7 + 1));
  EXPECT_EQ(body.size(), total);
  out.insert(out.end(), body.begin(), body.end());
  oggtest::sealPage(out.data(), out.size());
  return out;
}

// Lacing values for packets of these sizes, the last left open when asked.
std::vector<int> lacingFor(const std::vector<int>& sizes, bool lastOpen = false) {
  std::vector<int> lacing;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    int size = sizes[i];
    while (size >= 255) {
      lacing.push_back(255);
      size -= 255;
    }
    if (!(lastOpen && i + 1 == sizes.size())) lacing.push_back(size);
    else if (size) ADD_FAILURE() << "an open packet must end on a 255 segment";
  }
  return lacing;
}

Bytes bytesOf(const std::vector<int>& sizes, std::uint8_t seed) {
  Bytes body;
  int total = 0;
  for (int s : sizes) total += s;
  for (int i = 0; i < total; ++i) body.push_back(static_cast<std::uint8_t>(seed + i * 13));
  return body;
}

// A first page that names the codec ("\x80theora" or "\x01vorbis") with a short header packet.
Bytes firstPage(std::uint32_t serial, const char* codec, std::uint8_t type) {
  Bytes body = {type};
  for (const char* c = codec; *c; ++c) body.push_back(static_cast<std::uint8_t>(*c));
  for (int i = 0; i < 23; ++i) body.push_back(static_cast<std::uint8_t>(i));
  return page(kFirst, 0, serial, {static_cast<int>(body.size())}, body);
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

struct Packet {
  Bytes bytes;
  std::int64_t granule;
  long endOfStream;
};

// Every packet the next readPage() gathers.
std::vector<Packet> drain(ogg::COggStream& stream) {
  std::vector<Packet> packets;
  while (stream.nextPacket()) {
    const ogg_packet* p = stream.packet();
    packets.push_back({Bytes(p->packet, p->packet + p->bytes), p->granulepos, p->e_o_s});
  }
  return packets;
}

std::vector<Packet> nextGroup(ogg::COggStream& stream, bool* ok) {
  stream.resetPackets();
  *ok = stream.readPage();
  return drain(stream);
}

// The packets of the next page group, which must exist.
std::vector<Packet> gathered(ogg::COggStream& stream) {
  bool ok = false;
  auto packets = nextGroup(stream, &ok);
  EXPECT_TRUE(ok) << "no page was gathered";
  return packets;
}

// True when the stream has no further page group.
bool ended(ogg::COggStream& stream) {
  bool ok = true;
  const auto packets = nextGroup(stream, &ok);
  return !ok && packets.empty();
}

TEST(OggStream, FindsItsCodecAmongTheFirstPages) {
  Bytes file;
  append(file, firstPage(7, "vorbis", 1));
  append(file, firstPage(9, "theora", 0x80));
  append(file, page(0, 0, 7, {3}));
  append(file, page(0, 0, 9, {4}));
  kolm::CMemoryStream stream(file);
  ogg::CVideoStream video(&stream);
  ASSERT_TRUE(video.findStream());
  EXPECT_EQ(video.streamType(), ogg::theoraCodec);
  EXPECT_EQ(video.serial(), 9u);
  // The packet record holds the whole first group, flagged as the stream's beginning.
  EXPECT_EQ(video.packet()->b_o_s, 1);
  EXPECT_EQ(video.packet()->bytes, 30);
  EXPECT_EQ(video.packet()->packet[0], 0x80);

  ogg::CAudioStream audio(&stream);
  ASSERT_TRUE(audio.findStream());
  EXPECT_EQ(audio.streamType(), ogg::vorbisCodec);
  EXPECT_EQ(audio.serial(), 7u);
  ASSERT_EQ(audio.nextPacket(), 1);
  EXPECT_EQ(audio.packet()->b_o_s, 1);  // until the next readPage()
  EXPECT_EQ(audio.nextPacket(), 0);
  auto packets = gathered(audio);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].bytes.size(), 3u);
  EXPECT_EQ(audio.packet()->b_o_s, 0);
}

TEST(OggStream, AFileWithoutTheCodecIsNotFound) {
  Bytes file;
  append(file, firstPage(7, "vorbis", 1));
  append(file, page(0, 0, 7, {3}));
  kolm::CMemoryStream stream(file);
  ogg::CVideoStream video(&stream);
  EXPECT_FALSE(video.findStream());
  EXPECT_FALSE(video.streamChosen());

  // A page that is not a first page ends the search.
  Bytes late;
  append(late, firstPage(7, "vorbis", 1));
  append(late, page(0, 0, 7, {3}));
  append(late, firstPage(9, "theora", 0x80));
  kolm::CMemoryStream lateStream(late);
  ogg::CVideoStream lateVideo(&lateStream);
  EXPECT_FALSE(lateVideo.findStream());

  kolm::CMemoryStream empty(Bytes{});
  ogg::CAudioStream nothing(&empty);
  EXPECT_FALSE(nothing.findStream());
}

TEST(OggStream, OnlyTheLastPacketCompletedOnAPageCarriesItsGranule) {
  Bytes file;
  append(file, firstPage(5, "theora", 0x80));
  const std::vector<int> sizes = {10, 300, 0, 5};
  append(file, page(0, 77, 5, lacingFor(sizes), bytesOf(sizes, 3)));
  kolm::CMemoryStream stream(file);
  ogg::CVideoStream video(&stream);
  ASSERT_TRUE(video.findStream());
  auto packets = gathered(video);
  ASSERT_EQ(packets.size(), 4u);
  const Bytes all = bytesOf(sizes, 3);
  std::size_t offset = 0;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(packets[i].bytes.size(), static_cast<std::size_t>(sizes[i]));
    EXPECT_TRUE(std::equal(packets[i].bytes.begin(), packets[i].bytes.end(), all.begin() + static_cast<long>(offset)));
    offset += packets[i].bytes.size();
    EXPECT_EQ(packets[i].granule, i + 1 == packets.size() ? 77 : -1);
    EXPECT_EQ(packets[i].endOfStream, 0);
  }
  EXPECT_TRUE(ended(video));  // the end of the file ends reading
}

TEST(OggStream, APacketSpanningPagesIsAssembledInOneCall) {
  Bytes file;
  append(file, firstPage(5, "theora", 0x80));
  const Bytes big = bytesOf({900}, 11);
  // 900 bytes: 510 on the first page (open), 390 on the next, which also carries a small packet.
  append(file, page(0, -1, 5, {255, 255}, Bytes(big.begin(), big.begin() + 510)));
  append(file, page(kContinued, -1, 5, {255, 135}, Bytes(big.begin() + 510, big.end())));
  // Flagged as a continuation with nothing open: its packets are taken as they come.
  Bytes tail = Bytes(big.begin(), big.begin() + 20);
  append(file, page(kContinued, 42, 5, {0, 20}, tail));
  kolm::CMemoryStream stream(file);
  ogg::CVideoStream video(&stream);
  ASSERT_TRUE(video.findStream());
  auto packets = gathered(video);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].bytes, big);
  // Ended on the second page, which has no granule position of its own.
  EXPECT_EQ(packets[0].granule, -1);
  packets = gathered(video);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_TRUE(packets[0].bytes.empty());
  EXPECT_EQ(packets[1].bytes, tail);
  EXPECT_EQ(packets[1].granule, 42);
}

TEST(OggStream, ASpanningPacketTakesTheGranuleOfThePageItEndsOn) {
  Bytes file;
  append(file, firstPage(5, "theora", 0x80));
  const Bytes big = bytesOf({600}, 5);
  append(file, page(0, -1, 5, {255}, Bytes(big.begin(), big.begin() + 255)));
  append(file, page(kContinued, -1, 5, {255}, Bytes(big.begin() + 255, big.begin() + 510)));
  append(file, page(kContinued, 1234, 5, {90}, Bytes(big.begin() + 510, big.end())));
  kolm::CMemoryStream stream(file);
  ogg::CVideoStream video(&stream);
  ASSERT_TRUE(video.findStream());
  auto packets = gathered(video);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].bytes, big);
  EXPECT_EQ(packets[0].granule, 1234);
}

TEST(OggStream, AnOpenPacketAfterCompletedOnesWaitsForItsContinuation) {
  // Pages filled to a size leave a packet open on most pages: each call hands
  // out what is complete and keeps the open bytes for the next one.
  Bytes file;
  append(file, firstPage(5, "theora", 0x80));
  const Bytes first = bytesOf({40}, 1), second = bytesOf({700}, 2), third = bytesOf({30}, 3);
  Bytes body1 = first;
  body1.insert(body1.end(), second.begin(), second.begin() + 510);
  append(file, page(0, 10, 5, {40, 255, 255}, body1));
  Bytes body2(second.begin() + 510, second.end());
  body2.insert(body2.end(), third.begin(), third.end());
  append(file, page(kContinued, 20, 5, {190, 30}, body2));
  kolm::CMemoryStream stream(file);
  ogg::CVideoStream video(&stream);
  ASSERT_TRUE(video.findStream());
  auto packets = gathered(video);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].bytes, first);
  EXPECT_EQ(packets[0].granule, 10);
  packets = gathered(video);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].bytes, second);
  EXPECT_EQ(packets[0].granule, -1);
  EXPECT_EQ(packets[1].bytes, third);
  EXPECT_EQ(packets[1].granule, 20);
  EXPECT_TRUE(ended(video));
}

TEST(OggStream, AnOpenPacketThatIsNeverContinuedIsDropped) {
  Bytes file;
  append(file, firstPage(5, "theora", 0x80));
  append(file, page(0, 3, 5, {255}));
  append(file, page(0, 4, 5, {7}));  // not a continuation
  kolm::CMemoryStream stream(file);
  ogg::CVideoStream video(&stream);
  ASSERT_TRUE(video.findStream());
  // A packet without its end is no packet: the codec never sees it.
  auto packets = gathered(video);
  EXPECT_TRUE(packets.empty());
  packets = gathered(video);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].bytes.size(), 7u);
  EXPECT_EQ(packets[0].granule, 4);
}

TEST(OggStream, PagesOfOtherStreamsAreSteppedOver) {
  Bytes file;
  append(file, firstPage(1, "theora", 0x80));
  append(file, firstPage(2, "vorbis", 1));
  append(file, firstPage(3, "Speex  ", 'S'));
  for (int i = 0; i < 6; ++i) {
    append(file, page(0, i, 2, {100 + i}));
    append(file, page(0, i, 3, {200}));
    append(file, page(0, 10 * i, 1, {i + 1, 2 * i + 1}));
  }
  kolm::CMemoryStream stream(file);
  ogg::CVideoStream video(&stream);
  ASSERT_TRUE(video.findStream());
  for (int i = 0; i < 6; ++i) {
    auto packets = gathered(video);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].bytes.size(), static_cast<std::size_t>(i + 1));
    EXPECT_EQ(packets[1].bytes.size(), static_cast<std::size_t>(2 * i + 1));
    EXPECT_EQ(packets[1].granule, 10 * i);
  }
  bool ok = true;
  nextGroup(video, &ok);
  EXPECT_FALSE(ok);

  // The second reader of the same bytes keeps its own place.
  std::unique_ptr<kolm::CStream> second(stream.reopen());
  ogg::CAudioStream audio(second.get());
  ASSERT_TRUE(audio.findStream());
  ASSERT_EQ(audio.nextPacket(), 1);
  for (int i = 0; i < 6; ++i) {
    auto packets = nextGroup(audio, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].bytes.size(), static_cast<std::size_t>(100 + i));
  }
}

TEST(OggStream, JunkBetweenPagesIsSearchedThrough) {
  // Lengths that put the capture pattern across the search's reads, and a
  // stray "OggS" inside the junk.
  for (std::size_t junk : {1u, 100u, 4094u, 4095u, 4096u, 9000u}) {
    SCOPED_TRACE(junk);
    Bytes file;
    append(file, firstPage(5, "theora", 0x80));
    append(file, page(0, 1, 5, {10}));
    Bytes noise(junk, 'x');
    if (junk > 50) std::memcpy(noise.data() + junk / 2, "OggS\0\0", 6);
    append(file, noise);
    append(file, page(0, 2, 5, {11}));
    kolm::CMemoryStream stream(file);
    ogg::CVideoStream video(&stream);
    ASSERT_TRUE(video.findStream());
    auto packets = gathered(video);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].granule, 1);
    packets = gathered(video);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].bytes.size(), 11u);
    EXPECT_EQ(packets[0].granule, 2);
    EXPECT_TRUE(ended(video));
  }
}

TEST(OggStream, TheSearchForTheNextPageIsBounded) {
  Bytes file;
  append(file, firstPage(5, "theora", 0x80));
  append(file, page(0, 1, 5, {10}));
  append(file, Bytes(static_cast<std::size_t>(ogg::COggStream::maxResync) + 10000, 'x'));
  append(file, page(0, 2, 5, {11}));
  kolm::CMemoryStream stream(file);
  ogg::CVideoStream video(&stream);
  ASSERT_TRUE(video.findStream());
  EXPECT_EQ(gathered(video).size(), 1u);
  EXPECT_TRUE(ended(video));
  // A file must begin with a page: no search there.
  Bytes late(10, 'x');
  append(late, firstPage(5, "theora", 0x80));
  kolm::CMemoryStream lateStream(late);
  ogg::CVideoStream lateVideo(&lateStream);
  EXPECT_FALSE(lateVideo.findStream());
}

// The page with a new sequence number and its checksum made right again.
Bytes numbered(Bytes page, std::uint32_t sequence) {
  for (int i = 0; i < 4; ++i) page[18 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sequence >> (8 * i));
  oggtest::sealPage(page.data(), page.size());
  return page;
}

TEST(OggStream, APageFailingItsChecksumIsDropped) {
  // Damage inside one page loses that page's packets and nothing else.
  Bytes file;
  append(file, numbered(firstPage(5, "theora", 0x80), 0));
  append(file, numbered(page(0, 1, 5, {10, 20}), 1));
  Bytes damaged = numbered(page(0, 2, 5, {30}), 2);
  damaged[damaged.size() - 5] ^= 0x10;
  append(file, damaged);
  append(file, numbered(page(0, 3, 5, {40}), 3));
  kolm::CMemoryStream stream(file);
  ogg::CVideoStream video(&stream);
  ASSERT_TRUE(video.findStream());
  EXPECT_EQ(gathered(video).size(), 2u);
  auto packets = gathered(video);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].bytes.size(), 40u);
  EXPECT_EQ(packets[0].granule, 3);
  EXPECT_TRUE(ended(video));
}

TEST(OggStream, APacketWhosePageWasLostIsDropped) {
  // 700 bytes over three pages, the middle one damaged; the third page ends
  // the lost packet and carries a whole one after it.
  const Bytes big = bytesOf({700}, 3), small = bytesOf({25}, 4);
  Bytes third(big.begin() + 510, big.end());
  append(third, small);
  for (bool damageForeign : {false, true}) {
    SCOPED_TRACE(damageForeign);
    Bytes file;
    append(file, numbered(firstPage(5, "theora", 0x80), 0));
    append(file, numbered(page(0, -1, 5, {255}, Bytes(big.begin(), big.begin() + 255)), 1));
    Bytes second = numbered(page(kContinued, -1, 5, {255}, Bytes(big.begin() + 255, big.begin() + 510)), 2);
    Bytes foreign = page(0, 0, 9, {50});
    (damageForeign ? foreign : second)[40] ^= 1;
    append(file, foreign);
    append(file, second);
    append(file, numbered(page(kContinued, 7, 5, {190, 25}, third), 3));
    kolm::CMemoryStream stream(file);
    ogg::CVideoStream video(&stream);
    ASSERT_TRUE(video.findStream());
    auto packets = gathered(video);
    if (damageForeign) {
      // Only another stream's page was hit: the sequence shows nothing of ours missing.
      ASSERT_EQ(packets.size(), 2u);
      EXPECT_EQ(packets[0].bytes, big);
      EXPECT_EQ(packets[1].bytes, small);
    } else {
      ASSERT_EQ(packets.size(), 1u);
      EXPECT_EQ(packets[0].bytes, small);
      EXPECT_EQ(packets[0].granule, 7);
    }
    EXPECT_TRUE(ended(video));
  }
}

TEST(OggStream, PagesLargerThanTheProbeAreReadWhole) {
  Bytes file;
  append(file, firstPage(5, "theora", 0x80));
  std::vector<int> sizes;
  for (int i = 0; i < 100; ++i) sizes.push_back(300 + 2 * i);  // two segments each
  std::vector<int> lacing = lacingFor(sizes);
  ASSERT_LE(lacing.size(), 255u);
  const Bytes body = bytesOf(sizes, 9);
  ASSERT_GT(body.size(), 30000u);
  append(file, page(0, 99, 5, lacing, body));
  // A page with 255 segments of 255: the largest body there is.
  const std::vector<int> fullLacing(255, 255);
  append(file, page(0, -1, 5, fullLacing));
  append(file, page(kContinued | kLast, 100, 5, {1}));
  kolm::CMemoryStream stream(file);
  ogg::CVideoStream video(&stream);
  ASSERT_TRUE(video.findStream());
  auto packets = gathered(video);
  ASSERT_EQ(packets.size(), sizes.size());
  Bytes joined;
  for (const auto& p : packets) append(joined, p.bytes);
  EXPECT_EQ(joined, body);
  EXPECT_EQ(packets.back().granule, 99);
  packets = gathered(video);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].bytes.size(), 255u * 255u + 1u);
  EXPECT_EQ(packets[0].granule, 100);
  EXPECT_EQ(packets[0].endOfStream, 1);  // the stream's last page
}

TEST(OggStream, TheBufferGrowsForAHugePacket) {
  Bytes file;
  append(file, firstPage(5, "theora", 0x80));
  const Bytes huge = bytesOf({255 * 255 * 5}, 17);
  for (int i = 0; i < 5; ++i) {
    const std::vector<int> lacing(255, 255);
    append(file, page(i ? kContinued : 0, -1, 5, lacing,
                      Bytes(huge.begin() + i * 255 * 255, huge.begin() + (i + 1) * 255 * 255)));
  }
  append(file, page(kContinued, 8, 5, {0}));
  kolm::CMemoryStream stream(file);
  ogg::CVideoStream video(&stream);
  ASSERT_TRUE(video.findStream());
  auto packets = gathered(video);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].bytes, huge);
  EXPECT_EQ(packets[0].granule, 8);
  EXPECT_GE(video.capacity(), huge.size());
}

TEST(OggStream, ALastPageCutByTheEndOfTheFileIsDropped) {
  for (int bodySize : {100, 3000}) {  // within the probe and beyond it
    SCOPED_TRACE(bodySize);
    Bytes file;
    append(file, firstPage(5, "theora", 0x80));
    append(file, page(0, 1, 5, {20}));
    const std::vector<int> sizes = {bodySize / 2, bodySize / 2};
    const Bytes last = page(0, 50, 5, lacingFor(sizes), bytesOf(sizes, 1));
    const std::size_t keep = last.size() - static_cast<std::size_t>(bodySize) / 4;  // half of the second packet
    file.insert(file.end(), last.begin(), last.begin() + static_cast<long>(keep));
    kolm::CMemoryStream stream(file);
    ogg::CVideoStream video(&stream);
    ASSERT_TRUE(video.findStream());
    bool ok = false;
    EXPECT_EQ(nextGroup(video, &ok).size(), 1u);
    // Its checksum cannot be checked, so no part of it counts, and its open
    // packet is never completed.
    EXPECT_TRUE(ended(video));
  }
}

TEST(OggStream, HeadersCutShortEndReadingCleanly) {
  Bytes file;
  append(file, firstPage(5, "theora", 0x80));
  for (std::size_t keep = 0; keep < file.size(); ++keep) {
    kolm::CMemoryStream stream(Bytes(file.begin(), file.begin() + static_cast<long>(keep)));
    ogg::CVideoStream video(&stream);
    // A first page cut short cannot be checked: no stream is found.
    EXPECT_FALSE(video.findStream()) << keep;
  }
  kolm::CMemoryStream whole(file);
  ogg::CVideoStream video(&whole);
  EXPECT_TRUE(video.findStream());
}

TEST(OggStream, PacketsAreNumberedInOrderAndResetStartsAgain) {
  Bytes file;
  append(file, firstPage(5, "vorbis", 1));
  append(file, page(0, 0, 5, {3, 4, 5}));
  append(file, page(0, 9, 5, {6}));
  kolm::CMemoryStream stream(file);
  ogg::CAudioStream audio(&stream);
  ASSERT_TRUE(audio.findStream());
  std::vector<std::int64_t> numbers;
  for (;;) {
    while (audio.nextPacket()) numbers.push_back(audio.packet()->packetno);
    audio.resetPackets();
    if (!audio.readPage()) break;
  }
  EXPECT_EQ(numbers, (std::vector<std::int64_t>{0, 1, 2, 3, 4}));
  // A packet taken back comes again with the same number.
  ASSERT_TRUE(audio.findStream());
  ASSERT_EQ(audio.nextPacket(), 1);
  audio.unreadPacket();
  ASSERT_EQ(audio.nextPacket(), 1);
  EXPECT_EQ(audio.packet()->packetno, 0);
  EXPECT_EQ(audio.packet()->bytes, 30);
}

TEST(OggStream, PagesWithoutSegmentsAndEmptyPackets) {
  Bytes file;
  append(file, firstPage(5, "theora", 0x80));
  append(file, page(0, 3, 5, {}));
  append(file, page(0, 4, 5, {0, 0, 0}));
  kolm::CMemoryStream stream(file);
  ogg::CVideoStream video(&stream);
  ASSERT_TRUE(video.findStream());
  bool ok = false;
  EXPECT_TRUE(nextGroup(video, &ok).empty());
  EXPECT_TRUE(ok);
  auto packets = nextGroup(video, &ok);
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[2].granule, 4);
  EXPECT_EQ(packets[0].granule, -1);
}

}  // namespace
