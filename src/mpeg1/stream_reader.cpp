#include "mpeg1/stream_reader.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t packStart = 0x000001BA;
constexpr std::uint32_t systemHeader = 0x000001BB;
constexpr std::uint32_t sequenceHeader = 0x000001B3;

std::uint32_t be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
int be16(const std::uint8_t* p) { return p[0] << 8 | p[1]; }
bool isPacketCode(std::uint32_t code) { return code >= 0x000001BC && code <= 0x000001FF; }

// An MPEG-1 pack header has '0010' in the top bits of its fifth byte; MPEG-2
// has '01'. The MPEG-1 path must leave MPEG-2 to the FFmpeg path.
bool isMpeg2Pack(const std::uint8_t* head) { return (head[4] & 0xC0) == 0x40; }

// Steps over the MPEG-1 packet header (stuffing, buffer size, time stamps) of
// a packet's `total` bytes after its length field; the offset of its first
// payload byte, or -1 when it carries none (which is legal, even a length of 0).
// *pts gets the packet's presentation time stamp, or -1.
int payloadStart(const std::uint8_t* p, int total, std::int64_t* pts) {
  *pts = -1;
  int pos = 0;
  while (pos < total && p[pos] == 0xFF) ++pos;
  if (pos < total && (p[pos] & 0xC0) == 0x40) pos += 2;
  if (pos >= total) return -1;
  const int marker = p[pos] & 0xF0;
  const int start = pos + (marker == 0x20 ? 5 : marker == 0x30 ? 10 : 1);
  if (start >= total) return -1;
  if (marker == 0x20 || marker == 0x30) {
    const std::uint8_t* t = p + pos;
    *pts = std::int64_t{(t[0] >> 1) & 7} << 30 | std::int64_t{t[1]} << 22 | std::int64_t{t[2] >> 1} << 15 |
           std::int64_t{t[3]} << 7 | t[4] >> 1;
  }
  return start;
}

}  // namespace

CMpegStreamReader::CMpegStreamReader(kolm::CStream* byteStream) : byteStream_(byteStream) {}

CMpegStreamReader::~CMpegStreamReader() = default;

bool CMpegStreamReader::readSystemHeader(const std::uint8_t* head) {
  const int length = be16(head + 4);
  int entries = std::min((length - 6) / 3, maxStreams);
  streamCount_ = 0;
  while (entries > 0) {
    const int piece = std::min(entries, 8);
    std::uint8_t table[24];
    if (byteStream_->read(table, piece * 3) != piece * 3) break;
    for (int i = 0; i < piece; ++i) {
      const std::uint8_t* e = table + 3 * i;
      const std::uint32_t size = (e[1] & 0x1Fu) * 256u + e[2];
      streamTable_[streamCount_++] = {e[0], (e[1] & 0x20) ? size << 10 : size << 7};
    }
    entries -= piece;
  }
  return true;
}

bool CMpegStreamReader::seekNextCode(bool zerosOnly) {
  std::uint8_t buffer[4096 + 3];
  int carry = 0;
  std::int64_t base = byteStream_->tell();  // file offset of buffer[0]
  int scanned = 0;
  for (;;) {
    const int got = byteStream_->read(buffer + carry, 4096);
    if (got <= 0) return false;
    const int n = carry + got;
    for (int i = 0; i + 3 < n; ++i) {
      if (buffer[i] == 0 && buffer[i + 1] == 0 && buffer[i + 2] == 1 && (zerosOnly || buffer[i + 3] >= 0xB9))
        return byteStream_->seek(base + i, kolm::fromBegin);
      if (zerosOnly && buffer[i] != 0) return false;
    }
    scanned += got;
    if (scanned > maxGap) return false;
    // The last three bytes may begin a prefix that the next read completes.
    std::memmove(buffer, buffer + n - 3, 3);
    base += n - 3;
    carry = 3;
  }
}

