#include "ffmpeg/ffmpeg_sound.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "kolm/audio_downstream.h"
#include "kolm/audio_sample_queue.h"

namespace ffmpeg {

namespace {
constexpr std::int64_t kUnitsPerSecond = 10000000;
// A decoder that fails this often in a row is not going to recover.
constexpr int kMaxFailuresInARow = 1000;
// Stamps within this much of where the sound already is are jitter (Matroska
// rounds them to milliseconds), not a gap.
constexpr int kGapToleranceMs = 50;
// Holding back for the pictures: one wait, and how many waits without any
// picture progress before the sound reads on regardless (the picture side
// may have stopped without saying so).
constexpr int kYieldWaitMs = 20;
constexpr int kPatience = 100;
// More is damage: no real stream has these.
constexpr int kMaxChannels = 64;
constexpr int kMaxRate = 1 << 20;
}  // namespace

CSound::CSound(const Api& api, CDemuxer& demuxer, kolm::IAudioDownstream* sink)
    : api_(api), demuxer_(demuxer), sink_(sink) {}

CSound::~CSound() {
  if (current_ && pool_) pool_->release(current_);
  current_ = nullptr;
  if (converter_) api_.swr_free(&converter_);
  if (packet_) api_.av_packet_free(&packet_);
  if (frame_) api_.av_frame_free(&frame_);
  if (codec_) api_.avcodec_free_context(&codec_);
}

bool CSound::open(int streamIndex, int pictureStream, std::string* problem) {
  if (!api_.soundMissing.empty()) {
    *problem = api_.soundMissing;
    return false;
  }
  AVFormatContext* context = demuxer_.context();
  if (!context || streamIndex < 0 || static_cast<unsigned>(streamIndex) >= context->nb_streams) return false;
  const AVStream* stream = context->streams[streamIndex];
  const AVCodec* codec = api_.avcodec_find_decoder(stream->codecpar->codec_id);
  if (!codec) {
    *problem = std::string("FFmpeg has no decoder for ") + api_.avcodec_get_name(stream->codecpar->codec_id);
    return false;
  }
  frame_ = api_.av_frame_alloc();
  packet_ = api_.av_packet_alloc();
  if (!frame_ || !packet_ || !openCodec(stream, codec, problem)) {
    if (problem->empty()) *problem = "out of memory opening the sound decoder";
    return false;
  }
  timeBase_ = stream->time_base;
  if (pictureStream >= 0 && static_cast<unsigned>(pictureStream) < context->nb_streams) {
    const AVStream* pictures = context->streams[pictureStream];
    if (pictures->start_time != AV_NOPTS_VALUE) pictureStart_ = stampToUnits(pictures->start_time, pictures->time_base);
  }

  // The first sound is decoded now: a stream that gives none plays silent on
  // the built-in clock rather than holding a sound clock that never starts.
  // The search ends where the picture queue reaches its soft bound.
  stream_ = streamIndex;
  demuxer_.setStream(CDemuxer::sound, streamIndex);
  const Next first = decodeFrame(true);
  if (first != Next::frame) {
    *problem = first == Next::wait ? "no sound near the start of the file"
                                   : std::string("the ") + codec->name + " sound stream cannot be decoded";
    return false;
  }
  haveFrame_ = true;

  pool_ = sink_ ? sink_->sampleQueue() : nullptr;
  if (!pool_) return false;
  AudioFormat requested;
  // Never more than two channels: the rest are mixed down.
  requested.channels = static_cast<std::uint32_t>(std::min(frame_->ch_layout.nb_channels, 2));
  requested.sampleRate = static_cast<std::uint32_t>(frame_->sample_rate);
  requested.bitsPerSample = 16;
  requested.milliseconds = 200;
  int count = 0;
  pool_->setFormat(5, requested, &count, &format_);
  if (format_.channels < 1 || format_.channels > 2 || (format_.bitsPerSample != 16 && format_.bitsPerSample != 8) ||
      format_.sampleRate == 0 || format_.sampleRate > static_cast<std::uint32_t>(kMaxRate) ||
      chunkFrames(format_) == 0) {
    *problem = "the sound device cannot take the sound's format";
    pool_ = nullptr;
    return false;
  }
  if (!configureConverter(frame_)) {
    *problem = "FFmpeg cannot convert the sound to the device's format";
    pool_ = nullptr;
    return false;
  }
  pool_->allocate();  // an empty pool ends audioStep() at once
  return true;
}

bool CSound::openCodec(const AVStream* stream, const AVCodec* codec, std::string* problem) {
  if (codec_) api_.avcodec_free_context(&codec_);
  codec_ = api_.avcodec_alloc_context3(codec);
  if (!codec_ || api_.avcodec_parameters_to_context(codec_, stream->codecpar) < 0) return false;
  codec_->thread_count = 1;
  codec_->pkt_timebase = stream->time_base;
  const int opened = api_.avcodec_open2(codec_, codec, nullptr);
  if (opened < 0) {
    *problem = std::string("the ") + codec->name + " decoder cannot be opened: " + errorText(api_, opened);
    return false;
  }
  return true;
}

CSound::Next CSound::decodeFrame(bool yieldToPictures) {
  for (int failures = 0; failures < kMaxFailuresInARow;) {
    const int received = api_.avcodec_receive_frame(codec_, frame_);
    if (received >= 0) {
      const int channels = frame_->ch_layout.nb_channels;
      if (frame_->nb_samples > 0 && channels > 0 && channels <= kMaxChannels && frame_->sample_rate > 0 &&
          frame_->sample_rate <= kMaxRate && frame_->format >= 0)
        return Next::frame;
      api_.av_frame_unref(frame_);
      ++failures;
      continue;
    }
    if (received == AVERROR_EOF || received == AVERROR(ENOMEM)) return Next::end;
    if (received != AVERROR(EAGAIN)) {
      ++damagedPackets;
      ++failures;
      continue;
    }
    if (draining_) return Next::end;
    const CDemuxer::Read read = demuxer_.next(CDemuxer::sound, packet_, yieldToPictures);
    if (read == CDemuxer::Read::wait) return Next::wait;
    if (read == CDemuxer::Read::end) {
      // The end of the input: drain what the decoder still holds.
      api_.avcodec_send_packet(codec_, nullptr);
      draining_ = true;
      continue;
    }
    const int sent = api_.avcodec_send_packet(codec_, packet_);
    api_.av_packet_unref(packet_);
    if (sent >= 0 || sent == AVERROR(EAGAIN)) continue;
    if (sent == AVERROR(ENOMEM) || sent == AVERROR_EOF) return Next::end;
    // Damaged data: skip the packet, as FFmpeg's own tools do.
    ++damagedPackets;
    ++failures;
  }
  return Next::end;
}

bool CSound::configureConverter(const AVFrame* frame) {
  if (converter_) api_.swr_free(&converter_);
  inFormat_ = frame->format;
  inRate_ = frame->sample_rate;
  inChannels_ = frame->ch_layout.nb_channels;
  AVChannelLayout in{}, out{};
  // A layout without channel names is taken as the usual one of its size.
  const bool named = frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE;
  if (!named) api_.av_channel_layout_default(&in, inChannels_);
  api_.av_channel_layout_default(&out, static_cast<int>(format_.channels));
  const AVSampleFormat outFormat = format_.bitsPerSample == 8 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16;
  const int made = api_.swr_alloc_set_opts2(&converter_, &out, outFormat, static_cast<int>(format_.sampleRate),
                                            // Only read, though this version's prototype says otherwise.
                                            named ? const_cast<AVChannelLayout*>(&frame->ch_layout) : &in, static_cast<AVSampleFormat>(inFormat_),
                                            inRate_, 0, nullptr);
  api_.av_channel_layout_uninit(&in);
  api_.av_channel_layout_uninit(&out);
  if (made < 0 || !converter_ || api_.swr_init(converter_) < 0) {
    if (converter_) api_.swr_free(&converter_);
    return false;
  }
  return true;
}

std::int64_t CSound::stampPosition(std::int64_t stamp) {
  // Straight from the stamp where the numbers allow: by way of 100 ns units
  // a stamp can lose a frame to rounding (128000 / 44100 s).
  constexpr std::int64_t kExact = std::int64_t{1} << 48;
  __int128 position, divisor;
  if (stamp > -kExact && stamp < kExact && timeBase_.num > 0 && timeBase_.den > 0) {
    position = (static_cast<__int128>(stamp) * timeBase_.num * kUnitsPerSecond -
                static_cast<__int128>(origin_) * timeBase_.den) *
               format_.sampleRate;
    divisor = static_cast<__int128>(timeBase_.den) * kUnitsPerSecond;
  } else {
    position = (static_cast<__int128>(stampToUnits(stamp, timeBase_)) - origin_) * format_.sampleRate;
    divisor = kUnitsPerSecond;
  }
  // Floor, so a stamp a fraction of a frame early still counts as early.
  position = position >= 0 ? position / divisor : -((-position + divisor - 1) / divisor);
  if (position > INT64_MAX / 2) return INT64_MAX / 2;
  if (position < INT64_MIN / 2) return INT64_MIN / 2;
  return static_cast<std::int64_t>(position);
}

// Samples in every frame of the stream, where the codec says they are all
// alike (AAC, MP3, FLAC of one block size); 0 where they vary or it does not say.
int CSound::fixedFrameSize() const {
  if (codec_->frame_size > 0) return codec_->frame_size;
  const AVCodecParameters* parameters = demuxer_.context()->streams[stream_]->codecpar;
  if (parameters->codec_id != AV_CODEC_ID_FLAC || !parameters->extradata) return 0;
  // FLAC's stream information: the smallest and largest block, alike in a
  // stream of fixed blocks; behind the "fLaC" mark and a block header or not.
  const std::uint8_t* info = parameters->extradata;
  int size = parameters->extradata_size;
  if (size >= 8 && std::memcmp(info, "fLaC", 4) == 0) {
    info += 8;
    size -= 8;
  }
  if (size < 34) return 0;
  const int smallest = info[0] << 8 | info[1], largest = info[2] << 8 | info[3];
  return smallest == largest && smallest >= 16 ? smallest : 0;
}

// The first frame after a seek, where its stamp is rounded (Matroska's
// milliseconds; MPEG-TS's 90 kHz, where a stamp a fraction of a sample
// early floors to a whole sample early): frames of a fixed size lie on
// multiples of it from the stream's start, so the nearest such place within
// the stamp's rounding is where the frame truly begins.
std::int64_t CSound::snapped(const AVFrame* frame, std::int64_t position) {
  const AVStream* stream = demuxer_.context()->streams[stream_];
  if (frame->sample_rate != static_cast<int>(format_.sampleRate) || stream->start_time == AV_NOPTS_VALUE) return position;
  const std::int64_t resolution = std::max<std::int64_t>(
      1, (static_cast<std::int64_t>(format_.sampleRate) * timeBase_.num + timeBase_.den - 1) / timeBase_.den);
  const std::int64_t size = fixedFrameSize();
  if (size <= 0 || size <= 2 * resolution) return position;
  const std::int64_t start = stampPosition(stream->start_time);
  const std::int64_t from = position - start;
  const std::int64_t nearest = start + (from >= 0 ? (from + size / 2) / size : -((-from + size / 2) / size)) * size;
  return std::abs(nearest - position) <= resolution ? nearest : position;
}

// Where the frame belongs on the time line, before it is converted: the first
// one fixes the start (cut or silence before it); later ones only fill a gap.
void CSound::place(const AVFrame* frame) {
  const std::int64_t stamp = frame->best_effort_timestamp;
  const std::int64_t cap = static_cast<std::int64_t>(maxGapSeconds) * format_.sampleRate;
  if (!placed_) {
    placed_ = true;
    if (stamp == AV_NOPTS_VALUE || timeBase_.num <= 0 || timeBase_.den <= 0) return;
    // The first picture's stamp when the pictures came first; otherwise
    // where the picture stream says it starts, or the sound's own start.
    origin_ = demuxer_.origin(pictureStart_ != AV_NOPTS_VALUE ? pictureStart_ : stampToUnits(stamp, timeBase_));
    // Relative to where the blocks start: 0, or the point a seek went to.
    const std::int64_t position = snapped(frame, stampPosition(stamp));
    const std::int64_t offset = position - produced_;
    if (offset < 0)
      toCut_ = -offset;
    else
      appendSilence(std::min(offset, cap));
    anchorPosition_ = position;
    inputSinceAnchor_ = 0;
    anchorRate_ = frame->sample_rate;
    return;
  }
  if (anchorRate_ <= 0 || stamp == AV_NOPTS_VALUE) return;
  const std::int64_t expected =
      anchorPosition_ +
      static_cast<std::int64_t>(static_cast<__int128>(inputSinceAnchor_) * format_.sampleRate / anchorRate_);
  const std::int64_t position = stampPosition(stamp);
  const std::int64_t tolerance = static_cast<std::int64_t>(format_.sampleRate) * kGapToleranceMs / 1000;
  if (position - expected > tolerance) {
    appendSilence(std::min(position - expected, cap));
    anchorPosition_ = position;
    inputSinceAnchor_ = 0;
  } else if (frame->sample_rate != anchorRate_) {
    anchorPosition_ = expected;
    inputSinceAnchor_ = 0;
  }
  // Stamps that go back are left alone: the sound is never cut mid-stream.
  anchorRate_ = frame->sample_rate;
}

void CSound::append(const std::uint8_t* data, std::size_t frames) {
  const std::size_t frameBytes = blockAlign(format_);
  const std::size_t cut = static_cast<std::size_t>(std::min<std::int64_t>(toCut_, static_cast<std::int64_t>(frames)));
  toCut_ -= static_cast<std::int64_t>(cut);
  if (cut == frames) return;
  if (pendingStart_ > 0 && pendingStart_ >= pending_.size() / 2) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pendingStart_));
    pendingStart_ = 0;
  }
  pending_.insert(pending_.end(), data + cut * frameBytes, data + frames * frameBytes);
}

