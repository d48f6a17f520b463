// The Theora/Vorbis decoder on the fixtures (whole and altered in memory):
// acceptance, pools, picture times and repeats, sound blocks and their
// positions, formats other than 16-bit stereo, and damaged input.
#include <gtest/gtest.h>

#include <vorbis/codec.h>

#include <cmath>
#include <memory>
#include <string>

#include "kolm/memory_stream.h"
#include "ogg/ogg_decoder.h"
#include "ogg/ogg_stream.h"
#include "ogg_test_support.h"

namespace {

using oggtest::Bytes;

Bytes fixture(const std::string& name) {
  Bytes bytes = oggtest::readFile(std::string(ZARVEL_TEST_DATA) + "/" + name);
  EXPECT_FALSE(bytes.empty()) << name;
  return bytes;
}

// A decoder over bytes in memory with sinks that keep everything.
struct Harness {
  // Pages the test changed or made get their checksums, so that the change
  // itself is what the decoder sees.
  explicit Harness(const Bytes& bytes) : stream(sealed(bytes)), decoder(&pictures, &sound, &stream) {
    decoder.audioPacing = false;
  }
  // Both steps in turn until both end; the bound only keeps a broken test finite.
  void decodeAll() {
    bool video = true, audio = true;
    for (int i = 0; i < 100000 && (video || audio); ++i) {
      if (video) video = decoder.videoStep();
      if (audio) audio = decoder.audioStep();
    }
    EXPECT_FALSE(video || audio);
  }
  static Bytes sealed(Bytes bytes) {
    oggtest::sealPages(bytes);
    return bytes;
  }
  // Sinks and stream first: the decoder gives samples back as it goes.
  oggtest::PictureSink pictures;
  oggtest::SoundSink sound;
  kolm::CMemoryStream stream;
  COggDecoder decoder;
};

TEST(OggDecoder, TheoraWithVorbisOpensBothSides) {
  Harness h(fixture("ogg-tv-176x120.ogv"));
  ASSERT_TRUE(h.decoder.open());
  EXPECT_TRUE(h.decoder.theoraActive);
  EXPECT_TRUE(h.decoder.vorbisActive);
  EXPECT_EQ(h.decoder.pictureWidth(), 176);
  EXPECT_EQ(h.decoder.pictureHeight(), 120);
  EXPECT_EQ(h.decoder.audioFormat.channels, 2u);
  EXPECT_EQ(h.decoder.audioFormat.sampleRate, 44100u);
  EXPECT_EQ(h.decoder.audioFormat.bitsPerSample, 16u);
  EXPECT_EQ(h.decoder.audioFormat.milliseconds, 200u);
  EXPECT_EQ(h.decoder.audioCount, 5);
  h.decodeAll();
  ASSERT_EQ(h.pictures.pictures.size(), 25u);
  for (std::size_t i = 0; i < h.pictures.pictures.size(); ++i) {
    EXPECT_EQ(h.pictures.pictures[i].time, static_cast<std::int64_t>(i) * 400000) << i;  // 25 per second
    EXPECT_EQ(h.pictures.pictures[i].width, 176);
  }
  ASSERT_EQ(h.sound.blocks.size(), 5u);  // exactly one second
  for (std::size_t i = 0; i < h.sound.blocks.size(); ++i) {
    EXPECT_EQ(h.sound.blocks[i].position, static_cast<std::int64_t>(i) * 8820) << i;
    EXPECT_EQ(h.sound.blocks[i].frameCount, 8820);
  }
  // Everything went back to the pools.
  for (int i = 0; i < 5; ++i) {
    CSample* picture = nullptr;
    CAudioSample* block = nullptr;
    ASSERT_TRUE(h.pictures.pool.acquire(&picture));
    ASSERT_TRUE(h.sound.pool.acquire(&block));
  }
  EXPECT_FALSE(h.decoder.videoStep());
  EXPECT_FALSE(h.decoder.audioStep());
}

TEST(OggDecoder, TheoraAloneLeavesTheSoundPoolAlone) {
  Harness h(fixture("ogg-t-352x240.ogv"));
  ASSERT_TRUE(h.decoder.open());
  EXPECT_FALSE(h.decoder.vorbisActive);
  EXPECT_EQ(h.sound.queueCalls, 0);
  CAudioSample* block = nullptr;
  EXPECT_FALSE(h.sound.pool.acquire(&block));  // never allocated
  EXPECT_FALSE(h.decoder.audioStep());
  h.decodeAll();
  EXPECT_EQ(h.pictures.pictures.size(), 12u);
  EXPECT_TRUE(h.sound.blocks.empty());
}

TEST(OggDecoder, FilesWithoutTheoraAreRefusedAndPoolsLeftAlone) {
  for (const char* name : {"ogg-v-stereo.ogg", "m1v-ip-176x120.m1v", "mpg-ip-176x120.mpg", "bad-random.bin",
                           "mp4-176x120.mp4", "mkv-audiofirst-176x120.mkv"}) {
    SCOPED_TRACE(name);
    Harness h(fixture(name));
    EXPECT_FALSE(h.decoder.open());
    EXPECT_FALSE(h.decoder.theoraActive);
    // Left for the next path to size.
    EXPECT_EQ(h.pictures.queueCalls, 0);
    EXPECT_EQ(h.sound.queueCalls, 0);
    EXPECT_FALSE(h.decoder.videoStep());
    EXPECT_FALSE(h.decoder.audioStep());
  }
  Harness empty(Bytes{});
  EXPECT_FALSE(empty.decoder.open());
}

TEST(OggDecoder, TimingModeGivesEveryPictureStraightBack) {
  Harness h(fixture("ogg-t-180x100.ogv"));
  ASSERT_TRUE(h.decoder.open());
  h.decoder.presentPictures = false;
  int steps = 0;
  while (h.decoder.videoStep()) ++steps;
  EXPECT_EQ(steps, 20);
  EXPECT_EQ(h.decoder.picturesDelivered, 20);
  EXPECT_TRUE(h.pictures.pictures.empty());
  for (int i = 0; i < 5; ++i) {
    CSample* picture = nullptr;
    ASSERT_TRUE(h.pictures.pool.acquire(&picture));
  }
}

TEST(OggDecoder, OddPictureSizesGetAnEvenSample) {
  // 351x239 inside the 352x240 frame: the 4:2:0 chroma needs one more column and row.
  Bytes bytes = fixture("ogg-t-352x240.ogv");
  const std::size_t id = oggtest::find(bytes, "\x80theora");
  ASSERT_NE(id, std::string::npos);
  bytes[id + 16] = 351 & 0xFF;  // the low bytes of the 24-bit picture width and height
  bytes[id + 19] = 239;
  Harness h(bytes);
  ASSERT_TRUE(h.decoder.open());
  EXPECT_EQ(h.decoder.pictureWidth(), 351);
  EXPECT_EQ(h.decoder.pictureHeight(), 239);
  h.decodeAll();
  ASSERT_EQ(h.pictures.pictures.size(), 12u);
  EXPECT_EQ(h.pictures.pictures[0].width, 352);
  EXPECT_EQ(h.pictures.pictures[0].height, 240);

  Harness whole(fixture("ogg-t-352x240.ogv"));
  ASSERT_TRUE(whole.decoder.open());
  whole.decodeAll();
  // Offsets count from the bottom in the stream: the picture is the frame
  // without its top row and its last column. Chroma rows start at 1 / 2 = 0.
  for (int y = 0; y < 239; ++y)
    ASSERT_TRUE(std::equal(whole.pictures.pictures[5].y.begin() + (y + 1) * 352,
                           whole.pictures.pictures[5].y.begin() + (y + 1) * 352 + 351,
                           h.pictures.pictures[5].y.begin() + y * 352))
        << y;
  for (int y = 0; y < 120; ++y)
    ASSERT_TRUE(std::equal(whole.pictures.pictures[5].u.begin() + y * 176,
                           whole.pictures.pictures[5].u.begin() + y * 176 + 176,
                           h.pictures.pictures[5].u.begin() + y * 176))
        << y;
}

TEST(OggDecoder, AZeroLengthPacketRepeatsThePreviousPicture) {
  // Picture 2 of this clip is a zero-length packet.
  Harness h(fixture("ogg-tv-mono-176x120.ogv"));
  h.decoder.setPostprocess(false);
  ASSERT_TRUE(h.decoder.open());
  h.decodeAll();
  ASSERT_EQ(h.pictures.pictures.size(), 24u);
  const auto& p = h.pictures.pictures;
  EXPECT_EQ(p[1].time, 10000000 / 24);
  EXPECT_EQ(p[1].y, p[0].y);
  EXPECT_EQ(p[1].u, p[0].u);
  EXPECT_EQ(p[1].v, p[0].v);
  EXPECT_NE(p[2].y, p[1].y);
  for (std::size_t i = 0; i < p.size(); ++i) EXPECT_EQ(p[i].time, static_cast<std::int64_t>(i) * 10000000 / 24);
}

TEST(OggDecoder, FrameTimesComeFromGranulePositions) {
  EXPECT_EQ(ogg::frameTime(0, 25, 1), 0);
  EXPECT_EQ(ogg::frameTime(3, 30000, 1001), 1001000);
  EXPECT_EQ(ogg::frameTime(1, 30000, 1001), 333666);  // truncated
  EXPECT_EQ(ogg::frameTime(-1, 25, 1), 0);
  EXPECT_EQ(ogg::frameTime(1, 0, 1), 0);
  EXPECT_EQ(ogg::frameTime(INT64_MAX / 2, 1, 0xFFFFFFFFu), INT64_MAX);
}

TEST(OggDecoder, PcmConversion) {
  EXPECT_EQ(ogg::pcm16(1.0f), 32767);
  EXPECT_EQ(ogg::pcm16(-1.0f), -32767);
  EXPECT_EQ(ogg::pcm16(0.0f), 0);
  EXPECT_EQ(ogg::pcm16(1.5f), 32767);
  EXPECT_EQ(ogg::pcm16(-1.5f), -32768);
  EXPECT_EQ(ogg::pcm16(0.5f / 32767), 1);  // halves round away from zero
  EXPECT_EQ(ogg::pcm16(-0.5f / 32767), -1);
  EXPECT_EQ(ogg::pcm16(std::nanf("")), 0);
  EXPECT_EQ(ogg::pcm8(0.0f), 0x80);
  EXPECT_EQ(ogg::pcm8(1.0f), 255);
  EXPECT_EQ(ogg::pcm8(-1.0f), 1);
  EXPECT_EQ(ogg::pcm8(-2.0f), 0);
  EXPECT_EQ(ogg::pcm8(2.0f), 255);
}

TEST(OggDecoder, EveryChannelCountIsConverted) {
  float left[3] = {1.0f, -1.0f, 0.25f}, right[3] = {0.5f, 0.0f, -0.25f};
  float* stereo[2] = {left, right};
  Bytes out(3 * 2 * 2);
  ogg::convertPcm(stereo, 2, 3, 2, 16, out.data());
  EXPECT_EQ(oggtest::sample16(out, 0), 32767);
  EXPECT_EQ(oggtest::sample16(out, 1), 16384);
  EXPECT_EQ(oggtest::sample16(out, 2), -32767);
  EXPECT_EQ(oggtest::sample16(out, 3), 0);

  // Mono plays on both sides.
  float* mono[1] = {left};
  ogg::convertPcm(mono, 1, 3, 2, 16, out.data());
  EXPECT_EQ(oggtest::sample16(out, 0), 32767);
  EXPECT_EQ(oggtest::sample16(out, 1), 32767);
  EXPECT_EQ(oggtest::sample16(out, 4), 8192);
  EXPECT_EQ(oggtest::sample16(out, 5), 8192);

  // A mono device gets the mean of the stereo mix.
  Bytes one(3 * 2);
  ogg::convertPcm(stereo, 2, 3, 1, 16, one.data());
  EXPECT_EQ(oggtest::sample16(one, 0), 24575);  // 0.75 * 32767, rounded
  EXPECT_EQ(oggtest::sample16(one, 1), -16384);
  EXPECT_EQ(oggtest::sample16(one, 2), 0);

  // 8-bit devices get unsigned samples around 0x80.
  Bytes eight(3 * 2);
  ogg::convertPcm(stereo, 2, 3, 2, 8, eight.data());
  EXPECT_EQ(eight[0], 255);
  EXPECT_EQ(eight[1], 128 + 64);
  EXPECT_EQ(eight[2], 1);
  EXPECT_EQ(eight[3], 128);

  // 5.1 in Vorbis order (FL C FR BL BR LFE): the weights of the usual
  // down-mix, scaled so that six full-scale channels do not clip.
  double l[16], r[16];
  ogg::downmixWeights(6, l, r);
  EXPECT_NEAR(l[0], 0.4142, 1e-4);
  EXPECT_NEAR(l[1], 0.2929, 1e-4);
  EXPECT_NEAR(l[3], 0.2929, 1e-4);
  EXPECT_EQ(l[2], 0.0);
  EXPECT_EQ(l[4], 0.0);
  EXPECT_EQ(l[5], 0.0);
  EXPECT_NEAR(r[2], 0.4142, 1e-4);
  EXPECT_NEAR(r[1], 0.2929, 1e-4);
  EXPECT_NEAR(r[4], 0.2929, 1e-4);
  EXPECT_EQ(r[5], 0.0);
  float full[1] = {1.0f};
  float* six[6] = {full, full, full, full, full, full};
  ogg::convertPcm(six, 6, 1, 2, 16, out.data());
  EXPECT_EQ(oggtest::sample16(out, 0), 32767);
  EXPECT_EQ(oggtest::sample16(out, 1), 32767);
  for (int channels = 1; channels <= 12; ++channels) {
    ogg::downmixWeights(channels, l, r);
    double sumL = 0, sumR = 0;
    for (int c = 0; c < channels; ++c) {
      sumL += l[c];
      sumR += r[c];
    }
    EXPECT_NEAR(sumL, 1.0, 1e-9) << channels;
    EXPECT_NEAR(sumR, 1.0, 1e-9) << channels;
  }
  EXPECT_FALSE(ogg::canConvertPcm(2, 2, 24));
  EXPECT_FALSE(ogg::canConvertPcm(0, 2, 16));
  EXPECT_TRUE(ogg::canConvertPcm(255, 1, 8));
}

TEST(OggDecoder, AudioPositionRule) {
  // Granule known: where the synthesis says the offered frames end, less what is left.
  EXPECT_EQ(ogg::nextAudioPosition(100, 5000, 1024, 24), 5000 - 1024 + 24);
  // Unknown: counted on.
  EXPECT_EQ(ogg::nextAudioPosition(100, -1, 1024, 24), 124);
  EXPECT_EQ(ogg::nextAudioPosition(INT64_MAX - 5, -1, 1024, 24), INT64_MAX);
}

TEST(OggDecoder, MonoAndFiveOneStreams) {
  {
    Harness h(fixture("ogg-tv-mono-176x120.ogv"));
    ASSERT_TRUE(h.decoder.open());
    EXPECT_EQ(h.decoder.audioFormat.channels, 1u);
    EXPECT_EQ(h.decoder.audioFormat.sampleRate, 22050u);
    h.decodeAll();
    ASSERT_EQ(h.sound.blocks.size(), 5u);
    EXPECT_EQ(h.sound.blocks[4].position, 4 * 4410);
  }
  {
    Harness h(fixture("ogg-tv51-176x120.ogv"));
    ASSERT_TRUE(h.decoder.open());
    EXPECT_EQ(h.decoder.vorbisInfo.channels, 6);
    EXPECT_EQ(h.decoder.audioFormat.channels, 2u);  // mixed down
    h.decodeAll();
    ASSERT_EQ(h.sound.blocks.size(), 4u);
    EXPECT_EQ(h.sound.blocks[3].frameCount, 9600);
  }
}

// A device that agreed to 8-bit mono: the pool already holds blocks of that
// format when the decoder asks for 16-bit stereo, and keeps them.
TEST(OggDecoder, EightBitMonoDevice) {
  Harness reference(fixture("ogg-tv-176x120.ogv"));
  ASSERT_TRUE(reference.decoder.open());
  reference.decodeAll();

  Harness h(fixture("ogg-tv-176x120.ogv"));
  AudioFormat device;
  device.channels = 1;
  device.sampleRate = 44100;
  device.bitsPerSample = 8;
  h.sound.pool.setFormat(5, device, nullptr, nullptr);
  ASSERT_TRUE(h.sound.pool.allocate());
  ASSERT_TRUE(h.decoder.open());
  EXPECT_EQ(h.decoder.audioFormat.channels, 1u);
  EXPECT_EQ(h.decoder.audioFormat.bitsPerSample, 8u);
  h.decodeAll();
  ASSERT_EQ(h.sound.blocks.size(), reference.sound.blocks.size());
  int worst = 0;
  for (std::size_t b = 0; b < h.sound.blocks.size(); ++b) {
    const Bytes& eight = h.sound.blocks[b].bytes;
    const Bytes& sixteen = reference.sound.blocks[b].bytes;
    ASSERT_EQ(eight.size(), 8820u);
    for (std::size_t i = 0; i < eight.size(); ++i) {
      const double mean = (oggtest::sample16(sixteen, 2 * i) + oggtest::sample16(sixteen, 2 * i + 1)) / 2.0;
      const int expected = static_cast<int>(std::lround(mean * 127.0 / 32767.0)) + 128;
      worst = std::max(worst, std::abs(eight[i] - expected));
    }
  }
  EXPECT_LE(worst, 1);
}

// The sound device could not make its buffer: the pool stays empty. Here the
// stream asks for a rate no block could hold.
TEST(OggDecoder, AnEmptySoundPoolEndsTheSoundSide) {
  Bytes bytes = fixture("ogg-tv-176x120.ogv");
  const std::size_t header = oggtest::find(bytes, "\x01vorbis");
  ASSERT_NE(header, std::string::npos);
  bytes[header + 12] = 0;
  bytes[header + 13] = 0;
  bytes[header + 14] = 0;
  bytes[header + 15] = 0x40;  // 2^30 Hz
  Harness h(bytes);
  ASSERT_TRUE(h.decoder.open());
  EXPECT_TRUE(h.decoder.vorbisActive);
  CAudioSample* block = nullptr;
  EXPECT_FALSE(h.sound.pool.acquire(&block));
  EXPECT_FALSE(h.decoder.audioStep());
  EXPECT_FALSE(h.decoder.audioStep());
  h.decodeAll();
  EXPECT_EQ(h.pictures.pictures.size(), 25u);
  EXPECT_TRUE(h.sound.blocks.empty());
}

TEST(OggDecoder, NoSoundSinkIsNoSound) {
  Bytes bytes = fixture("ogg-tv-176x120.ogv");
  kolm::CMemoryStream stream(bytes);
  oggtest::PictureSink pictures;
  COggDecoder decoder(&pictures, nullptr, &stream);
  ASSERT_TRUE(decoder.open());
  EXPECT_FALSE(decoder.audioStep());
  while (decoder.videoStep()) {
  }
  EXPECT_EQ(pictures.pictures.size(), 25u);
}

// A stream whose end is not a whole number of blocks: the last block goes out
// with the frames there are and silence after them.
TEST(OggDecoder, TheLastPartlyFilledBlockIsDelivered) {
  Bytes bytes = fixture("ogg-tv-176x120.ogv");
  const std::uint32_t serial = oggtest::serialOf(bytes, "vorbis");
  std::vector<oggtest::PageInfo> audio;
  for (const auto& page : oggtest::pagesOf(bytes))
    if (page.serial == serial) audio.push_back(page);
  ASSERT_EQ(audio.back().granule, 44100);
  oggtest::setGranule(bytes, audio.back(), 44000);  // the stream now ends 100 frames earlier

  Harness reference(fixture("ogg-tv-176x120.ogv"));
  ASSERT_TRUE(reference.decoder.open());
  reference.decodeAll();

  Harness h(bytes);
  ASSERT_TRUE(h.decoder.open());
  h.decodeAll();
  ASSERT_EQ(h.sound.blocks.size(), 5u);
  const oggtest::Block& last = h.sound.blocks.back();
  EXPECT_EQ(last.position, 4 * 8820);
  EXPECT_EQ(last.frameCount, 44000 - 4 * 8820);
  // The sound is that of the whole stream up to its new end, then silence.
  const Bytes& full = reference.sound.blocks.back().bytes;
  const std::size_t kept = static_cast<std::size_t>(last.frameCount) * 4;
  EXPECT_TRUE(std::equal(last.bytes.begin(), last.bytes.begin() + static_cast<long>(kept), full.begin()));
  EXPECT_TRUE(std::all_of(last.bytes.begin() + static_cast<long>(kept), last.bytes.end(),
                          [](std::uint8_t b) { return b == 0; }));
  EXPECT_FALSE(h.decoder.audioStep());
}

// The sound of the stereo clip packed anew, four packets to a page, with the
// granule positions a muxer would write, shifted, or left out.
class RepagedSound : public ::testing::Test {
 protected:
  static Bytes repage(std::int64_t shift, bool granules) {
    const Bytes original = fixture("ogg-tv-176x120.ogv");
    const std::uint32_t videoSerial = oggtest::serialOf(original, "theora");
    const std::uint32_t audioSerial = oggtest::serialOf(original, "vorbis");
    // Every sound packet, in order.
    kolm::CMemoryStream stream(original);
    ogg::CAudioStream reader(&stream);
    std::vector<Bytes> packets;
    EXPECT_TRUE(reader.findStream());
    do {
      while (reader.nextPacket()) {
        const ogg_packet* p = reader.packet();
        packets.emplace_back(p->packet, p->packet + p->bytes);
      }
      reader.resetPackets();
    } while (reader.readPage());
    EXPECT_GT(packets.size(), 10u);

    // Granule positions from the block sizes, as the format defines them.
    vorbis_info info;
    vorbis_comment comment;
    vorbis_info_init(&info);
    vorbis_comment_init(&comment);
    std::vector<std::int64_t> ends(packets.size(), 0);
    long previous = 0;
    std::int64_t total = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
      ogg_packet p{packets[i].data(), static_cast<long>(packets[i].size()), i == 0, 0, -1, static_cast<ogg_int64_t>(i)};
      if (i < 3) {
        EXPECT_EQ(vorbis_synthesis_headerin(&info, &comment, &p), 0);
        continue;
      }
      const long size = vorbis_packet_blocksize(&info, &p);
      if (previous) total += (previous + size) / 4;
      previous = size;
      ends[i] = total;
    }
    vorbis_comment_clear(&comment);
    vorbis_info_clear(&info);
    ends.back() = 44100;  // the muxer's end: the length of the source

