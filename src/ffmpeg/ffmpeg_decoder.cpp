#include "ffmpeg/ffmpeg_decoder.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

constexpr std::int64_t kUnitsPerSecond = 10000000;  // 100 ns units
// A decoder that fails this many times in a row without a picture is not
// going to recover; reading on would only spin through the file.
constexpr int kMaxFailuresInARow = 1000;

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
  return scale(context->duration, kUnitsPerSecond, AV_TIME_BASE);
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

std::int64_t CFFmpegDecoder::pictureTime() {
  const std::int64_t stamp = frame_->best_effort_timestamp;
  std::int64_t time;
  if (stamp != AV_NOPTS_VALUE && usable(timeBase_)) {
    if (!haveFirstStamp_) {
      firstStamp_ = stamp;
      haveFirstStamp_ = true;
      // The first picture is the time line's 0, unless the sound started
      // first and had to assume another origin.
      const std::int64_t units = ffmpeg::stampToUnits(stamp, timeBase_);
      const __int128 offset = static_cast<__int128>(units) - demuxer_->origin(units);
      firstTime_ = offset > kUnitsPerSecond * 3600 ? kUnitsPerSecond * 3600 : offset < 0 ? 0 : static_cast<std::int64_t>(offset);
    }
    // Differences of two stamps near the ends of the range would overflow.
    const std::int64_t delta =
        (stamp < 0 && firstStamp_ > 0 && stamp < INT64_MIN + firstStamp_) ? INT64_MIN : stamp - firstStamp_;
    time = scale(delta, static_cast<std::int64_t>(timeBase_.num) * kUnitsPerSecond, timeBase_.den);
    time = time > INT64_MAX - firstTime_ ? INT64_MAX : time + firstTime_;
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
  if (!opened_ || !decodePicture()) return false;
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
