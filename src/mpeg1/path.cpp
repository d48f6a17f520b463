#include "mpeg1/path.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <vector>

#include "kolm/clock.h"
#include "mpeg1/probe.h"
#include "mpeg1/time_stamps.h"

namespace mpeg1 {

namespace {

// A GOP found in the video data: a place a decode can begin.
struct KeyPoint {
  std::int64_t entry = -1;      // where the reader starts: its packet, or its first byte in a bare stream
  bool sequenceHeader = false;  // entry is at the sequence header just before the GOP
  bool dropFrame = false;
  std::uint32_t hours = 0, minutes = 0, seconds = 0, pictures = 0;
  int firstType = 0;            // of the first picture after the GOP header
  int firstReference = 0;       // its temporal reference
  std::int64_t firstPts = -1;   // its time stamp, where it has one
};

// A picture header found.
struct PictureSeen {
  int type = 0;
  int reference = 0;
  std::int64_t pts = -1;
  int gop = 0;  // GOP headers seen in this scan before it
  bool firstOfGop = false;
};

// Reads the video data from a file position on, start code by start code,
// without decoding: the GOPs and pictures it passes, with the time stamps a
// decode from there would give them (each packet's stamp to the first
// picture that starts in it).
class CVideoScan {
 public:
  CVideoScan(CMpegStreamReader& reader, int number) : reader_(reader), number_(number) {}
  std::function<bool(const KeyPoint&)> onKey;
  std::function<bool(const PictureSeen&)> onPicture;

  // Until the data ends, maxBytes of the file are passed, or a visitor says stop.
  void run(std::int64_t from, std::int64_t maxBytes) {
    const bool bare = reader_.elementary();
    std::vector<std::uint8_t> buffer(CMpegPayloadReader::bufferSize);
    struct Owner {
      std::int64_t entry = -1, packet = -1;
    };
    Owner history[3];
    std::int64_t ptsOfPacket[4] = {-1, -1, -1, -1};
    std::int64_t packet = -1, claimed = -1;
    std::uint32_t window = 0xFFFFFFFFu;
    int need = 0, got = 0, code = -1;
    std::uint8_t bytes[4] = {};
    Owner codeOwner;
    bool sequencePending = false, awaitingPicture = false;
    std::int64_t sequenceEntry = -1;
    KeyPoint key;
    int gops = 0;
    std::int64_t position = from;
    while (position - from < maxBytes) {
      const std::int64_t before = position;
      int offset = 0;
      std::int64_t pts = -1;
      const int n = reader_.readPacket(false, number_, buffer.data(), bare ? 16384 : CMpegPayloadReader::bufferSize,
                                       &position, &offset, &pts);
      if (n <= 0 || position <= before) return;
      ++packet;
      ptsOfPacket[packet & 3] = pts;
      for (int i = offset; i < n; ++i) {
        const std::uint8_t b = buffer[static_cast<std::size_t>(i)];
        const Owner me{bare ? before + i : before, packet};
        if (need > 0) {
          bytes[got++] = b;
          if (got == need) {
            need = 0;
            if (code == 0xB8) {
              key = KeyPoint{};
              key.entry = sequencePending ? sequenceEntry : codeOwner.entry;
              key.sequenceHeader = sequencePending;
              key.dropFrame = (bytes[0] & 0x80) != 0;
              key.hours = (bytes[0] >> 2) & 31u;
              key.minutes = (bytes[0] & 3u) << 4 | bytes[1] >> 4;
              key.seconds = (bytes[1] & 7u) << 3 | bytes[2] >> 5;
              key.pictures = (bytes[2] & 31u) << 1 | bytes[3] >> 7;
              awaitingPicture = true;
              sequencePending = false;
              ++gops;
            } else {
              PictureSeen picture;
              picture.reference = bytes[0] << 2 | bytes[1] >> 6;
              picture.type = (bytes[1] >> 3) & 7;
              picture.gop = gops;
              if (codeOwner.packet != claimed && packet - codeOwner.packet < 4) {
                picture.pts = ptsOfPacket[codeOwner.packet & 3];
                if (picture.pts >= 0) claimed = codeOwner.packet;
              }
              sequencePending = false;
              picture.firstOfGop = awaitingPicture;
              if (awaitingPicture) {
                awaitingPicture = false;
                key.firstType = picture.type;
                key.firstReference = picture.reference;
                key.firstPts = picture.pts;
                if (onKey && !onKey(key)) return;
              }
              if (onPicture && !onPicture(picture)) return;
            }
          }
        }
        window = window << 8 | b;
        const Owner first = history[0];  // the owner of the byte three before this one
        history[0] = history[1];
        history[1] = history[2];
        history[2] = me;
        if ((window >> 8) != 1 || first.entry < 0) continue;
        if (b == 0xB3) {
          sequencePending = true;
          sequenceEntry = first.entry;
          need = 0;
        } else if (b == 0xB8 || b == 0x00) {
          code = b;
          need = b == 0xB8 ? 4 : 2;
          got = 0;
          codeOwner = first;
        } else {
          need = 0;
        }
      }
    }
  }

