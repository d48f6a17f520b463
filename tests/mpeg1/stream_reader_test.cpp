// The MPEG-1 input side: format detection, packets of one stream, payload
// bytes, and the bit reader's start codes and end of data.
#include <gtest/gtest.h>

#include <vector>

#include "kolm/memory_stream.h"
#include "mpeg1/bit_reader.h"
#include "mpeg1/errors.h"
#include "mpeg1/stream_reader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void append(Bytes& out, std::initializer_list<int> bytes) {
  for (int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
}

// An MPEG-1 pack header ('0010' marker).
void pack(Bytes& out) { append(out, {0, 0, 1, 0xBA, 0x21, 0, 1, 0, 1, 0x80, 0, 1}); }

void systemHeader(Bytes& out, const std::vector<int>& ids) {
  const int length = 6 + 3 * static_cast<int>(ids.size());
  append(out, {0, 0, 1, 0xBB, length >> 8, length & 0xFF, 0x80, 0, 1, 0x04, 0xE1, 0xFF});
  for (int id : ids) append(out, {id, 0xE0, 0x2E});  // bound scale 1: 46 * 1024
}

// A packet with the given header extras in front of the payload.
void packet(Bytes& out, int id, const Bytes& header, const Bytes& payload) {
  const int length = static_cast<int>(header.size() + payload.size());
  append(out, {0, 0, 1, id, length >> 8, length & 0xFF});
  out.insert(out.end(), header.begin(), header.end());
  out.insert(out.end(), payload.begin(), payload.end());
}

Bytes readAll(CMpegPayloadReader* reader) {
  Bytes all;
  std::uint8_t chunk[7];
  int got;
  while ((got = reader->readPayload(chunk, sizeof chunk)) > 0) all.insert(all.end(), chunk, chunk + got);
  return all;
}

