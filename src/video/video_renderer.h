#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "kolm/clock.h"
#include "kolm/event.h"
#include "kolm/sample_queue.h"
#include "kolm/thread.h"
#include "kolm/video_downstream.h"
#include "kolm/video_hardware_accelerator.h"
#include "video/video_overlay.h"

namespace kolm {

// Shows delivered pictures, in delivery order, once the timekeeper's playback
// time reaches each picture's time, then gives the sample back to the pool.
// Because the pool is small, a decoder that runs ahead blocks in acquire()
// until a shown picture comes back: that is how decoding is paced.
//
// Threads: decoders call sampleQueue() and deliver(); the renderer thread runs
// the present loop; one controlling thread calls start(), flush(), stop() and
// deletes the renderer. The presenter and the timekeeper must outlive it.
class CVideoRenderer : public IVideoDownstream, public CThread {
 public:
  // presenter may be null (pictures are then only paced, never shown).
  CVideoRenderer(IVideoHardwareAccelerator* presenter, CTimekeeper* timekeeper);
  ~CVideoRenderer() override;

  CSampleQueue* sampleQueue() override;
  void deliver(CSample* sample) override;

  virtual void presentLoop();
  // Renderer thread, without queueLock_: shows the picture now. The sample is
  // already off the queue, and goes back to the pool when this returns.
  virtual void drawPicture(CSample* sample);
  // 0 running, -1 the thread could not be created, 2 waiting for it failed.
  virtual int start();
  // Joins the renderer thread, then gives every pending picture back.
  virtual int stop();
  virtual void requestStop();
  // Gives every pending picture back to the pool; always true.
  virtual bool flush();

  // The size of the last picture seen (the presenter's when started, then
  // each delivered picture's); 0 by 0 before either.
  void currentSize(int* width, int* height);

  void run() override;

  // Per shown picture, in order: playback time when it was shown minus its
  // time stamp (100 ns units; negative means early).
  std::vector<std::int64_t> lateness();
  // No picture is waiting or being shown.
  bool idle();
  // Paused: nothing is shown, and the thread waits, without polling, for the
  // resume or a stop.
  void setPaused(bool paused);
  // The second route, taken only by a renderer without a presenter: every
  // picture goes into this overlay (memory pictures are copied into its
  // surface), which is resized whenever the pictures' size changes. Set
  // before the thread starts; it outlives the renderer.
  IVideoOverlay* overlay = nullptr;
  // Called on the renderer thread each time it has shown the last picture
  // it had. Set before the thread starts.
  std::function<void()> onIdle;

 private:
  void copyIntoOverlay(CSample* sample);

  std::deque<CSample*> pending_;  // oldest at the front
  CEvent sampleArrived_;          // pulsed by deliver()
  // Guards pending_ and the current size. Never held while a picture is
  // drawn, so deliver() and flush() do not wait for the presenter.
  // Order: before the pool's lock and before sampleArrived_'s.
  sys::CriticalSection queueLock_;
  IVideoHardwareAccelerator* presenter_;
  CSampleQueue pool_;
  CTimekeeper* timekeeper_;
  std::vector<std::int64_t> lateness_;  // under queueLock_
  bool presenting_ = false;             // a picture is off the queue, being shown
  bool stopping_ = false;               // stop requested: deliveries go straight back
  bool paused_ = false;
  CEvent resumed_;
  int currentWidth_ = 0;
  int currentHeight_ = 0;
};

}  // namespace kolm
