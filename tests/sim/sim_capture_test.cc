// The fake world's window capture: items, frame pools, sessions, the test
// scene and the world's window controls. Timing checks use wide margins.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "ostrel/ostrel_sim.h"
#include "platform/platform.h"
#include "platform/sim/sim_scene.h"
#include "platform/sim/sync_marks.h"
#include "replay/tick_clock.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using platform::GetPlatform;
using platform::ICaptureFrame;
using platform::ICaptureItem;
using platform::ICaptureSession;
using platform::IFramePool;
using platform::ITexture;
using platform::MappedTexture;
using platform::SizeInt32;
using platform::TextureDesc;

// What one received frame looked like.
struct Seen {
  uint32_t width = 0;
  uint32_t height = 0;
  bool allWhite = false;
  int64_t ticks = 0;
  std::thread::id thread;
};

// Reads a BGRA frame texture through a staging copy.
std::vector<uint8_t> ReadPixels(platform::IGpuDevice& device, ITexture& texture, uint32_t* pitch) {
  TextureDesc desc = texture.Desc();
  desc.usage = platform::TextureUsage::Staging;
  desc.cpuRead = true;
  desc.renderTarget = false;
  std::shared_ptr<ITexture> staging;
  if (Failed(device.CreateTexture(desc, &staging))) return {};
  device.ImmediateContext().CopyResource(*staging, texture);
  MappedTexture mapped;
  if (Failed(device.ImmediateContext().Map(*staging, false, &mapped))) return {};
  std::vector<uint8_t> pixels(mapped.data, mapped.data + static_cast<size_t>(mapped.rowPitch) * desc.height);
  device.ImmediateContext().Unmap(*staging);
  *pitch = mapped.rowPitch;
  return pixels;
}

bool AllWhite(const std::vector<uint8_t>& pixels, uint32_t pitch, uint32_t width, uint32_t height) {
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = pixels.data() + static_cast<size_t>(y) * pitch;
    for (uint32_t x = 0; x < width * 4; ++x) {
      if (row[x] != 255) return false;
    }
  }
  return true;
}

// One capture of an item, as the capture session sets it up: device,
// pool of 4 buffers, session; the handler takes each frame, records it and
// closes it.
class Capture {
 public:
  explicit Capture(std::shared_ptr<ICaptureItem> item, bool inspect = false)
      : item_(std::move(item)), inspect_(inspect) {
    auto& platform = GetPlatform();
    EXPECT_EQ(platform.gpu.CreateDevice(nullptr, &device_), hr::kOk);
    EXPECT_EQ(platform.gpu.WrapForCapture(*device_, &captureDevice_), hr::kOk);
    EXPECT_EQ(platform.capture.CreateFramePool(*captureDevice_, 4, item_->Size(), &pool_), hr::kOk);
    EXPECT_EQ(platform.capture.CreateCaptureSession(*pool_, *item_, &session_), hr::kOk);
    token_ = pool_->AddFrameArrived([this] { OnFrame(); });
  }

  ~Capture() { Stop(); }

  void Start() { EXPECT_EQ(session_->StartCapture(), hr::kOk); }

  void Stop() {
    if (!pool_) return;
    pool_->RemoveFrameArrived(token_);
    session_->Close();
    pool_->Close();
    session_.reset();
    pool_.reset();
  }

  std::vector<Seen> Frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  size_t Count() {
    std::lock_guard lock(mutex_);
    return frames_.size();
  }

  // Waits until `count` frames arrived or `limit` passed.
  bool WaitFor(size_t count, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Count() >= count) return true;
      std::this_thread::sleep_for(5ms);
    }
    return Count() >= count;
  }

  IFramePool& Pool() { return *pool_; }
  ICaptureSession& Session() { return *session_; }
  platform::IGpuDevice& Device() { return *device_; }

 private:
  void OnFrame() {
    std::unique_ptr<ICaptureFrame> frame = pool_->TryGetNextFrame();
    if (!frame) return;
    Seen seen;
    seen.ticks = TickClock::Now();
    seen.thread = std::this_thread::get_id();
    std::shared_ptr<ITexture> texture;
    if (Succeeded(frame->GetSurfaceTexture(&texture))) {
      seen.width = texture->Desc().width;
      seen.height = texture->Desc().height;
      if (inspect_) {
        uint32_t pitch = 0;
        auto pixels = ReadPixels(*device_, *texture, &pitch);
        seen.allWhite = !pixels.empty() && AllWhite(pixels, pitch, seen.width, seen.height);
      }
    }
    frame->Close();
    std::lock_guard lock(mutex_);
    frames_.push_back(seen);
  }

  std::shared_ptr<ICaptureItem> item_;
  bool inspect_;
  std::shared_ptr<platform::IGpuDevice> device_;
  std::shared_ptr<platform::ICaptureDevice> captureDevice_;
  std::shared_ptr<IFramePool> pool_;
  std::shared_ptr<ICaptureSession> session_;
  platform::EventToken token_ = 0;
  std::mutex mutex_;
  std::vector<Seen> frames_;
};

