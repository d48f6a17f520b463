#include "ogg/ogg_stream.h"

#include <ogg/ogg.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "kolm/stream.h"

namespace ogg {

namespace {

constexpr int pageHeaderLength = 27;  // up to and including the segment count

std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::int64_t le64(const std::uint8_t* p) {
  const std::uint64_t low = le32(p), high = le32(p + 4);
  return static_cast<std::int64_t>(low | high << 32);
}

// Body bytes 1 to 6 name the codec of a first page; byte 0 (the packet type)
// is not looked at.
int classify(const std::uint8_t* body) {
  if (std::memcmp(body + 1, "vorbis", 6) == 0) return vorbisCodec;
  if (std::memcmp(body + 1, "theora", 6) == 0) return theoraCodec;
  return otherCodec;
}

// The page checksum of Ogg: CRC-32 with the polynomial 0x04C11DB7, not
// reflected, starting from 0, over the page with its checksum field zeroed.
// Four tables, so that the body goes four bytes a step (every page of the
// file is checked, and this was a visible share of playback).
struct CrcTable {
  std::uint32_t entry[4][256];
  CrcTable() {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t r = i << 24;
      for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
      entry[0][i] = r;
    }
    for (int t = 1; t < 4; ++t)
      for (std::uint32_t i = 0; i < 256; ++i)
        entry[t][i] = (entry[t - 1][i] << 8) ^ entry[0][entry[t - 1][i] >> 24];
  }
};

std::uint32_t crcUpdate(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  static const CrcTable table;
  const auto& e = table.entry;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    crc ^= std::uint32_t{p[i]} << 24 | std::uint32_t{p[i + 1]} << 16 | std::uint32_t{p[i + 2]} << 8 | p[i + 3];
    crc = e[3][crc >> 24] ^ e[2][(crc >> 16) & 0xFF] ^ e[1][(crc >> 8) & 0xFF] ^ e[0][crc & 0xFF];
  }
  for (; i < n; ++i) crc = (crc << 8) ^ e[0][((crc >> 24) ^ p[i]) & 0xFF];
  return crc;
}

bool pageChecksumMatches(const std::uint8_t* header, int headerLength, const std::uint8_t* body,
                         std::size_t bodyLength) {
  std::uint8_t copy[pageHeaderLength + 255];
  std::memcpy(copy, header, static_cast<std::size_t>(headerLength));
  std::memset(copy + 22, 0, 4);
  const std::uint32_t crc = crcUpdate(crcUpdate(0, copy, static_cast<std::size_t>(headerLength)), body, bodyLength);
  return crc == le32(header + 22);
}

}  // namespace

COggStream::COggStream(std::size_t initialCapacity, kolm::CStream* source)
    : capacity_(initialCapacity), source_(source) {
  data_.reset(new (std::nothrow) std::uint8_t[capacity_]);
  if (!data_) capacity_ = 0;
}

COggStream::~COggStream() = default;

bool COggStream::ensureCapacity(std::size_t used, std::size_t needed) {
  if (data_ && needed <= capacity_) return true;
  if (needed > maxCapacity) return false;
  std::size_t grown = capacity_ ? capacity_ : 65536;
  while (grown < needed) grown *= 2;
  grown = std::min(grown, maxCapacity);
  std::unique_ptr<std::uint8_t[]> bigger(new (std::nothrow) std::uint8_t[grown]);
  if (!bigger) return false;
  if (used) std::memcpy(bigger.get(), data_.get(), used);
  data_ = std::move(bigger);
  capacity_ = grown;
  return true;
}

void COggStream::cutPage(const std::uint8_t* lacing, int segments, std::size_t available, std::int64_t granule,
                         bool lastPage, std::size_t* partial, int* completed) {
  std::size_t consumed = 0;
  std::size_t last = 0;
  bool any = false, cut = false;
  for (int i = 0; i < segments; ++i) {
    const std::size_t value = lacing[i];
    const std::size_t take = std::min(value, available - consumed);
    *partial += take;
    consumed += take;
    if (take < value) {  // the file ended inside this segment
      cut = true;
      break;
    }
    if (value < 255) {
      packets_.push_back(Entry{*partial, -1, false});
      *partial = 0;
      ++*completed;
      last = packets_.size() - 1;
      any = true;
    }
  }
  // A page's granule position belongs to the last packet that ends on it; a
  // page cut short never reached that packet.
  if (any && !cut) {
    packets_[last].granule = granule;
    packets_[last].endOfStream = lastPage;
  }
}