    Bytes file;
    const auto pages = oggtest::pagesOf(original);
    auto copyPage = [&](const oggtest::PageInfo& page) {
      file.insert(file.end(), original.begin() + static_cast<long>(page.offset),
                  original.begin() + static_cast<long>(page.offset + page.size()));
    };
    auto writePage = [&](int flags, std::int64_t granule, std::size_t first, std::size_t count) {
      Bytes body;
      std::vector<std::uint8_t> lacing;
      for (std::size_t i = first; i < first + count; ++i) {
        std::size_t size = packets[i].size();
        while (size >= 255) {
          lacing.push_back(255);
          size -= 255;
        }
        lacing.push_back(static_cast<std::uint8_t>(size));
        body.insert(body.end(), packets[i].begin(), packets[i].end());
      }
      EXPECT_LE(lacing.size(), 255u);
      Bytes page = {'O', 'g', 'g', 'S', 0, static_cast<std::uint8_t>(flags)};
      for (int i = 0; i < 8; ++i) page.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(granule) >> (8 * i)));
      for (int i = 0; i < 4; ++i) page.push_back(static_cast<std::uint8_t>(audioSerial >> (8 * i)));
      for (int i = 0; i < 8; ++i) page.push_back(0);
      page.push_back(static_cast<std::uint8_t>(lacing.size()));
      page.insert(page.end(), lacing.begin(), lacing.end());
      page.insert(page.end(), body.begin(), body.end());
      file.insert(file.end(), page.begin(), page.end());
    };
    for (const auto& page : pages)
      if (page.serial == videoSerial && (page.flags & 0x02)) copyPage(page);
    writePage(0x02, 0, 0, 1);
    for (const auto& page : pages)
      if (page.serial == videoSerial && !(page.flags & 0x02)) copyPage(page);
    writePage(0, 0, 1, 2);
    for (std::size_t first = 3; first < packets.size(); first += 4) {
      const std::size_t count = std::min<std::size_t>(4, packets.size() - first);
      const bool last = first + count == packets.size();
      writePage(last ? 0x04 : 0, granules ? ends[first + count - 1] + shift : -1, first, count);
    }
    return file;
  }
};