bool CMpegStreamReader::detectFormat() {
  if (!byteStream_ || !byteStream_->seek(0, kolm::fromBegin)) return false;
  bool sawPack = false;
  // A file of nothing but padding packets must not keep us here: give up
  // after a bounded number of packets without a system header.
  for (int guard = 0; guard < 4096; ++guard) {
    std::uint8_t head[12];
    if (byteStream_->read(head, 12) != 12) return false;
    const std::uint32_t code = be32(head);
    if ((code >> 8) != 1) {
      // Zero stuffing may precede the first start code; after a pack the
      // multiplexer may leave padding or junk before the next one.
      if (!byteStream_->seek(-12, kolm::fromCurrent) || !seekNextCode(!sawPack)) return false;
      continue;
    }
    if (code == packStart) {
      if (isMpeg2Pack(head)) return false;
      sawPack = true;
      continue;
    }
    if (code == systemHeader) return readSystemHeader(head);
    if (isPacketCode(code)) {
      const int length = be16(head + 4);
      if (length != 6 && !byteStream_->seek(length - 6, kolm::fromCurrent)) return false;
      continue;
    }
    if (code == sequenceHeader) {
      if (!byteStream_->seek(0, kolm::fromBegin)) return false;
      elementary_ = true;
      return true;
    }
    return false;
  }
  return false;
}

int CMpegStreamReader::videoStreamFromPackets(int n, int listed) {
  bool known[16] = {};
  for (std::uint32_t i = 0; i < streamCount_; ++i)
    if ((streamTable_[i].streamId & 0xF0) == 0xE0) known[streamTable_[i].streamId & 0x0F] = true;
  if (!byteStream_->seek(0, kolm::fromBegin)) return -1;
  int seen = listed;
  while (byteStream_->tell() < maxVideoSearch) {
    std::uint8_t head[6];
    if (byteStream_->read(head, 6) != 6) return -1;
    const std::uint32_t code = be32(head);
    if ((code >> 8) != 1 || code < 0x000001B9u) {
      if (!byteStream_->seek(-5, kolm::fromCurrent) || !seekNextCode(false)) return -1;
      continue;
    }
    if (code == 0x000001B9u) return -1;
    if (code == packStart) {
      if (!byteStream_->seek(6, kolm::fromCurrent)) return -1;
      continue;
    }
    if ((code & 0xF0) == 0xE0 && !known[code & 0x0F]) {
      known[code & 0x0F] = true;
      if (seen++ == n) return static_cast<int>(code & 0x0F);
    }
    const int length = be16(head + 4);
    if (length > 0 && !byteStream_->seek(length, kolm::fromCurrent)) return -1;
  }
  return -1;
}

CMpegPayloadReader* CMpegStreamReader::openVideoStream(int n) {
  if (streamCount_ > 0) {
    int seen = 0;
    for (std::uint32_t i = 0; i < streamCount_; ++i) {
      const std::uint32_t id = streamTable_[i].streamId;
      if ((id & 0xF0) != 0xE0) continue;
      if (seen++ == n) {
        payloadReader_ = std::make_unique<CMpegPayloadReader>(this, static_cast<int>(id & 0x0F));
        return payloadReader_.get();
      }
    }
    // A system header may list only some streams (Video CD files have one per
    // stream, and the first need not be the video's): the packets say which
    // video streams there are.
    const int number = n >= 0 ? videoStreamFromPackets(n, seen) : -1;
    if (number < 0) return nullptr;
    payloadReader_ = std::make_unique<CMpegPayloadReader>(this, number);
    return payloadReader_.get();
  }
  if (!elementary_ || n != 0) return nullptr;
  payloadReader_ = std::make_unique<CMpegPayloadReader>(this, 0);
  return payloadReader_.get();
}

CMpegPayloadReader* CMpegStreamReader::openAudioStream(int number) {
  if (elementary_ || number < 0 || number > 0x1F) return nullptr;
  audioReader_ = std::make_unique<CMpegPayloadReader>(this, number, true);
  return audioReader_.get();
}

