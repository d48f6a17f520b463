#include "kolm/memory_stream.h"

#include <climits>
#include <cstring>

namespace kolm {

CMemoryStream::CMemoryStream(std::vector<std::uint8_t> bytes)
    : bytes_(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes))) {}

CMemoryStream::CMemoryStream(const std::uint8_t* data, std::size_t size)
    : CMemoryStream(std::vector<std::uint8_t>(data, data + size)) {}

CMemoryStream::CMemoryStream(std::shared_ptr<const std::vector<std::uint8_t>> bytes) : bytes_(std::move(bytes)) {}

int CMemoryStream::size() {
  return bytes_->size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(bytes_->size());
}

int CMemoryStream::read(void* buffer, int count) {
  if (!buffer || count <= 0 || position_ >= size()) return 0;
  const int take = count < size() - position_ ? count : size() - position_;
  std::memcpy(buffer, bytes_->data() + position_, static_cast<std::size_t>(take));
  position_ += take;
  return take;
}

int CMemoryStream::write(const void*, int) { return 0; }

bool CMemoryStream::seek(int offset, int origin) {
  const long long base = origin == fromCurrent ? position_ : origin == fromBegin ? 0 : size();
  const long long target = base + offset;
  if (target < 0 || target > INT_MAX) return false;
  position_ = static_cast<int>(target);
  return true;
}

CStream* CMemoryStream::reopen() { return new CMemoryStream(bytes_); }

}  // namespace kolm
