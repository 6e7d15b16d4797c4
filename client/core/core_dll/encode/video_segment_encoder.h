// The encoder of one video segment: constructed ready for frames, fed,
// drained, finalized once, destroyed. One thread at a time uses it.
#pragma once

#include <cstdint>

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
  // The segment continues the timeline of one whose last frame was stamped
  // `previousTicks`: its first slot is the one after, and the slots before
  // its first frame hold that frame's picture. Called before the first frame.
  virtual void ContinueAfter(int64_t previousTicks) { (void)previousTicks; }
  // Finishes every frame whose GPU copy is still in flight.
  virtual void DrainPending() {}
  // The finished segment (complete MP4 bytes, duration, frames, start tick,
  // needsReencode). Called once, after DrainPending.
  virtual EncodedSegment Finalize() = 0;
};

}  // namespace ostrel