void CSound::appendSilence(std::int64_t frames) {
  const std::int64_t cut = std::min(toCut_, frames);
  toCut_ -= cut;
  frames -= cut;
  if (frames <= 0) return;
  const std::size_t bytes = static_cast<std::size_t>(frames) * blockAlign(format_);
  pending_.insert(pending_.end(), bytes, format_.bitsPerSample == 8 ? 0x80 : 0);
}

void CSound::convert(const AVFrame* frame) {
  if (frame && (frame->format != inFormat_ || frame->sample_rate != inRate_ ||
                frame->ch_layout.nb_channels != inChannels_ || !converter_)) {
    // The stream changed its format mid-way: what the old converter still
    // held is lost, the rest goes on.
    if (!configureConverter(frame)) return;
  }
  if (!converter_) return;
  const int inFrames = frame ? frame->nb_samples : 0;
  const int room = api_.swr_get_out_samples(converter_, inFrames);
  if (room <= 0) return;
  const std::size_t frameBytes = blockAlign(format_);
  scratch_.resize(static_cast<std::size_t>(room) * frameBytes);
  std::uint8_t* out[1] = {scratch_.data()};
  const int made = api_.swr_convert(converter_, out, room,
                                    frame ? const_cast<const std::uint8_t**>(frame->extended_data) : nullptr, inFrames);
  if (made > 0) append(scratch_.data(), static_cast<std::size_t>(std::min(made, room)));
}

