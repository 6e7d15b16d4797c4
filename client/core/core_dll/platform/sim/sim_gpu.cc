#include "platform/sim/sim_gpu.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <thread>

#include "platform/cpu/bgra_to_nv12.h"
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

uint32_t AlignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

}  // namespace

// ---- textures ---------------------------------------------------------------

Hresult SimTexture::Validate(const TextureDesc& desc) {
  if (desc.width == 0 || desc.height == 0) return hr::kInvalidArg;
  if (desc.width > static_cast<uint32_t>(World::kMaxExtent) ||
      desc.height > static_cast<uint32_t>(World::kMaxExtent)) {
    return hr::kInvalidArg;
  }
  // Planar 4:2:0 surfaces need even sizes, as on real GPUs.
  if (desc.format == PixelFormat::Nv12 && (desc.width % 2 != 0 || desc.height % 2 != 0)) {
    return hr::kInvalidArg;
  }
  if (desc.usage == TextureUsage::Staging && desc.renderTarget) return hr::kInvalidArg;
  if (desc.usage == TextureUsage::Default && desc.cpuRead) return hr::kInvalidArg;
  return hr::kOk;
}

uint32_t SimTexture::PitchFor(const TextureDesc& desc) {
  uint32_t bytesPerRow = desc.format == PixelFormat::Bgra8 ? desc.width * 4 : desc.width;
  return AlignUp(bytesPerRow, kPitchAlignment);
}

namespace {
std::atomic<size_t> g_liveTextureBytes{0};
}  // namespace

size_t LiveTextureBytes() { return g_liveTextureBytes.load(); }

SimTexture::SimTexture(const TextureDesc& desc)
    : desc_(desc), pitch_(PitchFor(desc)), copiedAtNs_(std::numeric_limits<int64_t>::min()) {
  size_t rows = desc.height;
  if (desc.format == PixelFormat::Nv12) rows += (desc.height + 1) / 2;
  size_ = static_cast<size_t>(pitch_) * rows;
  // The pitch is a multiple of the alignment, so the size is too.
  data_ = static_cast<uint8_t*>(std::aligned_alloc(kPitchAlignment, std::max<size_t>(size_, kPitchAlignment)));
  if (data_ == nullptr) throw std::bad_alloc();
  std::memset(data_, 0, size_);
  g_liveTextureBytes.fetch_add(size_);
}

SimTexture::~SimTexture() {
  g_liveTextureBytes.fetch_sub(size_);
  std::free(data_);
}

void SimTexture::MarkCopied() { copiedAtNs_.store(SteadyNs()); }

std::shared_ptr<SimTexture> CreateSurfaceTexture(int width, int height) {
  TextureDesc desc;
  desc.width = static_cast<uint32_t>(width);
  desc.height = static_cast<uint32_t>(height);
  desc.format = PixelFormat::Bgra8;
  if (Failed(SimTexture::Validate(desc))) return nullptr;
  auto texture = std::make_shared<SimTexture>(desc);
  texture->MarkCaptureSurface();
  return texture;
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
    const AdapterState& adapter = world.adapters[index_];
    std::vector<void*> driven;
    for (const auto& monitor : world.monitors) {
      if (monitor->adapter == index_) driven.push_back(monitor->Handle());
    }
    uint64_t slot = index;
    if (adapter.failingOutput >= 0 && Failed(adapter.failingStatus)) {
      uint64_t failing = static_cast<uint64_t>(adapter.failingOutput);
      if (failing <= driven.size()) {
        if (slot == failing) return adapter.failingStatus;
        if (slot > failing) --slot;
      }
    }
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

class SimVideoConverter final : public IVideoConverter {
 public:
  SimVideoConverter(uint32_t inW, uint32_t inH, uint32_t outW, uint32_t outH)
      : inputWidth_(inW), inputHeight_(inH), outputWidth_(outW), outputHeight_(outH) {}

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
    std::lock_guard lock(mutex_);
    processorCreated_ = true;
    return hr::kOk;
  }

  // One blit: the whole input scaled onto the whole output.
  Hresult Convert(const SimTexture& input, SimTexture& output) {
    std::lock_guard lock(mutex_);
    if (!processorCreated_) return hr::kFail;
    const TextureDesc in = input.Desc();
    const TextureDesc out = output.Desc();
    return converter_.Convert({input.Data(), input.RowPitch(), in.width, in.height},
                              {output.Data(), output.RowPitch(), out.width, out.height});
  }

  uint32_t InputWidth() const { return inputWidth_; }
  uint32_t InputHeight() const { return inputHeight_; }
  uint32_t OutputWidth() const { return outputWidth_; }
  uint32_t OutputHeight() const { return outputHeight_; }

 private:
  const uint32_t inputWidth_, inputHeight_, outputWidth_, outputHeight_;
  std::mutex mutex_;
  bool processorCreated_ = false;
  platform::CpuBgraToNv12 converter_;
};

