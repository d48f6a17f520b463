#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "ffmpeg/ffmpeg_library.h"
#include "kolm/event.h"
#include "kolm/sys/sys.h"

namespace ffmpeg {

// A stream time stamp in 100 ns units; saturates instead of overflowing.
std::int64_t stampToUnits(std::int64_t stamp, AVRational timeBase);

// One reading of the file for both decode threads. Whichever side needs a
// packet and has none queued reads the next one under the lock; a packet of
// the other side's stream goes to that side's queue.
//
// Neither side ever waits for the other here: the lock is held only for one
// read. A queue may grow past its soft bound up to a hard bound, after which
// that stream's packets are dropped and counted. Only the sound side holds
// back, and only when it asks to (next() with yieldToPictures): it is then
// told to wait while the picture queue is over its soft bound, and it waits
// with a bound (waitForPictureProgress), never on a lock or a pool. So the
// picture side always makes progress, the sound side makes progress whenever
// the pictures do (or once it stops yielding), and in a single-threaded
// alternation of a picture and a sound block the sound reading ahead of the
// pictures is held to the soft bound instead of taking the file into memory.
//
// Threads: open() and the destructor while neither side reads; next(),
// finish() and the rest from the two decode threads.
class CDemuxer {
 public:
  enum Side { pictures = 0, sound = 1 };
  enum class Read { packet, end, wait };

  // Bounds of each side's queue.
  static constexpr std::size_t softPackets = 1024;
  static constexpr std::size_t softBytes = std::size_t{8} << 20;
  static constexpr std::size_t hardPackets = 16384;
  static constexpr std::size_t hardBytes = std::size_t{64} << 20;

  explicit CDemuxer(const Api& api);
  ~CDemuxer();
  CDemuxer(const CDemuxer&) = delete;
  CDemuxer& operator=(const CDemuxer&) = delete;

  // Opens the file and reads its stream information; false with *error.
  bool open(const char* fileName, std::string* error);
  AVFormatContext* context() const { return context_; }

  // The stream each side decodes (-1: none). Before the sides read.
  void setStream(Side side, int index);
  // Moves the side's next packet into *packet. wait: only for the sound side
  // with yieldToPictures, when it has nothing queued and the picture queue is
  // over its soft bound. end: the file has ended (or cannot be read further)
  // and the side's queue is empty.
  Read next(Side side, AVPacket* packet, bool yieldToPictures = false);
  // The side takes no more packets: its queue is freed and later packets of
  // its stream are dropped as they are read.
  void finish(Side side);
  // Waits up to ms for the picture side to take a packet; true when it has
  // (since the last such wait).
  bool waitForPictureProgress(int ms);
  // Packets the picture side has taken, for patience counts.
  std::uint64_t picturePacketsTaken();

  // Packets dropped because the side's queue was full.
  std::uint64_t dropped(Side side);
  std::size_t queuedPackets(Side side);

  // The shared time line's origin in 100 ns units: the first proposal wins
  // (the first picture's stamp, or what the sound side must assume when it
  // starts before any picture); every later call returns that one.
  std::int64_t origin(std::int64_t proposed);
  // The origin when a proposal has fixed it; false before.
  bool fixedOrigin(std::int64_t* origin) const;

  // Seeking, only while neither side reads.
  // Moves the file to the keyframe of `stream` at or before `stamp` (in its
  // time base; `flags` as av_seek_frame takes them). Only when that works
  // are the queued packets dropped, the end forgotten and the sides that
  // still decode (`sides`: a bit per Side) made to take packets again; a
  // failure leaves everything as it was. av_seek_frame's result.
  int seek(int stream, std::int64_t stamp, int flags, unsigned sides);
  // What the file holds where a seek landed: the first picture keyframe's
  // stamp and the first sound packet's (pts, else dts), read ahead into the
  // queues. With keyframesOnly, picture packets before the first keyframe
  // are dropped, having no reference to decode from; without, the first
  // picture packet counts as the keyframe (the start of a file, which plays
  // as it is). The look ends after the keyframe and a
  // sound packet (where the sound side decodes), at the end of the file, or
  // after packets or bytes enough that the rest is not worth waiting for.
  struct Landing {
    bool keyframe = false;
    std::int64_t keyframeStamp = AV_NOPTS_VALUE;
    bool sound = false;
    std::int64_t soundStamp = AV_NOPTS_VALUE;
  };
  Landing look(std::size_t maxPackets, std::size_t maxBytes, bool keyframesOnly);
  // After a landing: reads on until the pictures pass `stamp` (their time
  // base) and drops the picture packets before the last keyframe shown at or
  // before it, which nothing at or after `stamp` needs. A seek that had to
  // land early for the sound's sake then decodes one group of pictures, not
  // two. Nothing is dropped when the limits come first, a stamp is missing,
  // or the sound queue would overflow. The picture packets dropped; in
  // *shownAt (when the read reached past the stamp, else AV_NOPTS_VALUE) the
  // stamp of the picture on the screen at `stamp`: pictures stamped before
  // it are never shown from the seek on.
  std::size_t skipPicturesBefore(std::int64_t stamp, std::size_t maxPackets, std::size_t maxBytes,
                                 std::int64_t* shownAt);

 private:
  struct Queue {
    std::deque<AVPacket*> packets;
    std::size_t bytes = 0;
    int stream = -1;
    bool finished = false;
    std::uint64_t dropped = 0;
  };
  // The next packet of the file, retrying a while on EAGAIN; false (and the
  // file ended) at its end or on a read error. Under lock_.
  bool readPacket(AVPacket* packet);
  void clear(Queue& queue);
  void keep(Queue& queue, AVPacket* packet);
  bool overSoftBound(const Queue& queue) const;

  const Api& api_;
  AVFormatContext* context_ = nullptr;
  kolm::sys::CriticalSection lock_;  // guards everything below and the reads
  Queue queues_[2];
  bool ended_ = false;
  std::uint64_t pictureTaken_ = 0;
  CEvent pictureProgress_;
  std::atomic<std::int64_t> origin_;
};

}  // namespace ffmpeg