bool COggStream::resync() {
  std::uint8_t buffer[4096 + 3];
  std::int64_t base = filePosition_ + 1;  // file offset of buffer[0]
  int carry = 0;
  if (!source_->seek(base, kolm::fromBegin)) return false;
  while (lostBytes_ <= maxResync) {
    const int got = source_->read(buffer + carry, 4096);
    if (got <= 0) return false;
    const int n = carry + got;
    for (int i = 0; i + 4 <= n; ++i) {
      if (std::memcmp(buffer + i, "OggS", 4) == 0) {
        filePosition_ = base + i;
        lostBytes_ += i;
        damaged_ = true;
        return true;
      }
    }
    // The last three bytes may begin a capture pattern that the next read completes.
    const int keep = std::min(n, 3);
    std::memmove(buffer, buffer + n - keep, static_cast<std::size_t>(keep));
    base += n - keep;
    lostBytes_ += n - keep;
    carry = keep;
  }
  return false;
}

// Gathers one page of the chosen stream and, while a packet is still open and
// none has been completed yet, the continuation pages that follow it in that
// stream, so that a packet spanning pages comes out whole. When a page completes
// packets but leaves the last one open, the open bytes are carried into the
// next call instead of gathering on: muxers that fill pages to a size (libogg)
// leave a packet open on almost every page, and gathering on would take in the
// rest of the stream at once. Pages of other streams are stepped over.
//
// Damage is survived as a demuxer that lost sync does: bytes that are no page
// are searched through for the next capture pattern, and a page of ours whose
// checksum fails is dropped (a page cut by the end of the file cannot be
// checked and is dropped too). A packet that is not completed, because its
// continuation was lost, never came, or lies beyond the end of the file, is
// dropped rather than handed to the codec half made.
bool COggStream::readPage() {
  if (!source_) return false;
  resetPackets();
  std::size_t used = carry_;     // an open packet from the last group sits at the front
  std::size_t partial = carry_;  // bytes of the packet being assembled
  carry_ = 0;
  int pagesTaken = 0, completed = 0;
  bool keepOpen = false;
  std::int64_t firstGranule = -1;
  std::uint8_t probe[probeSize];
  // Drops the open packet whose bytes end at `used`, moving `length` bytes behind it down.
  auto dropOpenPacket = [&](std::size_t length) {
    if (partial == 0) return;
    std::memmove(data_.get() + used - partial, data_.get() + used, length);
    used -= partial;
    partial = 0;
  };

  for (;;) {
    if (!source_->seek(filePosition_, kolm::fromBegin)) break;
    const int got = source_->read(probe, probeSize);
    if (got < 4) break;
    if (std::memcmp(probe, "OggS", 4) != 0) {
      // A file must begin with a page; later junk is searched through.
      if (filePosition_ == 0 || !resync()) break;
      continue;
    }
    // Just after damage, a page header that does not fit in what is left of
    // the file may be a stray capture pattern: search on past it.
    const bool mayBeStray = damaged_ && lostBytes_ < maxResync;
    if (got < pageHeaderLength) {
      if (!mayBeStray) break;
      ++filePosition_;
      continue;
    }
    const int flags = probe[5];
    const std::int64_t granule = le64(probe + 6);
    const std::uint32_t pageSerial = le32(probe + 14);
    const std::uint32_t sequence = le32(probe + 18);
    const int segments = probe[26];
    const int headerLength = pageHeaderLength + segments;
    if (got < headerLength) {
      if (!mayBeStray) break;
      ++filePosition_;
      continue;
    }
    std::size_t bodyLength = 0;
    for (int i = 0; i < segments; ++i) bodyLength += probe[pageHeaderLength + i];

    if (!chosen_) {
      // Until a stream is chosen only the first pages at the head of the file are looked at.
      if (!(flags & 0x02) || got < headerLength + 7) break;
      const int type = bodyLength >= 7 ? classify(probe + headerLength) : otherCodec;
      if (acceptsType(type)) {
        streamType_ = type;
        serial_ = pageSerial;
        chosen_ = true;
      }
    }
    if (!chosen_ || pageSerial != serial_) {
      if (damaged_) {
        // Just after damage a capture pattern may be a stray one: its length
        // is trusted only when its checksum holds.
        std::vector<std::uint8_t> body(bodyLength);
        const std::size_t inProbe = std::min(static_cast<std::size_t>(got - headerLength), bodyLength);
        if (inProbe > 0) std::memcpy(body.data(), probe + headerLength, inProbe);
        const int rest = static_cast<int>(bodyLength - inProbe);
        const bool whole = rest <= 0 || source_->read(body.data() + inProbe, rest) == rest;
        if (!whole || !pageChecksumMatches(probe, headerLength, body.data(), bodyLength)) {
          lostBytes_ += 1;
          if (lostBytes_ > maxResync) break;
          ++filePosition_;
          continue;
        }
      }
      filePosition_ += headerLength + static_cast<std::int64_t>(bodyLength);
      continue;
    }

    const bool continuation = (flags & 0x01) != 0;
    if (pagesTaken > 0 && !continuation) break;  // the next group starts with this page
    if (!ensureCapacity(used, used + bodyLength)) break;

    const std::size_t inProbe = std::min(static_cast<std::size_t>(got - headerLength), bodyLength);
    std::memcpy(data_.get() + used, probe + headerLength, inProbe);
    std::size_t have = inProbe;
    while (have < bodyLength) {  // a page larger than the probe: the rest goes straight into the buffer
      const int got2 = source_->read(data_.get() + used + have, static_cast<int>(bodyLength - have));
      if (got2 <= 0) break;
      have += static_cast<std::size_t>(got2);
    }
    // A page cut by the end of the file cannot be checked either; after it
    // the search finds nothing more and reading ends.
    if (have < bodyLength || !pageChecksumMatches(probe, headerLength, data_.get() + used, bodyLength)) {
      lostBytes_ += headerLength + static_cast<std::int64_t>(bodyLength);
      damaged_ = true;
      if (lostBytes_ > maxResync) break;
      ++filePosition_;  // search on from the next byte
      continue;
    }

    // A sound page of ours. When damage came before it and its sequence
    // number shows a page of ours missing, the open packet lost a part.
    const bool lost = damaged_ && haveSequence_ && sequence != lastSequence_ + 1;
    lostBytes_ = 0;
    damaged_ = false;
    haveSequence_ = true;
    lastSequence_ = sequence;
    if (lost || !continuation) {
      // Not continued (or only after a lost page): the open packet never ends.
      dropOpenPacket(bodyLength);
      skipContinued_ = continuation;
    }
    // The continued start of a page after a lost one ends a packet that was dropped.
    int skipSegments = 0;
    std::size_t skipBytes = 0;
    if (skipContinued_) {
      while (skipSegments < segments) {
        const int value = probe[pageHeaderLength + skipSegments++];
        skipBytes += static_cast<std::size_t>(value);
        if (value < 255) {
          skipContinued_ = false;
          break;
        }
      }
      std::memmove(data_.get() + used, data_.get() + used + skipBytes, bodyLength - skipBytes);
    }
    cutPage(probe + pageHeaderLength + skipSegments, segments - skipSegments, bodyLength - skipBytes, granule,
            (flags & 0x04) != 0, &partial, &completed);
    used += bodyLength - skipBytes;
    filePosition_ += headerLength + static_cast<std::int64_t>(bodyLength);
    if (++pagesTaken == 1) firstGranule = granule;

    if (flags & 0x04) break;  // nothing of this stream follows
    if (partial == 0) break;  // the group ends on a packet boundary
    if (!packets_.empty()) {
      keepOpen = true;
      break;
    }
  }

  if (partial > 0) {
    used -= partial;
    // Carried on when the next page may still complete it; otherwise nothing will.
    if (keepOpen) carry_ = partial;
  }
  gathered_ = used;
  if (pagesTaken == 0 && packets_.empty()) return false;

  packet_.packet = data_.get();
  packet_.bytes = static_cast<long>(gathered_);
  packet_.b_o_s = 0;
  packet_.e_o_s = 0;
  packet_.granulepos = firstGranule;
  packet_.packetno = packetNumber_;
  return true;
}

