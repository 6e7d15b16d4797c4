// What the library's tests take from the fake world without checking it
// themselves: sync flashes are pure white frames inside their flash, the
// fallback source polls at its interval, a lost device reports its reason,
// and Reset gives every test the default world.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "ostrel/ostrel_sim.h"
#include "platform/platform.h"
#include "platform/sim/sync_marks.h"
#include "replay/tick_clock.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using namespace platform;

class SimWorldTest : public ::testing::Test {
 protected:
  void SetUp() override { OstrelSim_Reset(); }
  void TearDown() override { OstrelSim_Reset(); }
};

std::shared_ptr<IGpuDevice> MakeDevice() {
  std::shared_ptr<IGpuDevice> device;
  EXPECT_EQ(GetPlatform().gpu.CreateDevice(nullptr, &device), hr::kOk);
  return device;
}

struct Seen { int64_t ticks; uint32_t width, height; bool allWhite; };

// A running capture of an item, set up as the capture session does it; each
// frame is read back through a staging copy, recorded and closed.
struct Capture {
  Capture(std::shared_ptr<ICaptureItem> captured, IWindowCapture& service, int64_t interval) : item(captured) {
    EXPECT_EQ(GetPlatform().gpu.WrapForCapture(*device, &wrapped), hr::kOk);
    EXPECT_EQ(service.CreateFramePool(*wrapped, 4, item->Size(), &pool), hr::kOk);
    EXPECT_EQ(service.CreateCaptureSession(*pool, *item, &session), hr::kOk);
    EXPECT_EQ(session->SetMinUpdateInterval(interval), hr::kOk);
    pool->AddFrameArrived([this] { OnFrame(); });
    EXPECT_EQ(session->StartCapture(), hr::kOk);
  }
  ~Capture() { Stop(); }
  void Stop() {  // no handler runs once the pool's Close returns
    session->Close();
    pool->Close();
  }
  void OnFrame() {
    const int64_t ticks = TickClock::Now();
    std::unique_ptr<ICaptureFrame> frame = pool->TryGetNextFrame();
    std::shared_ptr<ITexture> texture, staging;
    if (!frame || Failed(frame->GetSurfaceTexture(&texture))) return;
    TextureDesc desc = texture->Desc();
    desc.usage = TextureUsage::Staging, desc.cpuRead = true, desc.renderTarget = false;
    EXPECT_EQ(device->CreateTexture(desc, &staging), hr::kOk);
    device->ImmediateContext().CopyResource(*staging, *texture);
    MappedTexture mapped;
    bool white = Succeeded(device->ImmediateContext().Map(*staging, false, &mapped));
    for (uint32_t y = 0; y < desc.height && white; ++y) {
      const uint8_t* row = mapped.data + size_t{y} * mapped.rowPitch;
      white = std::all_of(row, row + desc.width * 4, [](uint8_t b) { return b == 255; });
    }
    device->ImmediateContext().Unmap(*staging);
    frame->Close();
    std::lock_guard lock(mutex);
    frames.push_back({ticks, desc.width, desc.height, white});
  }

  std::shared_ptr<ICaptureItem> item;
  std::shared_ptr<IGpuDevice> device = MakeDevice();
  std::shared_ptr<ICaptureDevice> wrapped;
  std::shared_ptr<IFramePool> pool;
  std::shared_ptr<ICaptureSession> session;
  std::mutex mutex;
  std::vector<Seen> frames;  // under mutex while capturing
};

TEST_F(SimWorldTest, SyncFlashFramesArePureWhite) {
  OstrelSim_SetSyncMarks(200);
  std::shared_ptr<ICaptureItem> item;
  ASSERT_EQ(GetPlatform().capture.CreateItemForWindow(OstrelSim_CreateWindow(64, 36), &item), hr::kOk);
  Capture capture(item, GetPlatform().capture, TickClock::kTicksPerSecond / 60);
  std::this_thread::sleep_for(900ms);
  capture.Stop();
  int white = 0;
  for (const auto& f : capture.frames) {
    // A white frame was rendered inside a flash: its handler ran soon after the flash start.
    EXPECT_TRUE(!f.allWhite || f.ticks % (200 * 10000) < 90 * 10000) << "white frame outside a flash";
    white += f.allWhite ? 1 : 0;
  }
  EXPECT_GE(white, 2);
  EXPECT_GT(capture.frames.size(), 2u * white);
}

TEST_F(SimWorldTest, WithoutTheCaptureServiceTheFallbackSourcePollsAtItsInterval) {
  void* window = OstrelSim_CreateWindow(160, 90);
  OstrelSim_SetWindowContentRate(window, 0);  // still: the service would deliver one frame
  OstrelSim_SetWindowCaptureAvailable(false);
  std::shared_ptr<ICaptureItem> item;
  EXPECT_EQ(GetPlatform().capture.CreateItemForWindow(window, &item), hr::kClassNotRegistered);
  EXPECT_TRUE(GetPlatform().capture.IsWindow(window));  // the window itself is still there
  ASSERT_NE(GetPlatform().fallbackCapture, nullptr);
  ASSERT_EQ(GetPlatform().fallbackCapture->CreateItemForWindow(window, &item), hr::kOk);
  Capture capture(item, *GetPlatform().fallbackCapture, TickClock::kTicksPerSecond / 20);
  bool border = true;
  EXPECT_EQ(capture.session->IsBorderPropertyPresent(&border), hr::kOk);
  EXPECT_FALSE(border);
  std::this_thread::sleep_for(1000ms);
  capture.Stop();
  EXPECT_GE(capture.frames.size(), 12u);
  EXPECT_LE(capture.frames.size(), 22u);
  EXPECT_EQ(OstrelSim_GetFallbackFrameCount(), capture.frames.size());
  for (const auto& f : capture.frames) EXPECT_TRUE(f.width == 160 && f.height == 90) << f.width << "x" << f.height;
}

TEST_F(SimWorldTest, ALostDeviceReportsItsReasonAndResetRestoresTheDefaultWorld) {
  void* window = OstrelSim_CreateWindow(64, 64);
  std::shared_ptr<ICaptureItem> item;
  ASSERT_EQ(GetPlatform().capture.CreateItemForWindow(window, &item), hr::kOk);
  std::atomic<int> closed{0};
  item->AddClosed([&] { ++closed; });
  auto lost = MakeDevice();
  OstrelSim_LoseDevice(0x887A0005u);
  EXPECT_EQ(static_cast<uint32_t>(lost->GetDeviceRemovedReason()), 0x887A0005u);
  OstrelSim_SetSyncMarks(100);
  OstrelSim_AddMonitor(640, 480, OstrelSim_AddAdapter(L"extra", false));
  OstrelSim_SetGpuPriorityHonoured(false);
  OstrelSim_SetWindowCaptureAvailable(false);
  OstrelSim_SetDeviceCreationFailure(0x80004005u);
  OstrelSim_Reset();

  // Windows are gone and their Closed events delivered before Reset returns.
  EXPECT_EQ(closed.load(), 1);
  EXPECT_FALSE(GetPlatform().capture.IsWindow(window));
  EXPECT_EQ(sim::WorldSyncMarks().PeriodTicks(), 0);
  EXPECT_EQ(OstrelSim_GetMonitorHandle(1), nullptr);
  auto device = MakeDevice();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->GetDeviceRemovedReason(), hr::kOk);
  EXPECT_EQ(device->SetGpuThreadPriority(7), hr::kOk);
  EXPECT_EQ(GetPlatform().capture.CreateItemForWindow(OstrelSim_CreateWindow(64, 64), &item), hr::kOk);
}

}  // namespace
}  // namespace ostrel
