#include "audio/audio_renderer.h"

namespace kolm {

namespace {
// A pulse of sampleArrived_ that finds no waiter is lost, so the waits for a
// first block and for the buffer to fill look again at least this often.
constexpr int arrivalPollMs = 50;
// After a chunk of silence, how long to wait for a late producer before
// going back to the chunk notifications.
constexpr int underrunWaitMs = 150;
// A write that failed (a buffer that stays lost) is not retried sooner.
constexpr int writeRetryMs = 100;
}  // namespace

CAudioRenderer::CAudioRenderer(CDXSound* sound, CTimekeeper* timekeeper)
    : sound_(sound), pool_(sound), timekeeper_(timekeeper) {
  // Every streaming buffer made from now on wakes this renderer.
  if (sound_) sound_->setNotifyEvent(positionNotify_.handle);
}

CAudioRenderer::~CAudioRenderer() {
  haltBuffer();
  CThread::stop();
  flush();
  // A buffer made after this renderer has gone must not signal its event.
  if (sound_ && sound_->notifyEvent() == positionNotify_.handle) sound_->setNotifyEvent(nullptr);
}

CAudioSampleQueue* CAudioRenderer::sampleQueue() { return &pool_; }

void CAudioRenderer::deliver(CAudioSample* sample) {
  if (!sample) return;
  if (!sound_) {
    pool_.release(sample);
    return;
  }
  sys::Guard guard(queueLock_);
  if (originFromNext_) {
    origin_ = sample->position;
    originFromNext_ = false;
  }
  // Late already: never queued.
  if (deviceFrame(sample) < static_cast<std::int64_t>(sound_->playedFrames())) {
    pool_.release(sample);
    return;
  }
  if (halted_) {
    // Stopping: nothing more plays, and a decoder must not wait for a block.
    pool_.release(sample);
    return;
  }
  pending_.push_back(sample);
  sampleArrived_.set();
  sampleArrived_.reset();
}

void CAudioRenderer::startFromNextBlock() {
  sys::Guard guard(queueLock_);
  originFromNext_ = true;
}

int CAudioRenderer::start() {
  {
    sys::Guard guard(queueLock_);
    halted_ = false;
    // A start after a stop (a seek) begins the buffer afresh.
    firstWritten_ = bufferPlayed_ = false;
    silentChunks_ = 0;
    writtenEnd_ = 0;
  }
  return CThread::start();
}

// Under queueLock_, so the renderer thread cannot start the buffer between a
// halt and its own look at halted_.
void CAudioRenderer::haltBuffer() {
  if (!sound_) return;
  sys::Guard guard(queueLock_);
  halted_ = true;
  sound_->stopBuffer();
}

int CAudioRenderer::stop() {
  haltBuffer();
  const int result = CThread::stop();
  flush();
  return result;
}

void CAudioRenderer::requestStop() {
  haltBuffer();
  CThread::requestStop();
}

void CAudioRenderer::setPaused(bool paused) {
  {
    sys::Guard guard(queueLock_);
    if (paused == paused_) return;
    paused_ = paused;
    if (sound_ && !halted_) {
      if (paused && bufferPlayed_) {
        sound_->pauseBuffer();
      } else if (!paused && bufferPlayed_) {
        sound_->resumeBuffer();
      } else if (!paused && firstWritten_) {
        sound_->play();  // paused before it could start
        bufferPlayed_ = true;
      }
    }
  }
  if (!paused) resumed_.set();
}

bool CAudioRenderer::waitWhilePaused() {
  for (;;) {
    {
      sys::Guard guard(queueLock_);
      if (!paused_) return keepRunning();
    }
    if (!keepRunning()) return false;
    waitForObjectOrStop(&resumed_.handle, sys::infinite);
  }
}

bool CAudioRenderer::flush() {
  if (keepRunning()) return false;
  sys::Guard guard(queueLock_);
  while (!pending_.empty()) dropFront();
  return true;
}

void CAudioRenderer::run() {
  CThread::run();
  playLoop();
}

void CAudioRenderer::dropFront() {
  CAudioSample* sample = pending_.front();
  pending_.pop_front();
  // Wakes a producer waiting in acquire().
  pool_.release(sample);
}

void CAudioRenderer::written(CAudioSample* sample) {
  ++counts_.blocksPlayed;
  // Silence between two blocks was a gap; silence after the last one is the end.
  counts_.underruns += silentChunks_;
  silentChunks_ = 0;
  writtenEnd_ = deviceFrame(sample) + static_cast<std::int64_t>(sample->frameCount);
}

CAudioRenderer::Counts CAudioRenderer::counts() {
  sys::Guard guard(queueLock_);
  return counts_;
}

bool CAudioRenderer::drained() {
  sys::Guard guard(queueLock_);
  if (!pending_.empty()) return false;
  return !sound_ || writtenEnd_ <= static_cast<std::int64_t>(sound_->playedFrames());
}

int CAudioRenderer::msUntilDrained() {
  sys::Guard guard(queueLock_);
  if (!pending_.empty() || !firstWritten_ || paused_) return -1;
  const std::int64_t played = static_cast<std::int64_t>(sound_->playedFrames());
  const std::uint32_t rate = sound_->format().sampleRate;
  if (writtenEnd_ <= played || rate == 0) return -1;
  const std::int64_t ms = (writtenEnd_ - played) * 1000 / rate + 1;
  return ms > 1000 ? 1000 : static_cast<int>(ms);
}

bool CAudioRenderer::isLate(CAudioSample* sample) {
  if (deviceFrame(sample) < static_cast<std::int64_t>(sound_->playedFrames())) return true;
  // Its chunk went by silent: played in a later one it would be a whole
  // chunk behind its time, and everything after it too.
  std::uint64_t slot = 0;
  return sound_->nextWriteFrame(&slot) &&
         deviceFrame(sample) + static_cast<std::int64_t>(chunkFrames(sample->format)) <= static_cast<std::int64_t>(slot);
}

CAudioSample* CAudioRenderer::frontInTime() {
  while (!pending_.empty()) {
    CAudioSample* sample = pending_.front();
    if (!isLate(sample)) return sample;
    ++counts_.blocksDropped;
    dropFront();
  }
  return nullptr;
}

void CAudioRenderer::playLoop() {
  if (!sound_) {
    waitForStop(sys::infinite);
    return;
  }

  // Start-up: a silent buffer at offset 0, started by the first block.
  sound_->resetBuffer();
  for (;;) {
    if (!keepRunning()) return;
    {
      sys::Guard guard(queueLock_);
      if (!pending_.empty()) break;
    }
    waitForObjectOrStop(&sampleArrived_.handle, arrivalPollMs);
  }
  {
    sys::Guard guard(queueLock_);
    if (halted_) return;
    CAudioSample* first = pending_.front();
    sound_->writeFirst(first->buffer.get(), first->format);
    written(first);
    dropFront();
    firstWritten_ = true;
    // A pause before the first block keeps the buffer still until the resume.
    if (!paused_) {
      sound_->play();
      bufferPlayed_ = true;
    }
  }

  // Filling: as many blocks as there is room for, as they arrive, until the
  // writes have gone round the buffer once (from then on a chunk is free only
  // when the cursor has left it) or the cursor has caught up with them.
  while (waitWhilePaused()) {
    sound_->silencePlayedChunks();
    if (sound_->isFull() || sound_->isFilled()) break;
    bool failed = false;
    {
      sys::Guard guard(queueLock_);
      while (CAudioSample* sample = frontInTime()) {
        if (!sound_->writeChunk(sample->buffer.get(), sample->format)) {
          failed = true;
          break;
        }
        written(sample);
        dropFront();
        if (sound_->isFull() || sound_->isFilled()) break;
      }
    }
    // Backing off outside the lock, so the producer can still deliver.
    if (failed) {
      waitForStop(writeRetryMs);
    } else {
      // A short file can end before the buffer is ever full: its end is
      // looked for when its last frame has been played.
      const int untilEnd = msUntilDrained();
      waitForObjectOrStop(&sampleArrived_.handle, untilEnd >= 0 && untilEnd < arrivalPollMs ? untilEnd : arrivalPollMs);
      if (untilEnd >= 0 && onDrained && drained()) onDrained();
    }
  }

  // Steady state: each chunk notification frees one chunk, which takes the
  // next block, or silence when there is none.
  while (waitWhilePaused()) {
    // With nothing more to write, the end is the moment the last frame has
    // played, not the next chunk boundary (up to a chunk of padding later).
    const int untilEnd = msUntilDrained();
    if (waitForObjectOrStop(&positionNotify_.handle, untilEnd >= 0 ? untilEnd : sys::infinite) == 1) {
      if (onDrained && drained()) onDrained();
      continue;
    }
    if (!keepRunning()) break;
    sound_->silencePlayedChunks();
    if (sound_->isFull()) continue;
    bool failed = false;
    bool underrun = false;
    {
      sys::Guard guard(queueLock_);
      if (CAudioSample* sample = frontInTime()) {
        if (sound_->writeChunk(sample->buffer.get(), sample->format)) {
          written(sample);
          dropFront();
        } else {
          failed = true;
        }
      } else {
        underrun = true;
        ++silentChunks_;
        failed = !sound_->writeSilence();
      }
    }
    if (underrun && onDrained && drained()) onDrained();
    if (failed)
      waitForStop(writeRetryMs);
    else if (underrun)
      waitForObjectOrStop(&sampleArrived_.handle, underrunWaitMs);
  }
}

}  // namespace kolm
