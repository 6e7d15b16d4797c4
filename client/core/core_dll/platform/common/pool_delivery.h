// The thread a frame pool of its own making delivers frames on (the fake
// world's renderer, GDI's copy timer), and the state the pool shares with
// it. The stop flag, the closed flag and the FrameArrived handlers sit under
// one mutex, so that "stopped" and "which handlers" are one state. The
// backend's loop says how frames are made; this says how the thread starts
// and stops.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/common/capture_session_lifecycle.h"
#include "platform/handler_registry.h"

namespace ostrel::platform {

struct PoolDeliveryState {
  std::mutex mutex;
  std::condition_variable cv;  // wakes the loop when stop is set
  bool stop = false;           // the delivery thread ends at its next look
  bool closed = false;         // the pool is closed: no handlers, no frames
  HandlerRegistry handlers;

  // IFramePool::AddFrameArrived: 0 once the pool is closed.
  EventToken AddFrameArrived(std::function<void()> handler) {
    std::lock_guard lock(mutex);
    return closed ? 0 : handlers.Add(std::move(handler));
  }

  void RemoveFrameArrived(EventToken token) {
    std::function<void()> removed;  // destroyed outside the lock
    std::lock_guard lock(mutex);
    removed = handlers.Remove(token);
  }
};

class PoolDeliveryThread {
 public:
  PoolDeliveryThread() = default;
  PoolDeliveryThread(const PoolDeliveryThread&) = delete;
  PoolDeliveryThread& operator=(const PoolDeliveryThread&) = delete;

  // Runs loop() on a thread of its own: kObjectClosed once the pool is
  // closed, kIllegalMethodCall while a delivery thread is there.
  template <typename Loop>
  Hresult Start(PoolDeliveryState& state, Loop&& loop) {
    std::lock_guard threadLock(threadMutex_);
    {
      std::lock_guard lock(state.mutex);
      if (state.closed) return kObjectClosed;
      if (thread_.joinable()) return kIllegalMethodCall;
      state.stop = false;
    }
    thread_ = std::thread(std::forward<Loop>(loop));
    return hr::kOk;
  }

  // Sets stop, wakes the loop and joins it, so no handler of the pool runs
  // once this returns. On the delivery thread itself (a handler stopping
  // its own pool) the join is impossible: onOwnThread(std::thread&) decides
  // what becomes of the thread, and what it returns is returned.
  template <typename OnOwnThread>
  Hresult Stop(PoolDeliveryState& state, OnOwnThread&& onOwnThread) {
    {
      std::lock_guard lock(state.mutex);
      state.stop = true;
    }
    state.cv.notify_all();
    std::lock_guard threadLock(threadMutex_);
    if (!thread_.joinable()) return hr::kOk;
    if (thread_.get_id() == std::this_thread::get_id()) return onOwnThread(thread_);
    thread_.join();
    return hr::kOk;
  }

 private:
  std::mutex threadMutex_;
  std::thread thread_;
};

}  // namespace ostrel::platform
