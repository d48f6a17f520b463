#pragma once

#include <deque>
#include <functional>

#include "audio/dx_sound.h"
#include "kolm/audio_downstream.h"
#include "kolm/audio_sample_queue.h"
#include "kolm/clock.h"
#include "kolm/event.h"
#include "kolm/thread.h"

namespace kolm {

// Plays delivered sound blocks, one block per chunk of the sound device's
// looping buffer, in delivery order. The first block starts the buffer; after
// that the buffer's chunk notifications pace the writes. Blocks are never
// delayed to meet their position: a block whose first frame has been played
// already, or whose chunk went by without it, is dropped. A chunk that comes
// round with no block for it is silenced, so an underrun is a gap and the end
// of the stream is silence, while the clock keeps running.
//
// Threads: the producer calls sampleQueue() and deliver(); the renderer thread
// runs playLoop(); one controlling thread calls start(), flush(), stop() and
// deletes the renderer. The sound device and the timekeeper outlive it.
class CAudioRenderer : public IAudioDownstream, public CThread {
 public:
  // sound may be null: blocks are then given back unplayed.
  CAudioRenderer(CDXSound* sound, CTimekeeper* timekeeper);
  ~CAudioRenderer() override;

  CAudioSampleQueue* sampleQueue() override;
  void deliver(CAudioSample* sample) override;

  virtual void playLoop();
  // 0 running, -1 the thread could not be created, 2 waiting for it failed.
  virtual int start();
  // Halts the buffer, so the sound ends at once, then joins the thread and
  // gives every pending block back.
  virtual int stop();
  // Halts the buffer and asks the thread to end.
  virtual void requestStop();
  // Only once a stop has been requested: gives every pending block back and
  // returns true. While the thread may still run it does nothing (false).
  virtual bool flush();

  void run() override;

  CTimekeeper* timekeeper() const { return timekeeper_; }

  struct Counts {
    long blocksPlayed = 0;   // written to the device
    long blocksDropped = 0;  // too late to play
    long underruns = 0;      // silent chunks between two blocks
  };
  Counts counts();
  // Nothing is waiting and every block written has been played.
  bool drained();
  // Paused: the buffer stops where it is (so does a sound clock), nothing is
  // written, and the thread waits, without polling, for the resume or a stop.
  void setPaused(bool paused);
  // After a seek, before start(): the next block delivered plays first, at
  // the buffer's start, and the others follow from its position.
  void startFromNextBlock();
  // Called on the renderer thread at each chunk the buffer plays once
  // drained() holds. Set before the thread starts.
  std::function<void()> onDrained;

 private:
  void haltBuffer();
  // Under queueLock_: a block that can no longer play on time.
  bool isLate(CAudioSample* sample);
  // Under queueLock_: drops late blocks from the front; the first one that
  // can still play, or null.
  CAudioSample* frontInTime();
  void dropFront();

  std::deque<CAudioSample*> pending_;  // oldest at the front
  CEvent sampleArrived_;               // pulsed by deliver()
  CEvent positionNotify_;              // signalled by the buffer at each chunk boundary
  // Guards pending_ and halted_; held while the front block is judged and
  // written. Order: before the pool's lock and the sound device's locks.
  sys::CriticalSection queueLock_;
  CDXSound* sound_;
  CAudioSampleQueue pool_;
  CTimekeeper* timekeeper_;
  bool halted_ = false;  // a stop halted the buffer: it must not start again
  bool paused_ = false;
  bool firstWritten_ = false;  // the start-up block is in the buffer
  bool bufferPlayed_ = false;  // and the buffer was started
  CEvent resumed_;
  // Waits while paused; false when a stop came instead.
  bool waitWhilePaused();
  // Milliseconds until every block written has played, when nothing waits
  // to be written (rounded up); -1 when that is not what is awaited.
  int msUntilDrained();
  // Under queueLock_.
  void written(CAudioSample* sample);
  // The buffer frame a block plays at (under queueLock_).
  std::int64_t deviceFrame(const CAudioSample* sample) const { return sample->position - origin_; }
  std::int64_t origin_ = 0;     // the position that plays at the buffer's frame 0
  bool originFromNext_ = false;  // the next block delivered sets origin_
  Counts counts_;
  long silentChunks_ = 0;        // since the last block written
  std::int64_t writtenEnd_ = 0;  // frame after the last block written
};

}  // namespace kolm