TEST(MpegStreamReader, SystemStreamYieldsTheVideoPayloadWithoutPacketHeaders) {
  Bytes file;
  pack(file);
  systemHeader(file, {0xC0, 0xE0});
  packet(file, 0xE0, {0xFF, 0xFF, 0x40, 0x20, 0x21, 0, 1, 0, 1}, {1, 2, 3});  // stuffing, buffer, PTS
  packet(file, 0xC0, {0x0F}, {9, 9, 9, 9});                                  // audio: skipped
  pack(file);
  packet(file, 0xE0, {0x31, 0, 1, 0, 1, 0x11, 0, 1, 0, 1}, {4, 5});          // PTS and DTS
  packet(file, 0xE0, {0x0F}, {6});                                             // no time stamps
  append(file, {0, 0, 1, 0xB9});
  kolm::CMemoryStream stream(file);
  CMpegStreamReader reader(&stream);
  ASSERT_TRUE(reader.detectFormat());
  EXPECT_FALSE(reader.elementary());
  ASSERT_EQ(reader.streamCount(), 2);
  EXPECT_EQ(reader.stream(1).streamId, 0xE0u);
  EXPECT_EQ(reader.stream(1).bufferBound, 46u * 1024);
  CMpegPayloadReader* video = reader.openVideoStream(0);
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(readAll(video), (Bytes{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(reader.openVideoStream(1), nullptr);
}

TEST(MpegStreamReader, KeepsAtMostTwentyStreamEntries) {
  Bytes file;
  pack(file);
  std::vector<int> ids;
  for (int i = 0; i < 25; ++i) ids.push_back(i < 16 ? 0xE0 + i : 0xC0 + i);
  systemHeader(file, ids);
  kolm::CMemoryStream stream(file);
  CMpegStreamReader reader(&stream);
  ASSERT_TRUE(reader.detectFormat());
  EXPECT_EQ(reader.streamCount(), 20);
}

TEST(MpegStreamReader, ElementaryStreamsAreReadFromTheStart) {
  Bytes file;
  append(file, {0, 0, 1, 0xB3, 0x0B, 0x00, 0x78, 0x13});
  for (int i = 0; i < 100; ++i) file.push_back(static_cast<std::uint8_t>(i));
  kolm::CMemoryStream stream(file);
  CMpegStreamReader reader(&stream);
  ASSERT_TRUE(reader.detectFormat());
  EXPECT_TRUE(reader.elementary());
  EXPECT_EQ(readAll(reader.openVideoStream(0)), file);
}

TEST(MpegStreamReader, RefusesOtherStarts) {
  const Bytes mpeg2Pack = {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8};
  for (const Bytes& file : {Bytes{0, 0, 1, 0xB9, 0, 0, 0, 0, 0, 0, 0, 0}, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
                            Bytes{0, 0, 1}, Bytes{}, mpeg2Pack}) {
    kolm::CMemoryStream stream(file);
    CMpegStreamReader reader(&stream);
    EXPECT_FALSE(reader.detectFormat());
  }
}

TEST(MpegStreamReader, ZeroStuffingBeforeTheFirstSequenceHeader) {
  Bytes file(5, 0);
  append(file, {0, 0, 1, 0xB3, 0x0B, 0x00, 0x78, 0x13, 1, 2, 3, 4});
  kolm::CMemoryStream stream(file);
  CMpegStreamReader reader(&stream);
  ASSERT_TRUE(reader.detectFormat());
  EXPECT_TRUE(reader.elementary());
  EXPECT_EQ(readAll(reader.openVideoStream(0)), file);
  // Zeros only: anything else before the first code is not MPEG.
  file[2] = 7;
  kolm::CMemoryStream other(file);
  CMpegStreamReader refused(&other);
  EXPECT_FALSE(refused.detectFormat());
}

TEST(MpegStreamReader, PaddingAndJunkBetweenPacksAreReadThrough) {
  // Zero runs and junk after packets, with the next code placed across the
  // search's 4096-byte reads at several offsets.
  for (std::size_t gap : {1u, 20u, 4093u, 4094u, 4095u, 4096u, 10000u}) {
    SCOPED_TRACE(gap);
    Bytes file;
    pack(file);
    systemHeader(file, {0xE0});
    packet(file, 0xE0, {0x0F}, {1, 2});
    file.insert(file.end(), gap, 0);
    pack(file);
    packet(file, 0xE0, {0x0F}, {3});
    for (std::size_t i = 0; i < gap; ++i) file.push_back(static_cast<std::uint8_t>(0x80 + i % 61));
    pack(file);
    packet(file, 0xE0, {0x0F}, {4});
    kolm::CMemoryStream stream(file);
    CMpegStreamReader reader(&stream);
    ASSERT_TRUE(reader.detectFormat());
    EXPECT_EQ(readAll(reader.openVideoStream(0)), (Bytes{1, 2, 3, 4}));
  }
}

TEST(MpegStreamReader, TheSearchForTheNextCodeIsBounded) {
  Bytes file;
  pack(file);
  systemHeader(file, {0xE0});
  packet(file, 0xE0, {0x0F}, {1});
  file.insert(file.end(), static_cast<std::size_t>(CMpegStreamReader::maxGap) + 8192, 0xAA);
  pack(file);
  packet(file, 0xE0, {0x0F}, {2});
  kolm::CMemoryStream stream(file);
  CMpegStreamReader reader(&stream);
  ASSERT_TRUE(reader.detectFormat());
  EXPECT_EQ(readAll(reader.openVideoStream(0)), (Bytes{1}));
}

TEST(MpegStreamReader, EmptyAndLargestPacketsAreTaken) {
  Bytes file;
  pack(file);
  systemHeader(file, {0xE0});
  packet(file, 0xE0, {0x0F}, {1});
  append(file, {0, 0, 1, 0xE0, 0, 0});  // length 0
  packet(file, 0xE0, {0xFF, 0xFF}, {});  // stuffing only
  packet(file, 0xE0, {0x21, 0, 1, 0, 1}, {});  // a time stamp and no payload
  Bytes large(65535 - 1, 0);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i % 251 + 2);
  packet(file, 0xE0, {0x0F}, large);  // length 65535, the largest there is
  packet(file, 0xE0, {0x0F}, {5});
  kolm::CMemoryStream stream(file);
  CMpegStreamReader reader(&stream);
  ASSERT_TRUE(reader.detectFormat());
  Bytes expected = {1};
  expected.insert(expected.end(), large.begin(), large.end());
  expected.push_back(5);
  EXPECT_EQ(readAll(reader.openVideoStream(0)), expected);
}

TEST(MpegStreamReader, AVideoStreamNoSystemHeaderListsIsFoundInThePackets) {
  Bytes file;
  pack(file);
  systemHeader(file, {0xC0});
  packet(file, 0xC0, {0x0F}, {9, 9});
  pack(file);
  packet(file, 0xE3, {0x0F}, {7, 8});
  packet(file, 0xE1, {0x0F}, {6});
  kolm::CMemoryStream stream(file);
  CMpegStreamReader reader(&stream);
  ASSERT_TRUE(reader.detectFormat());
  EXPECT_EQ(readAll(reader.openVideoStream(0)), (Bytes{7, 8}));
  EXPECT_EQ(readAll(reader.openVideoStream(1)), (Bytes{6}));
  EXPECT_EQ(reader.openVideoStream(2), nullptr);
}

TEST(MpegStreamReader, SoundAndPicturesAreReadApartWithTheirOwnTimeStamps) {
  Bytes file;
  pack(file);
  systemHeader(file, {0xE0});  // the sound stream is found from its packets
  packet(file, 0xC1, {0x21, 0, 1, 0x0F, 0xA1}, {10, 11, 12});  // PTS 2000
  packet(file, 0xE0, {0x21, 0, 1, 0x1F, 0x41}, {1, 2});  // 4000
  packet(file, 0xC1, {0x0F}, {13});
  pack(file);
  packet(file, 0xE0, {0x21, 0, 1, 0x2E, 0xE1}, {3, 4, 5});  // 6000
  packet(file, 0xC1, {0x21, 0, 1, 0x3E, 0xC1}, {14, 15});  // 8032
  kolm::CMemoryStream stream(file);
  CMpegStreamReader reader(&stream);
  ASSERT_TRUE(reader.detectFormat());
  EXPECT_EQ(reader.firstAudioStream(), 1);
  std::int64_t pts = 0;
  ASSERT_TRUE(reader.firstTimeStamp(false, 0, &pts));
  EXPECT_EQ(pts, 4000);
  ASSERT_TRUE(reader.firstTimeStamp(true, 1, &pts));
  EXPECT_EQ(pts, 2000);
  CMpegPayloadReader* video = reader.openVideoStream(0);
  CMpegPayloadReader* audio = reader.openAudioStream(1);
  ASSERT_TRUE(video && audio);
  // Read in turn, byte by byte: neither reader skips or repeats the other's data.
  Bytes pictures, sound;
  std::uint8_t byte;
  bool more = true;
  while (more) {
    more = false;
    if (video->readPayload(&byte, 1) == 1) pictures.push_back(byte), more = true;
    if (audio->readPayload(&byte, 1) == 1) sound.push_back(byte), more = true;
  }
  EXPECT_EQ(pictures, (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(sound, (Bytes{10, 11, 12, 13, 14, 15}));
  // A stamp belongs to the first access unit starting in its packet, once.
  EXPECT_TRUE(video->claimTimeStamp(1, &pts));
  EXPECT_EQ(pts, 4000);
  EXPECT_FALSE(video->claimTimeStamp(1, &pts));
  EXPECT_TRUE(video->claimTimeStamp(3, &pts));
  EXPECT_EQ(pts, 6000);
  EXPECT_FALSE(audio->claimTimeStamp(3, &pts));  // its packet has none; the earlier one is dropped
  EXPECT_TRUE(audio->claimTimeStamp(5, &pts));
  EXPECT_EQ(pts, 8032);
}

// A bit reader over a payload reader over bytes.
struct BitSource {
  explicit BitSource(const Bytes& bytes) : stream(bytes), reader(&stream) {
    EXPECT_TRUE(reader.detectFormat());
    payload = reader.openVideoStream(0);
    buffer.assign(64 + CMpeg1BitReader::slackWords + 1, 0);
    bits.init(payload, buffer.data(), 64);
  }
  kolm::CMemoryStream stream;
  CMpegStreamReader reader;
  CMpegPayloadReader* payload;
  std::vector<std::uint32_t> buffer;
  CMpeg1BitReader bits;
};

TEST(Mpeg1BitReader, FindsStartCodesAndStaysOnThem) {
  Bytes file;
  append(file, {0, 0, 1, 0xB3, 0xAB, 0xCD, 0, 0, 0, 1, 0xB8, 0x12});
  BitSource source(file);
  CMpeg1BitReader& r = source.bits;
  ASSERT_EQ(r.nextStartCode(), 1);
  EXPECT_EQ(r.peek32(), 0x000001B3u);
  r.skipStartCode();
  EXPECT_EQ(r.getBits(4), 0xAu);
  EXPECT_EQ(r.getBits(12), 0xBCDu);
  ASSERT_EQ(r.nextStartCode(), 1);
  EXPECT_EQ(r.peek32(), 0x000001B8u);  // not byte aligned in the word: found anyway
  ASSERT_EQ(r.nextStartCode(), 1);     // standing on it: no move
  EXPECT_EQ(r.peek32(), 0x000001B8u);
}

TEST(Mpeg1BitReader, ThePrefixIsFoundAcrossRefills) {
  // Prefixes straddling every refill boundary of a small buffer.
  Bytes file;
  append(file, {0, 0, 1, 0xB3});
  for (int i = 0; i < 64 * 4 * 5; ++i) file.push_back(0xAA);
  for (int k = 0; k < 40; ++k) {
    append(file, {0, 0, 1, 0x01 + k});
    for (int i = 0; i < 253 + k; ++i) file.push_back(0x55);
  }
  BitSource source(file);
  CMpeg1BitReader& r = source.bits;
  int found = 0;
  while (r.nextStartCode() == 1) {
    const std::uint32_t code = r.peek32();
    if (code != 0x000001B3u) {
      EXPECT_EQ(code, 0x00000101u + static_cast<std::uint32_t>(found));
      ++found;
    }
    r.skipStartCode();
  }
  EXPECT_EQ(found, 40);
}

TEST(Mpeg1BitReader, TheEndOfTheDataAppendsASequenceEndAndThenFails) {
  Bytes file;
  // Ends mid-word: the last word is padded with zeros.
  append(file, {0, 0, 1, 0xB3, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22});
  BitSource source(file);
  CMpeg1BitReader& r = source.bits;
  r.ensure(2);
  r.skipStartCode();
  EXPECT_EQ(r.getBits(32), 0x12345678u);
  r.ensure(2);
  EXPECT_EQ(r.getBits(32), 0x9ABCDEF0u);
  EXPECT_EQ(r.getBits(16), 0x1122u);
  EXPECT_EQ(r.peekBits(16), 0u);
  EXPECT_EQ(r.nextStartCode(), -2);  // runs through the padding, finds nothing
  EXPECT_THROW(r.ensure(2), mpeg1::CMpegError);
}

}  // namespace
