#include "replay/tick_clock.h"

#include "platform/platform.h"

namespace ostrel {
namespace {

struct ClockBase {
  int64_t frequency;
  int64_t counter;
};

const ClockBase& Base() {
  // A function-local static is initialised once, safely against concurrent
  // first use.
  static const ClockBase base = [] {
    auto& system = platform::GetPlatform().system;
    int64_t frequency = system.PerformanceFrequency();
    return ClockBase{frequency > 0 ? frequency : 1, system.PerformanceCounter()};
  }();
  return base;
}

}  // namespace

int64_t TickClock::CounterToTicks(int64_t counterDelta, int64_t frequency) {
  // Split into whole seconds and remainder so that delta * 10^7 never
  // overflows, whatever the frequency.
  int64_t seconds = counterDelta / frequency;
  int64_t remainder = counterDelta % frequency;
  return seconds * kTicksPerSecond + remainder * kTicksPerSecond / frequency;
}

int64_t TickClock::Now() {
  const ClockBase& base = Base();
  int64_t now = platform::GetPlatform().system.PerformanceCounter();
  return CounterToTicks(now - base.counter, base.frequency);
}

}  // namespace ostrel

namespace ostrel {

int64_t TickClock::FromCounter100ns(uint64_t counter100ns) {
  const ClockBase& base = Base();
  return static_cast<int64_t>(counter100ns) - CounterToTicks(base.counter, base.frequency);
}

uint64_t TickClock::ToCounter100ns(int64_t ticks) {
  const ClockBase& base = Base();
  return static_cast<uint64_t>(ticks + CounterToTicks(base.counter, base.frequency));
}

}  // namespace ostrel
