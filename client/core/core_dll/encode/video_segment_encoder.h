// The encoder of one video segment: constructed ready for frames, fed,
// drained, finalized once, destroyed. One thread at a time uses it.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/gpu.h"
#include "replay/records.h"

namespace ostrel {

class IVideoSegmentEncoder {
 public:
  virtual ~IVideoSegmentEncoder() = default;
  // Submits the latest frame (BGRA at the capture size, or NV12 at the
  // output size when the capture copy converted it) with its tick stamp. False
  // when an older frame had to be dropped during the call. May throw
  // HresultError for a failing graphics call.
  virtual bool WriteFrame(platform::ITexture& frame, int64_t ticks) = 0;
  // The last picture written again, stamped `ticks` (after the ones written
  // so far): false, and nothing done, when this encoder has none.
  virtual bool RepeatLast(int64_t ticks) {
    (void)ticks;
    return false;
  }
  // The segment continues the timeline of another, on the same slot grid:
  // `slotTicks` is its first slot (the one after the other's last frame),
  // and the slots before its first frame hold that frame's picture. Called
  // before the first frame.
  virtual void ContinueAt(int64_t slotTicks) { (void)slotTicks; }
  // The slot after the last frame taken (pending copies drained first), on
  // this segment's grid; none before a first frame or a continuation.
  virtual std::optional<int64_t> NextSlotTicks() const { return std::nullopt; }
  // Finishes every frame whose GPU copy is still in flight.
  virtual void DrainPending() {}
  // The finished segment (complete MP4 bytes, duration, frames, start tick,
  // needsReencode). Called once, after DrainPending.
  virtual EncodedSegment Finalize() = 0;
};

}  // namespace ostrel
