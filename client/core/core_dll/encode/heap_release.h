// Gives the heap's free memory back to the system after big frees: a retired
// segment encoder, a finished save, a stop. The C runtime keeps freed blocks
// for reuse (glibc raises its mmap threshold to the largest block freed, so
// multi-megabyte encoder and save buffers end up in its arenas), and that
// slack would otherwise stay resident; the heap's policy itself is the
// host's and is left alone. The walk over the heap is limited to one per
// interval, so frequent events cost nothing measurable.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "sync/mutex.h"

namespace ostrel {

class HeapRelease {
 public:
  using Clock = std::chrono::steady_clock;

  struct Stats {
    uint64_t requests = 0;
    uint64_t releases = 0;
    double totalMs = 0.0;
    double maxMs = 0.0;
  };

  // `release` does the work (the platform's ReleaseFreeHeapMemory).
  HeapRelease(std::function<void()> release, Clock::duration minInterval);

  // After something big was freed. Releases now, on the calling thread,
  // unless another release is running or one began less than the interval
  // ago (then the next request after the interval does it); `force` ignores
  // the interval. Returns whether this call released.
  bool Request(Clock::time_point now = Clock::now(), bool force = false);

  Stats GetStats() const;

 private:
  const std::function<void()> release_;
  const Clock::duration minInterval_;
  mutable Mutex mutex_;
  bool running_ GUARDED_BY(mutex_) = false;
  bool released_ GUARDED_BY(mutex_) = false;  // whether lastStart_ holds a release
  Clock::time_point lastStart_ GUARDED_BY(mutex_){};
  Stats stats_ GUARDED_BY(mutex_);
};

}  // namespace ostrel
