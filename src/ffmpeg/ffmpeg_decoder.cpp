#include "ffmpeg/ffmpeg_decoder.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <numeric>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

constexpr std::int64_t kUnitsPerSecond = 10000000;  // 100 ns units
// A decoder that fails this many times in a row without a picture is not
// going to recover; reading on would only spin through the file.
constexpr int kMaxFailuresInARow = 1000;
// Seeking: a landing after the target is retried this many times, each
// further back (1, 3, 7, 15, ... s), before the seek goes to the start.
constexpr int kSeekRetries = 6;
// What a landing is judged by: the packets read ahead from it, at most.
constexpr std::size_t kLookPackets = 2048;
constexpr std::size_t kLookBytes = std::size_t{16} << 20;

// value * num / den without overflow (64-bit result, truncated toward zero).
std::int64_t scale(std::int64_t value, std::int64_t num, std::int64_t den) {
  if (den == 0) return 0;
  const __int128 product = static_cast<__int128>(value) * num / den;
  if (product > INT64_MAX) return INT64_MAX;
  if (product < INT64_MIN) return INT64_MIN;
  return static_cast<std::int64_t>(product);
}

bool usable(AVRational rate) { return rate.num > 0 && rate.den > 0; }

bool isFullRangeFormat(int format) {
  return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P ||
         format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

}  // namespace

CFFmpegDecoder::CFFmpegDecoder(kolm::IVideoDownstream* renderer, const char* fileName)
    : renderer_(renderer), fileName_(fileName) {}

CFFmpegDecoder::~CFFmpegDecoder() { close(); }

void CFFmpegDecoder::close() {
  if (!api_) return;
  sound_.reset();
  if (scaler_) api_->sws_freeContext(scaler_);
  scaler_ = nullptr;
  if (packet_) api_->av_packet_free(&packet_);
  if (frame_) api_->av_frame_free(&frame_);
  if (codecContext_) api_->avcodec_free_context(&codecContext_);
  demuxer_.reset();
  opened_ = false;
}

std::int64_t CFFmpegDecoder::duration() const {
  const AVFormatContext* context = demuxer_ ? demuxer_->context() : nullptr;
  if (!context || context->duration == AV_NOPTS_VALUE || context->duration < 0) return -1;
  const std::int64_t length = scale(context->duration, kUnitsPerSecond, AV_TIME_BASE);
  if (!opened_ || context->start_time == AV_NOPTS_VALUE) return length;
  // The container's span runs from its earliest stream; the time line from
  // the first picture (sound that starts before it is cut off).
  const __int128 end = static_cast<__int128>(scale(context->start_time, kUnitsPerSecond, AV_TIME_BASE)) + length;
  const __int128 onLine = end - origin();
  return onLine < 0 ? 0 : onLine > INT64_MAX ? INT64_MAX : static_cast<std::int64_t>(onLine);
}

// The time line's origin in 100 ns units: fixed by the first picture (or the
// sound) once decoding has begun; the picture stream's start until then.
std::int64_t CFFmpegDecoder::origin() const {
  std::int64_t fixed = 0;
  if (demuxer_->fixedOrigin(&fixed)) return fixed;
  const AVFormatContext* context = demuxer_->context();
  const AVStream* stream = context->streams[videoStream_];
  if (stream->start_time != AV_NOPTS_VALUE) return ffmpeg::stampToUnits(stream->start_time, stream->time_base);
  return context->start_time != AV_NOPTS_VALUE ? scale(context->start_time, kUnitsPerSecond, AV_TIME_BASE) : 0;
}

void CFFmpegDecoder::pixelAspect(int* numerator, int* denominator) const {
  *numerator = *denominator = 1;
  if (!opened_) return;
  AVFormatContext* context = demuxer_->context();
  // The container's word first, then the codec's; 0/1 means unknown.
  const AVRational shape = api_->av_guess_sample_aspect_ratio(context, context->streams[videoStream_], nullptr);
  if (shape.num <= 0 || shape.den <= 0) return;
  // Beyond 1:16 either way is damage, not anamorphic video.
  if (shape.num > 16LL * shape.den || shape.den > 16LL * shape.num) return;
  const int divisor = std::gcd(shape.num, shape.den);
  *numerator = shape.num / divisor;
  *denominator = shape.den / divisor;
}

