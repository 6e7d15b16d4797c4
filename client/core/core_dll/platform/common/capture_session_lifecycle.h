// The lifecycle every capture session shares: it holds its frame pool until
// closed, starts the pool's delivery once, and stops it once at Close, with
// the codes Windows.Graphics.Capture answers (kObjectClosed after Close,
// kIllegalMethodCall for a second start). The backend says how its pool
// starts and stops delivering.
#pragma once

#include <memory>
#include <utility>

#include "platform/hresult.h"
#include "sync/mutex.h"

namespace ostrel::platform {

inline constexpr Hresult kObjectClosed = static_cast<Hresult>(0x80000013);       // RO_E_CLOSED
inline constexpr Hresult kIllegalMethodCall = static_cast<Hresult>(0x8000000E);  // E_ILLEGAL_METHOD_CALL

template <typename Pool>
class CaptureSessionLifecycle {
 public:
  explicit CaptureSessionLifecycle(std::shared_ptr<Pool> pool) : pool_(std::move(pool)) {}
  CaptureSessionLifecycle(const CaptureSessionLifecycle&) = delete;
  CaptureSessionLifecycle& operator=(const CaptureSessionLifecycle&) = delete;

  // Runs use(Pool&) under the lifecycle's lock and returns what it returns;
  // kObjectClosed once closed.
  template <typename Use>
  Hresult WithPool(Use&& use) {
    LockGuard lock(mutex_);
    if (!pool_) return kObjectClosed;
    return use(*pool_);
  }

  // Runs start(Pool&) once, under the lock; started when it succeeds.
  template <typename StartDelivery>
  Hresult Start(StartDelivery&& start) {
    LockGuard lock(mutex_);
    if (!pool_) return kObjectClosed;
    if (started_) return kIllegalMethodCall;
    const Hresult result = start(*pool_);
    if (Succeeded(result)) started_ = true;
    return result;
  }

  // Drops the pool. When it had been started, runs stop(Pool&) outside the
  // lock (the pool's delivery may be calling back into the session) and
  // returns what it returns; otherwise, and on every later call, kOk.
  template <typename StopDelivery>
  Hresult Close(StopDelivery&& stop) {
    std::shared_ptr<Pool> pool;
    {
      LockGuard lock(mutex_);
      pool.swap(pool_);
      if (!started_) return hr::kOk;
      started_ = false;
    }
    return pool ? stop(*pool) : hr::kOk;
  }

 private:
  Mutex mutex_;
  std::shared_ptr<Pool> pool_ GUARDED_BY(mutex_);  // null once closed
  bool started_ GUARDED_BY(mutex_) = false;
};

}  // namespace ostrel::platform
