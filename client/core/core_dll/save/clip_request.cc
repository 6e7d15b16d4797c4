#include "save/clip_request.h"

#include <algorithm>
#include <chrono>

#include "replay/tick_clock.h"

namespace ostrel {

bool MarkerRing::Add(Marker marker, int64_t cutoff) {
  LockGuard lock(mutex_);
  while (!markers_.empty() && markers_.front().ticks < cutoff) markers_.pop_front();
  if (markers_.size() >= kMaxMarkers) return false;
  // Host threads may race: keep time order.
  auto at = std::upper_bound(markers_.begin(), markers_.end(), marker.ticks,
                             [](int64_t ticks, const Marker& have) { return ticks < have.ticks; });
  markers_.insert(at, std::move(marker));
  return true;
}

std::vector<Marker> MarkerRing::Take(int64_t from, int64_t to) const {
  LockGuard lock(mutex_);
  std::vector<Marker> result;
  for (const Marker& marker : markers_) {
    if (marker.ticks >= from && marker.ticks < to) result.push_back(marker);
  }
  return result;
}

void MarkerRing::Clear() {
  LockGuard lock(mutex_);
  markers_.clear();
}

void ClipHold::Merge(const ClipRings& rings, int64_t untilTicks) {
  const TickSpan span{startTicks, untilTicks};
  MergeRecords(video, rings.video.TakeSnapshot(span));
  MergeRecords(desktop, rings.desktop.TakeSnapshot(span));
  MergeRecords(mic, rings.mic.TakeSnapshot(span));
  for (Marker& marker : rings.markers.Take(startTicks, untilTicks)) {
    const bool known = std::any_of(markers.begin(), markers.end(), [&](const Marker& have) {
      return have.ticks == marker.ticks && have.label == marker.label;
    });
    if (!known) markers.push_back(std::move(marker));
  }
  std::stable_sort(markers.begin(), markers.end(), [](const Marker& a, const Marker& b) { return a.ticks < b.ticks; });
}

void ClipWaits::BeginStop() {
  {
    LockGuard lock(mutex_);
    ++stopsPending_;
  }
  cv_.notify_all();
}

void ClipWaits::EndStop() {
  LockGuard lock(mutex_);
  --stopsPending_;
}

void ClipWaits::HoldBeforeClear(const ClipRings& rings) {
  {
    LockGuard lock(mutex_);
    if (hold_ != nullptr) hold_->Merge(rings, TickClock::Now());
    ++clears_;
  }
  cv_.notify_all();
}

ClipWaits::Ended ClipWaits::Wait(ClipHold& hold, const ClipRings& rings, SaveProgress& progress,
                                 int64_t requestTicks, int64_t endTicks, const std::atomic<bool>& stopped) {
  constexpr int64_t kTicksPerMs = 10000;
  constexpr auto kPoll = std::chrono::milliseconds(100);
  // A stop joins the workers before it clears the rings.
  constexpr auto kStopHandOver = std::chrono::seconds(5);
  UniqueLock lock(mutex_);
  hold_ = &hold;
  const uint64_t clearsAtStart = clears_;
  const auto total = static_cast<uint32_t>((endTicks - requestTicks) / kTicksPerMs);
  Ended ended{endTicks, false, false};
  for (;;) {
    const int64_t now = TickClock::Now();
    const bool cleared = clears_ != clearsAtStart;
    // After a clear the rings hold nothing of this clip any more.
    if (!cleared) hold.Merge(rings, now);
    if (now >= endTicks) break;
    if (stopsPending_ > 0 || cleared || stopped.load()) {
      if (!cleared && stopsPending_ == 0) {
        // The capture itself is stopping (a restart after a device loss):
        // its stop hands over what the rings hold before clearing them.
        cv_.wait_for(lock, kStopHandOver, [&] {
          mutex_.AssertHeld();
          return clears_ != clearsAtStart;
        });
      }
      ended = Ended{std::max(now, requestTicks), true, clears_ != clearsAtStart};
      break;
    }
    progress.Set(5, static_cast<uint32_t>(std::max<int64_t>(now - requestTicks, 0) / kTicksPerMs), total);
    const auto remaining = std::chrono::microseconds((endTicks - now + 9) / 10);
    cv_.wait_for(lock, std::min<std::chrono::microseconds>(remaining, kPoll),
                 [&] {
                   mutex_.AssertHeld();
                   return stopsPending_ > 0 || clears_ != clearsAtStart;
                 });
  }
  hold_ = nullptr;
  return ended;
}

}  // namespace ostrel
