#include "audio/dx_sound.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

namespace kolm {

namespace {

// A lost buffer is asked this many times, this far apart, to come back.
constexpr int restoreAttempts = 100;
constexpr unsigned restorePauseMs = 10;

constexpr std::uint32_t streamingBufferFlags =
    ds::bufferGetCurrentPosition2 | ds::bufferGlobalFocus | ds::bufferCtrlPositionNotify | ds::bufferCtrlVolume;

}  // namespace

PcmFormat pcmFormat(const AudioFormat& format) {
  PcmFormat wave;
  wave.channels = static_cast<std::uint16_t>(format.channels);
  wave.samplesPerSec = format.sampleRate;
  wave.bitsPerSample = static_cast<std::uint16_t>(format.bitsPerSample);
  wave.blockAlign = static_cast<std::uint16_t>(blockAlign(format));
  wave.avgBytesPerSec = format.sampleRate * wave.blockAlign;
  return wave;
}

// ---- CDXStreamingSound --------------------------------------------------------

CDXStreamingSound::CDXStreamingSound(std::unique_ptr<ISoundBuffer> buffer, std::uint32_t totalBytes,
                                     std::uint32_t chunkBytes, const AudioFormat& format)
    : buffer_(std::move(buffer)),
      totalBytes_(totalBytes),
      chunkBytes_(chunkBytes),
      format_(format),
      blockBytes_(std::max<std::uint32_t>(1, blockAlign(format))) {
  if (!buffer_ || ds::failed(buffer_->getCaps(&caps_))) caps_ = SoundBufferCaps{};
}

CDXStreamingSound::~CDXStreamingSound() = default;

HResult CDXStreamingSound::restoreIfLost(bool* restored) {
  *restored = false;
  if (!buffer_) return ds::coNotInitialized;
  std::uint32_t status = 0;
  const HResult hr = buffer_->getStatus(&status);
  if (ds::failed(hr)) return hr;
  if (!(status & ds::statusBufferLost)) return ds::sFalse;
  for (int attempt = 0; attempt < restoreAttempts; ++attempt) {
    const HResult restore = buffer_->restore();
    if (ds::succeeded(restore)) {
      *restored = true;
      return ds::ok;
    }
    // Only "still lost" is worth waiting for; anything else will not pass.
    if (restore != ds::errBufferLost) return restore;
    sys::sleepMs(restorePauseMs);
  }
  return ds::sFalse;
}

HResult CDXStreamingSound::fillSilence() {
  bool restored = false;
  HResult hr = restoreIfLost(&restored);
  if (ds::failed(hr)) return hr;
  void* region = nullptr;
  std::uint32_t bytes = 0;
  hr = buffer_->lock(0, totalBytes_, &region, &bytes, nullptr, nullptr, 0);
  if (ds::failed(hr)) return hr;
  if (region) std::memset(region, silenceByte(), bytes);
  return buffer_->unlock(region, bytes, nullptr, 0);
}

bool CDXStreamingSound::prepareWrite() {
  bool restored = false;
  if (ds::failed(restoreIfLost(&restored))) return false;
  // A restored buffer holds garbage.
  return !restored || ds::succeeded(fillSilence());
}

HResult CDXStreamingSound::reset() {
  // Both counts start again from 0: a reset buffer (a seek) has played
  // nothing, and the clock must not count the rewind as a wrap.
  {
    sys::Guard guard(playedLock_);
    lastCursor_ = 0;
    wrapFrames_ = 0;
  }
  {
    sys::Guard guard(clockLock_);
    clockCursor_ = 0;
    clockWrapFrames_ = 0;
  }
  writeOffset_ = 0;
  filled_ = false;
  silencedChunks_ = 0;
  bool restored = false;
  const HResult hr = restoreIfLost(&restored);
  if (hr == ds::coNotInitialized) return hr;
  if (restored) fillSilence();
  return buffer_->setCurrentPosition(0);
}

std::uint8_t* CDXStreamingSound::lockChunk(std::uint32_t offset, std::uint32_t* bytes) {
  void* region1 = nullptr;
  void* region2 = nullptr;
  std::uint32_t bytes1 = 0;
  std::uint32_t bytes2 = 0;
  if (ds::failed(buffer_->lock(offset, chunkBytes_, &region1, &bytes1, &region2, &bytes2, 0))) return nullptr;
  // Chunks are aligned and never wrap; a split lock means the buffer is not
  // what it was made as.
  if (!region1 || (region2 && bytes2 > 0)) {
    buffer_->unlock(region1, 0, region2, 0);
    return nullptr;
  }
  *bytes = bytes1;
  return static_cast<std::uint8_t*>(region1);
}

bool CDXStreamingSound::writeFirst(const void* data, std::uint32_t length) {
  if (!buffer_) return false;
  std::uint32_t status = 0;
  if (ds::failed(buffer_->getStatus(&status)) || (status & ds::statusPlaying)) return false;
  if (!prepareWrite()) return false;
  std::uint32_t bytes = 0;
  std::uint8_t* region = lockChunk(0, &bytes);
  if (!region) return false;
  const std::uint32_t copied = std::min(length, bytes);
  if (data) std::memcpy(region, data, copied);
  // A short first block is padded, so that every later chunk stays aligned.
  std::memset(region + copied, silenceByte(), bytes - copied);
  buffer_->unlock(region, bytes, nullptr, 0);
  writeOffset_ = chunkBytes_ % totalBytes_;
  filled_ = writeOffset_ == 0;
  buffer_->setCurrentPosition(0);
  return true;
}

bool CDXStreamingSound::writeChunk(const void* data, std::uint32_t length) {
  if (!buffer_ || length != chunkBytes_ || !data) return false;
  if (!prepareWrite()) return false;
  std::uint32_t bytes = 0;
  std::uint8_t* region = lockChunk(writeOffset_, &bytes);
  if (!region) return false;
  const std::uint32_t copied = std::min(length, bytes);
  std::memcpy(region, data, copied);
  std::memset(region + copied, silenceByte(), bytes - copied);
  buffer_->unlock(region, bytes, nullptr, 0);
  updatePlayed();
  writeOffset_ = (writeOffset_ + chunkBytes_) % totalBytes_;
  if (writeOffset_ == 0) filled_ = true;
  return true;
}

bool CDXStreamingSound::writeSilence() {
  if (!buffer_) return false;
  if (!prepareWrite()) return false;
  std::uint32_t bytes = 0;
  std::uint8_t* region = lockChunk(writeOffset_, &bytes);
  if (!region) return false;
  std::memset(region, silenceByte(), bytes);
  buffer_->unlock(region, bytes, nullptr, 0);
  updatePlayed();
  writeOffset_ = (writeOffset_ + chunkBytes_) % totalBytes_;
  if (writeOffset_ == 0) filled_ = true;
  return true;
}

int CDXStreamingSound::silencePlayedChunks() {
  if (!buffer_ || chunkBytes_ == 0) return 0;
  std::uint32_t cursor = 0;
  std::uint64_t played = 0;
  if (!readPlayed(&cursor, &played)) return 0;
  const std::uint64_t chunkFrames = chunkBytes_ / blockBytes_;
  const std::uint64_t chunkCount = totalBytes_ / chunkBytes_;
  if (chunkFrames == 0) return 0;
  const std::uint64_t current = played / chunkFrames;  // the chunk playing now
  if (current <= silencedChunks_) return 0;
  // Only the other chunks can need it, however long it has been.
  std::uint64_t first = silencedChunks_;
  if (current - first > chunkCount - 1) first = current - (chunkCount - 1);
  silencedChunks_ = current;
  if (!prepareWrite()) return 0;
  int filled = 0;
  for (std::uint64_t index = first; index < current; ++index) {
    const auto offset = static_cast<std::uint32_t>(index % chunkCount) * chunkBytes_;
    if (offset == writeOffset_) continue;
    std::uint32_t bytes = 0;
    std::uint8_t* region = lockChunk(offset, &bytes);
    if (!region) continue;
    std::memset(region, silenceByte(), bytes);
    buffer_->unlock(region, bytes, nullptr, 0);
    ++filled;
  }
  return filled;
}

HResult CDXStreamingSound::play(std::uint32_t priority, std::uint32_t flags, std::int32_t volume,
                                std::int32_t frequency, std::int32_t pan) {
  if (!buffer_) return ds::coNotInitialized;
  bool restored = false;
  HResult hr = restoreIfLost(&restored);
  if (ds::failed(hr)) return hr;
  if (restored) {
    hr = fillSilence();
    if (ds::failed(hr)) return hr;
  }
  if (caps_.flags & ds::bufferCtrlVolume) buffer_->setVolume(volume);
  if (frequency != -1 && (caps_.flags & ds::bufferCtrlFrequency))
    buffer_->setFrequency(static_cast<std::uint32_t>(frequency));
  if (caps_.flags & ds::bufferCtrlPan) buffer_->setPan(pan);
  std::uint32_t cursor = 0;
  if (ds::failed(buffer_->getCurrentPosition(&cursor, nullptr))) cursor = 0;
  {
    sys::Guard guard(playedLock_);
    wrapFrames_ = 0;
  }
  {
    sys::Guard guard(clockLock_);
    clockCursor_ = 0;
    clockWrapFrames_ = 0;
  }
  silencedChunks_ = chunkBytes_ ? cursor / chunkBytes_ : 0;
  return buffer_->play(0, priority, flags | ds::playLooping);
}

HResult CDXStreamingSound::stop() { return buffer_ ? buffer_->stop() : ds::coNotInitialized; }

void CDXStreamingSound::setVolume(std::int32_t attenuation) {
  if (buffer_ && (caps_.flags & ds::bufferCtrlVolume)) buffer_->setVolume(attenuation);
}

std::int32_t CDXStreamingSound::volume() {
  std::int32_t value = ds::volumeMax;
  if (!buffer_ || ds::failed(buffer_->getVolume(&value))) return ds::volumeMax;
  return value;
}

HResult CDXStreamingSound::resume() {
  return buffer_ ? buffer_->play(0, 0, ds::playLooping) : ds::coNotInitialized;
}

bool CDXStreamingSound::readPlayed(std::uint32_t* cursor, std::uint64_t* played) {
  if (!buffer_) return false;
  // Under the lock: the producer's deliver reads this count too.
  sys::Guard guard(playedLock_);
  std::uint32_t position = 0;
  if (ds::failed(buffer_->getCurrentPosition(&position, nullptr))) return false;
  if (position < lastCursor_) wrapFrames_ += totalBytes_ / blockBytes_;
  lastCursor_ = position;
  *cursor = position;
  *played = position / blockBytes_ + wrapFrames_;
  return true;
}

bool CDXStreamingSound::updatePlayed() {
  std::uint32_t cursor = 0;
  std::uint64_t played = 0;
  return readPlayed(&cursor, &played);
}

// Counting the wrap here too, not only after writes, keeps the count right
// while nothing is written (an underrun, the end of the stream).
std::uint64_t CDXStreamingSound::playedFrames() {
  std::uint32_t cursor = 0;
  std::uint64_t played = 0;
  return readPlayed(&cursor, &played) ? played : 0;
}

bool CDXStreamingSound::nextWriteFrame(std::uint64_t* frame) {
  std::uint32_t cursor = 0;
  std::uint64_t played = 0;
  if (!readPlayed(&cursor, &played)) return false;
  const std::uint64_t wraps = played - cursor / blockBytes_;
  const std::uint64_t offset = writeOffset_ >= cursor ? writeOffset_ : std::uint64_t{writeOffset_} + totalBytes_;
  *frame = wraps + offset / blockBytes_;
  return true;
}

bool CDXStreamingSound::isFull() {
  if (!buffer_) return true;
  std::uint32_t cursor = 0;
  if (ds::failed(buffer_->getCurrentPosition(&cursor, nullptr))) return true;
  if (cursor >= writeOffset_) return cursor - writeOffset_ < chunkBytes_;
  return cursor < chunkBytes_ && totalBytes_ - writeOffset_ < chunkBytes_;
}

std::uint64_t CDXStreamingSound::clockFrames() {
  if (!buffer_) return 0;
  sys::Guard guard(clockLock_);
  std::uint32_t cursor = 0;
  // The last reading, not 0: a clock must not go back.
  if (ds::failed(buffer_->getCurrentPosition(&cursor, nullptr))) return clockCursor_ / blockBytes_ + clockWrapFrames_;
  if (cursor < clockCursor_) clockWrapFrames_ += totalBytes_ / blockBytes_;
  clockCursor_ = cursor;
  return cursor / blockBytes_ + clockWrapFrames_;
}

// ---- CDXSound -----------------------------------------------------------------

CDXSound::CDXSound(void* window, SoundDeviceFactory factory) : window_(window), factory_(std::move(factory)) {}

CDXSound::~CDXSound() {
  {
    sys::Guard guard(streamLock_);
    stream_.reset();
  }
  device_.reset();
}

std::shared_ptr<CDXStreamingSound> CDXSound::streamingSound() {
  sys::Guard guard(streamLock_);
  return stream_;
}

void CDXSound::createDevice() {
  {
    // Buffers go before the device that made them.
    sys::Guard guard(streamLock_);
    stream_.reset();
  }
  device_.reset();
  if (!factory_) return;
  std::unique_ptr<ISoundDevice> device = factory_();
  if (device && ds::succeeded(device->setCooperativeLevel(window_, ds::levelPriority))) {
    device_ = std::move(device);
    cooperativeLevel_ = ds::levelPriority;
    return;
  }
  device.reset();
  device = factory_();
  if (device && ds::succeeded(device->setCooperativeLevel(window_, ds::levelNormal))) {
    device_ = std::move(device);
    cooperativeLevel_ = ds::levelNormal;
  }
}

void CDXSound::setFormat(AudioFormat& format) {
  if (!device_) createDevice();
  if (!device_) return;
  SoundDeviceCaps caps;
  if (ds::succeeded(device_->getCaps(&caps))) {
    if (format.bitsPerSample > 8)
      format.bitsPerSample = (caps.flags & ds::capsPrimary16Bit) ? 16 : 8;
    else
      format.bitsPerSample = (caps.flags & ds::capsPrimary8Bit) ? 8 : 16;
    if (format.channels <= 1)
      format.channels = (caps.flags & ds::capsPrimaryMono) ? 1 : 2;
    else
      format.channels = (caps.flags & ds::capsPrimaryStereo) ? 2 : 1;
    if (format.sampleRate < caps.minSecondarySampleRate) format.sampleRate = caps.minSecondarySampleRate;
    // A driver that reports no maximum sets no limit.
    if (caps.maxSecondarySampleRate != 0 && format.sampleRate > caps.maxSecondarySampleRate)
      format.sampleRate = caps.maxSecondarySampleRate;
  }
  // Agreed even when the caps could not be read: the pool sizes its blocks
  // from this record, and the buffer's chunks must be the same size.
  format_ = format;
}

void CDXSound::setPrimaryFormat() {
  SoundBufferDesc desc;
  desc.flags = ds::bufferPrimary;
  std::unique_ptr<ISoundBuffer> primary;
  if (ds::failed(device_->createSoundBuffer(desc, &primary)) || !primary) return;
  // Best effort: the device converts whatever the primary format is.
  primary->setFormat(pcmFormat(format_));
}

bool CDXSound::createStream(int count) {
  if (!notifyEvent_) return false;
  {
    sys::Guard guard(streamLock_);
    stream_.reset();
  }
  if (!device_) createDevice();
  if (!device_) return false;
  if (cooperativeLevel_ == ds::levelPriority) setPrimaryFormat();

  const std::uint32_t chunk = chunkBytes(format_);
  const std::uint64_t total = static_cast<std::uint64_t>(chunk) * static_cast<std::uint64_t>(count > 0 ? count : 0);
  if (chunk == 0 || blockAlign(format_) == 0 || total == 0 || total > 0x0FFFFFFFu) return false;

  const PcmFormat wave = pcmFormat(format_);
  SoundBufferDesc desc;
  desc.flags = streamingBufferFlags;
  desc.bufferBytes = static_cast<std::uint32_t>(total);
  desc.format = &wave;
  std::unique_ptr<ISoundBuffer> buffer;
  if (ds::failed(device_->createSoundBuffer(desc, &buffer)) || !buffer) return false;

  std::vector<SoundNotifyPosition> positions(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    positions[static_cast<std::size_t>(i)].offset = static_cast<std::uint32_t>(i + 1) * chunk - 1;
    positions[static_cast<std::size_t>(i)].event = notifyEvent_;
  }
  if (ds::failed(buffer->setNotificationPositions(static_cast<std::uint32_t>(count), positions.data()))) return false;

  auto stream = std::make_shared<CDXStreamingSound>(std::move(buffer), static_cast<std::uint32_t>(total), chunk, format_);
  stream->setVolume(attenuation_);
  sys::Guard guard(streamLock_);
  stream_ = std::move(stream);
  return true;
}

void CDXSound::releaseStream() {
  {
    sys::Guard guard(streamLock_);
    stream_.reset();
  }
  if (device_) device_->releaseIdle();
}

void CDXSound::resetBuffer() {
  if (auto stream = streamingSound()) {
    stream->reset();
    stream->fillSilence();
  }
}

bool CDXSound::writeFirst(const void* data, const AudioFormat& format) {
  auto stream = streamingSound();
  if (!stream || !stream->writeFirst(data, chunkBytes(format))) return false;
  if (onWritten && data) onWritten(data, chunkBytes(format), format, 0);
  return true;
}

bool CDXSound::writeChunk(const void* data, const AudioFormat& format) {
  auto stream = streamingSound();
  std::uint64_t frame = 0;
  const bool placed = onWritten && stream && stream->nextWriteFrame(&frame);
  if (!stream || !stream->writeChunk(data, chunkBytes(format))) return false;
  if (placed) onWritten(data, chunkBytes(format), format, frame);
  return true;
}

bool CDXSound::writeSilence() {
  auto stream = streamingSound();
  return stream && stream->writeSilence();
}

int CDXSound::silencePlayedChunks() {
  auto stream = streamingSound();
  return stream ? stream->silencePlayedChunks() : 0;
}

bool CDXSound::play() {
  auto stream = streamingSound();
  return stream && stream->play(0, 0, attenuation_, -1, 0) == ds::ok;
}

void CDXSound::setVolume(int percent, bool muted) {
  percent = percent < 0 ? 0 : percent > 100 ? 100 : percent;
  // 20 log10(share) dB, in hundredths; silence below what the scale reaches.
  const std::int32_t attenuation =
      muted || percent == 0 ? ds::volumeMin
                            : std::max(ds::volumeMin, static_cast<std::int32_t>(std::lround(2000.0 * std::log10(percent / 100.0))));
  attenuation_ = attenuation;
  if (auto stream = streamingSound()) stream->setVolume(attenuation);
}

void CDXSound::stopBuffer() {
  if (auto stream = streamingSound()) stream->stop();
}

void CDXSound::pauseBuffer() { stopBuffer(); }

void CDXSound::resumeBuffer() {
  if (auto stream = streamingSound()) stream->resume();
}

bool CDXSound::isFull() {
  auto stream = streamingSound();
  return !stream || stream->isFull();
}

bool CDXSound::isFilled() {
  auto stream = streamingSound();
  return !stream || stream->isFilled();
}

std::uint64_t CDXSound::playedFrames() {
  auto stream = streamingSound();
  return stream ? stream->playedFrames() : 0;
}

bool CDXSound::nextWriteFrame(std::uint64_t* frame) {
  auto stream = streamingSound();
  return stream && stream->nextWriteFrame(frame);
}

std::int64_t CDXSound::getTime() {
  auto stream = streamingSound();
  if (!stream) return 0;
  // The rate the frames were played at: the buffer's own.
  const std::uint32_t rate = stream->format().sampleRate;
  if (rate == 0) return 0;
  const auto frames = static_cast<std::int64_t>(stream->clockFrames());
  return frames * unitsPerSecond / static_cast<std::int64_t>(rate);
}

IReferenceClock* CDXSound::attachTimekeeper(CTimekeeper* timekeeper) {
  timekeeper_ = timekeeper;
  return this;
}

}  // namespace kolm
