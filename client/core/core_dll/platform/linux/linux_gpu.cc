// The GPU of the Linux backend: one adapter whose outputs are the X11
// monitors, and the shared CPU device (textures in system memory,
// libswscale conversion). Frames reach it from MIT-SHM reads, so a CPU path
// costs no extra read-back; a VA-API device would come in as another
// adapter with surfaces and VPP behind the same interfaces.
#include <memory>

#include "platform/cpu/cpu_gpu.h"
#include "platform/linux/linux_backend.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_handles.h"

namespace ostrel::linuxp {
namespace {

using platform::IGpuAdapter;
using platform::IGpuOutput;

class MonitorOutput final : public IGpuOutput {
 public:
  explicit MonitorOutput(uint32_t id) : id_(id) {}
  Hresult GetDesc(platform::OutputDesc* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->monitor = HandleOf(id_);
    return hr::kOk;
  }

 private:
  uint32_t id_;
};

class CpuAdapter final : public IGpuAdapter {
 public:
  Hresult GetDesc1(platform::AdapterDesc* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->description = L"CPU (system memory, libswscale)";
    out->flags = 0;
    return hr::kOk;
  }

  // Every monitor of the display is driven by this one adapter.
  Hresult EnumOutputs(uint32_t index, std::shared_ptr<IGpuOutput>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    auto connection = X11Connection::Current();
    if (!connection) return hr::kDxgiNotFound;
    std::vector<X11Monitor> monitors = connection->Monitors();
    if (index >= monitors.size()) return hr::kDxgiNotFound;
    *out = std::make_shared<MonitorOutput>(monitors[index].id);
    return hr::kOk;
  }
};

class CpuFactory final : public platform::IGpuFactory {
 public:
  Hresult EnumAdapters1(uint32_t index, std::shared_ptr<IGpuAdapter>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    if (index > 0) return hr::kDxgiNotFound;
    *out = std::make_shared<CpuAdapter>();
    return hr::kOk;
  }
};

// The capture service works in system memory and takes no device.
class CpuCaptureDevice final : public platform::ICaptureDevice {};

class LinuxGpu final : public platform::IGpuSystem {
 public:
  Hresult CreateFactory(std::shared_ptr<platform::IGpuFactory>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    *out = std::make_shared<CpuFactory>();
    return hr::kOk;
  }

  Hresult CreateDevice(IGpuAdapter*, std::shared_ptr<platform::IGpuDevice>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    *out = std::make_shared<platform::cpu::CpuDevice>(kMaxTextureExtent);
    return hr::kOk;
  }

  Hresult WrapForCapture(platform::IGpuDevice& device, std::shared_ptr<platform::ICaptureDevice>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    if (dynamic_cast<platform::cpu::CpuDevice*>(&device) == nullptr) return hr::kNoInterface;
    *out = std::make_shared<CpuCaptureDevice>();
    return hr::kOk;
  }
};

}  // namespace

platform::IGpuSystem& GpuSystem() {
  static LinuxGpu gpu;
  return gpu;
}

}  // namespace ostrel::linuxp
