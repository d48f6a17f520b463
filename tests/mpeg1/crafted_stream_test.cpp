// Hand-written MPEG-1 streams for what encoders never produce: extreme
// coefficients, vectors far outside the picture, slices below the picture, a
// second sequence header of another size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "kolm/memory_stream.h"
#include "kolm/sample_queue.h"
#include "kolm/video_downstream.h"
#include "mpeg1/idct.h"
#include "mpeg1/probe.h"

namespace {

class BitWriter {
 public:
  void put(std::uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      current_ = static_cast<std::uint8_t>(current_ << 1 | ((value >> i) & 1));
      if (++filled_ == 8) flushByte();
    }
  }
  void put(const std::string& bits) {
    for (char c : bits) put(c == '1' ? 1 : 0, 1);
  }
  void align() {
    while (filled_ != 0) put(0, 1);
  }
  void startCode(int code) {
    align();
    put(0x000001, 24);
    put(static_cast<std::uint32_t>(code), 8);
  }
  std::vector<std::uint8_t> bytes() {
    align();
    return out_;
  }

 private:
  void flushByte() {
    out_.push_back(current_);
    current_ = 0;
    filled_ = 0;
  }
  std::vector<std::uint8_t> out_;
  std::uint8_t current_ = 0;
  int filled_ = 0;
};

void sequenceHeader(BitWriter& w, int width, int height, int intraWeight = -1) {
  w.startCode(0xB3);
  w.put(width, 12);
  w.put(height, 12);
  w.put(1, 4);        // square pixels
  w.put(3, 4);        // 25 pictures a second
  w.put(0x3FFFF, 18);  // variable bit rate
  w.put(1, 1);
  w.put(20, 10);
  w.put(0, 1);
  if (intraWeight >= 0) {
    w.put(1, 1);
    for (int i = 0; i < 64; ++i) w.put(static_cast<std::uint32_t>(intraWeight), 8);
  } else {
    w.put(0, 1);
  }
  w.put(0, 1);
}

void gop(BitWriter& w) {
  w.startCode(0xB8);
  w.put(0, 1);
  w.put(0, 5);
  w.put(0, 6);
  w.put(1, 1);
  w.put(0, 6);
  w.put(0, 6);
  w.put(1, 1);  // closed
  w.put(0, 1);
}

void picture(BitWriter& w, int temporalReference, int type, int forwardCode = 1) {
  w.startCode(0x00);
  w.put(static_cast<std::uint32_t>(temporalReference), 10);
  w.put(static_cast<std::uint32_t>(type), 3);
  w.put(0xFFFF, 16);
  if (type == 2) {
    w.put(0, 1);
    w.put(static_cast<std::uint32_t>(forwardCode), 3);
  }
  w.put(0, 1);
}

void slice(BitWriter& w, int row, int quant) {
  w.startCode(row);
  w.put(static_cast<std::uint32_t>(quant), 5);
  w.put(0, 1);
}

// One intra macroblock of flat grey: DC differential 0 everywhere, no AC.
void greyIntraMacroblock(BitWriter& w) {
  w.put("1");  // address increment 1
  w.put("1");  // intra
  for (int block = 0; block < 6; ++block) {
    w.put(block < 4 ? "100" : "00");  // DC size 0
    w.put("10");                       // end of block
  }
}

struct Captured {
  bool accepted = false;
  int pictures = 0;
  std::vector<std::vector<std::uint8_t>> luma;
  int width = 0;
  std::set<const CSample*> samples;  // every sample a picture came in
};

class LumaSink : public kolm::IVideoDownstream {
 public:
  LumaSink() : pool_(nullptr) {}
  CSampleQueue* sampleQueue() override { return &pool_; }
  void deliver(CSample* sample) override {
    captured.luma.emplace_back(sample->planeY, sample->planeY + sample->width * sample->height);
    captured.width = sample->width;
    captured.samples.insert(sample);
    ++captured.pictures;
    pool_.release(sample);
  }
  Captured captured;

 private:
  CSampleQueue pool_;
};

Captured decode(std::vector<std::uint8_t> bytes) {
  kolm::CMemoryStream stream(std::move(bytes));
  LumaSink sink;
  auto source = mpeg1::openMpeg1(&stream, &sink);
  if (!source) return sink.captured;
  int guard = 0;
  while (source->decoder->step() && ++guard < 10000) {
  }
  sink.captured.accepted = true;
  return sink.captured;
}

