#include "platform/sim/sim_capture.h"

#include "platform/sim/sim_world.h"

namespace ostrel::sim {
namespace {
using namespace platform;

class SimCapture final : public IWindowCapture {
 public:
  bool IsWindow(WindowHandle window) override {
    World& world = World::Get();
    std::lock_guard lock(world.mutex);
    return world.WindowLocked(window) != nullptr;
  }
  MonitorHandle MonitorFromWindow(WindowHandle window) override {
    World& world = World::Get();
    std::lock_guard lock(world.mutex);
    auto target = world.WindowLocked(window);
    if (!target) return nullptr;
    return world.monitors[target->monitor]->Handle();
  }
  Hresult CreateItemForWindow(WindowHandle, std::shared_ptr<ICaptureItem>*) override { return hr::kFail; }
  Hresult CreateItemForMonitor(MonitorHandle, std::shared_ptr<ICaptureItem>*) override { return hr::kFail; }
  Hresult CreateFramePool(ICaptureDevice&, int32_t, SizeInt32, std::shared_ptr<IFramePool>*) override {
    return hr::kFail;
  }
  Hresult CreateCaptureSession(IFramePool&, ICaptureItem&, std::shared_ptr<ICaptureSession>*) override {
    return hr::kFail;
  }
};
}  // namespace

IWindowCapture& SimWindowCapture() {
  static SimCapture capture;
  return capture;
}

}  // namespace ostrel::sim