TEST_F(RepagedSound, KnownGranulePositionsPlaceTheBlocks) {
  Harness plain(repage(0, true));
  ASSERT_TRUE(plain.decoder.open());
  plain.decodeAll();
  ASSERT_EQ(plain.sound.blocks.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(plain.sound.blocks[i].position, static_cast<std::int64_t>(i) * 8820);
  EXPECT_EQ(plain.sound.blocks[4].frameCount, 8820);

  // Shifted: a block's position is the position when it was taken, which after
  // the first page comes from the granule position.
  Harness shifted(repage(1000, true));
  ASSERT_TRUE(shifted.decoder.open());
  shifted.decodeAll();
  ASSERT_EQ(shifted.sound.blocks.size(), 5u);
  EXPECT_EQ(shifted.sound.blocks[0].position, 0);
  for (std::size_t i = 1; i < 5; ++i)
    EXPECT_EQ(shifted.sound.blocks[i].position, static_cast<std::int64_t>(i) * 8820 + 1000) << i;
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(shifted.sound.blocks[i].bytes, plain.sound.blocks[i].bytes) << i;
}

TEST_F(RepagedSound, UnknownGranulePositionsCountFramesOn) {
  Harness h(repage(0, false));
  ASSERT_TRUE(h.decoder.open());
  h.decodeAll();
  // Without an end position nothing is trimmed: the last packet's whole output comes out.
  ASSERT_EQ(h.sound.blocks.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(h.sound.blocks[i].position, static_cast<std::int64_t>(i) * 8820);
  EXPECT_GT(h.sound.blocks[5].frameCount, 0);
  EXPECT_LT(h.sound.blocks[5].frameCount, 8820);
}

// Every stream of an Ogg file packed anew into pages of at most maxBody bytes,
// packets split across pages as muxers that fill pages to a size do, pages of
// the streams taken in turn. Granule positions stay with their packets.
Bytes repageAll(const Bytes& original, std::size_t maxBody) {
  struct Stream {
    std::uint32_t serial;
    std::vector<std::pair<Bytes, std::int64_t>> packets;
    Bytes open;
    std::vector<Bytes> pages;
  };
  std::vector<Stream> streams;
  for (const auto& page : oggtest::pagesOf(original)) {
    auto it = std::find_if(streams.begin(), streams.end(), [&](const Stream& s) { return s.serial == page.serial; });
    if (it == streams.end()) it = streams.insert(streams.end(), Stream{page.serial, {}, {}, {}});
    std::size_t at = page.bodyOffset;
    long last = -1;
    for (int v : page.lacing) {
      it->open.insert(it->open.end(), original.begin() + static_cast<long>(at), original.begin() + static_cast<long>(at) + v);
      at += static_cast<std::size_t>(v);
      if (v < 255) {
        it->packets.emplace_back(it->open, -1);
        it->open.clear();
        last = static_cast<long>(it->packets.size()) - 1;
      }
    }
    if (last >= 0) it->packets[static_cast<std::size_t>(last)].second = page.granule;
  }
  for (Stream& s : streams) {
    std::size_t i = 0, offset = 0;
    while (i < s.packets.size()) {
      const bool first = s.pages.empty();
      int flags = (offset > 0 ? 0x01 : 0) | (first ? 0x02 : 0);
      Bytes lacing, body;
      std::int64_t granule = -1;
      while (i < s.packets.size() && lacing.size() < 255 && body.size() < maxBody) {
        const Bytes& packet = s.packets[i].first;
        const std::size_t rest = packet.size() - offset, room = maxBody - body.size();
        const std::size_t segments = 255 - lacing.size();
        if (rest <= room && rest / 255 + 1 <= segments) {
          body.insert(body.end(), packet.begin() + static_cast<long>(offset), packet.end());
          lacing.insert(lacing.end(), rest / 255, 255);
          lacing.push_back(static_cast<std::uint8_t>(rest % 255));
          granule = s.packets[i].second;
          ++i;
          offset = 0;
          if (first) break;  // the identification header alone on the first page
          continue;
        }
        const std::size_t k = std::min({room / 255, segments, rest / 255});
        if (k == 0) break;
        body.insert(body.end(), packet.begin() + static_cast<long>(offset),
                    packet.begin() + static_cast<long>(offset + 255 * k));
        lacing.insert(lacing.end(), k, 255);
        offset += 255 * k;
        break;
      }
      if (i == s.packets.size()) flags |= 0x04;
      Bytes page = {'O', 'g', 'g', 'S', 0, static_cast<std::uint8_t>(flags)};
      for (int b = 0; b < 8; ++b) page.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(granule) >> (8 * b)));
      for (int b = 0; b < 4; ++b) page.push_back(static_cast<std::uint8_t>(s.serial >> (8 * b)));
      for (int b = 0; b < 8; ++b) page.push_back(0);
      page.push_back(static_cast<std::uint8_t>(lacing.size()));
      page.insert(page.end(), lacing.begin(), lacing.end());
      page.insert(page.end(), body.begin(), body.end());
      s.pages.push_back(std::move(page));
    }
  }
  Bytes file;
  for (const Stream& s : streams) file.insert(file.end(), s.pages[0].begin(), s.pages[0].end());
  for (std::size_t n = 1;; ++n) {
    bool any = false;
    for (const Stream& s : streams)
      if (n < s.pages.size()) {
        file.insert(file.end(), s.pages[n].begin(), s.pages[n].end());
        any = true;
      }
    if (!any) break;
  }
  return file;
}