// ---- device and context -----------------------------------------------------

class SimContext final : public IGpuContext {
 public:
  void CopyResource(ITexture& destination, ITexture& source) override {
    if (Failed(World::Get().DeviceFault())) return;
    auto* dst = dynamic_cast<SimTexture*>(&destination);
    auto* src = dynamic_cast<SimTexture*>(&source);
    if (dst == nullptr || src == nullptr || dst == src) return;
    const TextureDesc d = dst->Desc();
    const TextureDesc s = src->Desc();
    // The GPU refuses copies between different sizes or formats; nothing
    // happens then.
    if (d.width != s.width || d.height != s.height || d.format != s.format) return;
    // A GPU copy costs the CPU nothing; out of a capture surface (which the
    // capture service renders anew before reuse) the fake GPU moves the
    // storage instead of the bytes, so it does not either.
    if (src->IsCaptureSurface() && d.usage == TextureUsage::Default && dst->ByteSize() == src->ByteSize()) {
      dst->SwapStorage(*src);
    } else {
      std::memcpy(dst->Data(), src->Data(), std::min(dst->ByteSize(), src->ByteSize()));
    }
    if (d.usage == TextureUsage::Staging) dst->MarkCopied();
  }

  Hresult ConvertAndScale(IVideoConverter& converter, ITexture& bgraInput, ITexture& nv12Output) override {
    Hresult lost = World::Get().DeviceFault();
    if (Failed(lost)) return lost;
    auto* sim = dynamic_cast<SimVideoConverter*>(&converter);
    auto* in = dynamic_cast<SimTexture*>(&bgraInput);
    auto* out = dynamic_cast<SimTexture*>(&nv12Output);
    if (sim == nullptr || in == nullptr || out == nullptr) return hr::kInvalidArg;
    const TextureDesc inDesc = in->Desc();
    const TextureDesc outDesc = out->Desc();
    // Input and output views need GPU-side textures; the output view needs
    // the render-target binding.
    if (inDesc.format != PixelFormat::Bgra8 || inDesc.usage != TextureUsage::Default) return hr::kInvalidArg;
    if (outDesc.format != PixelFormat::Nv12 || outDesc.usage != TextureUsage::Default || !outDesc.renderTarget) {
      return hr::kInvalidArg;
    }
    return sim->Convert(*in, *out);
  }

  Hresult Map(ITexture& staging, bool doNotWait, MappedTexture* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    auto* texture = dynamic_cast<SimTexture*>(&staging);
    if (texture == nullptr) return hr::kInvalidArg;
    const TextureDesc desc = texture->Desc();
    if (desc.usage != TextureUsage::Staging || !desc.cpuRead) return hr::kInvalidArg;
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
    out->data = texture->Data();
    out->rowPitch = texture->RowPitch();
    return hr::kOk;
  }

  void Unmap(ITexture&) override {}
};

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
    Hresult valid = SimTexture::Validate(desc);
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
    const uint32_t limit = World::kMaxExtent;
    if (inputWidth == 0 || inputHeight == 0 || outputWidth == 0 || outputHeight == 0 || inputWidth > limit ||
        inputHeight > limit || outputWidth > limit || outputHeight > limit) {
      return hr::kInvalidArg;
    }
    *out = std::make_shared<SimVideoConverter>(inputWidth, inputHeight, outputWidth, outputHeight);
    return hr::kOk;
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
