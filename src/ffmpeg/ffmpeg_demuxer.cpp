#include "ffmpeg/ffmpeg_demuxer.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace ffmpeg {

namespace {
constexpr std::int64_t kUnitsPerSecond = 10000000;
// A demuxer that keeps asking to be asked again is not going to deliver.
constexpr int kMaxAgainInARow = 1000;
constexpr std::int64_t kNoOrigin = INT64_MIN;
}  // namespace

std::int64_t stampToUnits(std::int64_t stamp, AVRational timeBase) {
  if (timeBase.den <= 0 || timeBase.num <= 0) return 0;
  const __int128 units = static_cast<__int128>(stamp) * timeBase.num * kUnitsPerSecond / timeBase.den;
  if (units > INT64_MAX) return INT64_MAX;
  if (units < INT64_MIN + 1) return INT64_MIN + 1;
  return static_cast<std::int64_t>(units);
}

namespace {

// FFmpeg opens more than movies: text and art files (which it shows as
// pictures of characters), playlists and lists of other files or addresses,
// scripts and filter graphs. The fallback is for media files only.
constexpr const char* notMedia[] = {"tty",      "bin",  "xbin", "adf",  "idf",   "hls",         "concat",
                                    "dash",     "webm_dash_manifest", "imf",  "sdp",   "rtp",  "rtsp",
                                    "lavfi",    "vapoursynth", "avisynth"};

bool isMedia(const char* names) {
  // One demuxer may answer to several names ("mov,mp4,m4a,...").
  for (const char* name : notMedia) {
    const std::size_t length = std::strlen(name);
    for (const char* at = names; (at = std::strstr(at, name)) != nullptr; at += length)
      if ((at == names || at[-1] == ',') && (at[length] == '\0' || at[length] == ',')) return false;
  }
  return true;
}

// Every demuxer of the loaded libraries that reads media, as FFmpeg's
// format whitelist takes them.
std::string mediaFormats(const Api& api) {
  std::string list;
  void* state = nullptr;
  while (const AVInputFormat* format = api.av_demuxer_iterate(&state))
    if (format->name && isMedia(format->name)) list += (list.empty() ? "" : ",") + std::string(format->name);
  return list;
}

}  // namespace

CDemuxer::CDemuxer(const Api& api) : api_(api), origin_(kNoOrigin) {}

CDemuxer::~CDemuxer() {
  for (Queue& queue : queues_) clear(queue);
  if (context_) api_.avformat_close_input(&context_);
}

bool CDemuxer::open(const char* fileName, std::string* error) {
  // A local file and nothing else: "file:" keeps a name with a colon from
  // passing for an address, and no protocol but the file may be opened from
  // inside it (a playlist's entries, say).
  static const std::string formats = mediaFormats(api_);
  AVDictionary* options = nullptr;
  api_.av_dict_set(&options, "protocol_whitelist", "file", 0);
  api_.av_dict_set(&options, "format_whitelist", formats.c_str(), 0);
  int result = api_.avformat_open_input(&context_, ("file:" + std::string(fileName ? fileName : "")).c_str(), nullptr,
                                        &options);
  api_.av_dict_free(&options);
  if (result < 0) {
    context_ = nullptr;
    // FFmpeg refuses what is not on the lists with this code.
    *error = result == AVERROR(EINVAL) ? "not a media file" : "FFmpeg cannot open the file: " + errorText(api_, result);
    return false;
  }
  result = api_.avformat_find_stream_info(context_, nullptr);
  if (result < 0) {
    *error = "FFmpeg cannot read the file's streams: " + errorText(api_, result);
    return false;
  }
  return true;
}

void CDemuxer::setStream(Side side, int index) {
  kolm::sys::Guard guard(lock_);
  queues_[side].stream = index;
}

void CDemuxer::clear(Queue& queue) {
  for (AVPacket* packet : queue.packets) api_.av_packet_free(&packet);
  queue.packets.clear();
  queue.bytes = 0;
}

bool CDemuxer::overSoftBound(const Queue& queue) const {
  return queue.packets.size() >= softPackets || queue.bytes >= softBytes;
}