bool COggStream::findStream() {
  filePosition_ = 0;
  carry_ = 0;
  gathered_ = 0;
  resetPackets();
  chosen_ = false;
  serial_ = 0xFFFFFFFFu;
  streamType_ = otherCodec;
  packetNumber_ = 0;
  lostBytes_ = 0;
  damaged_ = haveSequence_ = skipContinued_ = false;
  if (!readPage()) return false;
  // Every packet handed out from this first group carries the flag, until the next readPage().
  packet_.b_o_s = 1;
  return true;
}

int COggStream::nextPacket() {
  if (packetIndex_ >= packets_.size()) return 0;
  const Entry& entry = packets_[packetIndex_];
  if (nextOffset_ > gathered_ || entry.size > gathered_ - nextOffset_) return 0;
  packet_.packet = data_.get() + nextOffset_;
  packet_.bytes = static_cast<long>(entry.size);
  packet_.granulepos = entry.granule;
  packet_.e_o_s = entry.endOfStream ? 1 : 0;
  // Numbered in order: the Vorbis synthesis loses its sample count on a gap.
  packet_.packetno = packetNumber_++;
  nextOffset_ += entry.size;
  ++packetIndex_;
  return 1;
}

void COggStream::unreadPacket() {
  if (packetIndex_ == 0) return;
  --packetIndex_;
  --packetNumber_;
  nextOffset_ -= packets_[packetIndex_].size;
}