std::string CFFmpegDecoder::codecName() const {
  return api_ && codecContext_ ? api_->avcodec_get_name(codecContext_->codec_id) : "";
}

bool CFFmpegDecoder::openInput() {
  if (opened_) return true;
  const ffmpeg::Api& api = *api_;
  demuxer_ = std::make_unique<ffmpeg::CDemuxer>(api);
  if (!demuxer_->open(fileName_, &lastError_)) return false;
  AVFormatContext* const formatContext = demuxer_->context();
  // The first video stream; a cover picture attached to a sound file is not one.
  AVStream* stream = nullptr;
  for (unsigned i = 0; i < formatContext->nb_streams; ++i) {
    AVStream* candidate = formatContext->streams[i];
    if (candidate && candidate->codecpar && candidate->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(candidate->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      stream = candidate;
      videoStream_ = static_cast<int>(i);
      break;
    }
  }
  if (!stream) {
    lastError_ = "the file has no video stream";
    return false;
  }
  const AVCodec* codec = api.avcodec_find_decoder(stream->codecpar->codec_id);
  if (!codec) {
    lastError_ = std::string("FFmpeg has no decoder for ") + api.avcodec_get_name(stream->codecpar->codec_id);
    return false;
  }
  codecContext_ = api.avcodec_alloc_context3(codec);
  frame_ = api.av_frame_alloc();
  packet_ = api.av_packet_alloc();
  if (!codecContext_ || !frame_ || !packet_ ||
      api.avcodec_parameters_to_context(codecContext_, stream->codecpar) < 0) {
    lastError_ = "out of memory opening the decoder";
    return false;
  }
  codecContext_->thread_count = std::max(0, decoderThreads);
  codecContext_->pkt_timebase = stream->time_base;
  const int result = api.avcodec_open2(codecContext_, codec, nullptr);
  if (result < 0) {
    lastError_ = std::string("the ") + codec->name + " decoder cannot be opened: " + ffmpeg::errorText(api, result);
    return false;
  }
  timeBase_ = stream->time_base;
  // The nominal rate: the stream's average, then its base rate, then 25.
  AVRational rate = usable(stream->avg_frame_rate) ? stream->avg_frame_rate : stream->r_frame_rate;
  if (!usable(rate)) rate = AVRational{25, 1};
  rateNum_ = rate.num;
  rateDen_ = rate.den;
  demuxer_->setStream(ffmpeg::CDemuxer::pictures, videoStream_);
  opened_ = true;
  return true;
}

bool CFFmpegDecoder::openVideoPath() {
  lastError_.clear();
  if (!library_.acquire(&lastError_)) return false;
  api_ = &library_.api();
  if (!openInput()) {
    close();
    return false;
  }
  const int width = codecContext_->width, height = codecContext_->height;
  if (width <= 0 || height <= 0) {
    lastError_ = "the video stream has no picture size";
    close();
    return false;
  }
  pool_ = renderer_ ? renderer_->sampleQueue() : nullptr;
  if (pool_) {
    int count = 0;
    pool_->setFormat(5, width, height, &count, &poolWidth_, &poolHeight_);
    if (!pool_->allocate()) {
      lastError_ = "no pictures of " + std::to_string(width) + "x" + std::to_string(height) + " can be made";
      close();
      return false;
    }
  } else {
    poolWidth_ = width;
    poolHeight_ = height;
  }
  frameCount = 0;
  draining_ = ended_ = false;
  return true;
}

// Reads packets until one of the video stream has gone into the decoder.
// False at the end of the input (or a read error, which ends it too).
bool CFFmpegDecoder::sendNextPacket() {
  const ffmpeg::Api& api = *api_;
  for (int failures = 0; failures < kMaxFailuresInARow;) {
    if (demuxer_->next(ffmpeg::CDemuxer::pictures, packet_) != ffmpeg::CDemuxer::Read::packet) return false;
    if (hiddenBefore_ != AV_NOPTS_VALUE) {
      const bool hidden = packet_->pts != AV_NOPTS_VALUE && packet_->pts < hiddenBefore_;
      codecContext_->skip_frame = hidden ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
      // Every later packet in decoding order is shown at or after it.
      if (packet_->dts != AV_NOPTS_VALUE && packet_->dts >= hiddenBefore_) hiddenBefore_ = AV_NOPTS_VALUE;
    }
    const int sent = api.avcodec_send_packet(codecContext_, packet_);
    api.av_packet_unref(packet_);
    if (sent >= 0 || sent == AVERROR(EAGAIN)) return true;
    if (sent == AVERROR(ENOMEM) || sent == AVERROR_EOF) {
      if (sent == AVERROR(ENOMEM)) stopReason_ = "out of memory";
      ended_ = true;
      return false;
    }
    // Damaged data: skip this packet and go on, as FFmpeg's own tools do.
    ++damagedPackets_;
    ++failures;
  }
  return false;
}

bool CFFmpegDecoder::decodePicture() {
  const ffmpeg::Api& api = *api_;
  int failures = 0;
  while (!ended_) {
    const int received = api.avcodec_receive_frame(codecContext_, frame_);
    if (received >= 0) return true;
    if (received == AVERROR_EOF) break;
    if (received == AVERROR(ENOMEM) || ++failures > kMaxFailuresInARow) {
      stopReason_ = received == AVERROR(ENOMEM) ? "out of memory" : "the decoder refuses every picture";
      break;
    }
    if (received != AVERROR(EAGAIN)) {
      // A picture the decoder could not finish; the next one may well be fine.
      ++damagedPackets_;
      continue;
    }
    if (draining_) break;
    if (!sendNextPacket()) {
      if (ended_) break;
      // End of the input: drain the pictures the decoder still holds.
      api.avcodec_send_packet(codecContext_, nullptr);
      draining_ = true;
    }
  }
  ended_ = true;
  // The sound no longer holds back for pictures that will not come.
  demuxer_->finish(ffmpeg::CDemuxer::pictures);
  return false;
}

void CFFmpegDecoder::fixFirstStamp(std::int64_t stamp) {
  firstStamp_ = stamp;
  haveFirstStamp_ = true;
  // The first picture is the time line's 0, unless the sound started
  // first and had to assume another origin.
  const std::int64_t units = ffmpeg::stampToUnits(stamp, timeBase_);
  const __int128 offset = static_cast<__int128>(units) - demuxer_->origin(units);
  firstTime_ = offset > kUnitsPerSecond * 3600 ? kUnitsPerSecond * 3600 : offset < 0 ? 0 : static_cast<std::int64_t>(offset);
}

// A picture stamp on the time line (truncated to 100 ns units). 128 bits:
// differences of two stamps near the ends of the range would overflow.
std::int64_t CFFmpegDecoder::timeOfStamp(std::int64_t stamp) const {
  const __int128 time = (static_cast<__int128>(stamp) - firstStamp_) * timeBase_.num * kUnitsPerSecond / timeBase_.den +
                        firstTime_;
  return time > INT64_MAX ? INT64_MAX : time < INT64_MIN ? INT64_MIN : static_cast<std::int64_t>(time);
}

// The last stamp whose time is not after `time`.
std::int64_t CFFmpegDecoder::stampOfTime(std::int64_t time) const {
  const __int128 scaled = static_cast<__int128>(timeBase_.num) * kUnitsPerSecond;
  __int128 delta = (static_cast<__int128>(time) - firstTime_) * timeBase_.den;
  delta = delta >= 0 ? delta / scaled : -((-delta + scaled - 1) / scaled);
  const __int128 stamp = delta + firstStamp_;
  return stamp > INT64_MAX ? INT64_MAX : stamp < INT64_MIN ? INT64_MIN : static_cast<std::int64_t>(stamp);
}

std::int64_t CFFmpegDecoder::pictureTime() {
  const std::int64_t stamp = frame_->best_effort_timestamp;
  std::int64_t time;
  if (stamp != AV_NOPTS_VALUE && usable(timeBase_)) {
    if (!haveFirstStamp_) fixFirstStamp(stamp);
    time = timeOfStamp(stamp);
  } else {
    // The picture count at the nominal rate, in thousandths of a picture a
    // second; after stamped pictures, one nominal picture past the last.
    std::int64_t rate = static_cast<std::int64_t>(rateNum_) * 1000 / rateDen_;
    if (rate <= 0) rate = 25000;
    time = haveFirstStamp_ ? lastTime_ + scale(1, kUnitsPerSecond * 1000, rate)
                           : scale(frameCount, kUnitsPerSecond * 1000, rate);
  }
  // Times never go back, whatever the stamps say.
  if (time < lastTime_) time = lastTime_;
  if (time < 0) time = 0;
  lastTime_ = time;
  return time;
}

bool CFFmpegDecoder::copyPicture(const YV12Planes& planes) {
  const ffmpeg::Api& api = *api_;
  const int format = frame_->format;
  const bool fullRange = isFullRangeFormat(format) || frame_->color_range == AVCOL_RANGE_JPEG;
  if (format == AV_PIX_FMT_YUV420P && !fullRange && frame_->width == planes.width &&
      frame_->height == planes.height) {
    // One copy, row by row, of the visible picture.
    for (int j = 0; j < planes.height; ++j)
      std::memcpy(planes.y + static_cast<std::size_t>(j) * planes.pitchY,
                  frame_->data[0] + static_cast<std::ptrdiff_t>(j) * frame_->linesize[0],
                  static_cast<std::size_t>(planes.width));
    const std::size_t chromaBytes = static_cast<std::size_t>(planes.chromaWidth());
    for (int j = 0; j < planes.chromaHeight(); ++j) {
      std::memcpy(planes.v + static_cast<std::size_t>(j) * planes.pitchC,
                  frame_->data[2] + static_cast<std::ptrdiff_t>(j) * frame_->linesize[2], chromaBytes);
      std::memcpy(planes.u + static_cast<std::size_t>(j) * planes.pitchC,
                  frame_->data[1] + static_cast<std::ptrdiff_t>(j) * frame_->linesize[1], chromaBytes);
    }
    return true;
  }
  // Every other format, range or size goes through the scaler into the
  // pool's 4:2:0 size (limited range, as every other path gives).
  if (frame_->width <= 0 || frame_->height <= 0 || format < 0) return false;
  SwsContext* const previous = scaler_;
  scaler_ = api.sws_getCachedContext(scaler_, frame_->width, frame_->height, static_cast<AVPixelFormat>(format),
                                     planes.width, planes.height, AV_PIX_FMT_YUV420P,
                                     SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!scaler_) return false;
  if (scaler_ != previous) scalerFullRange_ = -1;
  const int range = fullRange ? 1 : 0;
  if (range != scalerFullRange_) {
    const int* coefficients = api.sws_getCoefficients(SWS_CS_ITU601);
    api.sws_setColorspaceDetails(scaler_, coefficients, range, coefficients, 0, 0, 1 << 16, 1 << 16);
    scalerFullRange_ = range;
  }
  std::uint8_t* const target[4] = {planes.y, planes.u, planes.v, nullptr};
  const int pitches[4] = {planes.pitchY, planes.pitchC, planes.pitchC, 0};
  return api.sws_scale(scaler_, frame_->data, frame_->linesize, 0, frame_->height, target, pitches) > 0;
}

bool CFFmpegDecoder::decodeAndDeliver() {
  if (!opened_) return false;
  for (;;) {
    if (!decodePicture()) return false;
    if (!afterSeek_) break;
    if (!(frame_->flags & AV_FRAME_FLAG_CORRUPT)) {
      afterSeek_ = false;
      break;
    }
    // A picture that lost a reference to the seek is never shown.
    api_->av_frame_unref(frame_);
    ++frameCount;
  }
  const std::int64_t time = pictureTime();
  CSample* sample = nullptr;
  if (pool_ && pool_->acquire(&sample)) {
    YV12Planes planes;
    bool filled = false;
    if (sample->lockPlanes(&planes)) {
      filled = copyPicture(planes);
      sample->unlockPlanes();
    }
    sample->time = time;
    if (filled && deliverPictures)
      renderer_->deliver(sample);
    else
      pool_->release(sample);
  }
  api_->av_frame_unref(frame_);
  // Counted also when no sample could be had, so times stay tied to the count.
  ++frameCount;
  return true;
}

kolm::IAudioSource* CFFmpegDecoder::openSound(kolm::IAudioDownstream* sink, std::string* problem) {
  problem->clear();
  if (!opened_ || !sink) return nullptr;
  if (!api_->soundMissing.empty()) {
    // Say so only for a file that has sound to miss.
    AVFormatContext* context = demuxer_->context();
    for (unsigned i = 0; i < context->nb_streams; ++i)
      if (context->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) *problem = api_->soundMissing;
    return nullptr;
  }
  const int index = api_->av_find_best_stream(demuxer_->context(), AVMEDIA_TYPE_AUDIO, -1, videoStream_, nullptr, 0);
  if (index < 0) return nullptr;
  auto sound = std::make_unique<ffmpeg::CSound>(*api_, *demuxer_, sink);
  if (!sound->open(index, videoStream_, problem)) {
    // Its packets are no longer kept for it.
    demuxer_->finish(ffmpeg::CDemuxer::sound);
    return nullptr;
  }
  sound_ = std::move(sound);
  return sound_.get();
}

std::uint64_t CFFmpegDecoder::droppedPackets() const {
  return demuxer_ ? demuxer_->dropped(ffmpeg::CDemuxer::pictures) + demuxer_->dropped(ffmpeg::CDemuxer::sound) : 0;
}

// Seeking goes by the container: its own index (MP4, Matroska, AVI and the
// like) or a bisection over its time stamps (MPEG-TS and -PS). FFmpeg's last
// resort, the generic search, reads forward from the last point it has seen
// (through the whole file, for a raw stream), so a format that has only
// that is not offered; neither is one without time stamps, a stream that
// cannot be moved in (a pipe), or pictures without a time base or start.
bool CFFmpegDecoder::canSeek() const {
  if (!opened_) return false;
  const AVFormatContext* context = demuxer_->context();
  const AVInputFormat* format = context->iformat;
  if (!format || !context->pb || !(context->pb->seekable & AVIO_SEEKABLE_NORMAL)) return false;
  if (format->flags & AVFMT_NOTIMESTAMPS) return false;
  const bool indexed = format->read_seek || format->read_seek2;
  const bool bisection = format->read_timestamp && !(format->flags & AVFMT_NOBINSEARCH);
  if (!indexed && !bisection) return false;
  if (!usable(timeBase_)) return false;
  return haveFirstStamp_ || context->streams[videoStream_]->start_time != AV_NOPTS_VALUE;
}

// Whether a landing serves `time`: a keyframe at or before it, and sound
// from far enough before it that the decoder has warmed up by then (or from
// the sound's own start).
bool CFFmpegDecoder::landedBefore(const ffmpeg::CDemuxer::Landing& landing, std::int64_t time) const {
  if (!landing.keyframe) return false;
  if (landing.keyframeStamp != AV_NOPTS_VALUE && timeOfStamp(landing.keyframeStamp) > time) return false;
  if (!sound_ || !landing.sound || landing.soundStamp == AV_NOPTS_VALUE) return true;
  const AVStream* stream = demuxer_->context()->streams[sound_->stream()];
  const std::int64_t line = origin();
  const __int128 soundTime = static_cast<__int128>(ffmpeg::stampToUnits(landing.soundStamp, sound_->timeBase())) - line;
  __int128 enough = static_cast<__int128>(time) - sound_->preroll();
  if (stream->start_time != AV_NOPTS_VALUE)
    enough = std::max<__int128>(enough, static_cast<__int128>(ffmpeg::stampToUnits(stream->start_time, stream->time_base)) - line);
  else
    enough = std::max<__int128>(enough, 0);
  return soundTime <= enough;
}

// Before everything: the stream that starts first, at its start.
int CFFmpegDecoder::seekToStart() {
  const AVFormatContext* context = demuxer_->context();
  const unsigned sides = 1u << ffmpeg::CDemuxer::pictures | (sound_ ? 1u << ffmpeg::CDemuxer::sound : 0u);
  // A format that is bisected by its stamps (MPEG-TS, -PS) reads from any
  // byte on; its start is its first byte, where a bisection for the first
  // stamp may land a few packets late.
  const AVInputFormat* format = context->iformat;
  if (!format->read_seek && !format->read_seek2 && !(format->flags & AVFMT_NO_BYTE_SEEK) &&
      demuxer_->seek(-1, 0, AVSEEK_FLAG_BYTE, sides) >= 0)
    return 0;
  int stream = videoStream_;
  std::int64_t stamp = firstStamp_;
  if (sound_) {
    const AVStream* audio = context->streams[sound_->stream()];
    if (audio->start_time != AV_NOPTS_VALUE &&
        ffmpeg::stampToUnits(audio->start_time, audio->time_base) < ffmpeg::stampToUnits(firstStamp_, timeBase_)) {
      stream = sound_->stream();
      stamp = audio->start_time;
    }
  }
  // Well before the start, so that packets stamped before it (the encoder
  // delay of AAC, which primes the decoder) are read again too: an index
  // takes its first entry for a time before it, a bisection the first
  // packet. Where a format refuses such a time, the first keyframe from
  // the start on.
  const AVRational base = context->streams[stream]->time_base;
  const std::int64_t margin = base.num > 0 ? scale(10, base.den, base.num) : 0;
  int result = demuxer_->seek(stream, stamp < INT64_MIN / 2 ? stamp : stamp - margin, AVSEEK_FLAG_BACKWARD, sides);
  if (result < 0) result = demuxer_->seek(stream, stamp, 0, sides);
  if (result < 0) result = demuxer_->seek(stream, stamp, AVSEEK_FLAG_BACKWARD, sides);
  return result;
}

bool CFFmpegDecoder::seek(std::int64_t time) {
  if (!canSeek()) return false;
  if (time < 0) time = 0;
  // The time line must be fixed before a picture is decoded from elsewhere.
  if (!haveFirstStamp_) fixFirstStamp(demuxer_->context()->streams[videoStream_]->start_time);
  const unsigned sides = 1u << ffmpeg::CDemuxer::pictures | (sound_ ? 1u << ffmpeg::CDemuxer::sound : 0u);
  const std::int64_t preroll = sound_ ? sound_->preroll() : 0;
  bool moved = false;
  for (int attempt = 0; attempt <= kSeekRetries + 1; ++attempt) {
    // A container may land after the target (an index by decoding time,
    // a damaged one, a bisection that finds no keyframe before): each retry
    // goes further back, the last one to the start, which always serves.
    const __int128 back = attempt == 0 ? 0 : static_cast<__int128>(kUnitsPerSecond) * ((std::int64_t{1} << attempt) - 1);
    const __int128 target = static_cast<__int128>(time) - preroll - back;
    const bool atStart = attempt > kSeekRetries || target <= firstTime_;
    const int result = atStart ? seekToStart()
                               : demuxer_->seek(videoStream_, stampOfTime(static_cast<std::int64_t>(target)),
                                                AVSEEK_FLAG_BACKWARD, sides);
    if (result < 0) {
      // Nothing has moved yet: playback goes on where it was.
      if (!moved) return false;
      if (atStart) break;
      continue;
    }
    moved = true;
    const ffmpeg::CDemuxer::Landing landing = demuxer_->look(kLookPackets, kLookBytes, !atStart);
    if (atStart || landedBefore(landing, time)) break;
  }
  // H.264 pictures that nothing refers to (nal_ref_idc 0) and that are
  // never shown from here on need no decoding (a third to a half of the
  // pictures between a keyframe and the target, with B pictures).
  codecContext_->skip_frame = AVDISCARD_DEFAULT;
  std::int64_t shownAt = AV_NOPTS_VALUE;
  demuxer_->skipPicturesBefore(stampOfTime(time), kLookPackets, kLookBytes, &shownAt);
  hiddenBefore_ = codecContext_->codec_id == AV_CODEC_ID_H264 ? shownAt : AV_NOPTS_VALUE;
  // Both decoders forget the old place; the pictures time from the landing on.
  api_->avcodec_flush_buffers(codecContext_);
  api_->av_frame_unref(frame_);
  draining_ = ended_ = false;
  stopReason_.clear();
  lastTime_ = -1;
  afterSeek_ = true;
  if (sound_) {
    const std::int64_t rate = sound_->format().sampleRate;
    sound_->restart(static_cast<std::int64_t>((static_cast<__int128>(time) * rate + kUnitsPerSecond / 2) / kUnitsPerSecond));
  }
  return true;
}
