#pragma once

// 16-bit PCM WAV files, plain or gzip-compressed, plain or extensible
// format, as zarvel-decode writes them and FFmpeg's references are.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace fixtures {

struct Wav {
  int channels = 0, rate = 0, bits = 0;
  std::vector<std::int16_t> samples;  // interleaved
  std::size_t frames() const { return channels ? samples.size() / static_cast<std::size_t>(channels) : 0; }
};

inline bool readWav(const std::string& path, Wav& wav) {
  gzFile file = gzopen(path.c_str(), "rb");
  if (!file) return false;
  std::vector<unsigned char> data;
  char chunk[1 << 16];
  int got;
  while ((got = gzread(file, chunk, sizeof chunk)) > 0) data.insert(data.end(), chunk, chunk + got);
  gzclose(file);
  auto u16 = [&](std::size_t at) { return static_cast<std::uint32_t>(data[at] | data[at + 1] << 8); };
  auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
  if (data.size() < 12 || std::memcmp(data.data(), "RIFF", 4) != 0 || std::memcmp(data.data() + 8, "WAVE", 4) != 0)
    return false;
  std::size_t at = 12;
  while (at + 8 <= data.size()) {
    const std::uint32_t length = u32(at + 4);
    if (std::memcmp(data.data() + at, "fmt ", 4) == 0 && at + 24 <= data.size()) {
      const std::uint32_t tag = u16(at + 8);
      if (tag != 1 && tag != 0xFFFE) return false;
      wav.channels = static_cast<int>(u16(at + 10));
      wav.rate = static_cast<int>(u32(at + 12));
      wav.bits = static_cast<int>(u16(at + 22));
    } else if (std::memcmp(data.data() + at, "data", 4) == 0) {
      if (wav.bits != 16 || wav.channels <= 0) return false;
      const std::size_t end = std::min(data.size(), at + 8 + length);
      for (std::size_t i = at + 8; i + 1 < end; i += 2) wav.samples.push_back(static_cast<std::int16_t>(u16(i)));
      return true;
    }
    at += 8 + length + (length & 1);
  }
  return false;
}

}  // namespace fixtures
