#include "video/video_renderer.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace kolm {

namespace {
// Idle poll: a pulse of sampleArrived_ that nobody waited for is lost, so an
// arrival is found at the latest this much later.
constexpr int arrivalPollMs = 7;
}  // namespace

CVideoRenderer::CVideoRenderer(IVideoHardwareAccelerator* presenter, CTimekeeper* timekeeper)
    : presenter_(presenter), pool_(presenter), timekeeper_(timekeeper) {}

CVideoRenderer::~CVideoRenderer() {
  // The body uses every member: join it before any of them goes.
  CThread::stop();
  flush();
}

CSampleQueue* CVideoRenderer::sampleQueue() { return &pool_; }

void CVideoRenderer::deliver(CSample* sample) {
  if (!sample) return;
  sys::Guard guard(queueLock_);
  if (stopping_) {
    // Nothing more is shown after a stop request: the picture goes straight
    // back, so a decoder never waits on a pool that nobody empties.
    pool_.release(sample);
    return;
  }
  switch (gate_.judge(sample->time)) {
    case CSeekGate::Verdict::show:
      queue(sample);
      break;
    case CSeekGate::Verdict::replaceHeld:
      pool_.release(held_);
      held_ = sample;
      break;
    case CSeekGate::Verdict::hold:
      held_ = sample;
      break;
    case CSeekGate::Verdict::showHeldFirst:
      held_->time = gate_.target();
      queue(held_);
      held_ = nullptr;
      queue(sample);
      break;
    case CSeekGate::Verdict::dropHeldAndShow:
      pool_.release(held_);
      held_ = nullptr;
      queue(sample);
      break;
  }
}

void CVideoRenderer::queue(CSample* sample) {
  pending_.push_back(sample);
  if (showOnce_) resumed_.set();
  if (sample->width != currentWidth_ || sample->height != currentHeight_) {
    currentWidth_ = sample->width;
    currentHeight_ = sample->height;
    if (!presenter_ && overlay) overlay->resize(currentWidth_, currentHeight_);
  }
  // A pulse: it wakes a loop waiting for arrivals, and is not kept otherwise.
  sampleArrived_.set();
  sampleArrived_.reset();
}

void CVideoRenderer::drawPicture(CSample* sample) {
  if (presenter_) {
    presenter_->present(sample->width, sample->height, sample->surface);
  } else if (overlay) {
    if (sample->kind == CSample::presenterSurface)
      overlay->present(sample->width, sample->height, sample->surface);
    else
      copyIntoOverlay(sample);
  }
}

// The overlay is on screen already: writing the picture into it shows it.
// As much of the picture as the overlay holds, plane by plane.
void CVideoRenderer::copyIntoOverlay(CSample* sample) {
  YV12Planes from;
  if (!sample->lockPlanes(&from)) return;
  int height = 0, width = 0, pitch = 0;
  std::uint8_t* bits = nullptr;
  if (overlay->lockOverlay(&height, &width, &pitch, &bits)) {
    YV12Planes to;
    if (YV12Planes::layout(bits, pitch, width, height, &to)) {
      const int rows = std::min(to.height, from.height);
      const std::size_t columns = static_cast<std::size_t>(std::min(to.width, from.width));
      for (int row = 0; row < rows; ++row)
        std::memcpy(to.y + static_cast<std::size_t>(row) * to.pitchY, from.y + static_cast<std::size_t>(row) * from.pitchY,
                    columns);
      const int chromaRows = std::min(to.chromaHeight(), from.chromaHeight());
      const std::size_t chromaColumns = static_cast<std::size_t>(std::min(to.chromaWidth(), from.chromaWidth()));
      for (int row = 0; row < chromaRows; ++row) {
        std::memcpy(to.v + static_cast<std::size_t>(row) * to.pitchC, from.v + static_cast<std::size_t>(row) * from.pitchC,
                    chromaColumns);
        std::memcpy(to.u + static_cast<std::size_t>(row) * to.pitchC, from.u + static_cast<std::size_t>(row) * from.pitchC,
                    chromaColumns);
      }
    }
    overlay->unlockOverlay();
  }
  sample->unlockPlanes();
}

int CVideoRenderer::start() {
  {
    sys::Guard guard(queueLock_);
    stopping_ = false;
    // The size shown so far; read here rather than on the new thread, where
    // it could come after, and undo, a picture delivered right after start().
    if (IVideoHardwareAccelerator* shows = presenter_ ? presenter_ : overlay) {
      currentWidth_ = shows->getWidth();
      currentHeight_ = shows->getHeight();
    }
  }
  return CThread::start();
}

int CVideoRenderer::stop() {
  const int result = CThread::stop();
  flush();
  return result;
}

void CVideoRenderer::requestStop() {
  {
    sys::Guard guard(queueLock_);
    stopping_ = true;
  }
  CThread::requestStop();
}

void CVideoRenderer::armSeek(std::int64_t target, std::int64_t frameDuration) {
  sys::Guard guard(queueLock_);
  if (held_) pool_.release(held_);
  held_ = nullptr;
  gate_.arm(target, frameDuration);
  showOnce_ = paused_;
  seekShown_ = false;
  seekShownAt_.push_back(0);
}

