// The process-wide monotonic clock in 100-nanosecond ticks, based on the
// performance counter once per process. Every thread's ticks compare.
#pragma once

#include <cstdint>

namespace ostrel {

class TickClock {
 public:
  static constexpr int64_t kTicksPerSecond = 10000000;
  // Ticks since the clock's base (first use in the process).
  static int64_t Now();
  // Counter advance -> ticks without overflow for any 64-bit advance.
  static int64_t CounterToTicks(int64_t counterDelta, int64_t frequency);
  // The performance counter in 100 ns units (WASAPI's QPC position) as a
  // tick, and back.
  static int64_t FromCounter100ns(uint64_t counter100ns);
  static uint64_t ToCounter100ns(int64_t ticks);
};

}  // namespace ostrel
