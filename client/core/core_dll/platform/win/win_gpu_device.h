// Inside the Windows GPU backend: textures (Direct3D 11, or system memory on
// a device without a video processor), the immediate context and the device.
#pragma once

#include <d3d11.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/gpu.h"
#include "platform/win/win_com.h"

namespace ostrel::win {

// A Direct3D 11 texture, or a texture in system memory: BGRA rows, or NV12
// with `height` luma rows and `height / 2` interleaved chroma rows of one
// pitch.
class WinTexture final : public platform::ITexture {
 public:
  WinTexture(ComPtr<ID3D11Texture2D> texture, const platform::TextureDesc& desc)
      : texture_(std::move(texture)), desc_(desc) {}
  // System memory; throws std::bad_alloc.
  explicit WinTexture(const platform::TextureDesc& desc);

  platform::TextureDesc Desc() const override { return desc_; }
  ID3D11Texture2D* Native() const { return texture_.Get(); }
  bool InSystemMemory() const { return !texture_; }
  uint8_t* Memory() { return memory_.data(); }
  size_t MemorySize() const { return memory_.size(); }
  uint32_t MemoryPitch() const { return pitch_; }

 private:
  ComPtr<ID3D11Texture2D> texture_;
  platform::TextureDesc desc_;
  std::vector<uint8_t> memory_;
  uint32_t pitch_ = 0;
};

// What a converter does inside IGpuContext::ConvertAndScale.
class WinConverter : public platform::IVideoConverter {
 public:
  virtual Hresult Convert(ID3D11DeviceContext& context, WinTexture& bgraInput, WinTexture& nv12Output) = 0;
  // What IGpuContext::ConvertRegion does, `region` already within the input
  // and `width` x `height` even and within the output.
  virtual Hresult ConvertRegion(ID3D11DeviceContext& context, WinTexture& bgraInput,
                                const platform::TextureRegion& region, WinTexture& nv12Output, uint32_t width,
                                uint32_t height) = 0;
};

class WinContext final : public platform::IGpuContext {
 public:
  WinContext(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context)
      : device_(std::move(device)), context_(std::move(context)) {}

  void CopyResource(platform::ITexture& destination, platform::ITexture& source) override;
  void CopyRegion(platform::ITexture& destination, platform::ITexture& source,
                  const platform::TextureRegion& region) override;
  void ClearToBlack(platform::ITexture& destination) override;
  Hresult ConvertAndScale(platform::IVideoConverter& converter, platform::ITexture& bgraInput,
                          platform::ITexture& nv12Output) override;
  // A huge target's capture copy: the video processor (or the CPU converter)
  // scales the captured surface's region straight into the NV12 frame
  // texture, so no full-size copy of the target is kept.
  Hresult ConvertRegion(platform::IVideoConverter& converter, platform::ITexture& bgraInput,
                        const platform::TextureRegion& region, platform::ITexture& nv12Output, uint32_t width,
                        uint32_t height) override;
  bool ConvertsRegions() const override { return true; }
  Hresult Map(platform::ITexture& staging, bool doNotWait, platform::MappedTexture* out) override;
  void Unmap(platform::ITexture& staging) override;

 private:
  // Copies a Direct3D texture into a system-memory one through a staging
  // texture of its size, kept for the next copy.
  void ReadBack(WinTexture& destination, WinTexture& source);
  // Maps a staging copy of `source` (the texture ReadBack keeps) for
  // reading; Unmap with context_->Unmap(readBack_.Get(), 0).
  HRESULT MapReadBack(WinTexture& source, D3D11_MAPPED_SUBRESOURCE* mapped);

  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<ID3D11Texture2D> readBack_;
  platform::TextureDesc readBackDesc_;
  std::vector<uint32_t> blackRows_;  // opaque black pixels for ClearToBlack, grown as needed
};

class WinDevice final : public platform::IGpuDevice, public std::enable_shared_from_this<WinDevice> {
 public:
  explicit WinDevice(ComPtr<ID3D11Device> device);

  ID3D11Device* Native() const { return device_.Get(); }

  Hresult CreateTexture(const platform::TextureDesc& desc, std::shared_ptr<platform::ITexture>* out) override;
  platform::IGpuContext& ImmediateContext() override { return *context_; }
  Hresult CreateVideoConverter(uint32_t inputWidth, uint32_t inputHeight, uint32_t outputWidth,
                               uint32_t outputHeight, std::shared_ptr<platform::IVideoConverter>* out) override;
  Hresult CreateCpuVideoConverter(uint32_t inputWidth, uint32_t inputHeight, uint32_t outputWidth,
                                  uint32_t outputHeight, std::shared_ptr<platform::IVideoConverter>* out) override;
  // A default-usage BGRA texture holding a copy of `pixels`, made without the
  // immediate context.
  Hresult CreateTextureWithPixels(uint32_t width, uint32_t height, const uint8_t* pixels, uint32_t pitch,
                                  std::shared_ptr<platform::ITexture>* out);
  bool HasDxgiDevice() override;
  Hresult SetGpuThreadPriority(int32_t priority) override;
  Hresult GetGpuThreadPriority(int32_t* priority) override;
  Hresult GetDeviceRemovedReason() override;

 private:
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> immediate_;
  std::unique_ptr<WinContext> context_;
  // Whether the device answers for ID3D11VideoDevice; without it every
  // texture it makes is kept in system memory.
  bool videoProcessor_ = false;
};

// The converters (win_gpu_converter.cc). Both return kInvalidArg for zero
// sizes.
Hresult CreateVideoProcessorConverter(ID3D11Device& device, ID3D11DeviceContext& immediate, uint32_t inputWidth,
                                      uint32_t inputHeight, uint32_t outputWidth, uint32_t outputHeight,
                                      std::shared_ptr<platform::IVideoConverter>* out);
Hresult CreateCpuConverter(ID3D11Device& device, uint32_t inputWidth, uint32_t inputHeight, uint32_t outputWidth,
                           uint32_t outputHeight, std::shared_ptr<platform::IVideoConverter>* out);

}  // namespace ostrel::win