std::shared_ptr<ICaptureItem> ItemFor(void* window) {
  std::shared_ptr<ICaptureItem> item;
  EXPECT_EQ(GetPlatform().capture.CreateItemForWindow(window, &item), hr::kOk);
  return item;
}

class SimCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override { OstrelSim_Reset(); }
  void TearDown() override { OstrelSim_Reset(); }
};

TEST_F(SimCaptureTest, WindowsAreKnownByHandleOnly) {
  auto& capture = GetPlatform().capture;
  void* window = OstrelSim_CreateWindow(640, 480);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(capture.IsWindow(window));
  EXPECT_FALSE(capture.IsWindow(nullptr));
  EXPECT_FALSE(capture.IsWindow(reinterpret_cast<void*>(uintptr_t{0x1234})));
  EXPECT_EQ(capture.MonitorFromWindow(window), OstrelSim_GetMonitorHandle(0));
  int second = OstrelSim_AddMonitor(1280, 720, 0);
  OstrelSim_SetWindowMonitor(window, second);
  EXPECT_EQ(capture.MonitorFromWindow(window), OstrelSim_GetMonitorHandle(second));
  OstrelSim_SetWindowMonitor(window, 42);  // no such monitor: unchanged
  EXPECT_EQ(capture.MonitorFromWindow(window), OstrelSim_GetMonitorHandle(second));
  EXPECT_EQ(OstrelSim_CreateWindow(0, 100), nullptr);

  std::shared_ptr<ICaptureItem> item;
  EXPECT_EQ(capture.CreateItemForWindow(reinterpret_cast<void*>(uintptr_t{0x1234}), &item), hr::kInvalidArg);
  EXPECT_EQ(capture.CreateItemForMonitor(nullptr, &item), hr::kInvalidArg);
  ASSERT_EQ(capture.CreateItemForMonitor(OstrelSim_GetMonitorHandle(second), &item), hr::kOk);
  EXPECT_EQ(item->Size().width, 1280);
  EXPECT_EQ(item->Size().height, 720);

  OstrelSim_DestroyWindow(window);
  EXPECT_FALSE(capture.IsWindow(window));
  EXPECT_EQ(capture.MonitorFromWindow(window), nullptr);
  EXPECT_EQ(capture.CreateItemForWindow(window, &item), hr::kInvalidArg);
  // Controls on a destroyed window change nothing and do not crash.
  OstrelSim_ResizeWindow(window, 10, 10);
  OstrelSim_SetWindowMinimized(window, true);
  OstrelSim_SetWindowContentRate(window, 5);
  OstrelSim_DestroyWindow(window);
  OstrelSim_DestroyWindow(nullptr);
}