void COggStream::restartAt(std::int64_t offset) {
  filePosition_ = offset < 0 ? 0 : offset;
  carry_ = 0;
  gathered_ = 0;
  resetPackets();
  lostBytes_ = 0;
  damaged_ = haveSequence_ = false;
  skipContinued_ = true;
}

void COggStream::resetPackets() {
  if (carry_ > 0 && gathered_ > 0) std::memmove(data_.get(), data_.get() + gathered_, carry_);
  gathered_ = 0;
  packets_.clear();
  packetIndex_ = 0;
  nextOffset_ = 0;
  packet_.bytes = 0;
}

namespace {

// Bytes a probe reads at a time.
constexpr int probeChunk = 8192;
// Below this span the bisection walks the pages one by one.
constexpr std::int64_t walkSpan = 65536;
// How far one bisection probe reads at least in search of a page of the stream.
constexpr std::int64_t probeReach = std::int64_t{1} << 20;

// ogg_sync over a byte range of the file, for probes: each one starts with a
// fresh sync state, so a probe never sees what another one read.
class CPageScan {
 public:
  CPageScan(kolm::CStream* source, std::int64_t from) : source_(source), offset_(from < 0 ? 0 : from) {
    ogg_sync_init(&sync_);
    ok_ = source_ && source_->seek(offset_, kolm::fromBegin);
  }
  ~CPageScan() { ogg_sync_clear(&sync_); }
  CPageScan(const CPageScan&) = delete;
  CPageScan& operator=(const CPageScan&) = delete;

  // The next whole page starting before `limit`; false at the limit, the end
  // of the file or a read error. *offset is where it starts.
  bool next(std::int64_t limit, ogg_page* page, std::int64_t* offset, long* length) {
    while (ok_ && offset_ < limit) {
      const long result = ogg_sync_pageseek(&sync_, page);
      if (result < 0) {  // bytes that are no page, or a page failing its checksum
        offset_ += -result;
        continue;
      }
      if (result > 0) {
        *offset = offset_;
        *length = result;
        offset_ += result;
        return true;
      }
      char* buffer = ogg_sync_buffer(&sync_, probeChunk);
      const int got = buffer ? source_->read(buffer, probeChunk) : 0;
      if (got <= 0 || ogg_sync_wrote(&sync_, got) != 0) ok_ = false;
    }
    return false;
  }