bool CDemuxer::readPacket(AVPacket* packet) {
  for (int again = 0; !ended_;) {
    const int read = api_.av_read_frame(context_, packet);
    if (read == AVERROR(EAGAIN) && ++again < kMaxAgainInARow) continue;
    if (read >= 0) return true;
    // The end of the file or a read error: either way nothing more comes.
    ended_ = true;
  }
  return false;
}

CDemuxer::Read CDemuxer::next(Side side, AVPacket* packet, bool yieldToPictures) {
  kolm::sys::Guard guard(lock_);
  Queue& own = queues_[side];
  Queue& other = queues_[1 - side];
  if (own.finished || own.stream < 0) return Read::end;
  if (!own.packets.empty()) {
    AVPacket* queued = own.packets.front();
    own.packets.pop_front();
    own.bytes -= static_cast<std::size_t>(queued->size);
    api_.av_packet_move_ref(packet, queued);
    api_.av_packet_free(&queued);
    if (side == pictures) {
      ++pictureTaken_;
      pictureProgress_.set();
    }
    return Read::packet;
  }
  while (!ended_) {
    if (side == sound && yieldToPictures && !other.finished && other.stream >= 0 && overSoftBound(other))
      return Read::wait;
    if (!readPacket(packet)) break;
    if (packet->stream_index == own.stream) {
      if (side == pictures) {
        ++pictureTaken_;
        pictureProgress_.set();
      }
      return Read::packet;
    }
    if (packet->stream_index != other.stream || other.finished || packet->size < 0) {
      api_.av_packet_unref(packet);
      continue;
    }
    keep(other, packet);
  }
  return Read::end;
}

// Queues the packet (taking its reference), or drops and counts it when the
// queue is at its hard bound.
void CDemuxer::keep(Queue& queue, AVPacket* packet) {
  if (queue.packets.size() >= hardPackets || queue.bytes + static_cast<std::size_t>(packet->size) > hardBytes) {
    ++queue.dropped;
    api_.av_packet_unref(packet);
    return;
  }
  AVPacket* kept = api_.av_packet_alloc();
  if (!kept) {
    ++queue.dropped;
    api_.av_packet_unref(packet);
    return;
  }
  api_.av_packet_move_ref(kept, packet);
  queue.bytes += static_cast<std::size_t>(kept->size);
  queue.packets.push_back(kept);
}

int CDemuxer::seek(int stream, std::int64_t stamp, int flags, unsigned sides) {
  kolm::sys::Guard guard(lock_);
  const int result = api_.av_seek_frame(context_, stream, stamp, flags);
  if (result < 0) return result;
  for (int side = pictures; side <= sound; ++side) {
    Queue& queue = queues_[side];
    clear(queue);
    if (sides & (1u << side)) queue.finished = false;
  }
  ended_ = false;
  return result;
}

CDemuxer::Landing CDemuxer::look(std::size_t maxPackets, std::size_t maxBytes, bool keyframesOnly) {
  kolm::sys::Guard guard(lock_);
  Landing landing;
  Queue& picture = queues_[pictures];
  Queue& audio = queues_[sound];
  const bool wantSound = audio.stream >= 0 && !audio.finished;
  AVPacket* packet = api_.av_packet_alloc();
  if (!packet) return landing;
  std::size_t bytes = 0;
  for (std::size_t count = 0; !ended_ && count < maxPackets && bytes < maxBytes;) {
    if (landing.keyframe && (landing.sound || !wantSound)) break;
    if (!readPacket(packet)) break;
    ++count;
    bytes += static_cast<std::size_t>(std::max(packet->size, 0));
    const std::int64_t stamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (packet->stream_index == picture.stream && !picture.finished && packet->size >= 0) {
      if (!landing.keyframe) {
        if (keyframesOnly && !(packet->flags & AV_PKT_FLAG_KEY)) {
          api_.av_packet_unref(packet);
          continue;
        }
        landing.keyframe = true;
        landing.keyframeStamp = stamp;
      }
      keep(picture, packet);
    } else if (wantSound && packet->stream_index == audio.stream && packet->size >= 0) {
      if (!landing.sound) {
        landing.sound = true;
        landing.soundStamp = stamp;
      }
      keep(audio, packet);
    } else {
      api_.av_packet_unref(packet);
    }
  }
  api_.av_packet_free(&packet);
  return landing;
}