bool CSound::patient() {
  const std::uint64_t taken = demuxer_.picturePacketsTaken();
  if (taken != picturesSeen_) {
    picturesSeen_ = taken;
    fruitlessWaits_ = 0;
  }
  return fruitlessWaits_ < kPatience;
}

void CSound::waitForPictures() {
  if (demuxer_.waitForPictureProgress(kYieldWaitMs))
    fruitlessWaits_ = 0;
  else
    ++fruitlessWaits_;
}

void CSound::end() {
  ended_ = true;
  if (current_ && pool_) pool_->release(current_);
  current_ = nullptr;
  demuxer_.finish(CDemuxer::sound);
}

// The sound has run out with current_ in hand.
bool CSound::finishBlock() {
  const bool any = current_->frameCount > 0;
  if (!any && (blocksDelivered > 0 || restarted_)) {
    end();
    return false;
  }
  // The rest of the last block is silence. A stream that gave nothing after
  // the cut still gets one silent block, so that the sound clock starts.
  const std::size_t frameBytes = blockAlign(format_);
  std::uint8_t* begin = current_->buffer.get() + static_cast<std::size_t>(current_->frameCount) * frameBytes;
  std::uint8_t* stop = current_->buffer.get() + static_cast<std::size_t>(chunkFrames(format_)) * frameBytes;
  std::fill(begin, stop, format_.bitsPerSample == 8 ? 0x80 : 0);
  if (!any) current_->frameCount = static_cast<int>(chunkFrames(format_));
  ++blocksDelivered;
  sink_->deliver(current_);
  current_ = nullptr;
  end();
  return true;
}

