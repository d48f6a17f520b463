#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Writes 4:2:0 pictures as a YUV4MPEG2 stream.
class Y4mWriter {
 public:
  Y4mWriter() = default;
  ~Y4mWriter();
  Y4mWriter(const Y4mWriter&) = delete;
  Y4mWriter& operator=(const Y4mWriter&) = delete;

  bool open(const std::string& path, int width, int height, int rateNum, int rateDen);
  // Planes with their pitches; chroma is (width + 1) / 2 by (height + 1) / 2.
  bool write(const std::uint8_t* y, int pitchY, const std::uint8_t* u, const std::uint8_t* v, int pitchC);
  bool close();
  bool isOpen() const { return file_ != nullptr; }

 private:
  std::FILE* file_ = nullptr;
  int width_ = 0, height_ = 0;
};
