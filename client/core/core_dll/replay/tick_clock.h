// The process-wide monotonic clock in 100-nanosecond ticks, based on the
// performance counter once per process. Every thread's ticks compare.
//
// While a capture runs (a SleepWatch is held), time the process spent asleep
// or frozen is left out: a jump of more than kSleepGapTicks between two
// readings (the capture reads the clock several times a second) is taken
// out of every later reading, so the recording's timeline runs on from where
// it stopped, and what was recorded before the gap stays the latest past.
#pragma once

#include <cstdint>

namespace ostrel {

class TickClock {
 public:
  static constexpr int64_t kTicksPerSecond = 10000000;
  static constexpr int64_t kSleepGapTicks = 3 * kTicksPerSecond;
  // Ticks since the clock's base (first use in the process), less the time
  // left out as asleep.
  static int64_t Now();
  // The time left out as asleep so far.
  static int64_t SleptTicks();
  // Counter advance -> ticks without overflow for any 64-bit advance.
  static int64_t CounterToTicks(int64_t counterDelta, int64_t frequency);
  // The performance counter in 100 ns units (WASAPI's QPC position) as a
  // tick, and back (the time left out as asleep so far applies).
  static int64_t FromCounter100ns(uint64_t counter100ns);
  static uint64_t ToCounter100ns(int64_t ticks);

  // Held while a capture runs: jumps of the clock are left out as sleep.
  class SleepWatch {
   public:
    SleepWatch();
    ~SleepWatch();
    SleepWatch(const SleepWatch&) = delete;
    SleepWatch& operator=(const SleepWatch&) = delete;
  };
};

// The performance counter the clock reads and its frequency (counts per
// second). Defined by the platform layer (platform/clock_counter.cc), which
// reads the linked backend's, so the clock itself knows no platform.
int64_t ClockCounterNow();
int64_t ClockCounterFrequency();

}  // namespace ostrel
