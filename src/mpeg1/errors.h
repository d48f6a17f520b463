#pragma once

#include <stdexcept>

namespace mpeg1 {

// Ends decoding of a file; the text says why. The decode loop takes it as the
// end of the data.
class CMpegError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace mpeg1
