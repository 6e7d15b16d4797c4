// Session rules that need no capture: output size, sustainable rate,
// backoff tiers and caps.
#include <gtest/gtest.h>

#include <atomic>
#include <tuple>
#include <vector>

#include "encode/backoff.h"
#include "ostrel_session.h"

namespace ostrel {
namespace {

std::pair<uint32_t, uint32_t> OutputFor(uint32_t width, uint32_t height, uint32_t maxHeight) {
  uint32_t w = 0, h = 0;
  ComputeOutputSize(width, height, maxHeight, &w, &h);
  return {w, h};
}

TEST(OutputSizeTest, ScalesDownToTheMaxHeightAtEvenSizesAndNeverBelowTwo) {
  using Size = std::pair<uint32_t, uint32_t>;
  EXPECT_EQ(OutputFor(1920, 1080, 720), Size(1280, 720));
  EXPECT_EQ(OutputFor(1920, 1080, 0), Size(1920, 1080));  // no limit
  EXPECT_EQ(OutputFor(1920, 1080, 5000), Size(1920, 1080));  // never scaled up
  EXPECT_EQ(OutputFor(1366, 768, 480), Size(854, 480));
  EXPECT_EQ(OutputFor(1001, 601, 0), Size(1000, 600));  // odd sizes: the even size below
  EXPECT_EQ(OutputFor(1001, 601, 301), Size(500, 300));
  EXPECT_EQ(OutputFor(1, 1, 0), Size(2, 2));
  EXPECT_EQ(OutputFor(3, 4000, 8), Size(2, 8));
}

TEST(OutputSizeTest, CapsTheLongSideAtWhatH264EncodersTake) {
  using Size = std::pair<uint32_t, uint32_t>;
  uint32_t w = 0, h = 0;
  EXPECT_TRUE(ComputeOutputSize(8000, 8000, 0, &w, &h));
  EXPECT_EQ(Size(w, h), Size(3072, 3072));  // no more than 4096x2304 pixels a frame either
  EXPECT_EQ(OutputFor(7680, 4320, 0), Size(4096, 2304));
  EXPECT_EQ(OutputFor(4320, 7680, 0), Size(2304, 4096));  // portrait: the height is the long side
  EXPECT_EQ(OutputFor(16384, 100, 0), Size(4096, 24));
  EXPECT_EQ(OutputFor(7680, 4320, 4320), Size(4096, 2304));  // a max height above the cap
  EXPECT_EQ(OutputFor(7680, 4320, 1080), Size(1920, 1080));  // a max height below it
  // Sizes at the cap or under it are kept, and say so.
  EXPECT_FALSE(ComputeOutputSize(4096, 2160, 0, &w, &h));
  EXPECT_EQ(Size(w, h), Size(4096, 2160));
  EXPECT_FALSE(ComputeOutputSize(8000, 4500, 2304, &w, &h));
  EXPECT_EQ(Size(w, h), Size(4096, 2304));
  // The frame area: a square at the long-side cap is over it, and so is a
  // window just inside the long side; each keeps its aspect ratio and stays
  // within 36864 macroblocks.
  EXPECT_TRUE(ComputeOutputSize(4096, 4096, 0, &w, &h));
  EXPECT_EQ(Size(w, h), Size(3072, 3072));
  EXPECT_EQ(OutputFor(4000, 3000, 0), Size(3540, 2654));
  const Size odd = OutputFor(5001, 3333, 0);
  EXPECT_LE(((odd.first + 15) / 16) * ((odd.second + 15) / 16), 36864u);
  EXPECT_NEAR(static_cast<double>(odd.first) / odd.second, 5001.0 / 3333.0, 0.01);
  EXPECT_GE(((odd.first + 15) / 16) * ((odd.second + 15) / 16), 36000u) << "not shrunk further than it needs";
}

TEST(SustainableFpsTest, NeedsThirtyFramesThenDiscountsOverwrites) {
  OstrelSession session;
  SessionState& state = session.State();
  state.fps = 60;
  state.framesDelivered.store(29);
  EXPECT_EQ(session.GetMeasuredSustainableFps(), 0.0);
  state.framesDelivered.store(100);
  state.framesOverwritten.store(10);
  EXPECT_DOUBLE_EQ(session.GetMeasuredSustainableFps(), 54.0);
}

TEST(BackoffTest, TierFollowsTheDropRateAndCapsTheRateWithAFloorOfTen) {
  // {tier, drop rate, next tier}: up past 0.15 (two steps past 0.375), down
  // below 0.05, at most tier 3.
  const std::tuple<int, double, int> steps[] = {{0, 0.15, 0}, {0, 0.1501, 1}, {0, 0.376, 2}, {3, 0.9, 3},
                                                {2, 0.05, 2}, {2, 0.0499, 1}, {0, 0.0, 0}};
  for (const auto& [tier, rate, next] : steps) EXPECT_EQ(NextBackoffTier(tier, rate), next) << tier << " " << rate;
  // {tier, fps, cap}
  const std::tuple<int, uint32_t, uint32_t> caps[] = {{0, 30, 0}, {1, 30, 25}, {3, 30, 15}, {2, 60, 39}, {3, 15, 10}};
  for (const auto& [tier, fps, cap] : caps) EXPECT_EQ(BackoffCap(tier, fps), cap) << tier << " " << fps;

  // One tick a segment: counters reset, changes logged, a cycle without
  // writes is clean.
  std::atomic<uint64_t> calls{10}, failures{5};
  std::atomic<int32_t> tier{0};
  std::vector<std::wstring> lines;
  auto log = [&](const std::wstring& line) { lines.push_back(line); };
  EXPECT_EQ(BackoffTick({calls, failures, tier}, 30, log), 19u);
  EXPECT_EQ(calls.load() + failures.load(), 0u);
  EXPECT_EQ(BackoffTick({calls, failures, tier}, 30, log), 25u);
  calls.store(100);
  failures.store(10);  // 0.10: holds
  EXPECT_EQ(BackoffTick({calls, failures, tier}, 30, log), 25u);
  EXPECT_EQ(lines, (std::vector<std::wstring>{L"[DIAG-BACKOFF] dropRate=0.500000 tier 0 -> 2",
                                              L"[DIAG-BACKOFF] dropRate=0.000000 tier 2 -> 1"}));
}

}  // namespace
}  // namespace ostrel