TEST(OggDecoder, PacketsSplitAcrossSmallPagesDecodeTheSame) {
  for (const char* name : {"ogg-tv-176x120.ogv", "ogg-tv-mono-176x120.ogv", "ogg-tv51-176x120.ogv"}) {
    SCOPED_TRACE(name);
    Harness original(fixture(name));
    ASSERT_TRUE(original.decoder.open());
    original.decodeAll();
    for (std::size_t maxBody : {300u, 700u, 4096u}) {
      SCOPED_TRACE(maxBody);
      const Bytes repaged = repageAll(fixture(name), maxBody);
      int continued = 0;
      for (const auto& page : oggtest::pagesOf(repaged)) continued += page.flags & 0x01;
      if (maxBody < 1000) {
        EXPECT_GT(continued, 20);
      }
      Harness h(repaged);
      ASSERT_TRUE(h.decoder.open());
      h.decodeAll();
      ASSERT_EQ(h.pictures.pictures.size(), original.pictures.pictures.size());
      for (std::size_t i = 0; i < h.pictures.pictures.size(); ++i) {
        EXPECT_EQ(h.pictures.pictures[i].time, original.pictures.pictures[i].time);
        EXPECT_TRUE(h.pictures.pictures[i].y == original.pictures.pictures[i].y) << i;
      }
      ASSERT_EQ(h.sound.blocks.size(), original.sound.blocks.size());
      for (std::size_t i = 0; i < h.sound.blocks.size(); ++i) {
        EXPECT_EQ(h.sound.blocks[i].position, original.sound.blocks[i].position);
        EXPECT_TRUE(h.sound.blocks[i].bytes == original.sound.blocks[i].bytes) << i;
      }
    }
  }
}

