// Sync marks of the fake world: every period P (tick-clock multiples of P),
// windows flash full white for 50 ms and render endpoints click at full scale
// for 10 ms, both starting at the same instant.
#pragma once

#include <atomic>
#include <cstdint>

namespace ostrel::sim {

class SyncMarks {
 public:
  static constexpr int64_t kFlashTicks = 50 * 10000;  // 50 ms
  static constexpr int64_t kClickTicks = 10 * 10000;  // 10 ms

  void SetPeriodMs(int periodMs) { periodTicks_.store(periodMs > 0 ? int64_t{periodMs} * 10000 : 0); }
  int64_t PeriodTicks() const { return periodTicks_.load(); }

  bool FlashAt(int64_t ticks) const { return WithinMark(ticks, kFlashTicks); }
  bool ClickAt(int64_t ticks) const { return WithinMark(ticks, kClickTicks); }

 private:
  bool WithinMark(int64_t ticks, int64_t length) const {
    int64_t period = periodTicks_.load();
    if (period <= 0 || ticks < 0) return false;
    return ticks % period < length;
  }

  std::atomic<int64_t> periodTicks_{0};
};

// The one world's sync marks, shared by the video and the audio side of the
// fake world (set by OstrelSim_SetSyncMarks, cleared by OstrelSim_Reset).
inline SyncMarks& WorldSyncMarks() {
  static SyncMarks marks;
  return marks;
}

}  // namespace ostrel::sim
