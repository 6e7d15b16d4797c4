#include "platform/sim/sim_gpu.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <thread>

#include "platform/sim/sim_world.h"

namespace ostrel::sim {

using platform::AdapterDesc;
using platform::ICaptureDevice;
using platform::IGpuAdapter;
using platform::IGpuContext;
using platform::IGpuDevice;
using platform::IGpuFactory;
using platform::IGpuOutput;
using platform::ITexture;
using platform::IVideoConverter;
using platform::MappedTexture;
using platform::OutputDesc;
using platform::PixelFormat;
using platform::TextureDesc;
using platform::TextureUsage;

namespace {

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

size_t LiveTextureBytes() { return platform::cpu::CpuTexture::LiveBytes(); }

std::shared_ptr<SimTexture> CreateSurfaceTexture(int width, int height) {
  return platform::cpu::CreateSurfaceTexture(width, height, World::kMaxExtent);
}

namespace {

// ---- adapters and outputs ---------------------------------------------------

class SimOutput final : public IGpuOutput {
 public:
  explicit SimOutput(platform::MonitorHandle monitor) : monitor_(monitor) {}
  Hresult GetDesc(OutputDesc* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->monitor = monitor_;
    return hr::kOk;
  }

 private:
  platform::MonitorHandle monitor_;
};

class SimAdapter final : public IGpuAdapter {
 public:
  explicit SimAdapter(int index) : index_(index) {}
  int Index() const { return index_; }

  Hresult GetDesc1(AdapterDesc* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    World& world = World::Get();
    std::lock_guard lock(world.mutex);
    if (index_ >= static_cast<int>(world.adapters.size())) return hr::kFail;
    const AdapterState& adapter = world.adapters[index_];
    out->description = adapter.description;
    out->flags = adapter.software ? platform::kAdapterFlagSoftware : 0;
    return hr::kOk;
  }

  // The outputs are the monitors this adapter drives, in monitor order. A
  // failing index is an extra position: the outputs from there on answer
  // one index later, so no monitor is hidden by the failure.
  Hresult EnumOutputs(uint32_t index, std::shared_ptr<IGpuOutput>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    World& world = World::Get();
    std::lock_guard lock(world.mutex);
    if (index_ >= static_cast<int>(world.adapters.size())) return hr::kDxgiNotFound;
    std::vector<void*> driven;
    for (const auto& monitor : world.monitors) {
      if (monitor->adapter == index_) driven.push_back(monitor->Handle());
    }
    const uint64_t slot = index;
    if (slot >= driven.size()) return hr::kDxgiNotFound;
    *out = std::make_shared<SimOutput>(driven[slot]);
    return hr::kOk;
  }

 private:
  int index_;
};

class SimFactory final : public IGpuFactory {
 public:
  Hresult EnumAdapters1(uint32_t index, std::shared_ptr<IGpuAdapter>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    World& world = World::Get();
    std::lock_guard lock(world.mutex);
    if (index >= world.adapters.size()) return hr::kDxgiNotFound;
    *out = std::make_shared<SimAdapter>(static_cast<int>(index));
    return hr::kOk;
  }
};

// ---- video converter --------------------------------------------------------

// The video processor, or (onCpu) the conversion of a device without one,
// which reads the input back through its own staging texture first.
class SimVideoConverter final : public platform::cpu::CpuVideoConverter {
 public:
  SimVideoConverter(uint32_t inW, uint32_t inH, bool onCpu) : inputWidth_(inW), inputHeight_(inH), onCpu_(onCpu) {}

  Hresult CheckNv12Output(bool* supported) override {
    if (supported == nullptr) return hr::kInvalidArg;
    Hresult lost = World::Get().DeviceFault();
    if (Failed(lost)) return lost;
    *supported = World::Get().videoProcessorNv12.load();
    return hr::kOk;
  }

  Hresult CreateProcessor() override {
    Hresult lost = World::Get().DeviceFault();
    if (Failed(lost)) return lost;
    {
      std::lock_guard lock(mutex_);
      if (onCpu_ && !readBack_) {
        TextureDesc desc;
        desc.width = inputWidth_;
        desc.height = inputHeight_;
        desc.usage = TextureUsage::Staging;
        desc.cpuRead = true;
        try {
          readBack_ = std::make_unique<SimTexture>(desc);
        } catch (const std::bad_alloc&) {
          return hr::kOutOfMemory;
        }
      }
    }
    return CpuVideoConverter::CreateProcessor();
  }

  bool OnCpu() const { return onCpu_; }
  // The staging texture of a CPU conversion; null before CreateProcessor.
  SimTexture* ReadBack() {
    std::lock_guard lock(mutex_);
    return readBack_.get();
  }

 private:
  const uint32_t inputWidth_, inputHeight_;
  const bool onCpu_;
  std::mutex mutex_;
  std::unique_ptr<SimTexture> readBack_;
};

// ---- device and context -----------------------------------------------------

class SimContext final : public platform::cpu::CpuContext {
 public:
  // Copies can be scripted to take time (OstrelSim_SetStagingDelayMs), as a
  // GPU's do, so frames go through staging textures and maps as on a GPU.
  bool CopiesCompleteAtOnce() const override { return false; }
  bool ReadsIntoMemory() const override { return false; }

