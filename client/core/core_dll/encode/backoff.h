// Frame-drop backoff: once per segment interval the share of WriteFrame
// calls that had to drop a frame moves the tier (0..3), and the tier's frame
// rate cap travels with the next spare encoder.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace ostrel {

// The tier after a cycle with `dropRate` at tier `oldTier`.
int32_t NextBackoffTier(int32_t oldTier, double dropRate);
// The frame-rate cap of a tier (0: none; never below 10 otherwise).
uint32_t BackoffCap(int32_t tier, uint32_t fps);

struct BackoffCounters {
  std::atomic<uint64_t>& writeCalls;
  std::atomic<uint64_t>& writeFailures;
  std::atomic<int32_t>& backoffTier;
};

// One tick: reads and resets the counters, moves the tier (logging a change)
// and returns the cap for the next spare.
uint32_t BackoffTick(BackoffCounters counters, uint32_t fps, const std::function<void(const std::wstring&)>& log);

}  // namespace ostrel
