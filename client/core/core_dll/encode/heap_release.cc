#include "encode/heap_release.h"

#include <algorithm>
#include <utility>

namespace ostrel {

HeapRelease::HeapRelease(std::function<void()> release, Clock::duration minInterval)
    : release_(std::move(release)), minInterval_(minInterval) {}

bool HeapRelease::Request(Clock::time_point now, bool force) {
  {
    LockGuard lock(mutex_);
    ++stats_.requests;
    if (running_ || (!force && released_ && now - lastStart_ < minInterval_)) return false;
    running_ = true;
    released_ = true;
    lastStart_ = now;
  }
  const auto begin = Clock::now();
  release_();
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
  LockGuard lock(mutex_);
  running_ = false;
  ++stats_.releases;
  stats_.totalMs += ms;
  stats_.maxMs = std::max(stats_.maxMs, ms);
  return true;
}

HeapRelease::Stats HeapRelease::GetStats() const {
  LockGuard lock(mutex_);
  return stats_;
}

}  // namespace ostrel
