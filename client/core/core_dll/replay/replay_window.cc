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

int64_t ReplayWindow::EvictionCutoff() const { return CutoffAt(TickClock::Now()); }

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
