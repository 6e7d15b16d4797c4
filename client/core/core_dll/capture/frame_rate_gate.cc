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
  driftSide_ = 0;
  driftRun_ = 0;
  movedEarlier_ = 0;
}

int64_t FrameRateGate::SlotTicks(int64_t index) const {
  return anchorTicks_ + std::llround(static_cast<double>(index) * periodTicks_);
}

std::optional<int64_t> FrameRateGate::Admit(int64_t ticks) {
  std::lock_guard lock(mutex_);
  const auto late = static_cast<double>(ticks - SlotTicks(index_ + 1));
  if (late < -periodTicks_ / 4) return std::nullopt;
  if (!anchored_ || late > periodTicks_ / 2) {
    anchorTicks_ = ticks;
    index_ = 0;
    anchored_ = true;
    driftSide_ = 0;
    driftRun_ = 0;
    movedEarlier_ = 0;
    return ticks;
  }
  ++index_;
  Settle(late);
  return SlotTicks(index_);
}

// A grid started at an unusually late frame can sit off the source's own
// timing by up to half a period either way, and every frame after it would
// be stamped that much early or late. Frames that keep arriving more than an
// eighth of a period off their
// slots, on one side, move the grid by the smallest of their offsets: it
// settles on the source's own timing, never on one frame's jitter. Earlier
// moves make slots closer than a period, so they are bounded to a quarter
// period per grid: stamps then never come close enough to round to one time
// stamp, and a source faster than the capture is not followed.
void FrameRateGate::Settle(double late) {
  const int side = late > periodTicks_ / 8 ? 1 : (late < -periodTicks_ / 8 ? -1 : 0);
  if (side != driftSide_) {
    driftSide_ = side;
    driftRun_ = 0;
  }
  if (side == 0) return;
  const auto offset = static_cast<int64_t>(late);
  smallestOffset_ = driftRun_ == 0 ? offset : (side > 0 ? std::min(smallestOffset_, offset)
                                                       : std::max(smallestOffset_, offset));
  if (++driftRun_ < kSettleFrames) return;
  driftRun_ = 0;
  int64_t shift = smallestOffset_;
  if (shift < 0) {
    shift = std::max(shift, -(static_cast<int64_t>(periodTicks_ / 4) - movedEarlier_));
    movedEarlier_ -= shift;
  }
  anchorTicks_ += shift;
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
