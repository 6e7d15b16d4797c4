#include "platform/common/pool_delivery.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace ostrel::platform {
namespace {

// A loop that raises FrameArrived about every millisecond until stopped.
void RaiseUntilStopped(PoolDeliveryState& state, std::atomic<int>& turns) {
  std::unique_lock lock(state.mutex);
  while (!state.stop) {
    ++turns;
    state.handlers.Raise(lock, state.handlers.Tokens(), state.stop);
    state.cv.wait_for(lock, std::chrono::milliseconds(1), [&] { return state.stop; });
  }
}

void WaitFor(const std::atomic<int>& count, int atLeast) {
  for (int i = 0; i < 5000 && count.load() < atLeast; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(PoolDeliveryTest, StartsOnceStopsWithNoHandlerRunningAfterAndRefusesAClosedPool) {
  PoolDeliveryState state;
  PoolDeliveryThread delivery;
  std::atomic<int> turns{0};
  std::atomic<int> calls{0};
  std::atomic<bool> stopped{false};
  std::atomic<int> callsAfterStop{0};
  const EventToken token = state.AddFrameArrived([&] {
    if (stopped) ++callsAfterStop;
    ++calls;
  });
  ASSERT_NE(token, 0u);

  auto loop = [&] { RaiseUntilStopped(state, turns); };
  EXPECT_EQ(delivery.Start(state, loop), hr::kOk);
  EXPECT_EQ(delivery.Start(state, loop), kIllegalMethodCall);
  WaitFor(calls, 3);
  EXPECT_GE(calls.load(), 3);

  EXPECT_EQ(delivery.Stop(state, [](std::thread&) { return hr::kFail; }), hr::kOk);
  stopped = true;
  const int turnsAtStop = turns.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(turns.load(), turnsAtStop);  // the thread is gone, not merely told
  EXPECT_EQ(callsAfterStop.load(), 0);
  EXPECT_EQ(delivery.Stop(state, [](std::thread&) { return hr::kFail; }), hr::kOk);  // a second stop is quiet

  // A stopped pool starts again; a removed handler is not called.
  state.RemoveFrameArrived(token);
  const int callsBefore = calls.load();
  EXPECT_EQ(delivery.Start(state, loop), hr::kOk);
  WaitFor(turns, turnsAtStop + 3);
  EXPECT_EQ(delivery.Stop(state, [](std::thread&) { return hr::kFail; }), hr::kOk);
  EXPECT_EQ(calls.load(), callsBefore);

  {
    std::lock_guard lock(state.mutex);
    state.closed = true;
  }
  EXPECT_EQ(delivery.Start(state, loop), kObjectClosed);
  EXPECT_EQ(state.AddFrameArrived([] {}), 0u);
}

TEST(PoolDeliveryTest, AHandlerStoppingItsOwnPoolHandsTheThreadToTheBackend) {
  PoolDeliveryState state;
  PoolDeliveryThread delivery;
  std::atomic<int> turns{0};
  std::atomic<bool> handedOver{false};
  std::atomic<Hresult> stopResult{hr::kOk};
  std::shared_ptr<std::thread> finishing;
  state.AddFrameArrived([&] {
    if (handedOver) return;
    stopResult = delivery.Stop(state, [&](std::thread& own) {
      finishing = std::make_shared<std::thread>(std::move(own));
      handedOver = true;
      return kIllegalMethodCall;
    });
  });
  ASSERT_EQ(delivery.Start(state, [&] { RaiseUntilStopped(state, turns); }), hr::kOk);
  for (int i = 0; i < 5000 && !handedOver; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(handedOver.load());
  EXPECT_EQ(stopResult.load(), kIllegalMethodCall);  // what the backend says is what Stop says
  ASSERT_TRUE(finishing && finishing->joinable());
  finishing->join();  // the loop saw stop and ended
  EXPECT_EQ(delivery.Stop(state, [](std::thread&) { return hr::kFail; }), hr::kOk);
  EXPECT_EQ(delivery.Start(state, [&] { RaiseUntilStopped(state, turns); }), hr::kOk);  // nothing left running
  EXPECT_EQ(delivery.Stop(state, [](std::thread&) { return hr::kFail; }), hr::kOk);
}

}  // namespace
}  // namespace ostrel::platform
