#include <new>

#include "kolm/sys/sys.h"

namespace kolm::sys {

PictureMemory::PictureMemory(std::size_t bytes) : memory_(allocatePictureMemory(bytes)), bytes_(bytes) {
  if (!memory_) throw std::bad_alloc();
}

PictureMemory& PictureMemory::operator=(PictureMemory&& other) noexcept {
  if (this != &other) {
    freePictureMemory(memory_, bytes_);
    memory_ = other.memory_;
    bytes_ = other.bytes_;
    other.memory_ = nullptr;
    other.bytes_ = 0;
  }
  return *this;
}

}  // namespace kolm::sys