TEST(OggDecoder, HeaderErrorsCarryTheirTexts) {
  {
    Bytes bytes = fixture("ogg-tv-176x120.ogv");
    const std::size_t comment = oggtest::find(bytes, "\x81theora");
    ASSERT_NE(comment, std::string::npos);
    bytes[comment + 6] = 'X';
    Harness h(bytes);
    try {
      h.decoder.open();
      FAIL() << "no error";
    } catch (const ogg::CHeaderError& error) {
      EXPECT_STREQ(error.what(), "Error parsing Theora stream headers; 不正なストリーム？");
    }
  }
  {
    Bytes bytes = fixture("ogg-tv-176x120.ogv");
    const std::size_t setup = oggtest::find(bytes, "\x05vorbis");
    ASSERT_NE(setup, std::string::npos);
    bytes[setup + 6] = 'X';
    Harness h(bytes);
    try {
      h.decoder.open();
      FAIL() << "no error";
    } catch (const ogg::CHeaderError& error) {
      EXPECT_STREQ(error.what(), "Error parsing Vorbis stream headers; 不正なストリーム？");
    }
  }
  {
    // A rejected identification header only leaves the stream out.
    Bytes bytes = fixture("ogg-tv-176x120.ogv");
    const std::size_t id = oggtest::find(bytes, "\x01vorbis");
    bytes[id + 7] = 9;  // version
    Harness h(bytes);
    ASSERT_TRUE(h.decoder.open());
    EXPECT_FALSE(h.decoder.vorbisActive);
  }
}

