// DXGI adapters and outputs, Direct3D 11 device creation and the WinRT
// wrapping of the device for the capture service.
#include "platform/win/win_gpu.h"

#include <windows.h>
#include <d3d10.h>
#include <d3d11.h>
#include <d3d11_4.h>
#include <dxgi.h>
#include <inspectable.h>

#include <memory>
#include <utility>

#include "platform/win/win_backend.h"
#include "platform/win/win_capture_device.h"
#include "platform/win/win_gpu_device.h"

namespace ostrel::win {

using platform::AdapterDesc;
using platform::ICaptureDevice;
using platform::IGpuAdapter;
using platform::IGpuDevice;
using platform::IGpuFactory;
using platform::IGpuOutput;
using platform::OutputDesc;
using platform::PixelFormat;
using platform::TextureDesc;
using platform::TextureUsage;

namespace {

// Capture pool threads, the frame handlers and the encoder share the device
// and its immediate context, so the runtime serialises every use of the
// context. ID3D11Multithread (Windows 10) is asked of the context; older
// runtimes have the same switch as ID3D10Multithread on the device, as
// FFmpeg's D3D11 hardware context uses it. The library's own locks keep
// working without it, so a runtime offering neither is accepted.
void ProtectAgainstConcurrentUse(ID3D11Device& device) {
  ComPtr<ID3D11DeviceContext> context;
  device.GetImmediateContext(context.GetAddressOf());
  ComPtr<ID3D11Multithread> multithread;
  if (context && SUCCEEDED(context.As(&multithread))) {
    multithread->SetMultithreadProtected(TRUE);
    return;
  }
  ComPtr<ID3D10Multithread> legacy;
  if (SUCCEEDED(device.QueryInterface(IID_PPV_ARGS(legacy.GetAddressOf())))) legacy->SetMultithreadProtected(TRUE);
}

// Windows.Graphics.DirectX.Direct3D11.IDirect3DDevice.
constexpr GUID kIidDirect3DDevice = {0xa37624ab, 0x8d5f, 0x4650, {0x9d, 0x3e, 0x9e, 0xae, 0x3d, 0x9b, 0xc6, 0x70}};

// d3d11.dll export of Windows 10 and later.
using CreateDirect3D11DeviceFromDXGIDeviceFn = HRESULT(WINAPI*)(IDXGIDevice*, IInspectable**);

class WinOutput final : public IGpuOutput {
 public:
  explicit WinOutput(ComPtr<IDXGIOutput> output) : output_(std::move(output)) {}
  Hresult GetDesc(OutputDesc* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    DXGI_OUTPUT_DESC desc{};
    const HRESULT result = output_->GetDesc(&desc);
    if (FAILED(result)) return result;
    out->monitor = desc.Monitor;
    return hr::kOk;
  }

 private:
  ComPtr<IDXGIOutput> output_;
};

class WinAdapter final : public IGpuAdapter {
 public:
  explicit WinAdapter(ComPtr<IDXGIAdapter1> adapter) : adapter_(std::move(adapter)) {}
  IDXGIAdapter1* Native() const { return adapter_.Get(); }

  Hresult GetDesc1(AdapterDesc* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    DXGI_ADAPTER_DESC1 desc{};
    const HRESULT result = adapter_->GetDesc1(&desc);
    if (FAILED(result)) return result;
    out->description = desc.Description;  // NUL-terminated within its 128 characters
    out->flags = desc.Flags;
    return hr::kOk;
  }

  Hresult EnumOutputs(uint32_t index, std::shared_ptr<IGpuOutput>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    ComPtr<IDXGIOutput> output;
    const HRESULT result = adapter_->EnumOutputs(index, output.GetAddressOf());
    if (FAILED(result)) return result;
    *out = std::make_shared<WinOutput>(std::move(output));
    return hr::kOk;
  }

 private:
  ComPtr<IDXGIAdapter1> adapter_;
};

class WinFactory final : public IGpuFactory {
 public:
  explicit WinFactory(ComPtr<IDXGIFactory1> factory) : factory_(std::move(factory)) {}
  Hresult EnumAdapters1(uint32_t index, std::shared_ptr<IGpuAdapter>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    ComPtr<IDXGIAdapter1> adapter;
    const HRESULT result = factory_->EnumAdapters1(index, adapter.GetAddressOf());
    if (FAILED(result)) return result;
    *out = std::make_shared<WinAdapter>(std::move(adapter));
    return hr::kOk;
  }

 private:
  ComPtr<IDXGIFactory1> factory_;
};

class WinGpuSystem final : public platform::IGpuSystem {
 public:
  Hresult CreateFactory(std::shared_ptr<IGpuFactory>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    ComPtr<IDXGIFactory1> factory;
    const HRESULT result = CreateDXGIFactory1(IID_PPV_ARGS(factory.GetAddressOf()));
    if (FAILED(result)) return result;
    *out = std::make_shared<WinFactory>(std::move(factory));
    return hr::kOk;
  }