TEST_F(SimCaptureTest, PoolAndSessionRefuseForeignOrBadArguments) {
  auto& capture = GetPlatform().capture;
  std::shared_ptr<platform::IGpuDevice> device;
  ASSERT_EQ(GetPlatform().gpu.CreateDevice(nullptr, &device), hr::kOk);
  std::shared_ptr<platform::ICaptureDevice> wrapped;
  ASSERT_EQ(GetPlatform().gpu.WrapForCapture(*device, &wrapped), hr::kOk);
  struct Foreign : platform::ICaptureDevice {} foreign;
  std::shared_ptr<IFramePool> pool;
  EXPECT_EQ(capture.CreateFramePool(foreign, 4, {64, 64}, &pool), hr::kInvalidArg);
  EXPECT_EQ(capture.CreateFramePool(*wrapped, 0, {64, 64}, &pool), hr::kInvalidArg);
  EXPECT_EQ(capture.CreateFramePool(*wrapped, 4, {-1, 64}, &pool), hr::kInvalidArg);
  ASSERT_EQ(capture.CreateFramePool(*wrapped, 4, {64, 64}, &pool), hr::kOk);
  EXPECT_EQ(OstrelSim_GetOpenFramePoolCount(), 1);
  auto item = ItemFor(OstrelSim_CreateWindow(64, 64));
  std::shared_ptr<ICaptureSession> session;
  ASSERT_EQ(capture.CreateCaptureSession(*pool, *item, &session), hr::kOk);
  bool present = false;
  EXPECT_EQ(session->IsBorderPropertyPresent(&present), hr::kOk);
  EXPECT_TRUE(present);
  EXPECT_EQ(OstrelSim_GetBorderRequired(), -1);
  EXPECT_EQ(session->SetBorderRequired(false), hr::kOk);
  EXPECT_EQ(OstrelSim_GetBorderRequired(), 0);
  EXPECT_EQ(session->StartCapture(), hr::kOk);
  EXPECT_NE(session->StartCapture(), hr::kOk);  // only once
  EXPECT_EQ(session->Close(), hr::kOk);
  EXPECT_NE(session->StartCapture(), hr::kOk);
  EXPECT_EQ(pool->Close(), hr::kOk);
  EXPECT_EQ(pool->Close(), hr::kOk);
  EXPECT_EQ(pool->TryGetNextFrame(), nullptr);
  EXPECT_EQ(OstrelSim_GetOpenFramePoolCount(), 0);
}

TEST_F(SimCaptureTest, AnimatedWindowDeliversAtItsRate) {
  void* window = OstrelSim_CreateWindow(320, 180);
  OstrelSim_SetWindowContentRate(window, 50);
  Capture capture(ItemFor(window));
  uint64_t before = OstrelSim_GetDeliveredFrameCount();
  capture.Start();
  std::this_thread::sleep_for(600ms);
  capture.Stop();
  auto frames = capture.Frames();
  // About 30 frames; delivery never runs ahead of the content rate.
  EXPECT_GE(frames.size(), 12u);
  EXPECT_LE(frames.size(), 34u);
  EXPECT_EQ(OstrelSim_GetDeliveredFrameCount() - before, frames.size());
  for (const auto& f : frames) {
    EXPECT_EQ(f.width, 320u);
    EXPECT_EQ(f.height, 180u);
    EXPECT_NE(f.thread, std::this_thread::get_id());
  }
  // Stopped: nothing more arrives.
  size_t count = capture.Count();
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(capture.Count(), count);
}

TEST_F(SimCaptureTest, StillWindowGivesOneFrameUntilItChanges) {
  void* window = OstrelSim_CreateWindow(160, 90);
  OstrelSim_SetWindowContentRate(window, 0);
  Capture capture(ItemFor(window));
  capture.Start();
  ASSERT_TRUE(capture.WaitFor(1, 2000ms));
  std::this_thread::sleep_for(250ms);
  EXPECT_EQ(capture.Count(), 1u);
  // A resize changes what the still window shows: one more frame.
  OstrelSim_ResizeWindow(window, 200, 100);
  ASSERT_TRUE(capture.WaitFor(2, 2000ms));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(capture.Count(), 2u);
  EXPECT_EQ(capture.Frames()[1].width, 200u);
  // Animated again: frames flow.
  OstrelSim_SetWindowContentRate(window, 60);
  EXPECT_TRUE(capture.WaitFor(6, 3000ms));
}

TEST_F(SimCaptureTest, MinimisedWindowHasZeroSizeAndNoFrames) {
  void* window = OstrelSim_CreateWindow(320, 240);
  OstrelSim_SetWindowMinimized(window, true);
  auto item = ItemFor(window);
  EXPECT_EQ(item->Size().width, 0);
  EXPECT_EQ(item->Size().height, 0);
  Capture capture(item);
  capture.Start();
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(capture.Count(), 0u);
  OstrelSim_SetWindowMinimized(window, false);
  EXPECT_EQ(item->Size().width, 320);
  EXPECT_EQ(item->Size().height, 240);
  EXPECT_TRUE(capture.WaitFor(3, 3000ms));
}