 private:
  CMpegStreamReader& reader_;
  int number_;
};

// The pixel shape of the sequence header's aspect ratio codes, as FFmpeg
// reports it (its sample aspect ratio); code 0 and the reserved code: square.
void pixelAspect(int code, int* numerator, int* denominator) {
  static const int table[16][2] = {{1, 1},     {1, 1},     {49, 33},   {64, 45},   {239, 182}, {36, 29},
                                   {32, 27},   {169, 151}, {178, 163}, {54, 53},   {196, 201}, {187, 200},
                                   {200, 219}, {127, 147}, {134, 161}, {1, 1}};
  const int index = code >= 0 && code < 16 ? code : 0;
  *numerator = table[index][0];
  *denominator = table[index][1];
}

// Where a decode begins for a seek.
struct Landing {
  bool fromStart = true;
  KeyPoint key;
  // What takes the GOP time line to the time stamps there, as a play from the
  // start has it (the GOP's I picture may carry no stamp of its own).
  bool hasPtsOffset = false;
  std::int64_t ptsOffset = 0;
};

// Finds the GOPs of one file by its time stamps (system streams) or GOP time
// codes, reading a few KB per look.
class CSeekIndex {
 public:
  // Bytes one bisection probe reads at most, and the tail looked at for the length.
  static constexpr std::int64_t probeBytes = 256 << 10;
  static constexpr std::int64_t tailBytes = 256 << 10;
  // How far a scan for the landing GOP reads at most.
  static constexpr std::int64_t landingBytes = 64 << 20;

  CSeekIndex(CMpegStreamReader& reader, const CMpeg1VideoDecoder& decoder, int number, std::int64_t timeBase)
      : reader_(reader), decoder_(decoder), number_(number), timeBase_(timeBase),
        byTimeCodes_(reader.elementary() || timeBase < 0) {
    frame_ = kolm::unitsPerSecond * decoder.frameRateDen() / decoder.frameRateNum();
    size_ = reader.fileSize();
    if (size_ <= 0) return;
    CVideoScan scan(reader_, number_);
    scan.onKey = [this](const KeyPoint& key) {
      first_ = key;
      return false;
    };
    scan.run(0, probeBytes);
    if (first_.entry < 0) return;
    firstTimeCode_ = timeCodeOf(first_);
    firstCount_ = pictureCount(first_);
    measure();
  }

  bool usable() const { return usable_; }
  std::int64_t duration() const { return duration_; }

  // The GOP whose first picture (an I picture) is shown at or before time;
  // from the start when that is the first GOP or no other is found.
  Landing find(std::int64_t time) const {
    Landing landing;
    if (!usable_ || time <= keyStamp(first_)) return landing;
    std::int64_t margin = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
      const std::int64_t target = time - margin;
      std::int64_t lo = 0, hi = size_;
      for (int round = 0; round < 64 && hi - lo > 16384; ++round) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        const std::int64_t stamp = probeStamp(mid);
        if (stamp >= 0 && stamp <= target)
          lo = mid;
        else
          hi = mid;
      }
      bool found = false;
      CVideoScan scan(reader_, number_);
      KeyPoint current;
      bool hasOffset = false;
      std::int64_t offset = 0;
      scan.onKey = [&](const KeyPoint& key) {
        current = key;
        return true;
      };
      scan.onPicture = [&](const PictureSeen& picture) {
        if (picture.gop == 0) return true;  // before the first GOP of the scan: no time line yet
        const std::int64_t gopBased = gopTime(current) + picture.reference * frame_;
        std::int64_t stamp = -1;
        if (byTimeCodes_) {
          stamp = gopBased;
        } else {
          // The decoder's rule: a stamped picture takes its stamp, the others
          // follow the GOP time line at the last stamped one's distance.
          if (picture.pts >= 0) {
            const std::int64_t next = ptsToTime(ptsDifference(picture.pts, timeBase_)) - gopBased;
            if (!hasOffset || std::llabs(next - offset) <= kolm::unitsPerSecond) offset = next;
            hasOffset = true;
          }
          if (hasOffset) stamp = std::max<std::int64_t>(0, gopBased + offset);
        }
        if (!picture.firstOfGop || picture.type != 1 || stamp < 0) return true;
        if (stamp > time) return false;
        landing.key = current;
        landing.hasPtsOffset = hasOffset;
        landing.ptsOffset = offset;
        found = true;
        return true;
      };
      scan.run(lo, landingBytes);
      if (found) {
        landing.fromStart = landing.key.entry <= first_.entry;
        return landing;
      }
      if (lo == 0) break;
      margin = margin ? 2 * margin : kolm::unitsPerSecond;
    }
    landing = Landing{};
    return landing;
  }

