#include "audio/device_clock.h"

#include <algorithm>
#include <cmath>

namespace ostrel {
namespace {

constexpr double kTicksPerSecond = 10000000.0;
// Loop gains: the phase error is steered out with a time constant of half a
// second (proportional), the rate follows with critical damping (integral).
constexpr double kProportional = 2.0;                                // 1/s
constexpr double kIntegral = kProportional * kProportional / 4.0;   // 1/s^2
// Stamps are averaged over about this long before they steer.
constexpr double kErrorSmoothingSeconds = 0.05;
// A stamp further off than this is not believed (a stalled reader, a
// platform hiccup); it steers as if it were this far.
constexpr double kMaxErrorTicks = 0.05 * kTicksPerSecond;
// No real device is further off than this.
constexpr double kMaxRateCorrection = 0.01;

}  // namespace

DeviceClock::DeviceClock(uint32_t nominalRate, int64_t streamStartTicks)
    : nominalPeriod_(kTicksPerSecond / std::max<uint32_t>(nominalRate, 1)),
      period_(nominalPeriod_),
      anchorTicks_(static_cast<double>(streamStartTicks)) {}

void DeviceClock::Observe(uint64_t frame, int64_t ticks) {
  const double observed = static_cast<double>(ticks);
  if (!observed_) {
    observed_ = true;
    anchorFrame_ = frame;
    anchorTicks_ = observed;
    lastObservedFrame_ = frame;
    return;
  }
  if (frame <= lastObservedFrame_) return;
  const double predicted = anchorTicks_ + static_cast<double>(frame - anchorFrame_) * period_;
  const double error = std::clamp(observed - predicted, -kMaxErrorTicks, kMaxErrorTicks);
  const double dt = static_cast<double>(frame - lastObservedFrame_) * period_ / kTicksPerSecond;  // s
  lastObservedFrame_ = frame;
  filteredError_ += (error - filteredError_) * std::min(1.0, dt / kErrorSmoothingSeconds);
  const double errorSeconds = filteredError_ / kTicksPerSecond;
  rateCorrection_ = std::clamp(rateCorrection_ + kIntegral * errorSeconds * dt, -kMaxRateCorrection,
                               kMaxRateCorrection);
  const double slope =
      std::clamp(1.0 + rateCorrection_ + kProportional * errorSeconds, 1.0 - 2 * kMaxRateCorrection,
                 1.0 + 2 * kMaxRateCorrection);
  // The line bends here: same tick at this frame, new slope from it on.
  anchorTicks_ = predicted;
  anchorFrame_ = frame;
  period_ = nominalPeriod_ * slope;
}

int64_t DeviceClock::TicksAt(uint64_t frame) const {
  const double offset = frame >= anchorFrame_ ? static_cast<double>(frame - anchorFrame_)
                                              : -static_cast<double>(anchorFrame_ - frame);
  return static_cast<int64_t>(std::floor(anchorTicks_ + offset * period_));
}

uint64_t DeviceClock::FrameAt(int64_t ticks) const {
  const double frames = std::ceil((static_cast<double>(ticks) - anchorTicks_) / period_);
  const double frame = static_cast<double>(anchorFrame_) + frames;
  return frame <= 0.0 ? 0 : static_cast<uint64_t>(frame);
}

double DeviceClock::RatePpm() const { return (1.0 / (1.0 + rateCorrection_) - 1.0) * 1e6; }

}  // namespace ostrel
