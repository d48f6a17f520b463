// Helpers of the Ogg tests: sinks that keep what the decoder delivers, fixture
// bytes, and a look at the pages of an Ogg file.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kolm/audio_downstream.h"
#include "kolm/audio_sample_queue.h"
#include "kolm/sample_queue.h"
#include "kolm/video_downstream.h"
#include "../support/wav.h"  // beside this folder: not every target has tests/ on its path

namespace oggtest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A delivered picture: its time and its visible planes, Y then U then V.
struct Picture {
  std::int64_t time = 0;
  int width = 0, height = 0;
  Bytes y, u, v;
};

// Keeps a copy of every delivered picture and gives the sample back at once.
class PictureSink : public kolm::IVideoDownstream {
 public:
  PictureSink() : pool(nullptr) {}
  CSampleQueue* sampleQueue() override {
    ++queueCalls;
    return &pool;
  }
  void deliver(CSample* sample) override {
    Picture picture;
    picture.time = sample->time;
    picture.width = sample->width;
    picture.height = sample->height;
    const std::size_t luma = static_cast<std::size_t>(sample->width) * sample->height;
    const std::size_t chroma = static_cast<std::size_t>(sample->width / 2) * (sample->height / 2);
    picture.y.assign(sample->planeY, sample->planeY + luma);
    picture.v.assign(sample->planeV, sample->planeV + chroma);
    picture.u.assign(sample->planeU, sample->planeU + chroma);
    pictures.push_back(std::move(picture));
    pool.release(sample);
  }

  CSampleQueue pool;
  std::vector<Picture> pictures;
  int queueCalls = 0;
};

struct Block {
  std::int64_t position = 0;
  int frameCount = 0;
  AudioFormat format;
  Bytes bytes;  // the whole block, as the device would play it
};

// Keeps a copy of every delivered sound block and gives the block back at once.
class SoundSink : public kolm::IAudioDownstream {
 public:
  SoundSink() : pool(nullptr) {}
  CAudioSampleQueue* sampleQueue() override {
    ++queueCalls;
    return &pool;
  }
  void deliver(CAudioSample* sample) override {
    Block block;
    block.position = sample->position;
    block.frameCount = sample->frameCount;
    block.format = sample->format;
    block.bytes.assign(sample->buffer.get(), sample->buffer.get() + chunkBytes(sample->format));
    blocks.push_back(std::move(block));
    pool.release(sample);
  }

  CAudioSampleQueue pool;
  std::vector<Block> blocks;
  int queueCalls = 0;
};

// One page of an Ogg file, as it lies in the bytes.
struct PageInfo {
  std::size_t offset = 0;
  int flags = 0;
  std::int64_t granule = 0;
  std::uint32_t serial = 0;
  std::vector<int> lacing;
  std::size_t bodyOffset = 0, bodyLength = 0;
  std::size_t size() const { return bodyOffset + bodyLength - offset; }
};

// Bytes between pages (junk) are stepped over to the next capture pattern.
inline std::vector<PageInfo> pagesOf(const Bytes& file) {
  std::vector<PageInfo> pages;
  std::size_t at = 0;
  while (at + 27 <= file.size()) {
    if (std::memcmp(file.data() + at, "OggS", 4) != 0) {
      ++at;
      continue;
    }
    PageInfo page;
    page.offset = at;
    page.flags = file[at + 5];
    std::uint64_t granule = 0;
    for (int i = 7; i >= 0; --i) granule = granule << 8 | file[at + 6 + static_cast<std::size_t>(i)];
    page.granule = static_cast<std::int64_t>(granule);
    for (int i = 3; i >= 0; --i) page.serial = page.serial << 8 | file[at + 14 + static_cast<std::size_t>(i)];
    const int segments = file[at + 26];
    if (at + 27 + static_cast<std::size_t>(segments) > file.size()) break;
    for (int i = 0; i < segments; ++i) {
      page.lacing.push_back(file[at + 27 + static_cast<std::size_t>(i)]);
      page.bodyLength += file[at + 27 + static_cast<std::size_t>(i)];
    }
    page.bodyOffset = at + 27 + static_cast<std::size_t>(segments);
    pages.push_back(page);
    at = page.bodyOffset + page.bodyLength;
  }
  return pages;
}

// The page checksum, over the page with its checksum field taken as zero.
inline std::uint32_t pageCrc(const std::uint8_t* page, std::size_t size) {
  std::uint32_t crc = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t byte = i >= 22 && i < 26 ? 0 : page[i];
    crc ^= static_cast<std::uint32_t>(byte) << 24;
    for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

inline void sealPage(std::uint8_t* page, std::size_t size) {
  const std::uint32_t crc = pageCrc(page, size);
  for (int i = 0; i < 4; ++i) page[22 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
}

// Gives every whole page its right checksum again, after a test changed bytes in it.
inline void sealPages(Bytes& file) {
  for (const auto& page : pagesOf(file))
    if (page.offset + page.size() <= file.size()) sealPage(file.data() + page.offset, page.size());
}

inline void setGranule(Bytes& file, const PageInfo& page, std::int64_t granule) {
  for (int i = 0; i < 8; ++i)
    file[page.offset + 6 + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(static_cast<std::uint64_t>(granule) >> (8 * i));
}

// The serial number of the stream whose first page names this codec.
inline std::uint32_t serialOf(const Bytes& file, const char* codec) {
  for (const auto& page : pagesOf(file))
    if ((page.flags & 0x02) && page.bodyLength >= 7 &&
        std::memcmp(file.data() + page.bodyOffset + 1, codec, 6) == 0)
      return page.serial;
  return 0xFFFFFFFFu;
}

// Offset of the first occurrence of the bytes, or npos.
inline std::size_t find(const Bytes& file, const std::string& what) {
  for (std::size_t i = 0; i + what.size() <= file.size(); ++i)
    if (std::memcmp(file.data() + i, what.data(), what.size()) == 0) return i;
  return std::string::npos;
}

inline std::int16_t sample16(const Bytes& bytes, std::size_t index) {
  return static_cast<std::int16_t>(bytes[2 * index] | bytes[2 * index + 1] << 8);
}

using fixtures::readWav;
using fixtures::Wav;

// The granule position of the last page of the file's Vorbis stream: its length in frames.
inline std::int64_t lastSoundGranule(const std::string& path) {
  const Bytes bytes = readFile(path);
  const std::uint32_t serial = serialOf(bytes, "vorbis");
  std::int64_t granule = -1;
  for (const auto& page : pagesOf(bytes))
    if (page.serial == serial && page.granule >= 0) granule = page.granule;
  return granule;
}

}  // namespace oggtest
