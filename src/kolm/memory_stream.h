#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kolm/stream.h"

namespace kolm {

// A read-only stream over bytes in memory. Reopened streams share the bytes.
class CMemoryStream : public CStream {
 public:
  explicit CMemoryStream(std::vector<std::uint8_t> bytes);
  CMemoryStream(const std::uint8_t* data, std::size_t size);

  int read(void* buffer, int count) override;
  int write(const void* buffer, int count) override;
  bool seek(std::int64_t offset, int origin) override;
  std::int64_t tell() override { return position_; }
  std::int64_t size() override;
  CStream* reopen() override;

 private:
  explicit CMemoryStream(std::shared_ptr<const std::vector<std::uint8_t>> bytes);
  std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
  std::int64_t position_ = 0;
};

}  // namespace kolm