  // The time a GOP time code stands for, and where a play from the start
  // puts the GOP: right after the pictures before it, or at its time code
  // when that is later.
  std::int64_t timeCodeOf(const KeyPoint& key) const {
    return decoder_.timeCodeTime(key.hours, key.minutes, key.seconds, key.pictures);
  }
  std::int64_t gopTime(const KeyPoint& key) const {
    const std::int64_t byCode = timeCodeOf(key) - firstTimeCode_;
    const std::int64_t byCount = (pictureCount(key) - firstCount_) * frame_;
    return std::max<std::int64_t>(0, std::max(byCode, byCount));
  }

 private:
  // Pictures before a time code, counted at the nominal whole rate (with the
  // frame numbers that drop-frame time codes leave out).
  std::int64_t pictureCount(const KeyPoint& key) const {
    const std::int64_t nominal = (decoder_.frameRateNum() + decoder_.frameRateDen() / 2) / decoder_.frameRateDen();
    const std::int64_t minutes = std::int64_t{key.hours} * 60 + key.minutes;
    std::int64_t count = (minutes * 60 + key.seconds) * nominal + key.pictures;
    if (key.dropFrame && (nominal == 30 || nominal == 60)) count -= nominal / 15 * (minutes - minutes / 10);
    return count;
  }

  std::int64_t ptsTime(std::int64_t pts) const {
    return std::max<std::int64_t>(0, ptsToTime(ptsDifference(pts, timeBase_)));
  }

  // The time the GOP's first picture is shown at; -1 where unknown.
  std::int64_t keyStamp(const KeyPoint& key) const {
    if (!byTimeCodes_) return key.firstPts >= 0 ? ptsTime(key.firstPts) : -1;
    return gopTime(key) + key.firstReference * frame_;
  }

  // A time near file position `at`: the first stamped video packet's
  // (system streams) or the first GOP's; -1 where none comes soon.
  std::int64_t probeStamp(std::int64_t at) const {
    if (!byTimeCodes_) {
      std::int64_t packet = 0, pts = -1;
      return reader_.nextTimeStamp(false, number_, at, probeBytes, &packet, &pts) ? ptsTime(pts) : -1;
    }
    std::int64_t stamp = -1;
    CVideoScan scan(reader_, number_);
    scan.onKey = [&](const KeyPoint& key) {
      stamp = keyStamp(key);
      return false;
    };
    scan.run(at, probeBytes);
    return stamp;
  }

  // The length, from the last pictures of the file; whether seeking can work.
  void measure() {
    std::int64_t last = -1;  // when the last picture is shown
    KeyPoint lastKey;
    for (std::int64_t tail = tailBytes; last < 0; tail *= 4) {
      const std::int64_t from = std::max<std::int64_t>(0, size_ - tail);
      CVideoScan scan(reader_, number_);
      int gop = -1;
      std::int64_t gopBase = 0;
      bool based = false;
      scan.onKey = [&](const KeyPoint& key) {
        lastKey = key;
        return true;
      };
      scan.onPicture = [&](const PictureSeen& picture) {
        if (picture.gop != gop) {
          gop = picture.gop;
          based = false;
        }
        if (byTimeCodes_) {
          if (picture.gop > 0) last = std::max(last, gopTime(lastKey) + picture.reference * frame_);
          return true;
        }
        // Unstamped pictures follow the last stamped one of their GOP.
        if (picture.pts >= 0) {
          gopBase = ptsTime(picture.pts) - picture.reference * frame_;
          based = true;
        }
        if (based) last = std::max(last, gopBase + picture.reference * frame_);
        return true;
      };
      scan.run(from, size_ - from);
      if (from == 0 || tail >= 16 * tailBytes) break;
    }
    if (last >= 0) duration_ = last + frame_;
    const std::uint32_t rate = decoder_.bitRateUnits();
    if (duration_ < 0 && reader_.elementary() && rate != 0 && rate != 0x3FFFF)
      duration_ = size_ * 8 * kolm::unitsPerSecond / (std::int64_t{rate} * 400);
    // Time codes that never move give nothing to seek by.
    usable_ = byTimeCodes_ ? (lastKey.entry >= 0 && (lastKey.entry == first_.entry || gopTime(lastKey) > 0))
                           : last >= 0;
  }

