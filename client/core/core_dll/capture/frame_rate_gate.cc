#include "capture/frame_rate_gate.h"

#include <algorithm>
#include <cmath>

#include "replay/tick_clock.h"

namespace ostrel {

void FrameRateGate::Reset(int64_t startTicks, uint32_t fps) {
  std::lock_guard lock(mutex_);
  periodTicks_ = static_cast<double>(TickClock::kTicksPerSecond) / std::max<uint32_t>(fps, 1);
  anchorTicks_ = startTicks;
  index_ = 0;
  anchored_ = false;
  lateRun_ = 0;
}

int64_t FrameRateGate::SlotTicks(int64_t index) const {
  return anchorTicks_ + std::llround(static_cast<double>(index) * periodTicks_);
}

std::optional<int64_t> FrameRateGate::Admit(int64_t ticks) {
  std::lock_guard lock(mutex_);
  const auto late = static_cast<double>(ticks - SlotTicks(index_ + 1));
  // The first frame after a start is always taken: nothing was taken before
  // it, and a still window may never send another.
  if (anchored_ && late < -periodTicks_ / 4) return std::nullopt;
  if (!anchored_ || late > periodTicks_ / 2) {
    anchorTicks_ = ticks;
    index_ = 0;
    anchored_ = true;
    lateRun_ = 0;
    return ticks;
  }
  ++index_;
  // A grid started at a late frame runs early against the source, and every
  // frame after it would be stamped early. Frames that keep arriving late
  // move the grid later by the least of their delays: it settles on the
  // source's own timing, never on one frame's jitter.
  if (late > periodTicks_ / 8) {
    const auto delay = static_cast<int64_t>(late);
    leastLate_ = lateRun_ == 0 ? delay : std::min(leastLate_, delay);
    if (++lateRun_ == kSettleFrames) {
      anchorTicks_ += leastLate_;
      lateRun_ = 0;
    }
  } else {
    lateRun_ = 0;
  }
  return SlotTicks(index_);
}

std::optional<int64_t> FrameRateGate::TakeMissedSlot(int64_t nowTicks) {
  std::lock_guard lock(mutex_);
  if (!anchored_) return std::nullopt;
  // Slot k's window closes half a period after it.
  const double sinceAnchor = static_cast<double>(nowTicks - anchorTicks_) - periodTicks_ / 2;
  const auto latestClosed = static_cast<int64_t>(std::floor(sinceAnchor / periodTicks_));
  if (latestClosed <= index_) return std::nullopt;
  index_ = latestClosed;
  return SlotTicks(index_);
}

}  // namespace ostrel
