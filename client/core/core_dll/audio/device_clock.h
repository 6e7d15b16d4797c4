// Where a device's audio frames lie on the tick clock. The device counts
// frames by its own crystal, which runs a little fast or slow against the
// tick clock (a few hundred ppm is common); the platform stamps packets with
// the tick-clock time of their first frame. A second-order loop follows
// those stamps: the frame-to-tick line bends gently towards them (its slope
// carries the device's rate, its phase the stamps' mean), so the timeline
// never jumps and jitter in single stamps averages out. Without stamps the
// timeline stays at the nominal rate from the stream's start.
#pragma once

#include <cstdint>

namespace ostrel {

class DeviceClock {
 public:
  DeviceClock(uint32_t nominalRate, int64_t streamStartTicks);

  // The packet whose first frame is timeline frame `frame` was captured at
  // `ticks`. The first stamp sets the phase outright (nothing has been
  // placed on the timeline yet when it comes); later ones steer.
  void Observe(uint64_t frame, int64_t ticks);

  // The tick of timeline frame `frame` (continuous and rising in `frame`).
  int64_t TicksAt(uint64_t frame) const;
  // The first frame whose tick is at or after `ticks` (0 before the start).
  uint64_t FrameAt(int64_t ticks) const;
  // The device's rate against the tick clock as the loop has learnt it, in
  // ppm (positive: the device is fast).
  double RatePpm() const;

 private:
  double nominalPeriod_;   // ticks per frame at the nominal rate
  double period_;          // ticks per frame now
  double rateCorrection_ = 0.0;  // integral part: relative period change
  double filteredError_ = 0.0;   // ticks
  uint64_t anchorFrame_ = 0;
  double anchorTicks_;
  bool observed_ = false;
  uint64_t lastObservedFrame_ = 0;
};

}  // namespace ostrel
