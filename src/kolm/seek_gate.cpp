#include "kolm/seek_gate.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include "kolm/clock.h"

namespace kolm {

bool parseTime(const char* text, std::int64_t* time) {
  if (!text || !*text) return false;
  const std::string s(text);
  // Up to three fields split by ':'; only the last may have a fraction.
  double fields[3] = {0, 0, 0};
  int count = 0;
  std::size_t at = 0;
  for (;;) {
    const std::size_t colon = s.find(':', at);
    const std::string field = s.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
    if (field.empty() || count == 3) return false;
    const bool last = colon == std::string::npos;
    for (char c : field)
      if (!((c >= '0' && c <= '9') || (last && c == '.'))) return false;
    if (field.find('.') != field.rfind('.') || field == ".") return false;
    fields[count++] = std::strtod(field.c_str(), nullptr);
    if (last) break;
    at = colon + 1;
  }
  double seconds = 0;
  for (int i = 0; i < count; ++i) {
    // Minutes and seconds after the first field stay under 60.
    if (i > 0 && fields[i] >= 60) return false;
    seconds = seconds * 60 + fields[i];
  }
  // Far beyond any file, and beyond what 64-bit units can hold.
  if (!(seconds < 1e9)) return false;
  *time = static_cast<std::int64_t>(std::llround(seconds * unitsPerSecond));
  return true;
}

}  // namespace kolm
