// Replay buffer: eviction by time, snapshots of a span, byte totals, and the
// window's cutoff and span rules.
#include <gtest/gtest.h>

#include <thread>

#include "replay/audio_ring.h"
#include "replay/record_ring.h"
#include "replay/replay_window.h"
#include "replay/tick_clock.h"

namespace ostrel {
namespace {

EncodedSegment SegmentEndingAt(int64_t endTicks, size_t bytes = 0) {
  EncodedSegment segment;
  segment.startTicks = endTicks - 10;
  segment.durationSeconds = 10 / 10000000.0;
  if (bytes) segment.bytes = std::make_shared<std::vector<uint8_t>>(bytes);
  return segment;
}

std::vector<int64_t> EndsOf(const std::deque<EncodedSegment>& records) {
  std::vector<int64_t> ends;
  for (const auto& record : records) ends.push_back(record.EndTicks());
  return ends;
}

TEST(SegmentRingTest, EvictsRecordsEndingAtOrBeforeTheCutoffButNeverTheLast) {
  SegmentRing ring;
  ring.AppendWithCutoff(SegmentEndingAt(10), 1000);  // empty ring keeps it however old
  EXPECT_EQ(ring.Size(), 1u);
  ring.Clear();
  for (int64_t end : {10, 20, 30}) ring.AppendWithCutoff(SegmentEndingAt(end), 0);
  ring.AppendWithCutoff(SegmentEndingAt(40), 20);
  EXPECT_EQ(EndsOf(ring.TakeSnapshot({0, 1000})), (std::vector<int64_t>{30, 40}));

  ring.AppendWithCutoff(SegmentEndingAt(50), 1000);  // everything before is old
  EXPECT_EQ(EndsOf(ring.TakeSnapshot({0, 1000})), (std::vector<int64_t>{50}));
}

TEST(SegmentRingTest, SnapshotSelectsStrictOverlapInRingOrder) {
  SegmentRing ring;
  for (int64_t end : {10, 20, 30}) ring.AppendWithCutoff(SegmentEndingAt(end), 0);
  // Record [0,10] ends exactly at the span start; [20,30] starts exactly at its end.
  EXPECT_EQ(EndsOf(ring.TakeSnapshot({10, 20})), (std::vector<int64_t>{20}));
  EXPECT_EQ(EndsOf(ring.TakeSnapshot({9, 21})), (std::vector<int64_t>{10, 20, 30}));
  EXPECT_TRUE(SegmentRing().TakeSnapshot({0, 100}).empty());
}

TEST(SegmentRingTest, SnapshotSharesBytesAndOutlivesEviction) {
  SegmentRing ring;
  ring.AppendWithCutoff(SegmentEndingAt(10, 4096), 0);
  ring.AppendWithCutoff(SegmentEndingAt(20), 0);  // null buffer counts zero
  EXPECT_EQ(ring.TotalBytes(), 4096u);
  auto snapshot = ring.TakeSnapshot({0, 100});
  ASSERT_EQ(snapshot.size(), 2u);
  EXPECT_EQ(snapshot[1].bytes, nullptr);
  ring.AppendWithCutoff(SegmentEndingAt(30), 25);  // evicts both
  EXPECT_EQ(ring.TotalBytes(), 0u);
  EXPECT_EQ(SnapshotBytes(snapshot), 4096u);
}

TEST(SegmentRingTest, ByteTotalsCountABufferHeldByManyRecordsOnce) {
  const SharedBytes shared = std::make_shared<const std::vector<uint8_t>>(1000);
  const SharedBytes sameSize = std::make_shared<const std::vector<uint8_t>>(1000);
  SegmentRing ring;
  // Shared by neighbours and by records apart; an equal-sized buffer of its
  // own counts on its own; null counts zero.
  for (int64_t end = 10; end <= 60; end += 10) {
    EncodedSegment segment = SegmentEndingAt(end);
    segment.bytes = end == 40 ? sameSize : end == 50 ? nullptr : shared;
    ring.AppendWithCutoff(segment, 0);
  }
  EXPECT_EQ(ring.TotalBytes(), 2000u);
  EXPECT_EQ(SnapshotBytes(ring.TakeSnapshot({0, 100})), 2000u);
  EXPECT_EQ(SnapshotBytes(ring.TakeSnapshot({0, 30})), 1000u);
  ring.AppendWithCutoff(SegmentEndingAt(70, 24), 45);  // the equal-sized one goes
  EXPECT_EQ(ring.TotalBytes(), 1024u);
}

TEST(ReplayWindowTest, SpanStartsAtTheFloorRightAfterAStartAndCutoffFollowsTheReplayLength) {
  ReplayWindow window(60.0);
  window.MarkStart();
  const int64_t floor = window.FloorTicks();
  const TickSpan span = window.SaveSpan();
  EXPECT_EQ(span.startTicks, floor);  // 60 s reach back past the start
  EXPECT_GE(span.endTicks, floor);
  EXPECT_EQ(window.CutoffAt(floor + 5), floor);
  window.SetSeconds(2.5);
  EXPECT_EQ(window.CutoffAt(floor + 100000000), floor + 100000000 - 25000000);
  window.SetSeconds(0.0000001);  // one tick
  EXPECT_EQ(window.CutoffAt(floor + 10), floor + 9);
}

// A save's cut appends the record ending at its request some time after the
// request: what that save's span reaches back to must still be there then.
TEST(ReplayWindowTest, EvictionSparesWhatASaveRequestedAMomentAgoStillNeeds) {
  ReplayWindow window(2.0);
  window.SetFloorTicks(INT64_MIN / 2);
  const int64_t now = TickClock::Now();
  const TickSpan span = window.SpanEndingAt(now - 5000000, 2.0);  // requested half a second ago
  SegmentRing ring;
  ring.AppendWithCutoff(SegmentEndingAt(span.startTicks - 20000000), 0);  // before the span
  ring.AppendWithCutoff(SegmentEndingAt(span.startTicks + 1000000), 0);   // its first record
  ring.Append(SegmentEndingAt(span.endTicks), window);                    // the cut's record
  EXPECT_EQ(EndsOf(ring.TakeSnapshot(span)), (std::vector<int64_t>{span.startTicks + 1000000, span.endTicks}));
  EXPECT_EQ(ring.Size(), 2u);
}

TEST(TickClockTest, IsMonotonicAndConvertsWithoutOverflow) {
  int64_t a = TickClock::Now();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  int64_t b = TickClock::Now();
  EXPECT_GE(b - a, 150000);  // at least 15 ms in 100 ns ticks
  // Half a year of a 10 MHz counter, and of a 1 GHz counter: no overflow.
  const int64_t halfYearSeconds = 182LL * 24 * 3600;
  EXPECT_EQ(TickClock::CounterToTicks(halfYearSeconds * 10000000, 10000000), halfYearSeconds * 10000000);
  EXPECT_EQ(TickClock::CounterToTicks(halfYearSeconds * 1000000000 + 999, 1000000000),
            halfYearSeconds * 10000000 + 9);
  // A 90-year uptime of a 3 GHz counter (close to its own 64-bit limit).
  const int64_t longUptimeSeconds = 90LL * 365 * 24 * 3600;
  EXPECT_EQ(TickClock::CounterToTicks(longUptimeSeconds * 3000000000LL + 2999999999LL, 3000000000LL),
            longUptimeSeconds * 10000000 + 9999999);
}

TEST(ReplayRingConcurrencyTest, AppendSnapshotAndTotalsFromManyThreads) {
  SegmentRing ring;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      auto snapshot = ring.TakeSnapshot({0, INT64_MAX});
      for (size_t i = 1; i < snapshot.size(); ++i) ASSERT_LT(snapshot[i - 1].startTicks, snapshot[i].startTicks);
      (void)ring.TotalBytes();
    }
  });
  for (int64_t i = 0; i < 2000; ++i) {
    EncodedSegment segment;
    segment.startTicks = i * 100;
    segment.durationSeconds = 100 / 10000000.0;
    segment.bytes = std::make_shared<std::vector<uint8_t>>(8);
    ring.AppendWithCutoff(std::move(segment), i * 100 - 1000);
  }
  done.store(true);
  reader.join();
  EXPECT_EQ(ring.TotalBytes(), ring.Size() * 8);
  EXPECT_LE(ring.Size(), 12u);
}

}  // namespace
}  // namespace ostrel