  void CopyResource(ITexture& destination, ITexture& source) override {
    if (Failed(World::Get().DeviceFault())) return;
    CpuContext::CopyResource(destination, source);
  }

  void CopyRegion(ITexture& destination, ITexture& source, const platform::TextureRegion& region) override {
    if (Failed(World::Get().DeviceFault())) return;
    CpuContext::CopyRegion(destination, source, region);
  }

  void ClearToBlack(ITexture& destination) override {
    if (Failed(World::Get().DeviceFault())) return;
    CpuContext::ClearToBlack(destination);
  }

  Hresult ConvertAndScale(IVideoConverter& converter, ITexture& bgraInput, ITexture& nv12Output) override {
    Hresult lost = World::Get().DeviceFault();
    if (Failed(lost)) return lost;
    auto* sim = dynamic_cast<SimVideoConverter*>(&converter);
    if (sim == nullptr) return hr::kInvalidArg;
    if (sim->OnCpu()) {
      auto* in = dynamic_cast<SimTexture*>(&bgraInput);
      auto* out = dynamic_cast<SimTexture*>(&nv12Output);
      if (in == nullptr || out == nullptr) return hr::kInvalidArg;
      return ConvertOnCpu(*sim, *in, *out);
    }
    return CpuContext::ConvertAndScale(converter, bgraInput, nv12Output);
  }

  // The capture copy's conversion works from the capture surface in place,
  // with or without a video processor.
  Hresult ConvertRegion(IVideoConverter& converter, ITexture& bgraInput, const platform::TextureRegion& region,
                        ITexture& nv12Output, uint32_t width, uint32_t height) override {
    Hresult lost = World::Get().DeviceFault();
    if (Failed(lost)) return lost;
    return CpuContext::ConvertRegion(converter, bgraInput, region, nv12Output, width, height);
  }

  // As a device without a video processor does it: copy into the staging
  // texture, wait for the copy, convert from the mapped bytes.
  Hresult ConvertOnCpu(SimVideoConverter& converter, SimTexture& input, SimTexture& output) {
    if (input.Desc().format != PixelFormat::Bgra8 || output.Desc().format != PixelFormat::Nv12) {
      return hr::kInvalidArg;
    }
    SimTexture* readBack = converter.ReadBack();
    if (readBack == nullptr) return hr::kFail;
    const TextureDesc inDesc = input.Desc();
    if (inDesc.width != readBack->Desc().width || inDesc.height != readBack->Desc().height) return hr::kInvalidArg;
    CopyResource(*readBack, input);
    MappedTexture mapped;
    Hresult status = Map(*readBack, false, &mapped);
    if (Failed(status)) return status;
    status = converter.Convert(*readBack, output);
    Unmap(*readBack);
    return status;
  }

  Hresult Map(ITexture& staging, bool doNotWait, MappedTexture* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    SimTexture* texture = nullptr;
    Hresult checked = CheckMappable(staging, &texture);
    if (Failed(checked)) return checked;
    World& world = World::Get();
    for (;;) {
      Hresult lost = world.DeviceFault();
      if (Failed(lost)) return lost;
      int64_t copied = texture->CopiedAtNs();
      int64_t delayNs = int64_t{std::max(0, world.stagingDelayMs.load())} * 1000000;
      int64_t now = SteadyNs();
      if (copied == std::numeric_limits<int64_t>::min() || now - copied >= delayNs) break;
      if (doNotWait) return hr::kDxgiWasStillDrawing;
      // Waiting in short slices lets a shortened delay or a device loss
      // end the wait.
      int64_t remaining = copied + delayNs - now;
      std::this_thread::sleep_for(std::chrono::nanoseconds(std::min<int64_t>(remaining, 5000000)));
    }
    return CpuContext::Map(staging, doNotWait, out);
  }
};

Hresult MakeConverter(uint32_t inputWidth, uint32_t inputHeight, uint32_t outputWidth, uint32_t outputHeight,
                      bool onCpu, std::shared_ptr<IVideoConverter>* out) {
  const uint32_t limit = World::kMaxExtent;
  if (inputWidth == 0 || inputHeight == 0 || outputWidth == 0 || outputHeight == 0 || inputWidth > limit ||
      inputHeight > limit || outputWidth > limit || outputHeight > limit) {
    return hr::kInvalidArg;
  }
  *out = std::make_shared<SimVideoConverter>(inputWidth, inputHeight, onCpu);
  return hr::kOk;
}

}  // namespace

class SimDevice final : public IGpuDevice, public std::enable_shared_from_this<SimDevice> {
 public:
  explicit SimDevice(int adapterIndex) : adapterIndex_(adapterIndex) { ++World::Get().liveDevices; }
  ~SimDevice() override { --World::Get().liveDevices; }
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  int AdapterIndex() const { return adapterIndex_; }