int CMpegStreamReader::firstAudioStream() {
  if (elementary_) return -1;
  int listed = -1;
  for (std::uint32_t i = 0; i < streamCount_ && listed < 0; ++i)
    if ((streamTable_[i].streamId & 0xE0) == 0xC0) listed = static_cast<int>(streamTable_[i].streamId & 0x1F);
  // The packets have the last word: Video CD files list the sound stream only
  // in a later system header.
  if (!byteStream_->seek(0, kolm::fromBegin)) return listed;
  while (byteStream_->tell() < maxVideoSearch) {
    std::uint8_t head[6];
    if (byteStream_->read(head, 6) != 6) return listed;
    const std::uint32_t code = be32(head);
    if ((code >> 8) != 1 || code < 0x000001B9u) {
      if (!byteStream_->seek(-5, kolm::fromCurrent) || !seekNextCode(false)) return listed;
      continue;
    }
    if (code == 0x000001B9u) return listed;
    if (code == packStart) {
      if (!byteStream_->seek(6, kolm::fromCurrent)) return listed;
      continue;
    }
    if ((code & 0xE0) == 0xC0) return static_cast<int>(code & 0x1F);
    const int length = be16(head + 4);
    if (length > 0 && !byteStream_->seek(length, kolm::fromCurrent)) return listed;
  }
  return listed;
}

bool CMpegStreamReader::firstTimeStamp(bool audio, int number, std::int64_t* pts) {
  if (elementary_) return false;
  std::vector<std::uint8_t> packet(CMpegPayloadReader::bufferSize);
  std::int64_t position = 0;
  while (position < maxVideoSearch) {
    int offset = 0;
    std::int64_t stamp = -1;
    if (readPacket(audio, number, packet.data(), CMpegPayloadReader::bufferSize, &position, &offset, &stamp) <= 0)
      return false;
    if (stamp >= 0) {
      *pts = stamp;
      return true;
    }
  }
  return false;
}

bool CMpegStreamReader::nextTimeStamp(bool audio, int number, std::int64_t from, std::int64_t limit,
                                      std::int64_t* packetPosition, std::int64_t* pts) {
  if (elementary_ || from < 0) return false;
  std::vector<std::uint8_t> packet(CMpegPayloadReader::bufferSize);
  std::int64_t position = from;
  while (position - from <= limit) {
    const std::int64_t before = position;
    int offset = 0;
    std::int64_t stamp = -1;
    if (readPacket(audio, number, packet.data(), CMpegPayloadReader::bufferSize, &position, &offset, &stamp) <= 0 ||
        position <= before)
      return false;
    if (stamp >= 0) {
      *packetPosition = before;
      *pts = stamp;
      return true;
    }
  }
  return false;
}

