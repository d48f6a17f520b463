#pragma once

#include <cstdint>

class CMpegPayloadReader;

// Bit-level reader over a buffer of 32-bit words in host order, refilled from
// the payload reader. Callers check `wordsLeft` once per header field (2 words)
// or once per block (blockWords) and then read without further checks.
class CMpeg1BitReader {
 public:
  // Enough words for the longest legal block (64 escapes of 28 bits, DC, end
  // of block) and then some.
  static constexpr int blockWords = 100;
  // Words beyond the filled part that reads may touch: the two appended at
  // the end of the data, plus a whole block's worth so that a block read
  // without checks near the end of hostile data stays inside the allocation.
  static constexpr int slackWords = 2 + blockWords + 2;

  // buffer holds bufferWords + slackWords + 1 words.
  void init(CMpegPayloadReader* source, std::uint32_t* buffer, int bufferWords);
  // Back to the start state: nothing read, the next read refills.
  void rewind();
  // After the source was moved: as rewind(), and neither at the end nor with
  // any byte counted, so that bytePosition() counts from the new place.
  void restart() {
    rewind();
    atEnd = false;
    fetchedBytes_ = 0;
  }

  // 1 when data was read, 0 at the end. Throws CMpegError when data is needed
  // and none is left.
  int refill();
  void ensure(int words) {
    if (wordsLeft < words) refill();
  }

  std::uint32_t peek32() const {
    const std::uint64_t pair = std::uint64_t{current[0]} << 32 | current[1];
    return static_cast<std::uint32_t>((pair << bitPos) >> 32);
  }
  std::uint32_t peekBits(int n) const { return peek32() >> (32 - n); }
  void skipBits(int n) {
    bitPos += n;
    if (bitPos >= 32) {
      bitPos -= 32;
      ++current;
      --wordsLeft;
    }
  }
  std::uint32_t getBits(int n) {
    const std::uint32_t value = peekBits(n);
    skipBits(n);
    return value;
  }
  std::uint32_t getBit() { return getBits(1); }
  bool bitsAre(int n, std::uint32_t value) {
    ensure(2);
    return peekBits(n) == value;
  }
  // Passes a whole start code the reader stands on.
  void skipStartCode() {
    ++current;
    --wordsLeft;
  }

  // 1 when the reader stands on a start code prefix (byte aligned), -2 when
  // the data ran out first. Does not move when already on a prefix.
  int nextStartCode();
  // Steps over extension or user data up to the next start code prefix.
  void skipUntilPrefix();
  // The offset in the source's data of the byte the reader stands in.
  std::int64_t bytePosition() const { return fetchedBytes_ - 4 * std::int64_t{wordsLeft} + bitPos / 8; }

  std::uint32_t* current = nullptr;
  int bitPos = 0;
  int wordsLeft = 0;
  bool atEnd = false;

 private:
  CMpegPayloadReader* source_ = nullptr;
  std::uint32_t* buffer_ = nullptr;
  int bufferWords_ = 0;
  std::int64_t fetchedBytes_ = 0;  // whole words taken from the source
};
