// What capture works on: the capture item, frame pool and capture session,
// the handlers' subscriptions, and the frame hand-off it fills (see
// encode/frame_handoff.h).
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "capture/frame_rate_gate.h"
#include "encode/frame_handoff.h"
#include "platform/platform.h"

namespace ostrel {

struct CaptureState : virtual FrameHandoff {
  std::shared_ptr<platform::IGpuDevice> d3dDevice;
  std::shared_ptr<platform::ICaptureDevice> winrtDevice;
  std::shared_ptr<platform::ICaptureItem> captureItem;
  // The capture source that made captureItem; its pool and session come
  // from the same source.
  platform::IWindowCapture* captureService = nullptr;
  std::shared_ptr<platform::IFramePool> framePool;
  std::shared_ptr<platform::ICaptureSession> captureSession;
  platform::EventToken frameArrivedToken = 0;
  bool frameArrivedSubscribed = false;
  platform::EventToken closedToken = 0;
  bool closedSubscribed = false;
  SteadyClock::time_point lastArrival{};
  bool haveLastArrival = false;

  // The content size the frame pool's buffers were made for; the frame
  // handler recreates the pool when a frame's content size differs.
  Mutex poolSizeMutex;
  platform::SizeInt32 poolSize GUARDED_BY(poolSizeMutex);
  // The pool's frames hold the target scaled down to the output size (the
  // source scales as it reads): the capture copy then converts without
  // scaling. Set with the pool.
  bool scaledAtRead = false;

  FrameRateGate rateGate;  // which source frames are taken; which slots the pacer fills
  std::atomic<bool> borderEnabled{true};

  // Frame callbacks currently inside the handler; Stop waits for them before
  // releasing what they use (see capture/frame_arrival.cc).
  Mutex callbackMutex;
  std::condition_variable callbackCv;
  int callbacksRunning GUARDED_BY(callbackMutex) = 0;
  bool acceptCallbacks GUARDED_BY(callbackMutex) = false;
};

}  // namespace ostrel