 private:
  kolm::CStream* source_;
  ogg_sync_state sync_;
  std::int64_t offset_;  // of the first byte the sync state has not consumed
  bool ok_ = false;
};

void markPage(ogg_page* page, std::int64_t offset, long length, PageMark* mark) {
  mark->offset = offset;
  mark->length = length;
  mark->granule = ogg_page_granulepos(page);
  mark->packets = ogg_page_packets(page);
  mark->opensHeader = !ogg_page_continued(page) && page->body_len > 0 && (page->body[0] & 0x80) != 0;
  mark->head = mark->opensHeader || mark->granule == 0;
}

}  // namespace

bool findGranulePage(kolm::CStream* source, std::uint32_t serial, std::int64_t from, std::int64_t limit,
                     PageMark* mark) {
  CPageScan scan(source, from);
  ogg_page page;
  std::int64_t offset = 0;
  long length = 0;
  while (scan.next(limit, &page, &offset, &length)) {
    if (static_cast<std::uint32_t>(ogg_page_serialno(&page)) != serial || ogg_page_granulepos(&page) < 0) continue;
    markPage(&page, offset, length, mark);
    return true;
  }
  return false;
}

bool lastPageBefore(kolm::CStream* source, std::uint32_t serial, const std::function<bool(std::int64_t)>& before,
                    PageMark* mark) {
  if (!source) return false;
  const std::int64_t size = source->size();
  if (size <= 0) return false;
  bool found = false;
  auto take = [&](const PageMark& page) {
    if (page.head) return;  // a start from the top finds these
    *mark = page;
    found = true;
  };
  // Invariant: no page of the stream starting at or after `high` is before
  // the target; every page starting before `low` that is, is no later than *mark.
  std::int64_t low = 0, high = size;
  while (high - low > walkSpan) {
    const std::int64_t middle = low + (high - low) / 2;
    // A probe reads a bounded stretch: where a sparse stream has no page in
    // it, the search goes on below, which finds an earlier page than it
    // might (more to decode and drop) but never reads the file through.
    const std::int64_t reach = std::min(high, middle + std::max(probeReach, (high - low) / 16));
    PageMark page;
    if (findGranulePage(source, serial, middle, reach, &page) && before(page.granule)) {
      take(page);
      low = page.offset + page.length;
    } else {
      high = middle;
    }
  }
  // The rest page by page, in one pass.
  CPageScan scan(source, low);
  ogg_page page;
  std::int64_t offset = 0;
  long length = 0;
  while (scan.next(high, &page, &offset, &length)) {
    if (static_cast<std::uint32_t>(ogg_page_serialno(&page)) != serial || ogg_page_granulepos(&page) < 0) continue;
    if (!before(ogg_page_granulepos(&page))) break;
    PageMark here;
    markPage(&page, offset, length, &here);
    take(here);
  }
  return found;
}

bool lastGranulePage(kolm::CStream* source, std::uint32_t serial, PageMark* mark) {
  if (!source) return false;
  const std::int64_t size = source->size();
  if (size <= 0) return false;
  std::int64_t window = std::int64_t{256} << 10;
  for (int attempt = 0; attempt < 4; ++attempt, window *= 4) {
    const std::int64_t from = std::max<std::int64_t>(0, size - window);
    CPageScan scan(source, from);
    ogg_page page;
    std::int64_t offset = 0;
    long length = 0;
    bool found = false;
    while (scan.next(size, &page, &offset, &length)) {
      if (static_cast<std::uint32_t>(ogg_page_serialno(&page)) != serial || ogg_page_granulepos(&page) < 0) continue;
      markPage(&page, offset, length, mark);
      found = true;
    }
    if (found) return true;
    if (from == 0) break;
  }
  return false;
}

}  // namespace ogg