TEST_F(SimCaptureTest, ResizedWindowDeliversAtTheNewSize) {
  void* window = OstrelSim_CreateWindow(320, 240);
  auto item = ItemFor(window);
  Capture capture(item);
  capture.Start();
  ASSERT_TRUE(capture.WaitFor(2, 3000ms));
  OstrelSim_ResizeWindow(window, 480, 270);
  EXPECT_EQ(item->Size().width, 480);
  size_t resizedAt = capture.Count();
  ASSERT_TRUE(capture.WaitFor(resizedAt + 4, 3000ms));
  auto frames = capture.Frames();
  EXPECT_EQ(frames.front().width, 320u);
  EXPECT_EQ(frames.back().width, 480u);
  EXPECT_EQ(frames.back().height, 270u);
  OstrelSim_ResizeWindow(window, -5, 100);  // refused
  EXPECT_EQ(item->Size().width, 480);
}

TEST_F(SimCaptureTest, DestroyedWindowFiresClosedOnceOnAnotherThread) {
  void* window = OstrelSim_CreateWindow(160, 120);
  auto item = ItemFor(window);
  auto other = ItemFor(window);
  std::atomic<int> closed{0};
  std::atomic<int> removedCalls{0};
  std::thread::id closedOn;
  std::mutex mutex;
  item->AddClosed([&] {
    std::lock_guard lock(mutex);
    closedOn = std::this_thread::get_id();
    ++closed;
  });
  auto removed = other->AddClosed([&] { ++removedCalls; });
  other->RemoveClosed(removed);
  Capture capture(item);
  capture.Start();
  ASSERT_TRUE(capture.WaitFor(2, 3000ms));

  OstrelSim_DestroyWindow(window);
  OstrelSim_DestroyWindow(window);
  auto deadline = std::chrono::steady_clock::now() + 2s;
  while (closed.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_EQ(closed.load(), 1);
  {
    std::lock_guard lock(mutex);
    EXPECT_NE(closedOn, std::this_thread::get_id());
  }
  EXPECT_EQ(removedCalls.load(), 0);
  // No frames after the window is gone (one may have been in flight).
  std::this_thread::sleep_for(50ms);
  size_t count = capture.Count();
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(capture.Count(), count);
  OstrelSim_Reset();
  EXPECT_EQ(closed.load(), 1);
}

TEST_F(SimCaptureTest, ClosedHandlersOfADestroyedItemDoNotRun) {
  void* window = OstrelSim_CreateWindow(64, 64);
  std::atomic<int> calls{0};
  {
    auto item = ItemFor(window);
    item->AddClosed([&] { ++calls; });
  }
  OstrelSim_DestroyWindow(window);
  OstrelSim_Reset();  // delivers every pending event before it returns
  EXPECT_EQ(calls.load(), 0);
}

TEST_F(SimCaptureTest, ResetDestroysWindowsAndDeliversTheirClosedEvents) {
  void* window = OstrelSim_CreateWindow(64, 64);
  auto item = ItemFor(window);
  std::atomic<int> closed{0};
  item->AddClosed([&] { ++closed; });
  OstrelSim_SetSyncMarks(100);
  OstrelSim_Reset();
  EXPECT_EQ(closed.load(), 1);
  EXPECT_FALSE(GetPlatform().capture.IsWindow(window));
  EXPECT_EQ(sim::WorldSyncMarks().PeriodTicks(), 0);
}

TEST_F(SimCaptureTest, SyncFlashFramesArePureWhite) {
  OstrelSim_SetSyncMarks(200);
  void* window = OstrelSim_CreateWindow(64, 36);
  Capture capture(ItemFor(window), /*inspect=*/true);
  capture.Start();
  std::this_thread::sleep_for(900ms);
  capture.Stop();
  int white = 0, plain = 0;
  for (const auto& f : capture.Frames()) {
    if (f.allWhite) {
      ++white;
      // Rendered inside a flash: its handler ran soon after the flash start.
      EXPECT_LT(f.ticks % (200 * 10000), 90 * 10000) << "white frame outside a flash";
    } else {
      ++plain;
    }
  }
  EXPECT_GE(white, 2);
  EXPECT_GT(plain, white);
}

TEST_F(SimCaptureTest, MonitorItemShowsTheSceneAtMonitorSize) {
  int monitor = OstrelSim_AddMonitor(320, 200, 0);
  std::shared_ptr<ICaptureItem> item;
  ASSERT_EQ(GetPlatform().capture.CreateItemForMonitor(OstrelSim_GetMonitorHandle(monitor), &item), hr::kOk);
  Capture capture(item);
  capture.Start();
  ASSERT_TRUE(capture.WaitFor(3, 3000ms));
  EXPECT_EQ(capture.Frames()[0].width, 320u);
  EXPECT_EQ(capture.Frames()[0].height, 200u);
}

TEST_F(SimCaptureTest, HeldBuffersPauseDeliveryAndCloseResumesIt) {
  void* window = OstrelSim_CreateWindow(64, 64);
  auto item = ItemFor(window);
  std::shared_ptr<platform::IGpuDevice> device;
  ASSERT_EQ(GetPlatform().gpu.CreateDevice(nullptr, &device), hr::kOk);
  std::shared_ptr<platform::ICaptureDevice> wrapped;
  ASSERT_EQ(GetPlatform().gpu.WrapForCapture(*device, &wrapped), hr::kOk);
  std::shared_ptr<IFramePool> pool;
  ASSERT_EQ(GetPlatform().capture.CreateFramePool(*wrapped, 4, {64, 64}, &pool), hr::kOk);
  std::shared_ptr<ICaptureSession> session;
  ASSERT_EQ(GetPlatform().capture.CreateCaptureSession(*pool, *item, &session), hr::kOk);
  ASSERT_EQ(session->StartCapture(), hr::kOk);

  // Keep every frame: after four the pool has no buffer left.
  std::vector<std::unique_ptr<ICaptureFrame>> held;
  std::vector<std::shared_ptr<ITexture>> surfaces;
  auto deadline = std::chrono::steady_clock::now() + 3s;
  while (held.size() < 4 && std::chrono::steady_clock::now() < deadline) {
    if (auto frame = pool->TryGetNextFrame()) {
      std::shared_ptr<ITexture> surface;
      ASSERT_EQ(frame->GetSurfaceTexture(&surface), hr::kOk);
      surfaces.push_back(surface);
      held.push_back(std::move(frame));
    }
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_EQ(held.size(), 4u);
  // Four distinct buffers, each still holding the frame it was given.
  for (size_t i = 0; i < surfaces.size(); ++i) {
    for (size_t j = i + 1; j < surfaces.size(); ++j) EXPECT_NE(surfaces[i], surfaces[j]);
  }
  std::this_thread::sleep_for(30ms);
  uint64_t paused = OstrelSim_GetDeliveredFrameCount();
  std::this_thread::sleep_for(120ms);
  EXPECT_EQ(OstrelSim_GetDeliveredFrameCount(), paused);
  EXPECT_EQ(pool->TryGetNextFrame(), nullptr);

  held[0]->Close();
  std::shared_ptr<ITexture> closedSurface;
  EXPECT_NE(held[0]->GetSurfaceTexture(&closedSurface), hr::kOk);
  deadline = std::chrono::steady_clock::now() + 2s;
  while (OstrelSim_GetDeliveredFrameCount() == paused && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_GT(OstrelSim_GetDeliveredFrameCount(), paused);
  session->Close();
  pool->Close();
}

TEST_F(SimCaptureTest, NoHandlerRunsAfterCloseReturns) {
  void* window = OstrelSim_CreateWindow(64, 64);
  OstrelSim_SetWindowContentRate(window, 200);
  auto item = ItemFor(window);
  std::shared_ptr<platform::IGpuDevice> device;
  ASSERT_EQ(GetPlatform().gpu.CreateDevice(nullptr, &device), hr::kOk);
  std::shared_ptr<platform::ICaptureDevice> wrapped;
  ASSERT_EQ(GetPlatform().gpu.WrapForCapture(*device, &wrapped), hr::kOk);

  for (int round = 0; round < 5; ++round) {
    std::shared_ptr<IFramePool> pool;
    ASSERT_EQ(GetPlatform().capture.CreateFramePool(*wrapped, 4, {64, 64}, &pool), hr::kOk);
    std::shared_ptr<ICaptureSession> session;
    ASSERT_EQ(GetPlatform().capture.CreateCaptureSession(*pool, *item, &session), hr::kOk);
    std::atomic<bool> closeReturned{false};
    std::atomic<int> late{0};
    std::atomic<int> calls{0};
    pool->AddFrameArrived([&] {
      ++calls;
      if (closeReturned.load()) ++late;
      std::this_thread::sleep_for(3ms);  // widen the window for a race
    });
    ASSERT_EQ(session->StartCapture(), hr::kOk);
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (calls.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    pool->Close();
    closeReturned = true;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(late.load(), 0);
    EXPECT_GE(calls.load(), 2);
  }
}

TEST_F(SimCaptureTest, PoolMayBeClosedAndReleasedFromItsOwnHandler) {
  void* window = OstrelSim_CreateWindow(64, 64);
  auto item = ItemFor(window);
  std::shared_ptr<platform::IGpuDevice> device;
  ASSERT_EQ(GetPlatform().gpu.CreateDevice(nullptr, &device), hr::kOk);
  std::shared_ptr<platform::ICaptureDevice> wrapped;
  ASSERT_EQ(GetPlatform().gpu.WrapForCapture(*device, &wrapped), hr::kOk);
  std::shared_ptr<IFramePool> pool;
  ASSERT_EQ(GetPlatform().capture.CreateFramePool(*wrapped, 4, {64, 64}, &pool), hr::kOk);
  std::shared_ptr<ICaptureSession> session;
  ASSERT_EQ(GetPlatform().capture.CreateCaptureSession(*pool, *item, &session), hr::kOk);
  std::atomic<int> calls{0};
  std::mutex mutex;
  pool->AddFrameArrived([&] {
    ++calls;
    std::lock_guard lock(mutex);
    if (!pool) return;
    pool->Close();
    session.reset();
    pool.reset();  // the last references go away on the delivery thread
  });
  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(session->StartCapture(), hr::kOk);
  }
  auto deadline = std::chrono::steady_clock::now() + 2s;
  while (OstrelSim_GetOpenFramePoolCount() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(OstrelSim_GetOpenFramePoolCount(), 0);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(calls.load(), 1);
  std::lock_guard lock(mutex);  // the handler's last writes are seen here
  EXPECT_EQ(pool, nullptr);
  EXPECT_EQ(session, nullptr);
}

// ---- the test scene --------------------------------------------------------------

TEST(SimSceneTest, SceneIsDeterministicAnimatedAndShowsText) {
  constexpr int kWidth = 320, kHeight = 180;
  constexpr uint32_t kPitch = kWidth * 4;
  std::vector<uint8_t> a(kPitch * kHeight), b(kPitch * kHeight), c(kPitch * kHeight);
  sim::RenderTestScene(a.data(), kPitch, kWidth, kHeight, 7, 12345678, false);
  sim::RenderTestScene(b.data(), kPitch, kWidth, kHeight, 7, 12345678, false);
  sim::RenderTestScene(c.data(), kPitch, kWidth, kHeight, 8, 12345678, false);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_FALSE(AllWhite(a, kPitch, kWidth, kHeight));
  // Every pixel opaque.
  for (size_t i = 3; i < a.size(); i += 4) ASSERT_EQ(a[i], 255);

  // The text band in the middle holds black paper and white ink, and a
  // different time draws different digits.
  const uint8_t* middle = a.data() + static_cast<size_t>(kHeight / 2) * kPitch;
  int ink = 0, paper = 0;
  for (int x = 0; x < kWidth; ++x) {
    const uint8_t* p = middle + x * 4;
    if (p[0] == 255 && p[1] == 255 && p[2] == 255) ++ink;
    if (p[0] == 0 && p[1] == 0 && p[2] == 0) ++paper;
  }
  EXPECT_GT(ink, 10);
  EXPECT_GT(paper, 10);
  sim::RenderTestScene(b.data(), kPitch, kWidth, kHeight, 7, 98765432, false);
  EXPECT_NE(a, b);

  sim::RenderTestScene(a.data(), kPitch, kWidth, kHeight, 7, 12345678, true);
  EXPECT_TRUE(AllWhite(a, kPitch, kWidth, kHeight));
  // Tiny sizes clip instead of writing past the buffer.
  std::vector<uint8_t> tiny(64 * 3);
  sim::RenderTestScene(tiny.data(), 64, 3, 3, 1, 1, false);
}

}  // namespace
}  // namespace ostrel
