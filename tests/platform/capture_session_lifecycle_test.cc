#include "platform/common/capture_session_lifecycle.h"

#include <gtest/gtest.h>

#include <memory>

namespace ostrel::platform {
namespace {

struct CountingPool {
  int starts = 0;
  int stops = 0;
  int uses = 0;
};

TEST(CaptureSessionLifecycleTest, StartsOnceStopsOnceAndRefusesEverythingAfterClose) {
  auto pool = std::make_shared<CountingPool>();
  CaptureSessionLifecycle<CountingPool> lifecycle(pool);
  auto start = [](CountingPool& p) {
    ++p.starts;
    return hr::kOk;
  };
  auto use = [](CountingPool& p) {
    ++p.uses;
    return hr::kOk;
  };

  EXPECT_EQ(lifecycle.WithPool(use), hr::kOk);
  EXPECT_EQ(lifecycle.Start(start), hr::kOk);
  EXPECT_EQ(lifecycle.Start(start), kIllegalMethodCall);
  EXPECT_EQ(pool->starts, 1);

  const Hresult stopResult = static_cast<Hresult>(0x887A0005);
  EXPECT_EQ(lifecycle.Close([&](CountingPool& p) {
    ++p.stops;
    return stopResult;  // what the pool's stop says is what Close says
  }),
            stopResult);
  EXPECT_EQ(lifecycle.Close([](CountingPool& p) {
    ++p.stops;
    return hr::kOk;
  }),
            hr::kOk);
  EXPECT_EQ(pool->stops, 1);

  EXPECT_EQ(lifecycle.Start(start), kObjectClosed);
  EXPECT_EQ(lifecycle.WithPool(use), kObjectClosed);
  EXPECT_EQ(pool->starts, 1);
  EXPECT_EQ(pool->uses, 1);
  EXPECT_EQ(pool.use_count(), 1);  // the pool is let go at Close
}

TEST(CaptureSessionLifecycleTest, AFailedStartLeavesItStartableAndACloseBeforeAStartStopsNothing) {
  auto pool = std::make_shared<CountingPool>();
  CaptureSessionLifecycle<CountingPool> lifecycle(pool);
  EXPECT_EQ(lifecycle.Start([](CountingPool&) { return hr::kFail; }), hr::kFail);
  EXPECT_EQ(lifecycle.Start([](CountingPool& p) {
    ++p.starts;
    return hr::kOk;
  }),
            hr::kOk);

  CaptureSessionLifecycle<CountingPool> neverStarted(std::make_shared<CountingPool>());
  bool stopped = false;
  EXPECT_EQ(neverStarted.Close([&](CountingPool&) {
    stopped = true;
    return hr::kFail;
  }),
            hr::kOk);
  EXPECT_FALSE(stopped);
  EXPECT_EQ(neverStarted.WithPool([](CountingPool&) { return hr::kOk; }), kObjectClosed);
}

}  // namespace
}  // namespace ostrel::platform
