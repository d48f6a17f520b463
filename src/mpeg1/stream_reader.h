#pragma once

#include <cstdint>
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
  // One packet of the wanted stream into destination (header included).
  // Returns the byte count, 0 at the end or on failure; *payloadOffset gets
  // the offset of the first payload byte.
  int readPacket(bool audio, int number, std::uint8_t* destination, int capacity,
                 std::int64_t* filePosition, int* payloadOffset);

  bool elementary() const { return elementary_; }
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
};

// A plain byte stream of one video elementary stream, packet by packet.
class CMpegPayloadReader {
 public:
  // The largest packet: 6 header bytes and a length field of 65535.
  static constexpr int bufferSize = 6 + 65535;

  CMpegPayloadReader(CMpegStreamReader* owner, int streamNumber);
  // Bytes copied; fewer than length only at the end of the stream.
  int readPayload(std::uint8_t* destination, int length);
  bool atEnd() const { return atEnd_; }

 private:
  CMpegStreamReader* owner_;
  int streamNumber_;
  std::vector<std::uint8_t> buffer_;
  int fill_ = 0;
  int readPos_ = 0;
  bool atEnd_ = false;
  std::int64_t filePosition_ = 0;
};
