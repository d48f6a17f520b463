#include "mpeg1/bit_reader.h"

#include <cstring>

#include "mpeg1/errors.h"
#include "mpeg1/stream_reader.h"

namespace {

inline std::uint32_t fromBigEndian(std::uint32_t word) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(&word);
  return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}

}  // namespace

void CMpeg1BitReader::init(CMpegPayloadReader* source, std::uint32_t* buffer, int bufferWords) {
  source_ = source;
  buffer_ = buffer;
  bufferWords_ = bufferWords;
  std::memset(buffer_, 0, sizeof(std::uint32_t) * static_cast<std::size_t>(bufferWords_ + slackWords + 1));
  rewind();
}

void CMpeg1BitReader::rewind() {
  current = buffer_;
  bitPos = 0;
  wordsLeft = 0;
}

int CMpeg1BitReader::refill() {
  int result = 0;
  if (!atEnd) {
    const int keep = wordsLeft > 0 ? wordsLeft : 0;
    // The word behind the read position is kept too: a start code search
    // that finds 00 00 01 steps back over bytes that may lie in it.
    const int behind = current > buffer_ ? 1 : 0;
    std::memmove(buffer_, current - behind, sizeof(std::uint32_t) * static_cast<std::size_t>(keep + behind));
    current = buffer_ + behind;
    auto* fresh = reinterpret_cast<std::uint8_t*>(current + keep);
    const int room = (bufferWords_ - keep - behind) * 4;
    const int got = room > 0 && source_ ? source_->readPayload(fresh, room) : 0;
    if (got < 0) throw mpeg1::CMpegError("Unexpected read error.");
    if (got == 0) {
      // A zero word and a sequence end code behind the data, not counted, so
      // that the last header and start code search see a clean end; the rest
      // of the slack is zero.
      std::memset(current + keep, 0, sizeof(std::uint32_t) * static_cast<std::size_t>(slackWords));
      current[keep + 1] = 0x000001B7;
      atEnd = true;
    } else {
      const int words = (got + 3) / 4;
      fetchedBytes_ += 4 * words;
      std::memset(fresh + got, 0, static_cast<std::size_t>(words * 4 - got));
      for (int i = 0; i < words; ++i) current[keep + i] = fromBigEndian(current[keep + i]);
      wordsLeft = keep + words;
      // Peeks at the last word read one word further: keep that word defined.
      current[wordsLeft] = 0;
      result = 1;
    }
  }
  if (result == 0 && wordsLeft < 1) throw mpeg1::CMpegError("Improper or missing sequence end code.");
  return result;
}

int CMpeg1BitReader::nextStartCode() {
  ensure(2);
  if (bitPos & 7) skipBits(8 - (bitPos & 7));
  int zeros = 0;
  while (wordsLeft > 0) {
    if (wordsLeft < 2) {
      // The end of the data is no error here: the search simply finds nothing.
      if (atEnd) {
        if (wordsLeft < 1) break;
      } else {
        refill();
      }
    }
    // Fast path: skip whole words that cannot hold a prefix start.
    if (bitPos == 0 && zeros == 0 && wordsLeft > 1) {
      const std::uint32_t w = current[0];
      if ((w & 0x00FF0000u) && (w & 0x000000FFu) && (w & 0xFF000000u) && (w & 0x0000FF00u)) {
        // No zero byte at all: no prefix can start or continue in this word.
        ++current;
        --wordsLeft;
        continue;
      }
    }
    const std::uint32_t byte = getBits(8);
    if (byte == 0) {
      if (zeros < 2) ++zeros;
    } else if (byte == 1 && zeros == 2) {
      bitPos -= 24;
      if (bitPos < 0) {
        --current;
        ++wordsLeft;
        bitPos += 32;
      }
      return 1;
    } else {
      zeros = 0;
    }
  }
  return -2;
}

void CMpeg1BitReader::skipUntilPrefix() {
  for (;;) {
    ensure(2);
    if (peekBits(24) == 0x000001) return;
    skipBits(8);
  }
}