TEST(Mpeg1Crafted, ExtremeCoefficientsSaturateInsteadOfWrapping) {
  BitWriter w;
  sequenceHeader(w, 16, 16, 255);  // every intra weight 255
  gop(w);
  picture(w, 0, 1);
  slice(w, 1, 31);
  w.put("1");
  w.put("1");
  for (int block = 0; block < 6; ++block) {
    w.put(block < 4 ? "100" : "00");
    if (block == 0) {
      w.put("000001");  // escape: run 0, level +255
      w.put(0, 6);
      w.put(0, 8);
      w.put(255, 8);
    }
    w.put("10");
  }
  w.startCode(0xB7);
  const Captured out = decode(w.bytes());
  ASSERT_TRUE(out.accepted);
  ASSERT_EQ(out.pictures, 1);

  // 255 x 255 x 31 / 8 is far beyond 16 bits; it must come out as 2047.
  std::int16_t block[64] = {};
  block[0] = 1024;
  block[1] = 2047;
  mpeg1::idctReference(block);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      EXPECT_EQ(out.luma[0][y * 16 + x], std::clamp<int>(block[y * 8 + x], 0, 255)) << x << "," << y;
}

TEST(Mpeg1Crafted, VectorsFarOutsideThePictureReadInsideIt) {
  BitWriter w;
  sequenceHeader(w, 16, 16);
  gop(w);
  picture(w, 0, 1);
  slice(w, 1, 8);
  greyIntraMacroblock(w);
  for (int code : {0x0C, 0x0D}) {  // +16 and -16 motion codes, f = 64
    picture(w, code == 0x0C ? 1 : 2, 2, 7);
    slice(w, 1, 8);
    w.put("1");    // address increment 1
    w.put("001");  // forward prediction, nothing coded
    w.put("0000001100");
    w.put(code & 1, 1);  // sign
    w.put(0, 6);         // residual
    w.put("0000001100");
    w.put(code & 1, 1);
    w.put(0, 6);
  }
  w.startCode(0xB7);
  const Captured out = decode(w.bytes());
  ASSERT_TRUE(out.accepted);
  ASSERT_EQ(out.pictures, 3);
  for (const auto& luma : out.luma)
    for (std::uint8_t sample : luma) ASSERT_EQ(sample, 128);
}

TEST(Mpeg1Crafted, SlicesBelowThePictureAndALaterSizeChangeEndCleanly) {
  BitWriter w;
  sequenceHeader(w, 16, 16);
  gop(w);
  picture(w, 0, 1);
  slice(w, 1, 8);
  greyIntraMacroblock(w);
  picture(w, 1, 1);
  slice(w, 0x20, 8);  // row 32 of a one-row picture
  greyIntraMacroblock(w);
  slice(w, 0xAF, 8);
  greyIntraMacroblock(w);
  sequenceHeader(w, 64, 48);  // another size: a different stream
  gop(w);
  picture(w, 0, 1);
  slice(w, 3, 8);
  greyIntraMacroblock(w);
  w.startCode(0xB7);
  const Captured out = decode(w.bytes());
  ASSERT_TRUE(out.accepted);
  EXPECT_EQ(out.pictures, 2);
  EXPECT_EQ(out.width, 16);
}

// A B picture takes its sample when it starts. One that no slice follows
// must give it back: kept in its frame, the frame's next picture was shown
// from that sample as it stood (another picture) instead of its own, and the
// renderer was left a sample short.
TEST(Mpeg1Crafted, APictureWithoutSlicesLeavesNothingBehind) {
  BitWriter w;
  sequenceHeader(w, 16, 16);
  gop(w);
  for (int reference : {0, 3}) {
    picture(w, reference, 1);
    slice(w, 1, 8);
    greyIntraMacroblock(w);
  }
  w.startCode(0x00);  // B, temporal reference 1, f_codes 1, and no slice
  w.put(1, 10);
  w.put(3, 3);
  w.put(0xFFFF, 16);
  w.put("0001" "0001" "0");
  picture(w, 6, 1);  // into the B's frame; luma 129 instead of 128
  slice(w, 1, 8);
  w.put("1" "1");       // address increment 1, intra
  w.put("00" "1" "10");  // DC size 1, differential +1, end of block
  for (int block = 1; block < 6; ++block) w.put(block < 4 ? "100" "10" : "00" "10");
  w.startCode(0xB7);
  const Captured out = decode(w.bytes());
  ASSERT_TRUE(out.accepted);
  ASSERT_EQ(out.pictures, 3);
  for (int i = 0; i < 3; ++i)
    for (std::uint8_t sample : out.luma[i]) ASSERT_EQ(sample, i < 2 ? 128 : 129) << "picture " << i;
  // The sink gives every picture back at once, so one sample serves them all.
  EXPECT_EQ(out.samples.size(), 1u);
}

}  // namespace
