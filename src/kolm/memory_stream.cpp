#include "kolm/memory_stream.h"

#include <cstring>

namespace kolm {

CMemoryStream::CMemoryStream(std::vector<std::uint8_t> bytes)
    : bytes_(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes))) {}

CMemoryStream::CMemoryStream(const std::uint8_t* data, std::size_t size)
    : CMemoryStream(std::vector<std::uint8_t>(data, data + size)) {}

CMemoryStream::CMemoryStream(std::shared_ptr<const std::vector<std::uint8_t>> bytes) : bytes_(std::move(bytes)) {}

std::int64_t CMemoryStream::size() { return static_cast<std::int64_t>(bytes_->size()); }

int CMemoryStream::read(void* buffer, int count) {
  const std::int64_t length = size();
  if (!buffer || count <= 0 || position_ >= length) return 0;
  const int take = count < length - position_ ? count : static_cast<int>(length - position_);
  std::memcpy(buffer, bytes_->data() + position_, static_cast<std::size_t>(take));
  position_ += take;
  return take;
}

int CMemoryStream::write(const void*, int) { return 0; }

bool CMemoryStream::seek(std::int64_t offset, int origin) {
  const std::int64_t base = origin == fromCurrent ? position_ : origin == fromBegin ? 0 : size();
  return positionFrom(base, offset, &position_);
}

CStream* CMemoryStream::reopen() { return new CMemoryStream(bytes_); }

}  // namespace kolm
