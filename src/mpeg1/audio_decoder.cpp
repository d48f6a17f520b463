#include "mpeg1/audio_decoder.h"

#include <mpg123.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "kolm/audio_sample_queue.h"
#include "kolm/clock.h"
#include "mpeg1/time_stamps.h"

namespace {

// libmpg123 before 1.27 wants one call before any handle; later ones ignore it.
bool libraryReady() {
  static const bool ready = mpg123_init() == MPG123_OK;
  return ready;
}

// Bytes handed to libmpg123 per feed.
constexpr int feedBytes = 4096;
// Damaged frames in a row before the sound is given up.
constexpr int maxErrorsInARow = 64;

}  // namespace

CMpegAudioDecoder::CMpegAudioDecoder(kolm::IAudioDownstream* sink, std::unique_ptr<kolm::CStream> stream,
                                     int streamNumber)
    : sink_(sink), stream_(std::move(stream)), streamNumber_(streamNumber) {}

CMpegAudioDecoder::~CMpegAudioDecoder() {
  if (current_ && pool_) pool_->release(current_);
  current_ = nullptr;
  if (handle_) mpg123_delete(handle_);
}

bool CMpegAudioDecoder::open(std::int64_t timeBase) {
  if (!stream_) {
    problem_ = "the file cannot be opened a second time for its sound";
    return false;
  }
  reader_ = std::make_unique<CMpegStreamReader>(stream_.get());
  if (!reader_->detectFormat() || !(payload_ = reader_->openAudioStream(streamNumber_))) {
    problem_ = "the sound stream cannot be read";
    return false;
  }
  int error = MPG123_OK;
  if (libraryReady()) handle_ = mpg123_new(nullptr, &error);
  if (!handle_) {
    problem_ = std::string("the MPEG audio decoder cannot start (") + mpg123_plain_strerror(error) + ")";
    return false;
  }
  // Quiet: damage is ours to report. The search for the next frame is bounded
  // here, by the bytes fed, not by the library.
  mpg123_param(handle_, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
  mpg123_param(handle_, MPG123_RESYNC_LIMIT, -1, 0);
  // 16-bit samples at the stream's own rate and channel count.
  mpg123_format_none(handle_);
  const long* rates = nullptr;
  std::size_t rateCount = 0;
  mpg123_rates(&rates, &rateCount);
  for (std::size_t i = 0; i < rateCount; ++i)
    mpg123_format(handle_, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
  if (mpg123_open_feed(handle_) != MPG123_OK) {
    problem_ = "the MPEG audio decoder cannot start";
    return false;
  }

  // Random data passes for a frame header now and then, never for several
  // frames of one format in a row.
  int searched = 0;
  for (int frames = 0; frames < framesToAccept; ++frames) {
    if (!decodeFrame(maxSearch - searched, &searched)) {
      problem_ = "no MPEG audio in the sound stream";
      return false;
    }
  }
  mpg123_frameinfo info{};
  if (mpg123_info(handle_, &info) == MPG123_OK) layer_ = info.layer;
  frameSamples_ = mpg123_spf(handle_) > 0 ? mpg123_spf(handle_) : 0;

  // The first packet's stamp is the first frame's.
  std::int64_t soundPts = -1;
  if (timeBase >= 0 && payload_->claimTimeStamp(0, &soundPts)) {
    timeBase_ = timeBase;
    firstPts_ = soundPts;
    const std::int64_t ticks = mpeg1::ptsDifference(soundPts, timeBase);
    const std::int64_t frames = (ticks * sourceRate_ + (ticks >= 0 ? 1 : -1) * mpeg1::ptsClock / 2) / mpeg1::ptsClock;
    if (std::llabs(frames) <= static_cast<std::int64_t>(maxLeadSeconds) * sourceRate_) lead_ = frames;
  }
  if (lead_ > 0) {
    silenceLeft_ = lead_;
  } else {
    // What was decoded already is cut first.
    trimLeft_ = -lead_;
    const std::size_t buffered = pcm_.size() / 2;
    const std::size_t cut = static_cast<std::size_t>(std::min<std::int64_t>(trimLeft_, static_cast<std::int64_t>(buffered)));
    pcmRead_ = cut * 2;
    trimLeft_ -= static_cast<std::int64_t>(cut);
  }

  pool_ = sink_ ? sink_->sampleQueue() : nullptr;
  if (pool_) {
    AudioFormat requested;
    requested.channels = static_cast<std::uint32_t>(sourceChannels_);
    requested.sampleRate = static_cast<std::uint32_t>(sourceRate_);
    requested.bitsPerSample = 16;
    requested.milliseconds = 200;
    int count = 0;
    AudioFormat agreed;
    pool_->setFormat(5, requested, &count, &agreed);
    // An empty pool (no buffer could be made) ends audioStep() at once.
    pool_->allocate();
  }
  return true;
}

std::int64_t CMpegAudioDecoder::frameAt(std::int64_t pts) const {
  // Frames follow each other without gaps from the first one, so a stamp
  // names a whole number of MPEG frames after it: the rounding of the 90 kHz
  // stamps goes no further.
  const std::int64_t ticks = mpeg1::ptsDifference(pts, firstPts_);
  const std::int64_t frames = ticks * sourceRate_ / mpeg1::ptsClock;
  const std::int64_t whole = (ticks >= 0 ? frames + frameSamples_ / 2 : frames - frameSamples_ / 2) / frameSamples_;
  return lead_ + whole * frameSamples_;
}

bool CMpegAudioDecoder::seek(std::int64_t time) {
  if (!canSeek() || !reader_ || !payload_ || !handle_) return false;
  if (time < 0) time = 0;
  const std::int64_t target = (time * sourceRate_ + kolm::unitsPerSecond / 2) / kolm::unitsPerSecond;
  // Decoding starts some frames early: the synthesis filter (and a layer III
  // bit reservoir) must be filled as a play from the start fills it.
  const std::int64_t early = target - 4 * static_cast<std::int64_t>(frameSamples_);
  std::int64_t bestPosition = 0, bestFrame = lead_;  // the first packet
  constexpr std::int64_t probeLimit = 256 << 10;
  const std::int64_t size = reader_->fileSize();
  if (early > lead_ && size > 0) {
    // Bisection: the last stamped packet (of those probed) that starts
    // before the early frame.
    std::int64_t lo = 0, hi = size;
    for (int round = 0; round < 64 && hi - lo > 4096; ++round) {
      const std::int64_t mid = lo + (hi - lo) / 2;
      std::int64_t at = 0, pts = -1;
      if (reader_->nextTimeStamp(true, streamNumber_, mid, probeLimit, &at, &pts) && at < hi) {
        const std::int64_t frame = frameAt(pts);
        if (frame <= early) {
          if (frame >= bestFrame) {
            bestPosition = at;
            bestFrame = frame;
          }
          lo = mid;
          continue;
        }
      }
      hi = mid;
    }
  }
  if (current_ && pool_) pool_->release(current_);
  current_ = nullptr;
  payload_->reposition(bestPosition);
  // Afresh: the library forgets what it was fed and finds the next frame.
  if (mpg123_open_feed(handle_) != MPG123_OK) return false;
  pcm_.clear();
  pcmRead_ = 0;
  ended_ = false;
  position_ = target;
  silenceLeft_ = bestFrame > target ? bestFrame - target : 0;
  trimLeft_ = bestFrame < target ? target - bestFrame : 0;
  return true;
}

void CMpegAudioDecoder::takeFrame(const std::uint8_t* data, std::size_t bytes) {
  const std::size_t frames = bytes / (2 * static_cast<std::size_t>(channels_));
  std::size_t skip = static_cast<std::size_t>(std::min<std::int64_t>(trimLeft_, static_cast<std::int64_t>(frames)));
  trimLeft_ -= static_cast<std::int64_t>(skip);
  if (pcmRead_ > 0) {
    pcm_.erase(pcm_.begin(), pcm_.begin() + static_cast<std::ptrdiff_t>(pcmRead_));
    pcmRead_ = 0;
  }
  const std::size_t at = pcm_.size();
  pcm_.resize(at + 2 * (frames - skip));
  std::int16_t* out = pcm_.data() + at;
  for (std::size_t i = skip; i < frames; ++i) {
    std::int16_t left, right;
    std::memcpy(&left, data + 2 * i * static_cast<std::size_t>(channels_), 2);
    right = left;
    if (channels_ == 2) std::memcpy(&right, data + (2 * i + 1) * 2, 2);
    *out++ = left;
    *out++ = right;
  }
}

bool CMpegAudioDecoder::decodeFrame(int maxRead, int* total) {
  int read = 0;
  int errors = 0;
  std::uint8_t input[feedBytes];
  for (;;) {
    off_t number = 0;
    unsigned char* data = nullptr;
    std::size_t bytes = 0;
    const int result = mpg123_decode_frame(handle_, &number, &data, &bytes);
    if (result == MPG123_NEW_FORMAT) {
      long rate = 0;
      int channels = 0, encoding = 0;
      if (mpg123_getformat(handle_, &rate, &channels, &encoding) != MPG123_OK || encoding != MPG123_ENC_SIGNED_16 ||
          channels < 1 || channels > 2 || rate <= 0)
        return false;
      // The pool plays one rate: a stream that changes it ends there.
      if (sourceRate_ != 0 && rate != sourceRate_) return false;
      if (sourceRate_ == 0) {
        sourceRate_ = rate;
        sourceChannels_ = channels;
      }
      channels_ = channels;
      continue;
    }
    if (result == MPG123_OK && bytes > 0 && data && channels_ > 0) {
      takeFrame(data, bytes);
      return true;
    }
    if (result == MPG123_NEED_MORE) {
      if (read >= maxRead) return false;
      const int got = payload_->readPayload(input, feedBytes);
      if (got <= 0) return false;
      read += got;
      *total += got;
      if (mpg123_feed(handle_, input, static_cast<std::size_t>(got)) != MPG123_OK) return false;
      continue;
    }
    if (result == MPG123_DONE) return false;
    // A damaged frame: the library looks for the next one on the next call.
    if (++errors > maxErrorsInARow) return false;
  }
}

bool CMpegAudioDecoder::audioStep() {
  if (ended_ || !pool_) return false;
  if (!current_) {
    // No sound output means no blocks: the sound side simply ends.
    if (!pool_->acquire(&current_)) {
      current_ = nullptr;
      ended_ = true;
      return false;
    }
    current_->frameCount = 0;
    current_->position = position_;
  }
  const AudioFormat& format = current_->format;
  const std::uint32_t capacity = chunkFrames(format);
  const std::uint32_t frameBytes = blockAlign(format);
  const int outChannels = static_cast<int>(format.channels);
  const bool eightBit = format.bitsPerSample == 8;
  if (capacity == 0 || frameBytes == 0 || !current_->buffer || outChannels < 1 ||
      !(eightBit || format.bitsPerSample == 16)) {
    pool_->release(current_);
    current_ = nullptr;
    ended_ = true;
    return false;
  }
  std::uint8_t* const block = current_->buffer.get();
  const auto put = [&](std::uint32_t frame, int channel, int value) {
    std::uint8_t* at = block + static_cast<std::size_t>(frame) * frameBytes;
    if (eightBit) {
      at[channel] = static_cast<std::uint8_t>((value >> 8) + 128);
    } else {
      const std::int16_t sample = static_cast<std::int16_t>(value);
      std::memcpy(at + 2 * channel, &sample, 2);
    }
  };
  std::uint32_t filled = static_cast<std::uint32_t>(current_->frameCount);
  while (filled < capacity) {
    if (silenceLeft_ > 0) {
      const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::int64_t>(silenceLeft_, capacity - filled));
      std::fill(block + static_cast<std::size_t>(filled) * frameBytes,
                block + static_cast<std::size_t>(filled + n) * frameBytes, eightBit ? 0x80 : 0);
      filled += n;
      silenceLeft_ -= n;
      continue;
    }
    const std::size_t available = (pcm_.size() - pcmRead_) / 2;
    if (available == 0) {
      int read = 0;
      if (!decodeFrame(maxDryRead, &read)) {
        ended_ = true;
        break;
      }
      continue;
    }
    const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(available, capacity - filled));
    const std::int16_t* in = pcm_.data() + pcmRead_;
    for (std::uint32_t i = 0; i < n; ++i, in += 2) {
      if (outChannels == 1) {
        // A mono stream comes back whole; stereo is mixed.
        put(filled + i, 0, (in[0] + in[1]) >> 1);
        continue;
      }
      put(filled + i, 0, in[0]);
      put(filled + i, 1, in[1]);
      for (int c = 2; c < outChannels; ++c) put(filled + i, c, 0);
    }
    pcmRead_ += 2 * static_cast<std::size_t>(n);
    filled += n;
  }
  current_->frameCount = static_cast<int>(filled);
  if (filled == 0) {
    pool_->release(current_);
    current_ = nullptr;
    return false;
  }
  // The end of the sound is seldom a whole block: the rest is silence.
  std::fill(block + static_cast<std::size_t>(filled) * frameBytes,
            block + static_cast<std::size_t>(capacity) * frameBytes, eightBit ? 0x80 : 0);
  position_ += capacity;
  CAudioSample* done = current_;
  current_ = nullptr;
  sink_->deliver(done);
  return true;
}