std::size_t CDemuxer::skipPicturesBefore(std::int64_t stamp, std::size_t maxPackets, std::size_t maxBytes,
                                         std::int64_t* shownAt) {
  kolm::sys::Guard guard(lock_);
  *shownAt = AV_NOPTS_VALUE;
  Queue& picture = queues_[pictures];
  Queue& audio = queues_[sound];
  if (picture.stream < 0 || picture.finished || stamp == AV_NOPTS_VALUE) return 0;
  const auto decodeStamp = [](const AVPacket* p) { return p->dts != AV_NOPTS_VALUE ? p->dts : p->pts; };
  // Every keyframe shown at or before the stamp is decoded before the first
  // picture packet decoded after it (a keyframe's pts is never below its dts).
  const auto passed = [&] {
    return !picture.packets.empty() && decodeStamp(picture.packets.back()) != AV_NOPTS_VALUE &&
           decodeStamp(picture.packets.back()) > stamp;
  };
  AVPacket* packet = nullptr;
  std::size_t bytes = 0;
  bool complete = passed() || ended_;
  for (std::size_t count = 0; !complete && count < maxPackets && bytes < maxBytes;) {
    // Reading on may never cost a sound packet.
    if (audio.packets.size() + 1 >= hardPackets || audio.bytes + (std::size_t{1} << 20) >= hardBytes) break;
    if (!packet && !(packet = api_.av_packet_alloc())) break;
    if (!readPacket(packet)) {
      complete = true;
      break;
    }
    ++count;
    bytes += static_cast<std::size_t>(std::max(packet->size, 0));
    if (packet->stream_index == picture.stream && packet->size >= 0) {
      keep(picture, packet);
      complete = passed();
    } else if (packet->stream_index == audio.stream && !audio.finished && packet->size >= 0) {
      keep(audio, packet);
    } else {
      api_.av_packet_unref(packet);
    }
  }
  if (packet) api_.av_packet_free(&packet);
  if (!complete) return 0;
  std::size_t last = 0;
  bool found = false;
  for (std::size_t i = 0; i < picture.packets.size(); ++i) {
    const AVPacket* p = picture.packets[i];
    if (p->pts != AV_NOPTS_VALUE && p->pts <= stamp && (*shownAt == AV_NOPTS_VALUE || p->pts > *shownAt))
      *shownAt = p->pts;
    if ((p->flags & AV_PKT_FLAG_KEY) && p->pts != AV_NOPTS_VALUE && p->pts <= stamp) {
      last = i;
      found = true;
    }
  }
  if (!found) return 0;
  for (std::size_t i = 0; i < last; ++i) {
    AVPacket* p = picture.packets.front();
    picture.packets.pop_front();
    picture.bytes -= static_cast<std::size_t>(p->size);
    api_.av_packet_free(&p);
  }
  return last;
}

void CDemuxer::finish(Side side) {
  kolm::sys::Guard guard(lock_);
  queues_[side].finished = true;
  clear(queues_[side]);
  // A sound side waiting for pictures that will not come goes on at once.
  if (side == pictures) pictureProgress_.set();
}

bool CDemuxer::waitForPictureProgress(int ms) { return pictureProgress_.wait(ms) == 0; }

std::uint64_t CDemuxer::picturePacketsTaken() {
  kolm::sys::Guard guard(lock_);
  return pictureTaken_;
}

std::uint64_t CDemuxer::dropped(Side side) {
  kolm::sys::Guard guard(lock_);
  return queues_[side].dropped;
}

std::size_t CDemuxer::queuedPackets(Side side) {
  kolm::sys::Guard guard(lock_);
  return queues_[side].packets.size();
}

bool CDemuxer::fixedOrigin(std::int64_t* origin) const {
  const std::int64_t value = origin_.load();
  if (value == kNoOrigin) return false;
  *origin = value;
  return true;
}

std::int64_t CDemuxer::origin(std::int64_t proposed) {
  std::int64_t expected = kNoOrigin;
  if (origin_.compare_exchange_strong(expected, proposed)) return proposed;
  return expected;
}

}  // namespace ffmpeg