TEST(OggDecoder, PictureSizesTheDecoderWillNotTake) {
  {
    Harness h(fixture("ogg-t-352x240.ogv"));
    h.decoder.frameAreaLimit = 352 * 240 - 1;
    EXPECT_FALSE(h.decoder.open());
    EXPECT_EQ(h.pictures.queueCalls, 0);
  }
  // Zero picture sizes, and sizes beyond the frame, from a damaged header.
  for (int field : {14, 17}) {
    for (std::uint8_t value : {0x00, 0xFF}) {
      Bytes bytes = fixture("ogg-t-352x240.ogv");
      const std::size_t id = oggtest::find(bytes, "\x80theora");
      bytes[id + static_cast<std::size_t>(field)] = value;
      bytes[id + static_cast<std::size_t>(field) + 1] = value;
      bytes[id + static_cast<std::size_t>(field) + 2] = value;
      Harness h(bytes);
      EXPECT_FALSE(h.decoder.open()) << field << " " << int{value};
      EXPECT_FALSE(h.decoder.videoStep());
    }
  }
}

TEST(OggDecoder, DamagedAndCutFilesEndCleanly) {
  for (const char* name : {"bad-ogg-cut-page.ogv", "bad-ogg-cut-headers.ogv", "bad-ogg-cut-half.ogv",
                           "bad-random.bin", "bad-empty.mpg"}) {
    SCOPED_TRACE(name);
    Harness h(oggtest::readFile(std::string(ZARVEL_TEST_DATA) + "/" + name));
    bool opened = false;
    try {
      opened = h.decoder.open();
    } catch (const ogg::CHeaderError&) {
    }
    if (opened) h.decodeAll();
  }
  // The file cut half way plays up to the cut.
  Harness h(fixture("bad-ogg-cut-half.ogv"));
  ASSERT_TRUE(h.decoder.open());
  h.decodeAll();
  EXPECT_GT(h.pictures.pictures.size(), 5u);
  EXPECT_LT(h.pictures.pictures.size(), 25u);

  // Every cut of a whole clip.
  const Bytes whole = fixture("ogg-tv-mono-176x120.ogv");
  for (std::size_t keep = 0; keep < whole.size(); keep += 97) {
    Harness cut(Bytes(whole.begin(), whole.begin() + static_cast<long>(keep)));
    bool opened = false;
    try {
      opened = cut.decoder.open();
    } catch (const ogg::CHeaderError&) {
    }
    if (opened) cut.decodeAll();
  }
}