  CMpegStreamReader& reader_;
  const CMpeg1VideoDecoder& decoder_;
  int number_;
  std::int64_t timeBase_;
  // Bare streams, and system streams whose pictures carry no stamps, go by
  // their GOP time codes, as the decoder's time line then does.
  bool byTimeCodes_;
  std::int64_t frame_ = 0;
  std::int64_t size_ = 0;
  KeyPoint first_;
  std::int64_t firstTimeCode_ = 0, firstCount_ = 0;
  std::int64_t duration_ = -1;
  bool usable_ = false;
};

class CPath final : public kolm::IDecodePath {
 public:
  CPath(std::unique_ptr<Mpeg1Source> source, std::unique_ptr<CMpegAudioDecoder> sound, std::string soundProblem)
      : source_(std::move(source)), sound_(std::move(sound)), soundProblem_(std::move(soundProblem)),
        index_(*source_->streamReader, *source_->decoder, source_->payload->streamNumber(), source_->timeBase) {}
  const char* name() const override { return "mpeg1"; }
  kolm::VideoFormat videoFormat() const override {
    const CMpeg1VideoDecoder& decoder = *source_->decoder;
    kolm::VideoFormat format{static_cast<int>(decoder.horizontalSize), static_cast<int>(decoder.verticalSize),
                             decoder.frameRateNum(), decoder.frameRateDen()};
    pixelAspect(decoder.aspectRatio(), &format.pixelAspectNumerator, &format.pixelAspectDenominator);
    return format;
  }
  std::int64_t duration() const override { return index_.duration(); }
  bool videoStep() override { return source_->decoder->step(); }
  std::int64_t picturesDecoded() const override { return source_->decoder->picturesDelivered(); }
  kolm::IAudioSource* sound() override { return sound_.get(); }
  std::string soundProblem() const override { return soundProblem_; }
  std::string stopReason() const override {
    // A stream without a sequence end code is common and loses nothing.
    const std::string& error = source_->decoder->lastError();
    return error == "Improper or missing sequence end code." ? std::string() : error;
  }
  bool canSeek() const override { return index_.usable() && (!sound_ || sound_->canSeek()); }
  bool seek(std::int64_t time) override {
    if (!canSeek()) return false;
    if (time < 0) time = 0;
    const Landing landing = index_.find(time);
    if (sound_ && !sound_->seek(time)) return false;
    source_->payload->reposition(landing.fromStart ? 0 : landing.key.entry);
    source_->decoder->restart(landing.fromStart, landing.key.sequenceHeader, index_.timeCodeOf(landing.key),
                              index_.gopTime(landing.key), landing.hasPtsOffset, landing.ptsOffset);
    return true;
  }

 private:
  std::unique_ptr<Mpeg1Source> source_;  // its decoder goes before the reader it reads
  std::unique_ptr<CMpegAudioDecoder> sound_;  // goes first: it reads a stream of its own
  std::string soundProblem_;
  CSeekIndex index_;
};

}  // namespace

std::unique_ptr<kolm::IDecodePath> openPath(const kolm::DecodeRequest& request, std::string*) {
  const Kernels* kernels = nullptr;
  SimdLevel level;
  if (request.simd && simdLevelFromName(request.simd, &level)) kernels = &kernelsFor(level);
  auto source = openMpeg1(request.stream, request.video, kernels);
  if (!source) return nullptr;
  std::string problem;
  auto sound = openMpeg1Sound(*source, request.stream, request.audio, &problem);
  return std::make_unique<CPath>(std::move(source), std::move(sound), std::move(problem));
}

}  // namespace mpeg1
