// The replay length and the floor tick of the latest capture start.
// Lock-free: both fields are sequentially consistent atomics.
#pragma once

#include <atomic>
#include <cstdint>

#include "replay/records.h"

namespace ostrel {

class ReplayWindow {
 public:
  explicit ReplayWindow(double seconds = 60.0) : seconds_(seconds) {}

  void SetSeconds(double seconds) { seconds_.store(seconds); }
  double Seconds() const { return seconds_.load(); }
  // floor = now: nothing before the latest capture start is kept or saved.
  void MarkStart();
  int64_t FloorTicks() const { return floorTicks_.load(); }
  // Sets the floor directly. Tests use it to put a whole replay length of
  // records before the clock's early readings (ticks may be negative).
  void SetFloorTicks(int64_t ticks) { floorTicks_.store(ticks); }

  // max(now - replay length - a save's lag, floor): what a save requested up
  // to a cut's wait ago may still need is kept.
  int64_t EvictionCutoff() const;
  // [max(now - replay length, floor), now]; its start is the clip's zero.
  TickSpan SaveSpan() const;

  // The same rules at a given instant (what the two above use).
  int64_t CutoffAt(int64_t nowTicks) const;
  // [max(end - seconds, floor), end]: the span of a clip of `seconds` (the
  // replay length when not in 1..replay length) ending at `endTicks`.
  TickSpan SpanEndingAt(int64_t endTicks, double seconds) const;

 private:
  std::atomic<double> seconds_;
  std::atomic<int64_t> floorTicks_{0};
};

}  // namespace ostrel