// Stripe copies on a made-up frame: offsets, partial stripes, chroma formats.
class StripeCopy : public ::testing::Test {
 protected:
  // A 32x24 frame; sample value = plane * 100 + row * 3 + column (mod 256).
  void makeFrame(int xdec, int ydec) {
    const int w[3] = {32, 32 / xdec, 32 / xdec}, h[3] = {24, 24 / ydec, 24 / ydec};
    for (int p = 0; p < 3; ++p) {
      planes_[p].assign(static_cast<std::size_t>(w[p] + 5) * h[p], 0);  // stride wider than the plane
      for (int y = 0; y < h[p]; ++y)
        for (int x = 0; x < w[p]; ++x)
          planes_[p][static_cast<std::size_t>(y) * (w[p] + 5) + x] = value(p, x, y);
      buffer_[p].width = w[p];
      buffer_[p].height = h[p];
      buffer_[p].stride = w[p] + 5;
      buffer_[p].data = planes_[p].data();
    }
  }
  static std::uint8_t value(int plane, int x, int y) { return static_cast<std::uint8_t>(plane * 100 + y * 3 + x); }
  // A YV12 target with a guard band after it.
  void makeTarget(int width, int height) {
    target_.assign(static_cast<std::size_t>(width) * height * 3 / 2 + 64, 0xEE);
    table_.address[0] = target_.data();
    table_.pitch[0] = width;
    table_.address[1] = target_.data() + width * height;
    table_.pitch[1] = width / 2;
    table_.address[2] = target_.data() + width * height + (width / 2) * height / 2;
    table_.pitch[2] = width / 2;
    table_.width = width;
    table_.height = height;
  }
  // Stripes from the bottom up, as the library gives them.
  void copyBottomUp(const ogg::PictureRegion& region, const std::vector<int>& cuts) {
    for (std::size_t i = cuts.size() - 1; i > 0; --i) ogg::copyStripe(buffer_, region, table_, cuts[i - 1], cuts[i]);
  }
  std::uint8_t at(int plane, int x, int y) const {
    return table_.address[plane][static_cast<std::size_t>(y) * table_.pitch[plane] + x];
  }
  bool guardIntact() const {
    return std::all_of(target_.end() - 64, target_.end(), [](std::uint8_t b) { return b == 0xEE; });
  }