  Hresult CreateTexture(const TextureDesc& desc, std::shared_ptr<ITexture>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    Hresult lost = World::Get().DeviceFault();
    if (Failed(lost)) return lost;
    Hresult valid = SimTexture::Validate(desc, World::kMaxExtent);
    if (Failed(valid)) return valid;
    World& world = World::Get();
    if (int delay = world.textureCreationDelayMs.load(); delay > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    for (int left = world.textureFailuresLeft.load(); left > 0;) {
      if (world.textureFailuresLeft.compare_exchange_weak(left, left - 1)) return world.textureFailureStatus.load();
    }
    try {
      *out = std::make_shared<SimTexture>(desc);
    } catch (const std::bad_alloc&) {
      return hr::kOutOfMemory;
    }
    return hr::kOk;
  }

  IGpuContext& ImmediateContext() override { return context_; }

  Hresult CreateVideoConverter(uint32_t inputWidth, uint32_t inputHeight, uint32_t outputWidth,
                               uint32_t outputHeight, std::shared_ptr<IVideoConverter>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    Hresult lost = World::Get().DeviceFault();
    if (Failed(lost)) return lost;
    if (!World::Get().videoProcessorPresent.load()) return hr::kNoInterface;
    return MakeConverter(inputWidth, inputHeight, outputWidth, outputHeight, false, out);
  }

  Hresult CreateCpuVideoConverter(uint32_t inputWidth, uint32_t inputHeight, uint32_t outputWidth,
                                  uint32_t outputHeight, std::shared_ptr<IVideoConverter>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    Hresult lost = World::Get().DeviceFault();
    if (Failed(lost)) return lost;
    return MakeConverter(inputWidth, inputHeight, outputWidth, outputHeight, true, out);
  }

  bool HasDxgiDevice() override { return true; }

  Hresult SetGpuThreadPriority(int32_t priority) override {
    if (priority < -7 || priority > 7) return hr::kInvalidArg;
    if (!World::Get().priorityHonoured.load()) return hr::kAccessDenied;
    priority_ = priority;
    return hr::kOk;
  }

  Hresult GetGpuThreadPriority(int32_t* priority) override {
    if (priority == nullptr) return hr::kInvalidArg;
    *priority = priority_.load();
    return hr::kOk;
  }

  Hresult GetDeviceRemovedReason() override { return World::Get().deviceLostReason.load(); }

 private:
  const int adapterIndex_;
  std::atomic<int32_t> priority_{0};
  SimContext context_;
};

namespace {

class SimCaptureDevice final : public ICaptureDevice {
 public:
  explicit SimCaptureDevice(std::shared_ptr<SimDevice> device) : device_(std::move(device)) {}
  const std::shared_ptr<SimDevice>& Device() const { return device_; }

 private:
  std::shared_ptr<SimDevice> device_;
};

class SimGpu final : public platform::IGpuSystem {
 public:
  Hresult CreateFactory(std::shared_ptr<IGpuFactory>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    *out = std::make_shared<SimFactory>();
    return hr::kOk;
  }

  Hresult CreateDevice(IGpuAdapter* adapter, std::shared_ptr<IGpuDevice>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    World& world = World::Get();
    Hresult failure = world.deviceCreationFailure.load();
    if (Failed(failure)) return failure;
    int index = -1;
    {
      std::lock_guard lock(world.mutex);
      const int count = static_cast<int>(world.adapters.size());
      if (adapter != nullptr) {
        auto* sim = dynamic_cast<SimAdapter*>(adapter);
        if (sim == nullptr || sim->Index() >= count) return hr::kInvalidArg;
        index = sim->Index();
      } else {
        // The default hardware adapter: the first one without the software
        // flag; a machine with only a software adapter uses that one.
        for (int i = 0; i < count && index < 0; ++i) {
          if (!world.adapters[i].software) index = i;
        }
        if (index < 0 && count > 0) index = 0;
        if (index < 0) return hr::kDxgiUnsupported;
      }
    }
    world.lastDeviceAdapter = index;
    *out = std::make_shared<SimDevice>(index);
    return hr::kOk;
  }

  Hresult WrapForCapture(IGpuDevice& device, std::shared_ptr<ICaptureDevice>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    auto* sim = dynamic_cast<SimDevice*>(&device);
    if (sim == nullptr) return hr::kNoInterface;
    *out = std::make_shared<SimCaptureDevice>(sim->shared_from_this());
    return hr::kOk;
  }
};

}  // namespace

platform::IGpuSystem& SimGpuSystem() {
  static SimGpu gpu;
  return gpu;
}

std::shared_ptr<SimDevice> DeviceOfCaptureDevice(ICaptureDevice& device) {
  auto* sim = dynamic_cast<SimCaptureDevice*>(&device);
  return sim != nullptr ? sim->Device() : nullptr;
}

}  // namespace ostrel::sim
