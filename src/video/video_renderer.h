#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "kolm/clock.h"
#include "kolm/event.h"
#include "kolm/sample_queue.h"
#include "kolm/seek_gate.h"
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
  // After a stop, before the next start(): deliveries are kept again (a
  // seek decodes ahead while the thread is down).
  void acceptDeliveries();
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
  // The controlling thread, before the thread starts: the first waiting
  // picture is drawn now and stays first. A presenter's first picture can
  // cost it most of a second (a new device's first frame, a window just
  // resized); paid before the clock starts, it makes no later picture late.
  void drawFirstPicture();
  // Paused: nothing is shown, and the thread waits, without polling, for the
  // resume or a stop.
  void setPaused(bool paused);
  // After a seek to target, before the thread starts again: of the pictures
  // before the target only the one still on the screen at it is shown, at
  // the target (frameDuration: how long a picture stays, for the last one of
  // a file). While paused, the first picture from the target on is shown
  // all the same, so the user sees where the seek went.
  void armSeek(std::int64_t target, std::int64_t frameDuration);
  // The decoder has no more pictures: a picture held back by a seek is shown
  // if it is on the screen at the target.
  void picturesEnded();
  // When the first picture of each seek was shown (the millisecond timer;
  // 0 for a seek that showed none), in the order of the seeks.
  std::vector<std::uint64_t> seekShownAt();
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
  CEvent resumed_;  // also raised when a picture comes that a paused seek shows
  // Under queueLock_.
  CSeekGate gate_;
  CSample* held_ = nullptr;  // the picture the gate holds back
  bool showOnce_ = false;    // a seek's first picture is shown even while paused
  bool seekShown_ = true;    // the last seek's first picture has been shown
  std::vector<std::uint64_t> seekShownAt_;
  void queue(CSample* sample);  // under queueLock_
  int currentWidth_ = 0;
  int currentHeight_ = 0;
};

}  // namespace kolm