  Hresult CreateDevice(IGpuAdapter* adapter, std::shared_ptr<IGpuDevice>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    IDXGIAdapter* native = nullptr;
    if (adapter != nullptr) {
      auto* win = dynamic_cast<WinAdapter*>(adapter);
      if (win == nullptr) return hr::kInvalidArg;
      native = win->Native();
    }
    ComPtr<ID3D11Device> device;
    const HRESULT result = D3D11CreateDevice(native, native != nullptr ? D3D_DRIVER_TYPE_UNKNOWN : D3D_DRIVER_TYPE_HARDWARE,
                                             nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0,
                                             D3D11_SDK_VERSION, device.GetAddressOf(), nullptr, nullptr);
    if (FAILED(result)) return result;
    ProtectAgainstConcurrentUse(*device.Get());
    *out = std::make_shared<WinDevice>(std::move(device));
    return hr::kOk;
  }

  Hresult WrapForCapture(IGpuDevice& device, std::shared_ptr<ICaptureDevice>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    auto* win = dynamic_cast<WinDevice*>(&device);
    if (win == nullptr) return hr::kNoInterface;
    ComPtr<IDXGIDevice> dxgi;
    HRESULT result = win->Native()->QueryInterface(IID_PPV_ARGS(dxgi.GetAddressOf()));
    if (FAILED(result)) return result;

    ComPtr<IInspectable> winrtDevice;
    // d3d11.dll is loaded: the device came from it.
    HMODULE d3d11 = GetModuleHandleW(L"d3d11.dll");
    FARPROC entry = d3d11 != nullptr ? GetProcAddress(d3d11, "CreateDirect3D11DeviceFromDXGIDevice") : nullptr;
    if (entry != nullptr) {
      // Cast through a generic function pointer: FARPROC and the real
      // signature differ.
      auto create = reinterpret_cast<CreateDirect3D11DeviceFromDXGIDeviceFn>(reinterpret_cast<void (*)()>(entry));
      ComPtr<IInspectable> inspectable;
      result = create(dxgi.Get(), inspectable.GetAddressOf());
      if (FAILED(result)) return result;
      result = inspectable->QueryInterface(kIidDirect3DDevice, reinterpret_cast<void**>(winrtDevice.GetAddressOf()));
      if (FAILED(result)) return result;
    }
    // Without the export (Windows before 10, Wine) the device serves the
    // GDI capture path only; the capture side sees a null WinRT device.
    *out = std::make_shared<WinCaptureDevice>(win->shared_from_this(), ComPtr<ID3D11Device>(win->Native()),
                                              std::move(winrtDevice));
    return hr::kOk;
  }
};

}  // namespace

platform::IGpuSystem& GpuSystem() {
  static WinGpuSystem gpu;
  return gpu;
}

std::shared_ptr<platform::ITexture> WrapTexture(ID3D11Texture2D* texture) {
  if (texture == nullptr) return nullptr;
  D3D11_TEXTURE2D_DESC native{};
  texture->GetDesc(&native);
  TextureDesc desc;
  desc.width = native.Width;
  desc.height = native.Height;
  desc.format = native.Format == DXGI_FORMAT_NV12 ? PixelFormat::Nv12 : PixelFormat::Bgra8;
  desc.usage = native.Usage == D3D11_USAGE_STAGING ? TextureUsage::Staging : TextureUsage::Default;
  desc.renderTarget = (native.BindFlags & D3D11_BIND_RENDER_TARGET) != 0;
  desc.cpuRead = (native.CPUAccessFlags & D3D11_CPU_ACCESS_READ) != 0;
  return std::make_shared<WinTexture>(ComPtr<ID3D11Texture2D>(texture), desc);
}

Hresult CreateTextureWithPixels(platform::IGpuDevice& device, uint32_t width, uint32_t height, const uint8_t* pixels,
                                uint32_t pitch, std::shared_ptr<platform::ITexture>* out) {
  auto* win = dynamic_cast<WinDevice*>(&device);
  if (win == nullptr) return hr::kInvalidArg;
  return win->CreateTextureWithPixels(width, height, pixels, pitch, out);
}

ID3D11Device* NativeDevice(platform::IGpuDevice& device) {
  auto* win = dynamic_cast<WinDevice*>(&device);
  return win != nullptr ? win->Native() : nullptr;
}

ID3D11Texture2D* NativeTexture(platform::ITexture& texture) {
  auto* win = dynamic_cast<WinTexture*>(&texture);
  return win != nullptr ? win->Native() : nullptr;
}

}  // namespace ostrel::win
