// Placeholder platform of the fake world: system services only; the GPU,
// capture and media parts fail until they are written.
#include "platform/platform.h"
#include "platform/posix/posix_system.h"
#include "platform/sim/sim_audio.h"

namespace ostrel::platform {
namespace {

class NoMedia final : public IMediaPlatform {
 public:
  Hresult JoinMultithreadedApartment() override { return hr::kOk; }
  Hresult Startup() override { return hr::kOk; }
  void Shutdown() override {}
  Hresult EnumHardwareH264Encoders(std::vector<HardwareEncoderInfo>* out) override {
    out->clear();
    return hr::kOk;
  }
};

class NoGpu final : public IGpuSystem {
 public:
  Hresult CreateFactory(std::shared_ptr<IGpuFactory>*) override { return hr::kFail; }
  Hresult CreateDevice(IGpuAdapter*, std::shared_ptr<IGpuDevice>*) override { return hr::kFail; }
  Hresult WrapForCapture(IGpuDevice&, std::shared_ptr<ICaptureDevice>*) override { return hr::kFail; }
};

class NoCapture final : public IWindowCapture {
 public:
  bool IsWindow(WindowHandle) override { return false; }
  MonitorHandle MonitorFromWindow(WindowHandle) override { return nullptr; }
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

Platform& GetPlatform() {
  static posix::PosixSystemServices system;
  static NoMedia media;
  static NoGpu gpu;
  static NoCapture capture;
  static Platform platform{system, media, gpu, capture, sim::SimAudioSystem()};
  return platform;
}

}  // namespace ostrel::platform
