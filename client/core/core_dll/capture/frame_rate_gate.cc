#include "capture/frame_rate_gate.h"

#include <algorithm>
#include <cmath>

#include "replay/tick_clock.h"

namespace ostrel {

void FrameRateGate::Reset(int64_t startTicks, uint32_t fps) {
  LockGuard lock(mutex_);
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
  LockGuard lock(mutex_);
  // The first frame after a start is always taken: nothing was taken before
  // it, and a still window may never send another.
  if (!anchored_) {
    anchorTicks_ = ticks;
    index_ = 0;
    anchored_ = true;
    lateRun_ = 0;
    return ticks;
  }
  const auto late = static_cast<double>(ticks - SlotTicks(index_ + 1));
  if (late < -periodTicks_ / 4) return std::nullopt;
  // A frame later than the next slot (a slower source, jitter, a stall)
  // takes the slot it arrived in, on the same grid: the slots it skipped
  // hold the previous picture (the encoder repeats it), so the timeline
  // keeps one frame per slot whatever the source's rate. A slot runs from a
  // quarter period before its time to three quarters after.
  index_ += 1 + static_cast<int64_t>(std::floor((late + periodTicks_ / 4) / periodTicks_));
  const auto offSlot = static_cast<double>(ticks - SlotTicks(index_));
  if (offSlot > periodTicks_ / 2) {
    // More than half a period late even for its own slot: the grid moves
    // later to the frame, which is stamped at its arrival (the slot count
    // goes on, so no slot before it is lost).
    anchorTicks_ += static_cast<int64_t>(offSlot);
    lateRun_ = 0;
    return SlotTicks(index_);
  }
  // Frames that keep arriving late against the grid (it started at a late
  // frame, or the source's phase moved) move it later by the least of their
  // delays: it settles on the source's own timing, never on one frame's
  // jitter.
  if (offSlot > periodTicks_ / 8) {
    const auto delay = static_cast<int64_t>(offSlot);
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
  LockGuard lock(mutex_);
  if (!anchored_) return std::nullopt;
  // Slot k's window closes three quarters of a period after it: a frame
  // that late still takes its slot, and is not pushed out by a repeat.
  const double sinceAnchor = static_cast<double>(nowTicks - anchorTicks_) - periodTicks_ * 3 / 4;
  const auto latestClosed = static_cast<int64_t>(std::floor(sinceAnchor / periodTicks_));
  if (latestClosed <= index_) return std::nullopt;
  index_ = latestClosed;
  return SlotTicks(index_);
}

}  // namespace ostrel
