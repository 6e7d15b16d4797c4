#include "replay/replay_window.h"

#include <algorithm>
#include <cmath>

#include "replay/tick_clock.h"

namespace ostrel {

void ReplayWindow::MarkStart() { floorTicks_.store(TickClock::Now()); }

int64_t ReplayWindow::CutoffAt(int64_t nowTicks) const {
  auto length = static_cast<int64_t>(std::trunc(seconds_.load() * 10000000.0));
  return std::max(nowTicks - length, floorTicks_.load());
}

// A save's span ends at its request, but the records that end there are
// appended once the cut is done, up to the cut's wait later; records the span
// still needs must outlive that wait, so eviction runs this far behind.
constexpr int64_t kSaveLagTicks = 3 * 10000000LL;

int64_t ReplayWindow::EvictionCutoff() const { return CutoffAt(TickClock::Now() - kSaveLagTicks); }

TickSpan ReplayWindow::SpanEndingAt(int64_t endTicks, double seconds) const {
  const double replay = seconds_.load();
  if (!(seconds >= 1.0 && seconds <= replay)) seconds = replay;
  auto length = static_cast<int64_t>(std::trunc(seconds * 10000000.0));
  return TickSpan{std::max(endTicks - length, floorTicks_.load()), endTicks};
}

TickSpan ReplayWindow::SaveSpan() const {
  int64_t now = TickClock::Now();
  return TickSpan{CutoffAt(now), now};
}

}  // namespace ostrel
