// The tick clock's counter: the linked backend's performance counter.
#include "platform/platform.h"
#include "replay/tick_clock.h"

namespace ostrel {

int64_t ClockCounterNow() { return platform::GetPlatform().system.PerformanceCounter(); }

int64_t ClockCounterFrequency() { return platform::GetPlatform().system.PerformanceFrequency(); }

}  // namespace ostrel
