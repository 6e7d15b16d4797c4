// The capture device as the Windows capture side takes it: the Direct3D 11
// device, its platform device, and the WinRT IDirect3DDevice made from it by
// CreateDirect3D11DeviceFromDXGIDevice.
#pragma once

#include <d3d11.h>
#include <inspectable.h>

#include <memory>
#include <utility>

#include "platform/gpu.h"
#include "platform/win/win_com.h"

namespace ostrel::win {

class WinCaptureDevice final : public platform::ICaptureDevice {
 public:
  WinCaptureDevice(std::shared_ptr<platform::IGpuDevice> gpuDevice, ComPtr<ID3D11Device> d3dDevice,
                   ComPtr<IInspectable> winrtDevice)
      : gpuDevice_(std::move(gpuDevice)), d3dDevice_(std::move(d3dDevice)), winrtDevice_(std::move(winrtDevice)) {}

  const std::shared_ptr<platform::IGpuDevice>& GpuDevice() const { return gpuDevice_; }
  ID3D11Device* D3dDevice() const { return d3dDevice_.Get(); }
  // The IDirect3DDevice (queried by its interface id, held as its
  // IInspectable base). Null where d3d11.dll has no WinRT interop (Windows
  // before 10, Wine): there only the GDI capture path can use this device.
  IInspectable* WinRtDevice() const { return winrtDevice_.Get(); }

 private:
  std::shared_ptr<platform::IGpuDevice> gpuDevice_;
  ComPtr<ID3D11Device> d3dDevice_;
  ComPtr<IInspectable> winrtDevice_;
};

}  // namespace ostrel::win
