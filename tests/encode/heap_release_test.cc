// The heap release runs at most once per interval, never twice at once, and
// a forced one ignores the interval.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "encode/heap_release.h"

namespace ostrel {
namespace {

using Clock = HeapRelease::Clock;
using std::chrono::milliseconds;

TEST(HeapReleaseTest, ReleasesAtMostOncePerIntervalUnlessForced) {
  int released = 0;
  HeapRelease release([&] { ++released; }, std::chrono::seconds(1));
  const Clock::time_point t0{std::chrono::hours(1)};
  EXPECT_TRUE(release.Request(t0));  // the first request releases at once
  EXPECT_FALSE(release.Request(t0 + milliseconds(999)));
  EXPECT_EQ(released, 1);
  EXPECT_TRUE(release.Request(t0 + milliseconds(1000)));
  EXPECT_FALSE(release.Request(t0 + milliseconds(1500)));
  EXPECT_TRUE(release.Request(t0 + milliseconds(1600), true));
  // The interval runs from the forced release too.
  EXPECT_FALSE(release.Request(t0 + milliseconds(2500)));
  EXPECT_TRUE(release.Request(t0 + milliseconds(2600)));
  EXPECT_EQ(released, 4);
  const HeapRelease::Stats stats = release.GetStats();
  EXPECT_EQ(stats.requests, 7u);
  EXPECT_EQ(stats.releases, 4u);
  EXPECT_GE(stats.totalMs, stats.maxMs);
}

TEST(HeapReleaseTest, RequestDuringARunningReleaseReturnsWithoutWaiting) {
  std::mutex mutex;
  std::condition_variable cv;
  bool inside = false, finish = false;
  std::atomic<int> released{0};
  HeapRelease release(
      [&] {
        std::unique_lock lock(mutex);
        inside = true;
        cv.notify_all();
        cv.wait(lock, [&] { return finish; });
        ++released;
      },
      milliseconds(0));
  std::thread first([&] { release.Request(Clock::now(), true); });
  {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return inside; });
  }
  // Even forced, a second release does not start while one runs.
  EXPECT_FALSE(release.Request(Clock::now(), true));
  {
    std::lock_guard lock(mutex);
    finish = true;
  }
  cv.notify_all();
  first.join();
  EXPECT_EQ(released.load(), 1);
  EXPECT_TRUE(release.Request(Clock::now()));
  EXPECT_EQ(released.load(), 2);
}

}  // namespace
}  // namespace ostrel
