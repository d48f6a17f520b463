#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "kolm/stream.h"

class CMpegPayloadReader;

// Tells an MPEG-1 system stream from a bare video stream and fetches the
// packets of one stream. MPEG-2 program streams are refused.
class CMpegStreamReader {
 public:
  struct StreamEntry {
    std::uint32_t streamId;
    std::uint32_t bufferBound;
  };
  static constexpr int maxStreams = 20;
  // Bytes that are no start code (sector padding, stuffing, damage) read on
  // through before the data is taken as ended; random bytes cannot hold the
  // reader longer than this.
  static constexpr int maxGap = 4 << 20;
  // How far into the file packets are looked at for a video stream that no
  // system header lists.
  static constexpr int maxVideoSearch = 1 << 20;

  explicit CMpegStreamReader(kolm::CStream* byteStream);
  ~CMpegStreamReader();
  CMpegStreamReader(const CMpegStreamReader&) = delete;
  CMpegStreamReader& operator=(const CMpegStreamReader&) = delete;

  bool detectFormat();
  // The reader of the n-th video stream, owned by this object; null if none.
  CMpegPayloadReader* openVideoStream(int n);
  // The reader of audio stream 0xC0 + number, owned by this object; null in
  // an elementary stream.
  CMpegPayloadReader* openAudioStream(int number);
  // The low bits of the first audio stream (0xC0 to 0xDF) that has packets
  // within maxVideoSearch bytes, else the first one the system header lists;
  // -1 when there is none.
  int firstAudioStream();
  // The time stamp (PTS, 90 kHz) of the first packet of the stream that has
  // one, within maxVideoSearch bytes; false when none does.
  bool firstTimeStamp(bool audio, int number, std::int64_t* pts);
  // One packet of the wanted stream into destination (header included).
  // Returns the byte count, 0 at the end or on failure; *payloadOffset gets
  // the offset of the first payload byte, *pts (when given) the packet's
  // time stamp or -1.
  int readPacket(bool audio, int number, std::uint8_t* destination, int capacity,
                 std::int64_t* filePosition, int* payloadOffset, std::int64_t* pts = nullptr);

  // The first packet of the stream at or after file position `from` that has
  // a time stamp, looking through at most `limit` bytes: *packetPosition gets
  // a position from which readPacket() returns that packet first. False when
  // none comes.
  bool nextTimeStamp(bool audio, int number, std::int64_t from, std::int64_t limit, std::int64_t* packetPosition,
                     std::int64_t* pts);

  bool elementary() const { return elementary_; }
  // The size of the file, or -1 when the stream does not know it.
  std::int64_t fileSize() const;
  int streamCount() const { return static_cast<int>(streamCount_); }
  const StreamEntry& stream(int i) const { return streamTable_[i]; }

 private:
  bool readSystemHeader(const std::uint8_t* head);
  // From the current position, puts the stream on the next start code prefix
  // (with zerosOnly, only zero bytes may come before it; otherwise only a
  // system-level code, 0xB9 and up, counts). False when none comes within
  // maxGap bytes.
  bool seekNextCode(bool zerosOnly);
  // The low bits of the n-th video stream that has packets, in order of first
  // appearance, skipping those already counted from the stream table; -1 if none.
  int videoStreamFromPackets(int n, int listed);

  StreamEntry streamTable_[maxStreams] = {};
  std::uint32_t streamCount_ = 0;
  bool elementary_ = false;
  kolm::CStream* byteStream_;
  std::unique_ptr<CMpegPayloadReader> payloadReader_;
  std::unique_ptr<CMpegPayloadReader> audioReader_;
};

// A plain byte stream of one elementary stream (video, or audio), packet by
// packet, at a file position of its own: readers of two streams of one file
// neither re-read nor skip each other's data.
class CMpegPayloadReader {
 public:
  // The largest packet: 6 header bytes and a length field of 65535.
  static constexpr int bufferSize = 6 + 65535;
  // Time stamps kept for payload not yet claimed; the oldest go first.
  static constexpr std::size_t maxStamps = 1024;

  CMpegPayloadReader(CMpegStreamReader* owner, int streamNumber, bool audio = false);
  // Bytes copied; fewer than length only at the end of the stream.
  int readPayload(std::uint8_t* destination, int length);
  bool atEnd() const { return atEnd_; }
  int streamNumber() const { return streamNumber_; }

  // The time stamp of the packet whose payload holds byte `offset` of this
  // stream (counted from its first payload byte), when that packet has one
  // that was not claimed yet; each stamp is claimed once, by the first access
  // unit that starts in its packet. Stamps of packets before offset are dropped.
  bool claimTimeStamp(std::int64_t offset, std::int64_t* pts);
  // Reads on from filePosition (a packet's start, or any byte of a bare
  // stream) as from a fresh start: nothing buffered, no stamps waiting, not at
  // the end, payload offsets counted from there.
  void reposition(std::int64_t filePosition);

 private:
  struct Stamp {
    std::int64_t begin, end, pts;
  };
  CMpegStreamReader* owner_;
  int streamNumber_;
  bool audio_;
  std::deque<Stamp> stamps_;
  std::int64_t payloadLoaded_ = 0;  // payload bytes of the packets read so far
  std::vector<std::uint8_t> buffer_;
  int fill_ = 0;
  int readPos_ = 0;
  bool atEnd_ = false;
  std::int64_t filePosition_ = 0;
};
