#include "encode/backoff.h"

#include <algorithm>
#include <cmath>

#include "log/log.h"

namespace ostrel {
namespace {

constexpr double kTierFraction[] = {1.0, 0.85, 0.66, 0.5};

}  // namespace

int32_t NextBackoffTier(int32_t oldTier, double dropRate) {
  if (dropRate > 0.15 && oldTier < 3) {
    int32_t step = dropRate > 0.375 ? 2 : 1;
    return std::min(3, oldTier + step);
  }
  if (dropRate < 0.05 && oldTier >= 1) return oldTier - 1;
  return oldTier;
}

uint32_t BackoffCap(int32_t tier, uint32_t fps) {
  if (tier <= 0) return 0;
  double capped = std::trunc(static_cast<double>(fps) * kTierFraction[std::min(tier, 3)]);
  return std::max<uint32_t>(10, static_cast<uint32_t>(capped));
}

uint32_t BackoffTick(BackoffCounters counters, uint32_t fps, const std::function<void(const std::wstring&)>& log) {
  uint64_t calls = counters.writeCalls.exchange(0);
  uint64_t failures = counters.writeFailures.exchange(0);
  double dropRate = calls == 0 ? 0.0 : static_cast<double>(failures) / static_cast<double>(calls);
  int32_t oldTier = counters.backoffTier.load();
  int32_t newTier = NextBackoffTier(oldTier, dropRate);
  if (newTier != oldTier) {
    counters.backoffTier.store(newTier);
    log(L"[DIAG-BACKOFF] dropRate=" + Fixed6(dropRate) + L" tier " + std::to_wstring(oldTier) + L" -> " +
        std::to_wstring(newTier));
  }
  return BackoffCap(newTier, fps);
}

}  // namespace ostrel
