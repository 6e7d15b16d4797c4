#include "platform/win/win_gpu_device.h"

#include <dxgi.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/texture_region.h"

namespace ostrel::win {

using platform::ITexture;
using platform::MappedTexture;
using platform::PixelFormat;
using platform::TextureDesc;
using platform::TextureUsage;

namespace {

// Row pitch of system-memory textures, as GPUs align rows.
constexpr uint32_t kPitchAlignment = 64;

WinTexture* AsWin(ITexture& texture) { return dynamic_cast<WinTexture*>(&texture); }

}  // namespace

WinTexture::WinTexture(const TextureDesc& desc) : desc_(desc) {
  const uint32_t bytesPerRow = desc.format == PixelFormat::Bgra8 ? desc.width * 4 : desc.width;
  pitch_ = (bytesPerRow + kPitchAlignment - 1) / kPitchAlignment * kPitchAlignment;
  size_t rows = desc.height;
  if (desc.format == PixelFormat::Nv12) rows += (desc.height + 1) / 2;
  memory_.assign(static_cast<size_t>(pitch_) * rows, 0);
}

// ---- immediate context ----------------------------------------------------

void WinContext::CopyResource(ITexture& destination, ITexture& source) {
  WinTexture* dst = AsWin(destination);
  WinTexture* src = AsWin(source);
  if (dst == nullptr || src == nullptr || dst == src) return;
  if (!dst->InSystemMemory() && !src->InSystemMemory()) {
    context_->CopyResource(dst->Native(), src->Native());
    return;
  }
  // The GPU ignores copies between different sizes or formats; so does this.
  const TextureDesc d = dst->Desc();
  const TextureDesc s = src->Desc();
  if (d.width != s.width || d.height != s.height || d.format != s.format) return;
  if (dst->InSystemMemory() && src->InSystemMemory()) {
    std::memcpy(dst->Memory(), src->Memory(), std::min(dst->MemorySize(), src->MemorySize()));
  } else if (dst->InSystemMemory()) {
    ReadBack(*dst, *src);
  } else if (s.format == PixelFormat::Bgra8) {
    context_->UpdateSubresource(dst->Native(), 0, nullptr, src->Memory(), src->MemoryPitch(), 0);
  }
}

HRESULT WinContext::MapReadBack(WinTexture& source, D3D11_MAPPED_SUBRESOURCE* mapped) {
  const TextureDesc desc = source.Desc();
  if (!readBack_ || readBackDesc_.width != desc.width || readBackDesc_.height != desc.height ||
      readBackDesc_.format != desc.format) {
    D3D11_TEXTURE2D_DESC native{};
    native.Width = desc.width;
    native.Height = desc.height;
    native.MipLevels = 1;
    native.ArraySize = 1;
    native.Format = desc.format == PixelFormat::Nv12 ? DXGI_FORMAT_NV12 : DXGI_FORMAT_B8G8R8A8_UNORM;
    native.SampleDesc.Count = 1;
    native.Usage = D3D11_USAGE_STAGING;
    native.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    readBack_ = nullptr;
    const HRESULT result = device_->CreateTexture2D(&native, nullptr, readBack_.GetAddressOf());
    if (FAILED(result)) return result;
    readBackDesc_ = desc;
  }
  context_->CopyResource(readBack_.Get(), source.Native());
  return context_->Map(readBack_.Get(), 0, D3D11_MAP_READ, 0, mapped);
}

void WinContext::ReadBack(WinTexture& destination, WinTexture& source) {
  const TextureDesc desc = source.Desc();
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (FAILED(MapReadBack(source, &mapped))) return;
  const size_t rowBytes = desc.format == PixelFormat::Nv12 ? desc.width : size_t{desc.width} * 4;
  const size_t rows = desc.format == PixelFormat::Nv12 ? desc.height + desc.height / 2 : desc.height;
  for (size_t row = 0; row < rows; ++row) {
    std::memcpy(destination.Memory() + row * destination.MemoryPitch(),
                static_cast<const uint8_t*>(mapped.pData) + row * mapped.RowPitch, rowBytes);
  }
  context_->Unmap(readBack_.Get(), 0);
}

void WinContext::CopyRegion(ITexture& destination, ITexture& source, const platform::TextureRegion& region) {
  WinTexture* dst = AsWin(destination);
  WinTexture* src = AsWin(source);
  if (dst == nullptr || src == nullptr || dst == src) return;
  const platform::TextureRegion copied = platform::CopiedRegion(region, src->Desc(), dst->Desc());
  const uint32_t width = copied.width;
  const uint32_t height = copied.height;
  if (width == 0 || height == 0) return;
  if (!dst->InSystemMemory() && !src->InSystemMemory()) {
    const D3D11_BOX box{region.x, region.y, 0, region.x + width, region.y + height, 1};
    context_->CopySubresourceRegion(dst->Native(), 0, 0, 0, 0, src->Native(), 0, &box);
    return;
  }
  if (!dst->InSystemMemory()) {
    const D3D11_BOX box{0, 0, 0, width, height, 1};
    context_->UpdateSubresource(dst->Native(), 0, &box,
                                src->Memory() + size_t{region.y} * src->MemoryPitch() + size_t{region.x} * 4,
                                src->MemoryPitch(), 0);
    return;
  }
  auto copyRows = [&](const uint8_t* from, size_t pitch) {
    for (uint32_t row = 0; row < height; ++row) {
      std::memcpy(dst->Memory() + size_t{row} * dst->MemoryPitch(),
                  from + size_t{region.y + row} * pitch + size_t{region.x} * 4, size_t{width} * 4);
    }
  };
  if (src->InSystemMemory()) {
    copyRows(src->Memory(), src->MemoryPitch());
    return;
  }
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (FAILED(MapReadBack(*src, &mapped))) return;
  copyRows(static_cast<const uint8_t*>(mapped.pData), mapped.RowPitch);
  context_->Unmap(readBack_.Get(), 0);
}

void WinContext::ClearToBlack(ITexture& destination) {
  WinTexture* dst = AsWin(destination);
  if (dst == nullptr || dst->Desc().format != PixelFormat::Bgra8) return;
  const TextureDesc d = dst->Desc();
  const size_t pixels = size_t{d.width} * d.height;
  if (blackRows_.size() < pixels) blackRows_.assign(pixels, 0xFF000000u);
  if (!dst->InSystemMemory()) {
    context_->UpdateSubresource(dst->Native(), 0, nullptr, blackRows_.data(), d.width * 4, 0);
    return;
  }
  for (uint32_t row = 0; row < d.height; ++row) {
    std::memcpy(dst->Memory() + size_t{row} * dst->MemoryPitch(), blackRows_.data(), size_t{d.width} * 4);
  }
}

Hresult WinContext::ConvertAndScale(platform::IVideoConverter& converter, ITexture& bgraInput,
                                    ITexture& nv12Output) {
  auto* win = dynamic_cast<WinConverter*>(&converter);
  WinTexture* in = AsWin(bgraInput);
  WinTexture* out = AsWin(nv12Output);
  if (win == nullptr || in == nullptr || out == nullptr) return hr::kInvalidArg;
  return win->Convert(*context_.Get(), *in, *out);
}

Hresult WinContext::ConvertRegion(platform::IVideoConverter& converter, ITexture& bgraInput,
                                  const platform::TextureRegion& region, ITexture& nv12Output, uint32_t width,
                                  uint32_t height) {
  auto* win = dynamic_cast<WinConverter*>(&converter);
  WinTexture* in = AsWin(bgraInput);
  WinTexture* out = AsWin(nv12Output);
  if (win == nullptr || in == nullptr || out == nullptr) return hr::kInvalidArg;
  const TextureDesc inDesc = in->Desc();
  const TextureDesc outDesc = out->Desc();
  // A frame texture: NV12, and not a render target (copies read it whole).
  if (inDesc.format != PixelFormat::Bgra8 || outDesc.format != PixelFormat::Nv12 || outDesc.renderTarget ||
      outDesc.usage != TextureUsage::Default) {
    return hr::kInvalidArg;
  }
  platform::TextureRegion clipped = region;
  platform::ClipConversion(inDesc, outDesc, &clipped, &width, &height);
  return win->ConvertRegion(*context_.Get(), *in, clipped, *out, width, height);
}

Hresult WinContext::Map(ITexture& staging, bool doNotWait, MappedTexture* out) {
  if (out == nullptr) return hr::kInvalidArg;
  WinTexture* texture = AsWin(staging);
  if (texture == nullptr) return hr::kInvalidArg;
  if (texture->InSystemMemory()) {
    const TextureDesc desc = texture->Desc();
    if (desc.usage != TextureUsage::Staging || !desc.cpuRead) return hr::kInvalidArg;
    out->data = texture->Memory();
    out->rowPitch = texture->MemoryPitch();
    return hr::kOk;
  }
  D3D11_MAPPED_SUBRESOURCE mapped{};
  const HRESULT result = context_->Map(texture->Native(), 0, D3D11_MAP_READ,
                                       doNotWait ? D3D11_MAP_FLAG_DO_NOT_WAIT : 0, &mapped);
  if (FAILED(result)) return result;
  out->data = static_cast<const uint8_t*>(mapped.pData);
  out->rowPitch = mapped.RowPitch;
  return hr::kOk;
}

void WinContext::Unmap(ITexture& staging) {
  WinTexture* texture = AsWin(staging);
  if (texture != nullptr && !texture->InSystemMemory()) context_->Unmap(texture->Native(), 0);
}

// ---- device ---------------------------------------------------------------

WinDevice::WinDevice(ComPtr<ID3D11Device> device) : device_(std::move(device)) {
  device_->GetImmediateContext(immediate_.GetAddressOf());
  context_ = std::make_unique<WinContext>(device_, immediate_);
  ComPtr<ID3D11VideoDevice> video;
  videoProcessor_ = SUCCEEDED(device_.As(&video));
}

Hresult WinDevice::CreateTexture(const TextureDesc& desc, std::shared_ptr<ITexture>* out) {
  if (out == nullptr) return hr::kInvalidArg;
  out->reset();
  if (desc.width == 0 || desc.height == 0) return hr::kInvalidArg;
  if (desc.usage == TextureUsage::Staging && desc.renderTarget) return hr::kInvalidArg;
  if (desc.usage == TextureUsage::Default && desc.cpuRead) return hr::kInvalidArg;
  const bool nv12 = desc.format == PixelFormat::Nv12;
  if (nv12 && (desc.width % 2 != 0 || desc.height % 2 != 0)) return hr::kInvalidArg;

  if (!videoProcessor_) {
    // Without a video processor every frame is converted on the CPU, so its
    // pictures stay in system memory: the capture copies, the conversion and
    // the encoder's reads are then plain memory work instead of a GPU round
    // trip per frame (measured under Wine at 1280x720: about 70-90 ms per
    // read-back, against a few for the copies and the conversion).
    const HRESULT removed = device_->GetDeviceRemovedReason();
    if (FAILED(removed)) return removed;
    try {
      *out = std::make_shared<WinTexture>(desc);
    } catch (const std::bad_alloc&) {
      return hr::kOutOfMemory;
    }
    return hr::kOk;
  }

  D3D11_TEXTURE2D_DESC native{};
  native.Width = desc.width;
  native.Height = desc.height;
  native.MipLevels = 1;
  native.ArraySize = 1;
  native.Format = nv12 ? DXGI_FORMAT_NV12 : DXGI_FORMAT_B8G8R8A8_UNORM;
  native.SampleDesc.Count = 1;
  if (desc.usage == TextureUsage::Staging) {
    native.Usage = D3D11_USAGE_STAGING;
    native.CPUAccessFlags = desc.cpuRead ? D3D11_CPU_ACCESS_READ : 0;
  } else {
    native.Usage = D3D11_USAGE_DEFAULT;
    native.BindFlags = desc.renderTarget ? D3D11_BIND_RENDER_TARGET : 0;
    // Capture frames are video-processor input: readable by shaders.
    if (!nv12) native.BindFlags |= D3D11_BIND_SHADER_RESOURCE;
  }
  ComPtr<ID3D11Texture2D> texture;
  const HRESULT result = device_->CreateTexture2D(&native, nullptr, texture.GetAddressOf());
  if (FAILED(result)) return result;
  *out = std::make_shared<WinTexture>(std::move(texture), desc);
  return hr::kOk;
}

Hresult WinDevice::CreateVideoConverter(uint32_t inputWidth, uint32_t inputHeight, uint32_t outputWidth,
                                        uint32_t outputHeight, std::shared_ptr<platform::IVideoConverter>* out) {
  return CreateVideoProcessorConverter(*device_.Get(), *immediate_.Get(), inputWidth, inputHeight, outputWidth,
                                       outputHeight, out);
}

Hresult WinDevice::CreateCpuVideoConverter(uint32_t inputWidth, uint32_t inputHeight, uint32_t outputWidth,
                                           uint32_t outputHeight, std::shared_ptr<platform::IVideoConverter>* out) {
  return CreateCpuConverter(*device_.Get(), inputWidth, inputHeight, outputWidth, outputHeight, out);
}

Hresult WinDevice::CreateTextureWithPixels(uint32_t width, uint32_t height, const uint8_t* pixels, uint32_t pitch,
                                           std::shared_ptr<ITexture>* out) {
  if (out == nullptr) return hr::kInvalidArg;
  out->reset();
  if (pixels == nullptr || pitch < width * 4) return hr::kInvalidArg;
  const TextureDesc desc{width, height};
  if (!videoProcessor_) {
    Hresult created = CreateTexture(desc, out);
    if (Failed(created)) return created;
    auto& texture = static_cast<WinTexture&>(**out);
    for (uint32_t row = 0; row < height; ++row) {
      std::memcpy(texture.Memory() + size_t{row} * texture.MemoryPitch(), pixels + size_t{row} * pitch,
                  size_t{width} * 4);
    }
    return hr::kOk;
  }
  if (width == 0 || height == 0) return hr::kInvalidArg;
  D3D11_TEXTURE2D_DESC native{};
  native.Width = width;
  native.Height = height;
  native.MipLevels = 1;
  native.ArraySize = 1;
  native.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  native.SampleDesc.Count = 1;
  native.Usage = D3D11_USAGE_DEFAULT;
  native.BindFlags = D3D11_BIND_SHADER_RESOURCE;
  D3D11_SUBRESOURCE_DATA data{};
  data.pSysMem = pixels;
  data.SysMemPitch = pitch;
  ComPtr<ID3D11Texture2D> texture;
  const HRESULT result = device_->CreateTexture2D(&native, &data, texture.GetAddressOf());
  if (FAILED(result)) return result;
  *out = std::make_shared<WinTexture>(std::move(texture), desc);
  return hr::kOk;
}

bool WinDevice::HasDxgiDevice() {
  ComPtr<IDXGIDevice> dxgi;
  return SUCCEEDED(device_.As(&dxgi));
}

Hresult WinDevice::SetGpuThreadPriority(int32_t priority) {
  ComPtr<IDXGIDevice> dxgi;
  const HRESULT result = device_.As(&dxgi);
  if (FAILED(result)) return result;
  return dxgi->SetGPUThreadPriority(priority);
}

Hresult WinDevice::GetGpuThreadPriority(int32_t* priority) {
  if (priority == nullptr) return hr::kInvalidArg;
  ComPtr<IDXGIDevice> dxgi;
  const HRESULT result = device_.As(&dxgi);
  if (FAILED(result)) return result;
  INT value = 0;
  const HRESULT read = dxgi->GetGPUThreadPriority(&value);
  *priority = value;
  return read;
}

Hresult WinDevice::GetDeviceRemovedReason() { return device_->GetDeviceRemovedReason(); }

}  // namespace ostrel::win