void CVideoRenderer::picturesEnded() {
  sys::Guard guard(queueLock_);
  if (!gate_.armed()) return;
  CSample* held = held_;
  held_ = nullptr;
  if (held && gate_.finish(held->time) && !stopping_) {
    held->time = gate_.target();
    queue(held);
  } else {
    gate_.finish(0);
    if (held) pool_.release(held);
  }
}

std::vector<std::uint64_t> CVideoRenderer::seekShownAt() {
  sys::Guard guard(queueLock_);
  return seekShownAt_;
}

void CVideoRenderer::acceptDeliveries() {
  sys::Guard guard(queueLock_);
  stopping_ = false;
}

bool CVideoRenderer::flush() {
  sys::Guard guard(queueLock_);
  if (held_) pool_.release(held_);
  held_ = nullptr;
  gate_.finish(0);
  while (!pending_.empty()) {
    CSample* sample = pending_.front();
    pending_.pop_front();
    // Wakes a decoder waiting in acquire().
    pool_.release(sample);
  }
  return true;
}

void CVideoRenderer::currentSize(int* width, int* height) {
  sys::Guard guard(queueLock_);
  if (width) *width = currentWidth_;
  if (height) *height = currentHeight_;
}

void CVideoRenderer::run() {
  CThread::run();
  presentLoop();
}

std::vector<std::int64_t> CVideoRenderer::lateness() {
  sys::Guard guard(queueLock_);
  return lateness_;
}

void CVideoRenderer::setPaused(bool paused) {
  {
    sys::Guard guard(queueLock_);
    paused_ = paused;
  }
  if (!paused) resumed_.set();
}

bool CVideoRenderer::idle() {
  sys::Guard guard(queueLock_);
  return pending_.empty() && !presenting_;
}

void CVideoRenderer::drawFirstPicture() {
  CSample* first = nullptr;
  {
    sys::Guard guard(queueLock_);
    if (pending_.empty() || presenting_) return;
    first = pending_.front();
    // Kept off the queue while drawn, as the loop does, so that a flush
    // cannot give it back under us.
    pending_.pop_front();
    presenting_ = true;
  }
  drawPicture(first);
  sys::Guard guard(queueLock_);
  presenting_ = false;
  if (stopping_) {
    pool_.release(first);
    return;
  }
  pending_.push_front(first);
}

void CVideoRenderer::presentLoop() {
  enum class Next { waitForArrival, sleep, poll, waitForResume, none };
  while (keepRunning()) {
    Next next = Next::none;
    int sleepMs = 0;
    unsigned pollUs = 0;
    CSample* due = nullptr;
    std::int64_t dueAt = 0;  // the clock reading that found it due; it is shown right after
    {
      sys::Guard guard(queueLock_);
      if (paused_ && !(showOnce_ && !pending_.empty())) {
        next = Next::waitForResume;
      } else if (pending_.empty()) {
        next = Next::waitForArrival;
      } else {
        CSample* front = pending_.front();
        // Without a timekeeper there is nothing to wait for.
        const std::int64_t now = timekeeper_ ? timekeeper_->playbackTime() : front->time;
        if (now < front->time) {
          // Rounded down, so the sleep never ends after the due time; under
          // 1 ms left it is 0 and the loop polls the clock. Clamped rather
          // than cut to 32 bits, which could turn a far time into a short or
          // endless wait.
          const std::int64_t ms = (front->time - now) / unitsPerMillisecond;
          sleepMs = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
          next = Next::sleep;
          if (ms == 0) {
            // Polled in sub-millisecond sleeps rather than a spin: the clock
            // is read again right after, so the picture is still never early.
            pollUs = static_cast<unsigned>((front->time - now + 9) / 10);
            next = Next::poll;
          }
        } else {
          // Due, however late: shown now, one per pass, with the clock read
          // again for the next one. Taken off the queue first, so a flush
          // while it is being shown cannot give it back a second time.
          due = front;
          dueAt = now;
          pending_.pop_front();
          presenting_ = true;
          showOnce_ = false;
          if (!seekShown_) {
            seekShown_ = true;
            seekShownAt_.back() = sys::milliseconds();
          }
        }
      }
    }
    if (due) {
      // Outside the queue lock: a slow presenter must not stall deliver()
      // or flush(). The sample is ours alone until it goes back to the pool.
      drawPicture(due);
      bool emptied;
      {
        sys::Guard guard(queueLock_);
        lateness_.push_back(dueAt - due->time);
        presenting_ = false;
        emptied = pending_.empty();
      }
      pool_.release(due);
      if (emptied && onIdle) onIdle();
    }
    switch (next) {
      case Next::waitForArrival:
        waitForObjectOrStop(&sampleArrived_.handle, arrivalPollMs);
        break;
      case Next::sleep:
        // Only a stop ends this early: the front picture decides, and a later
        // delivery cannot be shown before it.
        waitForStop(sleepMs);
        break;
      case Next::poll:
        sys::sleepMicroseconds(pollUs);
        break;
      case Next::waitForResume:
        waitForObjectOrStop(&resumed_.handle, sys::infinite);
        break;
      case Next::none:
        break;
    }
  }
}

}  // namespace kolm