std::int64_t CSound::preroll() const {
  // Two frames of the codec's own size, or what the stream asks for, at
  // least 100 ms (which covers AAC, Vorbis and MP3 at the usual rates).
  std::int64_t units = kUnitsPerSecond / 10;
  if (codec_ && codec_->sample_rate > 0) {
    const std::int64_t rate = codec_->sample_rate;
    const std::int64_t frames = std::max<std::int64_t>(std::int64_t{2} * std::max(codec_->frame_size, 0),
                                                       std::max(codec_->seek_preroll, 0));
    units = std::max(units, std::min(frames, rate * 10) * kUnitsPerSecond / rate);
  }
  return units;
}

void CSound::restart(std::int64_t position) {
  if (current_ && pool_) pool_->release(current_);
  current_ = nullptr;
  // The decoder starts again as new, which a flush does not quite do:
  // AAC's noise generator, say, would go on from where it was, so even a
  // seek to the start would not sound as the start did.
  std::string problem;
  const AVFormatContext* context = demuxer_.context();
  const AVCodec* codec = codec_ ? codec_->codec : nullptr;
  const bool reopened = codec && context && openCodec(context->streams[stream_], codec, &problem);
  api_.av_frame_unref(frame_);
  // A fresh converter, as at the start: nothing of the old place lingers in
  // its delay line.
  if (converter_) api_.swr_free(&converter_);
  inFormat_ = -1;
  haveFrame_ = draining_ = flushed_ = ended_ = false;
  pending_.clear();
  pendingStart_ = 0;
  placed_ = false;
  produced_ = std::max<std::int64_t>(position, 0);
  toCut_ = 0;
  anchorPosition_ = inputSinceAnchor_ = 0;
  anchorRate_ = 0;
  fruitlessWaits_ = 0;
  picturesSeen_ = demuxer_.picturePacketsTaken();
  restarted_ = true;
  // Out of memory: this sound ends here, the pictures go on.
  if (!reopened) end();
}

