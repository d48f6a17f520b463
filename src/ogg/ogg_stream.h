#pragma once

#include <ogg/ogg.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kolm {
class CStream;
}

namespace ogg {

// Codec of a logical stream, told from the body of its first page.
enum StreamType : int { otherCodec = 0, vorbisCodec = 1, theoraCodec = 2 };

// Reads the pages of one logical stream of an Ogg file and cuts them into
// packets. Each object keeps its own file offset and reads through its own
// CStream, stepping over the pages of every other logical stream, so that two
// threads can read two streams of one file at their own pace without sharing
// anything. Only libogg's ogg_packet record is used: it is what the codecs take.
//
// Calling order: findStream() once; then nextPacket() until it gives 0,
// resetPackets(), readPage(), and so on. packet() points into the packet
// buffer: the codec must be done with it before the next resetPackets().
class COggStream {
 public:
  static constexpr int probeSize = 512;
  // The packet buffer never grows past this: only a hostile file needs more.
  static constexpr std::size_t maxCapacity = std::size_t{64} << 20;
  // Bytes read in search of a sound page (junk between pages, pages failing
  // their checksum) before reading gives up: damage cannot hold the reader.
  static constexpr std::int64_t maxResync = std::int64_t{4} << 20;

  COggStream(std::size_t initialCapacity, kolm::CStream* source);
  virtual ~COggStream();
  COggStream(const COggStream&) = delete;
  COggStream& operator=(const COggStream&) = delete;

  virtual bool acceptsType(int type) const = 0;

  // Gathers the next group of pages of the chosen stream (see the .cpp). True
  // when something was gathered; false at the end of the file or at damage.
  bool readPage();
  // Starts again at the beginning of the file and reads up to the first page
  // group of the first stream whose type acceptsType() takes; the first pages
  // of a file must come first, as Ogg requires. The packet record then holds
  // the whole group, with its beginning-of-stream flag set.
  bool findStream();
  // Points packet() at the next gathered packet: 1, or 0 when none is left.
  int nextPacket();
  // Forgets the gathered packets; the next readPage() fills the buffer anew.
  void resetPackets();
  // Takes back the packet nextPacket() handed out last, so that it comes again.
  void unreadPacket();
  // Reading goes on from the page at `offset` (a seek): what was gathered is
  // forgotten, and a continued start of that page, whose packet began on a
  // page not read, is skipped. The stream stays chosen.
  void restartAt(std::int64_t offset);

  ogg_packet* packet() { return &packet_; }
  void setSource(kolm::CStream* source) { source_ = source; }
  kolm::CStream* source() const { return source_; }
  int streamType() const { return streamType_; }
  bool streamChosen() const { return chosen_; }
  std::uint32_t serial() const { return serial_; }
  std::size_t capacity() const { return capacity_; }
  // Packets gathered by the last readPage() (handed out or not).
  std::size_t gatheredPackets() const { return packets_.size(); }
  std::int64_t filePosition() const { return filePosition_; }

 private:
  struct Entry {
    std::size_t size;
    std::int64_t granule;  // -1: none
    bool endOfStream;      // last packet completed on a page flagged as the stream's last
  };

  // Keeps the first `used` bytes when the buffer has to grow.
  bool ensureCapacity(std::size_t used, std::size_t needed);
  void cutPage(const std::uint8_t* lacing, int segments, std::size_t available, std::int64_t granule,
               bool lastPage, std::size_t* partial, int* completed);
  // Moves filePosition_ to the next "OggS" after it; false when none is found
  // within what is left of maxResync.
  bool resync();

  std::int64_t filePosition_ = 0;   // next page this stream reads
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t capacity_;
  std::uint32_t serial_ = 0xFFFFFFFFu;
  bool chosen_ = false;
  ogg_packet packet_{};
  int streamType_ = otherCodec;
  std::size_t nextOffset_ = 0;      // of the next packet to hand out
  std::vector<Entry> packets_;
  std::size_t packetIndex_ = 0;
  // The bytes of a packet left open at the end of the last group, kept after
  // the gathered packets and moved to the front by resetPackets().
  std::size_t gathered_ = 0;
  std::size_t carry_ = 0;
  std::int64_t packetNumber_ = 0;
  // Damage: bytes skipped since the last sound page of this stream, and that
  // page's sequence number, to tell whether a page of ours was lost with them.
  std::int64_t lostBytes_ = 0;
  bool damaged_ = false;
  bool haveSequence_ = false;
  std::uint32_t lastSequence_ = 0;
  // A page of ours was lost inside a packet: the continued start of the
  // following pages belongs to that packet and is skipped.
  bool skipContinued_ = false;
  kolm::CStream* source_;
};

// Theora video: the stream the video decode thread reads.
class CVideoStream : public COggStream {
 public:
  static constexpr std::size_t initialCapacity = 262144;
  explicit CVideoStream(kolm::CStream* source) : COggStream(initialCapacity, source) {}
  bool acceptsType(int type) const override { return type == theoraCodec; }
};

// Vorbis audio: the stream the audio decode thread reads.
class CAudioStream : public COggStream {
 public:
  static constexpr std::size_t initialCapacity = 65536;
  explicit CAudioStream(kolm::CStream* source) : COggStream(initialCapacity, source) {}
  bool acceptsType(int type) const override { return type == vorbisCodec; }
};

// A page found by a probe: where it starts and how long it is, its granule
// position, and how many packets end on it.
struct PageMark {
  std::int64_t offset = -1;
  std::int64_t length = 0;
  std::int64_t granule = -1;
  int packets = 0;
  bool opensHeader = false;  // its first packet starts on it and is a header packet
  // The page begins a header packet or carries granule position 0: the
  // stream's headers (or its first data, which a start from the top also finds).
  bool head = false;
};

// The first whole page (its checksum holds) of stream `serial` that carries
// a granule position and starts at or after `from` and before `limit`.
// Reads only as far as that page or the limit (junk and pages failing their
// checksum are searched through).
bool findGranulePage(kolm::CStream* source, std::uint32_t serial, std::int64_t from, std::int64_t limit,
                     PageMark* mark);

// Bisection over byte positions: the last page of stream `serial` with a
// granule position for which before(granule) holds, where before() holds for
// a leading run of the stream's pages and fails after it. Pages marked head
// are never the answer. False when there is none (start from the top).
bool lastPageBefore(kolm::CStream* source, std::uint32_t serial, const std::function<bool(std::int64_t)>& before,
                    PageMark* mark);

// The last page of stream `serial` with a granule position, from the file's
// tail: a bounded window widened a few times at most.
bool lastGranulePage(kolm::CStream* source, std::uint32_t serial, PageMark* mark);

}  // namespace ogg
