#pragma once

#include <string>

namespace kolm {

// The text with every control character replaced, so that a hostile file
// name keeps a message on one line.
inline std::string printable(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return text;
}

}  // namespace kolm