bool CSound::audioStep() {
  if (ended_ || !pool_) return false;
  const std::size_t frameBytes = blockAlign(format_);
  const std::size_t capacity = chunkFrames(format_);
  for (;;) {
    if (!current_) {
      // No sound output means no blocks: the sound side simply ends.
      if (!pool_->acquire(&current_)) {
        current_ = nullptr;
        end();
        return false;
      }
      const AudioFormat& block = current_->format;
      if (!current_->buffer || block.channels != format_.channels || block.bitsPerSample != format_.bitsPerSample ||
          block.sampleRate != format_.sampleRate || chunkFrames(block) != capacity) {
        end();
        return false;
      }
      current_->frameCount = 0;
      current_->position = produced_;
    }
    const std::size_t available = (pending_.size() - pendingStart_) / frameBytes;
    if (available > 0) {
      const std::size_t filled = static_cast<std::size_t>(current_->frameCount);
      const std::size_t n = std::min(available, capacity - filled);
      std::memcpy(current_->buffer.get() + filled * frameBytes, pending_.data() + pendingStart_, n * frameBytes);
      pendingStart_ += n * frameBytes;
      current_->frameCount = static_cast<int>(filled + n);
      produced_ += static_cast<std::int64_t>(n);
      if (filled + n == capacity) {
        ++blocksDelivered;
        sink_->deliver(current_);
        current_ = nullptr;
        return true;
      }
      continue;
    }
    if (haveFrame_) {
      place(frame_);
      convert(frame_);
      inputSinceAnchor_ += frame_->nb_samples;
      api_.av_frame_unref(frame_);
      haveFrame_ = false;
      continue;
    }
    if (!flushed_) {
      const Next next = decodeFrame(patient());
      if (next == Next::frame) {
        haveFrame_ = true;
      } else if (next == Next::wait) {
        // The block in hand waits for the next step.
        waitForPictures();
        return true;
      } else {
        convert(nullptr);  // what the resampler still holds
        flushed_ = true;
      }
      continue;
    }
    return finishBlock();
  }
}

}  // namespace ffmpeg
