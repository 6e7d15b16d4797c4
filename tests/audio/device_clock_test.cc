// The device clock follows packet stamps of devices running fast or slow,
// through stamp jitter, without ever jumping.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "audio/device_clock.h"

namespace ostrel::testing {
namespace {

constexpr uint32_t kRate = 48000;
constexpr uint64_t kPacket = kRate / 100;  // 10 ms
constexpr int64_t kStart = 123456789;

TEST(DeviceClock, FollowsStampedDevicesFastOrSlowWithoutJumps) {
  for (double ppm : {-2000.0, -100.0, 0.0, 250.0, 2000.0}) {
    SCOPED_TRACE(ppm);
    const double truePeriod = 1e7 / (kRate * (1.0 + ppm * 1e-6));
    auto trueTicks = [&](uint64_t frame) { return kStart + static_cast<double>(frame) * truePeriod; };
    // Stamps read up to half a millisecond off, pseudo-randomly.
    uint32_t seed = 7;
    auto jitter = [&] {
      seed = seed * 1664525u + 1013904223u;
      return (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 10000.0;
    };
    DeviceClock clock(kRate, kStart + 3000000);  // the stream's start was read 0.3 s late
    int64_t previousStep = 0;
    double worstLate = 0;
    for (uint64_t frame = 0; frame < 60ull * kRate; frame += kPacket) {
      clock.Observe(frame, static_cast<int64_t>(std::llround(trueTicks(frame) + jitter())));
      const int64_t step = clock.TicksAt(frame + kPacket) - clock.TicksAt(frame);
      // The line only bends: a packet's length never changes by more than
      // a few microseconds from one packet to the next.
      if (frame > 0) {
        EXPECT_LE(std::llabs(step - previousStep), 50) << "frame " << frame;
      }
      previousStep = step;
      EXPECT_EQ(clock.FrameAt(clock.TicksAt(frame)), frame);
      if (frame >= 5ull * kRate) {
        worstLate = std::max(worstLate, std::fabs(static_cast<double>(clock.TicksAt(frame)) - trueTicks(frame)));
      }
    }
    // Once settled, every frame sits within a quarter millisecond of its
    // true capture time, and the rate is known to a few ppm.
    EXPECT_LT(worstLate, 2500.0);
    EXPECT_NEAR(clock.RatePpm(), ppm, 10.0);
  }
}

TEST(DeviceClock, WithoutStampsRunsAtTheNominalRateFromTheStreamStart) {
  DeviceClock clock(44100, kStart);
  EXPECT_EQ(clock.TicksAt(0), kStart);
  EXPECT_EQ(clock.TicksAt(44100), kStart + 10000000);
  EXPECT_EQ(clock.FrameAt(kStart + 100000), 441u);
  EXPECT_EQ(clock.FrameAt(kStart - 5000000), 0u);  // nothing before the start
}

}  // namespace
}  // namespace ostrel::testing
