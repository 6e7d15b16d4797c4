// What the library's tests take from the fake world without checking it
// themselves: a lost device reports its reason, and Reset gives every test
// the default world. (The sync flashes are checked where they are used: a
// flash at the wrong time or of the wrong colour fails the sync tests.)
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "ostrel/ostrel_sim.h"
#include "platform/platform.h"
#include "platform/sim/sync_marks.h"

namespace ostrel {
namespace {

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
