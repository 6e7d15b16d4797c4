#include "capture/adapter_selection.h"

#include "platform/platform.h"

namespace ostrel {

using platform::GetPlatform;

std::shared_ptr<platform::IGpuAdapter> FindAdapterForMonitor(platform::MonitorHandle monitor,
                                                             const LogSink& logSink) {
  std::shared_ptr<platform::IGpuFactory> factory;
  Check(GetPlatform().gpu.CreateFactory(&factory));
  std::shared_ptr<platform::IGpuAdapter> fallback;
  for (uint32_t adapterIndex = 0;; ++adapterIndex) {
    std::shared_ptr<platform::IGpuAdapter> adapter;
    Hresult result = factory->EnumAdapters1(adapterIndex, &adapter);
    if (result == hr::kDxgiNotFound) break;
    Check(result);
    platform::AdapterDesc desc;
    if (Failed(adapter->GetDesc1(&desc)) || (desc.flags & platform::kAdapterFlagSoftware) != 0) continue;
    if (!fallback) fallback = adapter;
    for (uint32_t outputIndex = 0;; ++outputIndex) {
      std::shared_ptr<platform::IGpuOutput> output;
      Hresult outputResult = adapter->EnumOutputs(outputIndex, &output);
      if (outputResult == hr::kDxgiNotFound) break;
      if (Failed(outputResult)) continue;  // a broken output index does not hide later ones
      platform::OutputDesc outputDesc;
      if (Succeeded(output->GetDesc(&outputDesc)) && outputDesc.monitor == monitor) return adapter;
    }
  }
  if (fallback) {
    LogTo(logSink,
          L"Couldn't find which adapter owns the capture target's monitor - falling back to the first "
          L"available adapter. Capture/encode may fail if this isn't the same adapter actually driving "
          L"that display.");
  }
  return fallback;
}

std::shared_ptr<platform::IGpuDevice> CreateCaptureDevice(platform::IGpuAdapter* adapter) {
  std::shared_ptr<platform::IGpuDevice> device;
  Check(GetPlatform().gpu.CreateDevice(adapter, &device));
  return device;
}

void RaiseGpuThreadPriority(platform::IGpuDevice& device, const std::function<void(const std::wstring&)>& log) {
  if (!device.HasDxgiDevice()) return;
  Hresult setResult = device.SetGpuThreadPriority(7);
  int32_t actual = 0;
  device.GetGpuThreadPriority(&actual);
  log(L"[CAPABILITY] GPU thread priority: requested=7 setResult=0x" + Hex32(setResult) +
      L" actual=" + std::to_wstring(actual));
}

std::shared_ptr<platform::ICaptureDevice> WrapForCapture(platform::IGpuDevice& device) {
  std::shared_ptr<platform::ICaptureDevice> wrapped;
  Check(GetPlatform().gpu.WrapForCapture(device, &wrapped));
  return wrapped;
}

}  // namespace ostrel
