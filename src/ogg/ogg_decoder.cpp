#include "ogg/ogg_decoder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "kolm/audio_downstream.h"
#include "kolm/audio_sample_queue.h"
#include "kolm/sample_queue.h"
#include "kolm/stream.h"
#include "kolm/sys/sys.h"
#include "kolm/video_downstream.h"

namespace ogg {

const char* const theoraHeaderError = "Error parsing Theora stream headers; 不正なストリーム？";
const char* const vorbisHeaderError = "Error parsing Vorbis stream headers; 不正なストリーム？";

namespace {

std::uint8_t average2(const std::uint8_t* a, const std::uint8_t* b) {
  return static_cast<std::uint8_t>((*a + *b + 1) >> 1);
}

// One plane of the stripe: luma straight, chroma from whatever the stream has to 4:2:0.
void copyPlane(const th_img_plane& source, int xdec, int ydec, bool chroma, const PictureRegion& region,
               std::uint8_t* target, int targetPitch, int targetWidth, int targetHeight, int yFragStart,
               int yFragEnd) {
  // Source samples per target sample in each direction.
  const int stepX = chroma ? 2 / xdec : 1;
  const int stepY = chroma ? 2 / ydec : 1;
  const std::int64_t originX = region.x / (chroma ? xdec : 1);
  const std::int64_t originY = region.y / (chroma ? ydec : 1);
  if (originX >= source.width || originY >= source.height) return;
  std::int64_t columns = chroma ? (static_cast<std::int64_t>(region.width) + 1) / 2 : region.width;
  std::int64_t rows = chroma ? (static_cast<std::int64_t>(region.height) + 1) / 2 : region.height;
  columns = std::min<std::int64_t>({columns, targetWidth, (source.width - originX + stepX - 1) / stepX});
  rows = std::min<std::int64_t>({rows, targetHeight, (source.height - originY + stepY - 1) / stepY});
  if (columns <= 0 || rows <= 0) return;

  // The stripe's rows in this plane, and the target rows whose top source row lies in it.
  const int planeDec = chroma ? ydec : 1;
  const std::int64_t top = 8 * static_cast<std::int64_t>(yFragStart) / planeDec;
  const std::int64_t end = std::min<std::int64_t>(8 * static_cast<std::int64_t>(yFragEnd) / planeDec, source.height);
  const std::int64_t first = std::max<std::int64_t>(0, (top - originY + stepY - 1) / stepY);
  const std::int64_t last = std::min<std::int64_t>(rows, (end - originY + stepY - 1) / stepY);
  const std::int64_t lastColumn = source.width - 1, lastRow = source.height - 1;

  for (std::int64_t r = first; r < last; ++r) {
    const std::int64_t sy = originY + stepY * r;
    const std::uint8_t* row0 = source.data + sy * source.stride + originX;
    std::uint8_t* out = target + r * targetPitch;
    if (stepX == 1 && stepY == 1) {
      std::memcpy(out, row0, static_cast<std::size_t>(columns));
      continue;
    }
    const std::uint8_t* row1 = source.data + std::min(sy + 1, lastRow) * source.stride + originX;
    for (std::int64_t c = 0; c < columns; ++c) {
      const std::int64_t x0 = stepX * c;
      if (stepX == 1) {  // 4:2:2: two rows
        out[c] = average2(row0 + x0, row1 + x0);
        continue;
      }
      const std::int64_t x1 = std::min(originX + x0 + 1, lastColumn) - originX;
      if (stepY == 1) {
        out[c] = average2(row0 + x0, row0 + x1);
      } else {  // 4:4:4: a 2 by 2 square
        out[c] = static_cast<std::uint8_t>((row0[x0] + row0[x1] + row1[x0] + row1[x1] + 2) >> 2);
      }
    }
  }
}

std::int16_t saturate16(double scaled) {
  if (scaled >= 0) scaled += 0.5;
  else scaled -= 0.5;
  if (scaled >= 32767.0) return 32767;
  if (scaled <= -32768.0) return -32768;
  if (scaled != scaled) return 0;  // NaN from a damaged stream
  return static_cast<std::int16_t>(scaled);
}

std::uint8_t saturate8(double scaled) {
  if (scaled >= 0) scaled += 0.5;
  else scaled -= 0.5;
  if (scaled >= 127.0) return 255;
  if (scaled <= -128.0) return 0;
  if (scaled != scaled) return 0x80;
  return static_cast<std::uint8_t>(static_cast<int>(scaled) + 128);
}

}  // namespace

void copyStripe(const th_img_plane* planes, const PictureRegion& region, const PlaneTable& target, int yFragStart,
                int yFragEnd) {
  const th_img_plane& luma = planes[0];
  if (!luma.data || luma.width <= 0 || luma.height <= 0 || region.x < 0 || region.y < 0) return;
  for (int s = 0; s < 3; ++s) {
    const th_img_plane& source = planes[s];
    if (!source.data || source.width <= 0 || source.height <= 0) continue;
    const int xdec = luma.width / source.width, ydec = luma.height / source.height;
    if (xdec < 1 || xdec > 2 || ydec < 1 || ydec > 2) continue;
    // Cb goes to the third plane (U), Cr to the second (V).
    const int d = s == 0 ? 0 : s == 1 ? 2 : 1;
    if (!target.address[d]) continue;
    const bool chroma = s != 0;
    copyPlane(source, xdec, ydec, chroma, region, target.address[d], target.pitch[d],
              chroma ? target.width / 2 : target.width, chroma ? target.height / 2 : target.height, yFragStart,
              yFragEnd);
  }
}

std::int16_t pcm16(float value) { return saturate16(static_cast<double>(value * 32767.0f)); }

std::uint8_t pcm8(float value) { return saturate8(static_cast<double>(value * 127.0f)); }

bool canConvertPcm(int sourceChannels, int outChannels, int bits) {
  return sourceChannels > 0 && outChannels > 0 && (bits == 8 || bits == 16);
}

void downmixWeights(int sourceChannels, double* left, double* right) {
  constexpr double minus3dB = 0.70710678118654752;
  for (int c = 0; c < sourceChannels; ++c) left[c] = right[c] = 0;
  // Vorbis channel orders; the low-frequency channel is left out.
  switch (sourceChannels) {
    case 1:
      left[0] = right[0] = 1;
      return;
    case 2:
      left[0] = right[1] = 1;
      return;
    case 3:  // L C R
      left[0] = right[2] = 1;
      left[1] = right[1] = minus3dB;
      break;
    case 4:  // FL FR BL BR
      left[0] = right[1] = 1;
      left[2] = right[3] = minus3dB;
      break;
    case 5:  // FL C FR BL BR
    case 6:  // FL C FR BL BR LFE
      left[0] = right[2] = 1;
      left[1] = right[1] = minus3dB;
      left[3] = right[4] = minus3dB;
      break;
    case 7:  // FL C FR SL SR BC LFE
      left[0] = right[2] = 1;
      left[1] = right[1] = minus3dB;
      left[3] = right[4] = minus3dB;
      left[5] = right[5] = 0.5;
      break;
    case 8:  // FL C FR SL SR BL BR LFE
      left[0] = right[2] = 1;
      left[1] = right[1] = minus3dB;
      left[3] = right[4] = minus3dB;
      left[5] = right[6] = minus3dB;
      break;
    default:  // no defined order: every channel on both sides
      for (int c = 0; c < sourceChannels; ++c) left[c] = right[c] = 1;
      break;
  }
  // Scaled so that full scale on every channel still does not clip.
  double sum = 0;
  for (int c = 0; c < sourceChannels; ++c) sum += left[c];
  for (int c = 0; c < sourceChannels; ++c) {
    left[c] /= sum;
    right[c] /= sum;
  }
}

void convertPcm(float* const* pcm, int sourceChannels, int frames, int outChannels, int bits, std::uint8_t* out) {
  if (!canConvertPcm(sourceChannels, outChannels, bits) || frames <= 0) return;
  const double scale = bits == 16 ? 32767.0 : 127.0;
  double left[256], right[256];
  const bool mixed = sourceChannels > 2;
  if (mixed) downmixWeights(std::min(sourceChannels, 256), left, right);
  auto put = [&](std::uint8_t*& at, double scaled) {
    if (bits == 16) {
      const std::int16_t v = saturate16(scaled);
      at[0] = static_cast<std::uint8_t>(v & 0xFF);
      at[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
      at += 2;
    } else {
      *at++ = saturate8(scaled);
    }
  };
  // The product is taken in single precision for channels that pass straight through.
  const float fscale = static_cast<float>(scale);
  std::uint8_t* at = out;
  for (int i = 0; i < frames; ++i) {
    double l, r;
    if (!mixed) {
      l = static_cast<double>(pcm[0][i] * fscale);
      r = sourceChannels == 2 ? static_cast<double>(pcm[1][i] * fscale) : l;
    } else {
      double sl = 0, sr = 0;
      for (int c = 0; c < sourceChannels && c < 256; ++c) {
        sl += left[c] * pcm[c][i];
        sr += right[c] * pcm[c][i];
      }
      l = sl * scale;
      r = sr * scale;
    }
    if (outChannels == 1) {
      put(at, sourceChannels == 1 ? l : (l + r) * 0.5);
      continue;
    }
    put(at, l);
    put(at, r);
    for (int c = 2; c < outChannels; ++c) put(at, 0.0);
  }
}

std::int64_t nextAudioPosition(std::int64_t position, std::int64_t granule, int count, int n) {
  if (granule >= 0) return granule - count + n;
  // A damaged stream can put the count anywhere; it stops at the top.
  return position > INT64_MAX - n ? INT64_MAX : position + n;
}

std::int64_t frameTime(std::int64_t frame, std::uint32_t rateNum, std::uint32_t rateDen) {
  if (frame < 0 || rateNum == 0) return 0;
#if defined(__SIZEOF_INT128__)
  const __int128 t = static_cast<__int128>(frame) * rateDen * 10000000 / rateNum;
  return t > INT64_MAX ? INT64_MAX : static_cast<std::int64_t>(t);
#else
  const long double t = static_cast<long double>(frame) * rateDen * 10000000.0L / rateNum;
  return t >= 9.2e18L ? INT64_MAX : static_cast<std::int64_t>(t);
#endif
}

}  // namespace ogg

COggDecoder::COggDecoder(kolm::IVideoDownstream* videoSink, kolm::IAudioDownstream* audioSink, kolm::CStream* stream)
    : mainStream_(stream),
      audioSource_(stream ? stream->reopen() : nullptr),
      videoSink_(videoSink),
      audioSink_(audioSink),
      videoStream_(stream),
      audioStream_(audioSource_.get()) {
  th_info_init(&theoraInfo);
  th_comment_init(&theoraComment);
  vorbis_info_init(&vorbisInfo);
  vorbis_comment_init(&vorbisComment);
  std::memset(&vorbisDsp_, 0, sizeof vorbisDsp_);
  std::memset(&vorbisBlock_, 0, sizeof vorbisBlock_);
}

COggDecoder::~COggDecoder() {
  dropPicture();
  if (currentAudio_ && audioPool_) audioPool_->release(currentAudio_);
  currentAudio_ = nullptr;
  if (vorbisReady_) {
    vorbis_block_clear(&vorbisBlock_);
    vorbis_dsp_clear(&vorbisDsp_);
  }
  vorbis_comment_clear(&vorbisComment);
  vorbis_info_clear(&vorbisInfo);
  if (theoraDecoder_) {
    th_stripe_callback none{nullptr, nullptr};
    th_decode_ctl(theoraDecoder_, TH_DECCTL_SET_STRIPE_CB, &none, sizeof none);
    th_decode_free(theoraDecoder_);
  }
  th_comment_clear(&theoraComment);
  th_info_clear(&theoraInfo);
  th_setup_free(theoraSetup_);
}

void COggDecoder::setPostprocess(bool on) {
  postprocess_ = on;
  if (theoraDecoder_) {
    int level = on ? 1 : 0;
    th_decode_ctl(theoraDecoder_, TH_DECCTL_SET_PPLEVEL, &level, sizeof level);
  }
}

void COggDecoder::parseHeaders() {
  theoraActive = false;
  if (videoStream_.findStream()) {
    // The first group holds the identification header alone.
    headerResult = th_decode_headerin(&theoraInfo, &theoraComment, &theoraSetup_, videoStream_.packet());
    if (headerResult >= 0) {
      theoraActive = true;
      theoraHeaders = 1;
    }
    videoStream_.resetPackets();
    bool readOk = true;
    // The count is tested only between page groups, so the stage ends having
    // read the first group of picture data, which videoStep() starts with.
    while (theoraActive && headerResult != 0 && readOk && theoraHeaders < 3) {
      while (headerResult != 0 && videoStream_.nextPacket()) {
        headerResult = th_decode_headerin(&theoraInfo, &theoraComment, &theoraSetup_, videoStream_.packet());
        if (headerResult < 0) throw ogg::CHeaderError(ogg::theoraHeaderError);
        ++theoraHeaders;
        // A picture packet in the same group as the headers is decoded, not lost.
        if (headerResult == 0) videoStream_.unreadPacket();
      }
      if (headerResult == 0) break;
      videoStream_.resetPackets();
      readOk = videoStream_.readPage();
    }
  }

  vorbisActive = false;
  if (audioStream_.findStream() && audioStream_.nextPacket()) {
    if (vorbis_synthesis_headerin(&vorbisInfo, &vorbisComment, audioStream_.packet()) >= 0) {
      vorbisActive = true;
      vorbisHeaders = 1;
    }
    bool readOk = true;
    while (vorbisActive && vorbisHeaders < 3 && readOk) {
      while (vorbisHeaders < 3 && audioStream_.nextPacket()) {
        if (vorbis_synthesis_headerin(&vorbisInfo, &vorbisComment, audioStream_.packet()) != 0)
          throw ogg::CHeaderError(ogg::vorbisHeaderError);
        ++vorbisHeaders;
      }
      // No sound data is read ahead: what follows the headers waits for audioStep().
      if (vorbisHeaders >= 3) break;
      audioStream_.resetPackets();
      readOk = audioStream_.readPage();
    }
  }
}

bool COggDecoder::open() {
  // Once only: the codecs are set up for one pass over one file.
  if (opened_) return theoraActive;
  opened_ = true;
  theoraActive = vorbisActive = false;
  theoraHeaders = vorbisHeaders = 0;
  frameTime = 0;
  if (!mainStream_) return false;
  mainStream_->seek(0, kolm::fromBegin);
  parseHeaders();

  // A stream we cannot show is refused like a file without one.
  const std::uint64_t area = static_cast<std::uint64_t>(theoraInfo.frame_width) * theoraInfo.frame_height;
  if (theoraActive && (theoraInfo.pic_width == 0 || theoraInfo.pic_height == 0 || area > frameAreaLimit))
    theoraActive = false;
  if (theoraActive) {
    // Without complete headers there is no decoder; the file then shows nothing.
    theoraDecoder_ = th_decode_alloc(&theoraInfo, theoraSetup_);
    if (theoraDecoder_) {
      int level = postprocess_ ? 1 : 0;
      th_decode_ctl(theoraDecoder_, TH_DECCTL_SET_PPLEVEL, &level, sizeof level);
      th_stripe_callback callback{this, &COggDecoder::stripeThunk};
      th_decode_ctl(theoraDecoder_, TH_DECCTL_SET_STRIPE_CB, &callback, sizeof callback);
    }
    region_.x = static_cast<int>(theoraInfo.pic_x);
    region_.y = static_cast<int>(theoraInfo.pic_y);
    region_.width = static_cast<int>(theoraInfo.pic_width);
    region_.height = static_cast<int>(theoraInfo.pic_height);
  }
  if (vorbisActive) {
    // Headers cut short by the end of the file leave nothing to synthesise with.
    if (vorbisHeaders < 3 || vorbis_synthesis_init(&vorbisDsp_, &vorbisInfo) != 0) {
      vorbisActive = false;
    } else {
      vorbis_block_init(&vorbisDsp_, &vorbisBlock_);
      vorbisReady_ = true;
    }
  }
  if (!theoraActive) return false;

  decodeMilliseconds = 0;
  videoPool_ = videoSink_ ? videoSink_->sampleQueue() : nullptr;
  if (videoPool_) {
    // Rounded up to even so that the 4:2:0 chroma covers an odd last column or row.
    const int width = static_cast<int>(std::min<std::uint32_t>(theoraInfo.pic_width + 1, INT_MAX - 1) & ~1u);
    const int height = static_cast<int>(std::min<std::uint32_t>(theoraInfo.pic_height + 1, INT_MAX - 1) & ~1u);
    int count = 0, agreedWidth = 0, agreedHeight = 0;
    videoPool_->setFormat(5, width, height, &count, &agreedWidth, &agreedHeight);
    if (!videoPool_->allocate()) return false;
  }
  if (vorbisActive && audioSink_) {
    audioPool_ = audioSink_->sampleQueue();
    if (audioPool_) {
      AudioFormat requested;
      // We never put out more than two channels: the rest are mixed down.
      requested.channels = static_cast<std::uint32_t>(std::min(vorbisInfo.channels, 2));
      requested.sampleRate = static_cast<std::uint32_t>(vorbisInfo.rate);
      requested.bitsPerSample = 16;
      requested.milliseconds = 200;
      audioPool_->setFormat(5, requested, &audioCount, &audioFormat);
      if (ogg::canConvertPcm(vorbisInfo.channels, static_cast<int>(audioFormat.channels),
                             static_cast<int>(audioFormat.bitsPerSample)))
        audioPool_->allocate();  // an empty pool ends audioStep() at once
      else
        audioPool_ = nullptr;
    }
    audioPosition = 0;
  }
  return true;
}

void COggDecoder::stripeThunk(void* context, th_ycbcr_buffer planes, int yFragStart, int yFragEnd) {
  static_cast<COggDecoder*>(context)->onStripe(planes, yFragStart, yFragEnd);
}

bool COggDecoder::beginPicture() {
  pictureReady_ = false;
  pictureLocked_ = false;
  // The wait for a free picture is pacing, not decoding: kept out of the
  // decode time.
  const std::uint64_t waitStart = kolm::sys::milliseconds();
  const bool acquired = videoPool_ && videoPool_->acquire(&currentPicture_);
  pictureWaitMs_ += kolm::sys::milliseconds() - waitStart;
  if (!acquired) {
    currentPicture_ = nullptr;
    return false;
  }
  YV12Planes planes;
  if (currentPicture_->lockPlanes(&planes)) {
    pictureLocked_ = true;
    planeTable_.address[0] = planes.y;
    planeTable_.pitch[0] = planes.pitchY;
    planeTable_.address[1] = planes.v;
    planeTable_.pitch[1] = planes.pitchC;
    planeTable_.address[2] = planes.u;
    planeTable_.pitch[2] = planes.pitchC;
    planeTable_.width = planes.width;
    planeTable_.height = planes.height;
    pictureReady_ = true;
  }
  return true;
}

void COggDecoder::onStripe(th_ycbcr_buffer planes, int yFragStart, int yFragEnd) {
  if (!currentPicture_ && !beginPicture()) return;
  if (pictureReady_) ogg::copyStripe(planes, region_, planeTable_, yFragStart, yFragEnd);
}

// A zero-length packet repeats the last picture; the library gives no stripes
// for it, so the whole frame it still holds is copied once more.
bool COggDecoder::repeatPicture() {
  th_ycbcr_buffer planes;
  if (th_decode_ycbcr_out(theoraDecoder_, planes) != 0) return false;
  if (!currentPicture_ && !beginPicture()) return true;
  if (pictureReady_) ogg::copyStripe(planes, region_, planeTable_, 0, (planes[0].height + 7) / 8);
  return true;
}

void COggDecoder::deliverPicture(std::int64_t time) {
  if (!currentPicture_) return;
  if (pictureLocked_) currentPicture_->unlockPlanes();
  currentPicture_->time = time;
  ++picturesDelivered;
  if (presentPictures && videoSink_)
    videoSink_->deliver(currentPicture_);
  else
    videoPool_->release(currentPicture_);
  currentPicture_ = nullptr;
  pictureReady_ = pictureLocked_ = false;
}

void COggDecoder::dropPicture() {
  if (!currentPicture_) return;
  if (pictureLocked_) currentPicture_->unlockPlanes();
  if (videoPool_) videoPool_->release(currentPicture_);
  currentPicture_ = nullptr;
  pictureReady_ = pictureLocked_ = false;
}

bool COggDecoder::videoStep() {
  if (!theoraActive || !theoraDecoder_ || videoPastEnd_) return false;
  for (;;) {
    while (videoStream_.nextPacket()) {
      ogg_packet* packet = videoStream_.packet();
      if (videoSeeking_ && !takeAfterSeek(packet)) continue;
      if (packet->granulepos >= 0)
        th_decode_ctl(theoraDecoder_, TH_DECCTL_SET_GRANPOS, &packet->granulepos, sizeof packet->granulepos);
      const std::uint64_t t0 = kolm::sys::milliseconds();
      pictureWaitMs_ = 0;
      ogg_int64_t granule = -1;
      const int result = th_decode_packetin(theoraDecoder_, packet, &granule);
      bool done = false;
      // A duplicate frame is shown again, at its own time, as a player would;
      // before any picture there is nothing to repeat.
      if (result == 0 || (result == TH_DUPFRAME && lastPictureShown_ && repeatPicture())) {
        const std::int64_t frame = th_granule_frame(theoraDecoder_, granule);
        if (frame >= 0) frameTime = ogg::frameTime(frame, theoraInfo.fps_numerator, theoraInfo.fps_denominator);
        done = true;
      }
      decodeMilliseconds += static_cast<std::uint32_t>(kolm::sys::milliseconds() - t0 - pictureWaitMs_);
      if (done) {
        lastPictureShown_ = true;
        deliverPicture(frameTime);
        return true;
      }
    }
    videoStream_.resetPackets();
    if (!videoStream_.readPage()) {
      dropPicture();
      return false;
    }
  }
}

void COggDecoder::deliverAudio() {
  ++audioBlocksDelivered;
  audioSink_->deliver(currentAudio_);
  currentAudio_ = nullptr;
  // Pacing for playback: the renderer needs no more than this once it is
  // under way. The first blocks go out at once: the renderer fills its whole
  // buffer at the start, and a block that comes after its chunk was given
  // silence is dropped.
  if (audioPacing && audioBlocksDelivered > 2 * static_cast<std::int64_t>(audioCount)) {
    if (pacingWait)
      pacingWait(100);
    else
      kolm::sys::sleepMs(100);
  }
}

bool COggDecoder::audioStep() {
  if (!vorbisActive || !audioPool_ || audioEnded_) return false;
  for (;;) {
    for (;;) {
      if (!currentAudio_) {
        // No sound output means no blocks: the sound side simply ends.
        if (!audioPool_->acquire(&currentAudio_)) {
          currentAudio_ = nullptr;
          audioEnded_ = true;
          return false;
        }
        currentAudio_->frameCount = 0;
        currentAudio_->position = audioPosition;
      }
      const AudioFormat& format = currentAudio_->format;
      const std::uint32_t capacity = chunkFrames(format);
      const std::uint32_t frameBytes = blockAlign(format);
      if (capacity == 0 || frameBytes == 0 || !currentAudio_->buffer ||
          !ogg::canConvertPcm(vorbisInfo.channels, static_cast<int>(format.channels),
                              static_cast<int>(format.bitsPerSample))) {
        audioPool_->release(currentAudio_);
        currentAudio_ = nullptr;
        audioEnded_ = true;
        return false;
      }
      float** pcm = nullptr;
      const int count = vorbis_synthesis_pcmout(&vorbisDsp_, &pcm);
      if (count > 0 && audioTarget_ >= 0 && dropBeforeTarget(count)) continue;
      if (count <= 0) {
        if (!audioStream_.nextPacket()) break;
        if (audioAwaitGranule_) {
          // After a seek, decoding starts with the packet that ends the first
          // page read: its granule position places the sound that follows it.
          if (audioStream_.packet()->granulepos < 0) continue;
          audioAwaitGranule_ = false;
        }
        // A packet the synthesis rejects is skipped.
        if (vorbis_synthesis(&vorbisBlock_, audioStream_.packet()) == 0)
          vorbis_synthesis_blockin(&vorbisDsp_, &vorbisBlock_);
        continue;
      }
      const std::uint32_t filled = static_cast<std::uint32_t>(currentAudio_->frameCount);
      const int n = static_cast<int>(std::min<std::uint32_t>(static_cast<std::uint32_t>(count), capacity - filled));
      ogg::convertPcm(pcm, vorbisInfo.channels, n, static_cast<int>(format.channels),
                      static_cast<int>(format.bitsPerSample),
                      currentAudio_->buffer.get() + static_cast<std::size_t>(filled) * frameBytes);
      vorbis_synthesis_read(&vorbisDsp_, n);
      audioPosition = ogg::nextAudioPosition(audioPosition, vorbisDsp_.granulepos, count, n);
      currentAudio_->frameCount = static_cast<int>(filled) + n;
      if (filled + static_cast<std::uint32_t>(n) == capacity) {
        deliverAudio();
        return true;
      }
    }
    audioStream_.resetPackets();
    if (!audioStream_.readPage()) {
      audioEnded_ = true;
      // A sound stream that ended without one sample still sends one block of
      // silence: the sound card is the clock, and without a block it would
      // never start and the pictures would wait for ever.
      // After a seek (past the end, say) there is no such block: the clock runs already.
      if (currentAudio_ && (currentAudio_->frameCount > 0 || (audioBlocksDelivered == 0 && !audioSeeked_))) {
        // The end of the sound is seldom a whole block: the rest is silence.
        const AudioFormat& format = currentAudio_->format;
        const std::size_t frameBytes = blockAlign(format);
        std::uint8_t* begin = currentAudio_->buffer.get() + static_cast<std::size_t>(currentAudio_->frameCount) * frameBytes;
        std::uint8_t* end = currentAudio_->buffer.get() + static_cast<std::size_t>(chunkFrames(format)) * frameBytes;
        std::fill(begin, end, format.bitsPerSample == 8 ? 0x80 : 0);
        deliverAudio();
        return true;
      }
      if (currentAudio_) audioPool_->release(currentAudio_);
      currentAudio_ = nullptr;
      return false;
    }
  }
}

void COggDecoder::pixelAspect(int* numerator, int* denominator) const {
  std::uint32_t n = theoraInfo.aspect_numerator, d = theoraInfo.aspect_denominator;
  if (n == 0 || d == 0) n = d = 1;  // the stream does not say: square
  std::uint32_t a = n, b = d;
  while (b) {
    const std::uint32_t r = a % b;
    a = b;
    b = r;
  }
  n /= a;
  d /= a;
  // Both fit 24 bits in a Theora header; kept within int all the same.
  while (n > 0x7FFFFFFFu || d > 0x7FFFFFFFu) {
    n = (n + 1) / 2;
    d = (d + 1) / 2;
  }
  *numerator = static_cast<int>(n);
  *denominator = static_cast<int>(d);
}

std::int64_t COggDecoder::pictureIndex(std::int64_t granule) const {
  return theoraDecoder_ ? th_granule_frame(theoraDecoder_, granule) : -1;
}

std::int64_t COggDecoder::pictureAt(std::int64_t time) const {
  const std::uint32_t num = theoraInfo.fps_numerator, den = theoraInfo.fps_denominator;
  if (num == 0 || den == 0 || time <= 0) return 0;
#if defined(__SIZEOF_INT128__)
  const __int128 estimate = static_cast<__int128>(time) * num / (static_cast<__int128>(den) * 10000000);
  std::int64_t index = estimate > INT64_MAX / 2 ? INT64_MAX / 2 : static_cast<std::int64_t>(estimate);
#else
  const long double estimate = static_cast<long double>(time) * num / (static_cast<long double>(den) * 1e7L);
  std::int64_t index = estimate > 4.0e18L ? INT64_MAX / 2 : static_cast<std::int64_t>(estimate);
#endif
  // The estimate is off by one at most where the stamps round down; the
  // stamps themselves decide.
  for (int i = 0; i < 2 && index > 0 && ogg::frameTime(index, num, den) > time; ++i) --index;
  for (int i = 0; i < 2 && ogg::frameTime(index + 1, num, den) <= time; ++i) ++index;
  return index;
}

void COggDecoder::measure() {
  if (measured_) return;
  measured_ = true;
  if (!theoraActive || !theoraDecoder_) return;
  ogg::PageMark mark;
  const std::uint32_t serial = videoStream_.serial();
  if (ogg::lastGranulePage(mainStream_, serial, &mark)) lastPicture_ = pictureIndex(mark.granule);
  // The first picture: counted back from the first page of picture data that
  // carries a granule position (a packet is a picture), near the head.
  std::int64_t from = 0;
  constexpr std::int64_t headSpan = std::int64_t{1} << 20;
  for (int i = 0; i < 64 && ogg::findGranulePage(mainStream_, serial, from, headSpan, &mark); ++i) {
    from = mark.offset + mark.length;
    const std::int64_t index = pictureIndex(mark.granule);
    if (mark.opensHeader || index < 0) continue;
    firstPicture_ = std::max<std::int64_t>(0, index - std::max(mark.packets, 1) + 1);
    break;
  }
  if (vorbisActive && ogg::lastGranulePage(audioSource_.get(), audioStream_.serial(), &mark))
    soundLength_ = mark.granule;
}

std::int64_t COggDecoder::duration() {
  measure();
  if (lastPicture_ < 0 || lastPicture_ < firstPicture_) return -1;
  const std::uint32_t num = theoraInfo.fps_numerator, den = theoraInfo.fps_denominator;
  if (num == 0 || den == 0) return -1;
  // The last picture stays on the screen for one picture's time.
  return ogg::frameTime(lastPicture_ + 1, num, den) - ogg::frameTime(firstPicture_, num, den);
}

bool COggDecoder::canSeek() {
  measure();
  return theoraActive && theoraDecoder_ && lastPicture_ >= 0 && mainStream_ && mainStream_->size() > 0;
}

bool COggDecoder::seek(std::int64_t time) {
  if (!canSeek()) return false;
  if (time < 0) time = 0;
  seekVideo(time);
  if (vorbisReady_) seekAudio(time);
  return true;
}

void COggDecoder::seekVideo(std::int64_t time) {
  dropPicture();
  lastPictureShown_ = false;
  videoPastEnd_ = false;
  videoSeeking_ = false;
  const std::int64_t target = pictureAt(time);
  if (target > lastPicture_) {  // past the last picture: the pictures have ended
    videoPastEnd_ = true;
    return;
  }
  const std::uint32_t serial = videoStream_.serial();
  const int shift = theoraInfo.keyframe_granule_shift;
  ogg::PageMark mark;
  bool fromTop = true;
  // The last page ending at or before the target names the keyframe its last
  // picture depends on; decoding starts on the page after the last one that
  // ends before that keyframe.
  if (shift >= 0 && shift < 63 &&
      ogg::lastPageBefore(mainStream_, serial, [&](std::int64_t g) { return pictureIndex(g) <= target; }, &mark)) {
    const std::int64_t keyframe = pictureIndex(mark.granule >> shift << shift);
    fromTop = keyframe < 0 ||
              !ogg::lastPageBefore(mainStream_, serial, [&](std::int64_t g) { return pictureIndex(g) < keyframe; },
                                   &mark);
  }
  if (fromTop) {
    // The header packets are read again and dropped.
    videoStream_.restartAt(0);
    videoAwaitGranule_ = false;
    seekNextPicture_ = firstPicture_;
  } else {
    videoStream_.restartAt(mark.offset);
    videoAwaitGranule_ = true;
    seekNextPicture_ = -1;
  }
  videoSeeking_ = true;
}

bool COggDecoder::takeAfterSeek(ogg_packet* packet) {
  if (packet->bytes > 0 && (packet->packet[0] & 0x80)) return false;  // a header packet
  if (videoAwaitGranule_) {
    // The packets ending on the first page read, up to the one carrying its
    // granule position, come before the keyframe; they give the count.
    if (packet->granulepos >= 0) {
      videoAwaitGranule_ = false;
      const std::int64_t index = pictureIndex(packet->granulepos);
      seekNextPicture_ = index >= 0 ? index + 1 : -1;
    }
    return false;
  }
  const std::int64_t index = packet->granulepos >= 0 ? pictureIndex(packet->granulepos) : seekNextPicture_;
  seekNextPicture_ = index >= 0 ? index + 1 : -1;
  if (th_packet_iskeyframe(packet) != 1) return false;
  videoSeeking_ = false;
  if (index >= 0 && packet->granulepos < 0) {
    // The decoder counts on from the keyframe's own granule position, so the
    // pictures carry the stamps a play from the start gives them.
    const bool countFromOne = theoraInfo.version_major > 3 ||
                              (theoraInfo.version_major == 3 &&
                               (theoraInfo.version_minor > 2 ||
                                (theoraInfo.version_minor == 2 && theoraInfo.version_subminor >= 1)));
    ogg_int64_t granule = (index + (countFromOne ? 1 : 0)) << theoraInfo.keyframe_granule_shift;
    th_decode_ctl(theoraDecoder_, TH_DECCTL_SET_GRANPOS, &granule, sizeof granule);
  }
  return true;
}

void COggDecoder::seekAudio(std::int64_t time) {
  if (currentAudio_ && audioPool_) audioPool_->release(currentAudio_);
  currentAudio_ = nullptr;
  vorbis_synthesis_restart(&vorbisDsp_);
  audioSeeked_ = true;
  audioEnded_ = false;
  audioAwaitGranule_ = false;
  // The first blocks after a seek go out unpaced, as at the start.
  audioBlocksDelivered = 0;
  const std::int64_t rate = vorbisInfo.rate > 0 ? vorbisInfo.rate : 0;
#if defined(__SIZEOF_INT128__)
  const __int128 exact = (static_cast<__int128>(time) * rate + 5000000) / 10000000;
  const std::int64_t target = exact > INT64_MAX ? INT64_MAX : static_cast<std::int64_t>(exact);
#else
  const std::int64_t target = static_cast<std::int64_t>(std::floor(static_cast<long double>(time) * rate / 1e7L + 0.5L));
#endif
  audioTarget_ = target;
  if (soundLength_ >= 0 && target >= soundLength_) {  // past the sound's end
    audioEnded_ = true;
    return;
  }
  ogg::PageMark mark;
  if (target > 0 &&
      ogg::lastPageBefore(audioSource_.get(), audioStream_.serial(), [&](std::int64_t g) { return g < target; },
                          &mark)) {
    audioStream_.restartAt(mark.offset);
    audioAwaitGranule_ = true;
    audioPosition = mark.granule;
  } else {
    // From the top, as a play from the start: the header packets are rejected by the synthesis.
    audioStream_.restartAt(0);
    audioPosition = 0;
  }
}

bool COggDecoder::dropBeforeTarget(int count) {
  const std::int64_t start = vorbisDsp_.granulepos >= 0 ? vorbisDsp_.granulepos - count : audioPosition;
  if (start >= audioTarget_) {
    // The target reached: the block being filled starts here.
    audioTarget_ = -1;
    audioPosition = start;
    if (currentAudio_ && currentAudio_->frameCount == 0) currentAudio_->position = start;
    return false;
  }
  const int drop = static_cast<int>(std::min<std::int64_t>(count, audioTarget_ - start));
  vorbis_synthesis_read(&vorbisDsp_, drop);
  audioPosition = start + drop;
  return true;
}