  std::vector<std::uint8_t> planes_[3];
  th_ycbcr_buffer buffer_;
  Bytes target_;
  ogg::PlaneTable table_;
};

TEST_F(StripeCopy, OffsetsCropTheFrameFromItsTopLeft) {
  makeFrame(2, 2);
  const ogg::PictureRegion region{6, 4, 20, 14};
  makeTarget(20, 14);
  copyBottomUp(region, {0, 1, 2, 3});
  for (int y = 0; y < 14; ++y)
    for (int x = 0; x < 20; ++x) ASSERT_EQ(at(0, x, y), value(0, x + 6, y + 4)) << x << "," << y;
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 10; ++x) {
      ASSERT_EQ(at(2, x, y), value(1, x + 3, y + 2));  // Cb into U, the third plane
      ASSERT_EQ(at(1, x, y), value(2, x + 3, y + 2));  // Cr into V
    }
  EXPECT_TRUE(guardIntact());
}

TEST_F(StripeCopy, APictureHeightThatIsNoMultipleOfEight) {
  makeFrame(2, 2);
  const ogg::PictureRegion region{0, 0, 32, 21};
  makeTarget(32, 22);
  copyBottomUp(region, {0, 3});
  for (int x = 0; x < 32; ++x) EXPECT_EQ(at(0, x, 20), value(0, x, 20));
  for (int x = 0; x < 32; ++x) EXPECT_EQ(at(0, x, 21), 0xEE);  // the row past the picture
  for (int x = 0; x < 16; ++x) EXPECT_EQ(at(1, x, 10), value(2, x, 10));
  EXPECT_TRUE(guardIntact());
}

TEST_F(StripeCopy, FourTwoTwoChromaIsAveragedDown) {
  makeFrame(2, 1);
  const ogg::PictureRegion region{0, 1, 32, 22};  // an odd offset puts row pairs across stripes
  makeTarget(32, 22);
  copyBottomUp(region, {0, 1, 2, 3});
  for (int y = 0; y < 11; ++y)
    for (int x = 0; x < 16; ++x) {
      const int a = value(1, x, 1 + 2 * y), b = value(1, x, std::min(2 + 2 * y, 23));
      ASSERT_EQ(at(2, x, y), (a + b + 1) >> 1) << x << "," << y;
    }
  for (int y = 0; y < 22; ++y) ASSERT_EQ(at(0, 5, y), value(0, 5, y + 1));
  EXPECT_TRUE(guardIntact());
}

TEST_F(StripeCopy, FourFourFourChromaIsAveragedDown) {
  makeFrame(1, 1);
  const ogg::PictureRegion region{1, 0, 31, 24};  // odd width: the last column pairs with itself
  makeTarget(32, 24);
  copyBottomUp(region, {0, 2, 3});
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 16; ++x) {
      const int x0 = 1 + 2 * x, x1 = std::min(x0 + 1, 31);
      const int sum = value(2, x0, 2 * y) + value(2, x1, 2 * y) + value(2, x0, 2 * y + 1) + value(2, x1, 2 * y + 1);
      ASSERT_EQ(at(1, x, y), (sum + 2) >> 2) << x << "," << y;
    }
  EXPECT_TRUE(guardIntact());
}

TEST_F(StripeCopy, NothingIsWrittenOutsideASmallerTarget) {
  for (int dec : {1, 2}) {
    makeFrame(dec, dec);
    makeTarget(8, 6);
    copyBottomUp(ogg::PictureRegion{0, 0, 32, 24}, {0, 1, 2, 3});
    EXPECT_EQ(at(0, 7, 5), value(0, 7, 5));
    EXPECT_TRUE(guardIntact());
    // Regions beyond the frame and stripes beyond the planes read nothing outside them.
    makeTarget(32, 24);
    ogg::copyStripe(buffer_, ogg::PictureRegion{30, 20, 32, 24}, table_, 0, 40);
    ogg::copyStripe(buffer_, ogg::PictureRegion{0, 0, 32, 24}, table_, -5, 100);
    ogg::copyStripe(buffer_, ogg::PictureRegion{1000, 1000, 5, 5}, table_, 0, 3);
    EXPECT_TRUE(guardIntact());
  }
}

}  // namespace