int CMpegStreamReader::readPacket(bool audio, int number, std::uint8_t* destination, int capacity,
                                  std::int64_t* filePosition, int* payloadOffset, std::int64_t* pts) {
  std::int64_t unused = -1;
  if (!pts) pts = &unused;
  *pts = -1;
  *payloadOffset = 0;
  if (!byteStream_->seek(*filePosition, kolm::fromBegin)) return 0;
  if (elementary_) {
    const int got = byteStream_->read(destination, capacity);
    *filePosition = byteStream_->tell();
    return got;
  }
  const std::uint32_t wanted = audio ? 0x000001C0u | (number & 0x1F) : 0x000001E0u | (number & 0x0F);
  for (;;) {
    std::uint8_t head[12];
    const int got = byteStream_->read(head, 12);
    if (got != 12) {
      // The last packet of the file may be shorter than the 12 bytes read.
      if (got < 6 || be32(head) != wanted) return 0;
      const int total = std::min(be16(head + 4), got - 6);
      std::memcpy(destination, head + 6, static_cast<std::size_t>(total));
      *filePosition = byteStream_->tell();
      const int pos = payloadStart(destination, total, pts);
      if (pos < 0) return 0;
      *payloadOffset = pos;
      return total;
    }
    const std::uint32_t code = be32(head);
    const int length = be16(head + 4);
    if ((code >> 8) != 1 || code < 0x000001B9u) {
      // Not a system-level code: stuffing, sector padding or junk between
      // packs. Read on to the next code, one byte past this position.
      if (!byteStream_->seek(-11, kolm::fromCurrent) || !seekNextCode(false)) return 0;
      continue;
    }
    if (code == packStart) continue;
    if (code == systemHeader || (isPacketCode(code) && code != wanted)) {
      // A packet is 6 bytes of header plus its length; 12 were read already.
      if (length - 6 != 0 && !byteStream_->seek(length - 6, kolm::fromCurrent)) return 0;
      continue;
    }
    if (code != wanted) return 0;

    // The wanted packet: 6 header bytes then `length` bytes, of which 6 are in head.
    if (length + 6 > capacity) return 0;
    int total;
    if (length >= 6) {
      std::memcpy(destination, head + 6, 6);
      const int rest = length - 6;
      const int got = rest > 0 ? byteStream_->read(destination + 6, rest) : 0;
      total = got + 6;
    } else {
      // A short packet: 12 bytes were read, only 6 + length belong to it.
      std::memcpy(destination, head + 6, static_cast<std::size_t>(length));
      total = length;
      if (!byteStream_->seek(length - 6, kolm::fromCurrent)) return 0;
    }
    *filePosition = byteStream_->tell();

    // A packet without payload is skipped, not taken for the end.
    const int pos = payloadStart(destination, total, pts);
    if (pos < 0) continue;
    *payloadOffset = pos;
    return total;
  }
}

std::int64_t CMpegStreamReader::fileSize() const { return byteStream_ ? byteStream_->size() : -1; }

CMpegPayloadReader::CMpegPayloadReader(CMpegStreamReader* owner, int streamNumber, bool audio)
    : owner_(owner), streamNumber_(streamNumber), audio_(audio), buffer_(bufferSize) {}

bool CMpegPayloadReader::claimTimeStamp(std::int64_t offset, std::int64_t* pts) {
  while (!stamps_.empty() && stamps_.front().end <= offset) stamps_.pop_front();
  if (stamps_.empty() || stamps_.front().begin > offset) return false;
  *pts = stamps_.front().pts;
  stamps_.pop_front();
  return true;
}

void CMpegPayloadReader::reposition(std::int64_t filePosition) {
  stamps_.clear();
  payloadLoaded_ = 0;
  fill_ = 0;
  readPos_ = 0;
  atEnd_ = false;
  filePosition_ = filePosition;
}

int CMpegPayloadReader::readPayload(std::uint8_t* destination, int length) {
  int copied = 0;
  while (copied < length) {
    const int available = fill_ - readPos_;
    if (available > 0) {
      const int take = std::min(available, length - copied);
      std::memcpy(destination + copied, buffer_.data() + readPos_, static_cast<std::size_t>(take));
      readPos_ += take;
      copied += take;
      continue;
    }
    if (atEnd_) break;
    readPos_ = 0;
    std::int64_t pts = -1;
    fill_ = owner_->readPacket(audio_, streamNumber_, buffer_.data(), bufferSize, &filePosition_, &readPos_, &pts);
    if (fill_ <= 0) {
      fill_ = 0;
      readPos_ = 0;
      atEnd_ = true;
      continue;
    }
    const std::int64_t begin = payloadLoaded_;
    payloadLoaded_ += fill_ - readPos_;
    if (pts >= 0) {
      // Hostile streams can stamp every tiny packet: only so many wait.
      if (stamps_.size() >= maxStamps) stamps_.pop_front();
      stamps_.push_back({begin, payloadLoaded_, pts});
    }
  }
  return copied;
}
