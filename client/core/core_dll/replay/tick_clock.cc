#include "replay/tick_clock.h"

#include "sync/mutex.h"

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
    int64_t frequency = ClockCounterFrequency();
    return ClockBase{frequency > 0 ? frequency : 1, ClockCounterNow()};
  }();
  return base;
}

// Readings and the time left out go under one lock: a reading taken before
// a jump was noticed must never come out after one taken later.
struct SleepState {
  Mutex mutex;
  int watches GUARDED_BY(mutex) = 0;
  int64_t lastRaw GUARDED_BY(mutex) = 0;  // the latest raw reading while watched
  int64_t slept GUARDED_BY(mutex) = 0;
};

SleepState& Sleep() {
  static SleepState state;
  return state;
}

int64_t RawNow() {
  const ClockBase& base = Base();
  return TickClock::CounterToTicks(ClockCounterNow() - base.counter,
                                   base.frequency);
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
  SleepState& state = Sleep();
  LockGuard lock(state.mutex);
  const int64_t raw = RawNow();
  if (state.watches > 0) {
    // The whole gap is left out: the timeline goes on from the last reading.
    if (raw - state.lastRaw > kSleepGapTicks) state.slept += raw - state.lastRaw;
    if (raw > state.lastRaw) state.lastRaw = raw;
  }
  return raw - state.slept;
}

int64_t TickClock::SleptTicks() {
  SleepState& state = Sleep();
  LockGuard lock(state.mutex);
  return state.slept;
}

TickClock::SleepWatch::SleepWatch() {
  SleepState& state = Sleep();
  LockGuard lock(state.mutex);
  // A first watch measures gaps from now, not from the last capture.
  if (state.watches++ == 0) state.lastRaw = RawNow();
}

TickClock::SleepWatch::~SleepWatch() {
  SleepState& state = Sleep();
  LockGuard lock(state.mutex);
  --state.watches;
}

int64_t TickClock::FromCounter100ns(uint64_t counter100ns) {
  const ClockBase& base = Base();
  return static_cast<int64_t>(counter100ns) - CounterToTicks(base.counter, base.frequency) - SleptTicks();
}

uint64_t TickClock::ToCounter100ns(int64_t ticks) {
  const ClockBase& base = Base();
  return static_cast<uint64_t>(ticks + CounterToTicks(base.counter, base.frequency) + SleptTicks());
}

}  // namespace ostrel
