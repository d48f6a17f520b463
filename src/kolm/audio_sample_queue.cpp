#include "kolm/audio_sample_queue.h"

#include <new>

CAudioSampleQueue::CAudioSampleQueue(kolm::ISoundFormatSink* soundDevice) : soundDevice_(soundDevice) {}

CAudioSampleQueue::~CAudioSampleQueue() = default;

void CAudioSampleQueue::setFormat(int count, const AudioFormat& requested, int* outCount, AudioFormat* outFormat) {
  kolm::sys::Guard guard(lock_);
  if (samples_.empty()) {
    count_ = count == 0 ? 1 : count;
    format_ = requested;
    if (soundDevice_) soundDevice_->setFormat(format_);
  }
  if (outCount) *outCount = count_;
  if (outFormat) *outFormat = format_;
}

AudioFormat CAudioSampleQueue::format() {
  kolm::sys::Guard guard(lock_);
  return format_;
}

bool CAudioSampleQueue::isAllocated() {
  kolm::sys::Guard guard(lock_);
  return !samples_.empty();
}

bool CAudioSampleQueue::allocate() {
  kolm::sys::Guard guard(lock_);
  if (!samples_.empty()) return true;
  // Formats come from the stream: refuse what no block could hold.
  const std::uint64_t bytes = static_cast<std::uint64_t>(format_.milliseconds) * format_.sampleRate / 1000 *
                              (format_.bitsPerSample / 8) * format_.channels;
  if (count_ <= 0 || count_ > 64 || bytes == 0 || bytes > (64u << 20) || chunkBytes(format_) != bytes) return false;
  if (soundDevice_ && !soundDevice_->createStream(count_)) return false;
  for (int i = 0; i < count_; ++i) {
    auto sample = std::make_unique<CAudioSample>();
    sample->buffer.reset(new (std::nothrow) std::uint8_t[bytes]);
    if (!sample->buffer) {
      samples_.clear();
      return false;
    }
    sample->format = format_;
    samples_.push_back(std::move(sample));
  }
  return true;
}

bool CAudioSampleQueue::acquire(CAudioSample** sample) {
  {
    kolm::sys::Guard guard(lock_);
    if (samples_.empty()) return false;
  }
  for (;;) {
    {
      kolm::sys::Guard guard(lock_);
      for (auto& candidate : samples_) {
        if (!candidate->inUse) {
          candidate->inUse = true;
          *sample = candidate.get();
          return true;
        }
      }
    }
    // Only pulsed: the bound covers a release between the scan and the wait.
    freeEvent_.wait(15);
  }
}

void CAudioSampleQueue::release(CAudioSample* sample) {
  bool found = false;
  {
    kolm::sys::Guard guard(lock_);
    for (auto& candidate : samples_) {
      if (candidate.get() == sample) {
        candidate->inUse = false;
        found = true;
        break;
      }
    }
  }
  if (found) {
    freeEvent_.set();
    freeEvent_.reset();
  }
}
