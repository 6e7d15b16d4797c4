// BGRA (full range) -> NV12 (BT.709, limited range) at output size: one
// video-processor blit, or, on a device without a video processor, a staging
// read-back converted by libswscale.
#include <d3d11.h>
#include <d3d11_1.h>

#include <memory>
#include <mutex>

#include "platform/cpu/bgra_to_nv12.h"
#include "platform/win/win_gpu_device.h"

namespace ostrel::win {

using platform::PixelFormat;

namespace {

bool AnyZero(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a == 0 || b == 0 || c == 0 || d == 0; }

// A texture of the converter's own: one level, one sample.
HRESULT CreateOwnTexture(ID3D11Device& device, uint32_t width, uint32_t height, DXGI_FORMAT format, D3D11_USAGE usage,
                         UINT bindFlags, UINT cpuAccess, ComPtr<ID3D11Texture2D>* out) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = format;
  desc.SampleDesc.Count = 1;
  desc.Usage = usage;
  desc.BindFlags = bindFlags;
  desc.CPUAccessFlags = cpuAccess;
  *out = nullptr;
  return device.CreateTexture2D(&desc, nullptr, out->GetAddressOf());
}

// Whether `texture` exists and has this size.
bool HasSize(const ComPtr<ID3D11Texture2D>& texture, uint32_t width, uint32_t height) {
  if (!texture) return false;
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  return desc.Width == width && desc.Height == height;
}

class VideoProcessorConverter final : public WinConverter {
 public:
  VideoProcessorConverter(ComPtr<ID3D11VideoDevice> videoDevice, ComPtr<ID3D11VideoContext> videoContext,
                          ComPtr<ID3D11VideoProcessorEnumerator> enumerator)
      : videoDevice_(std::move(videoDevice)),
        videoContext_(std::move(videoContext)),
        enumerator_(std::move(enumerator)) {}

  Hresult CheckNv12Output(bool* supported) override {
    if (supported == nullptr) return hr::kInvalidArg;
    UINT flags = 0;
    const HRESULT result = enumerator_->CheckVideoProcessorFormat(DXGI_FORMAT_NV12, &flags);
    if (FAILED(result)) return result;
    *supported = (flags & D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_OUTPUT) != 0;
    return hr::kOk;
  }

  Hresult CreateProcessor() override {
    ComPtr<ID3D11VideoProcessor> processor;
    const HRESULT result = videoDevice_->CreateVideoProcessor(enumerator_.Get(), 0, processor.GetAddressOf());
    if (FAILED(result)) return result;
    std::lock_guard lock(mutex_);
    // Screen content goes through untouched: no driver denoise, edge
    // enhancement or other automatic processing.
    videoContext_->VideoProcessorSetStreamAutoProcessingMode(processor.Get(), 0, FALSE);
    SetColorSpaces(processor.Get());
    processor_ = std::move(processor);
    return hr::kOk;
  }

  // Full-range sRGB in, BT.709 studio-range YCbCr out. Where the runtime
  // has ID3D11VideoContext1 the DXGI colour spaces say so exactly; the older
  // structure cannot name the transfer function and stays for runtimes
  // without it.
  void SetColorSpaces(ID3D11VideoProcessor* processor) {
    ComPtr<ID3D11VideoContext1> context1;
    if (SUCCEEDED(videoContext_.As(&context1))) {
      context1->VideoProcessorSetStreamColorSpace1(processor, 0, DXGI_COLOR_SPACE_RGB_FULL_G22_NONE_P709);
      context1->VideoProcessorSetOutputColorSpace1(processor, DXGI_COLOR_SPACE_YCBCR_STUDIO_G22_LEFT_P709);
      return;
    }
    D3D11_VIDEO_PROCESSOR_COLOR_SPACE input{};
    input.Usage = 0;
    input.RGB_Range = 0;  // 0-255
    input.Nominal_Range = D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE_0_255;
    D3D11_VIDEO_PROCESSOR_COLOR_SPACE output{};
    output.Usage = 0;
    output.YCbCr_Matrix = 1;  // BT.709
    output.Nominal_Range = D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE_16_235;
    videoContext_->VideoProcessorSetStreamColorSpace(processor, 0, &input);
    videoContext_->VideoProcessorSetOutputColorSpace(processor, &output);
  }

  Hresult Convert(ID3D11DeviceContext&, WinTexture& bgraInput, WinTexture& nv12Output) override {
    ComPtr<ID3D11VideoProcessor> processor;
    {
      std::lock_guard lock(mutex_);
      processor = processor_;
    }
    if (!processor) return hr::kFail;
    if (bgraInput.InSystemMemory() || nv12Output.InSystemMemory()) return hr::kInvalidArg;

    D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC outputDesc{};
    outputDesc.ViewDimension = D3D11_VPOV_DIMENSION_TEXTURE2D;
    outputDesc.Texture2D.MipSlice = 0;
    ComPtr<ID3D11VideoProcessorOutputView> outputView;
    HRESULT result = videoDevice_->CreateVideoProcessorOutputView(nv12Output.Native(), enumerator_.Get(),
                                                                  &outputDesc, outputView.GetAddressOf());
    if (FAILED(result)) return result;

    D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC inputDesc{};
    inputDesc.FourCC = 0;
    inputDesc.ViewDimension = D3D11_VPIV_DIMENSION_TEXTURE2D;
    inputDesc.Texture2D.MipSlice = 0;
    inputDesc.Texture2D.ArraySlice = 0;
    ComPtr<ID3D11VideoProcessorInputView> inputView;
    result = videoDevice_->CreateVideoProcessorInputView(bgraInput.Native(), enumerator_.Get(), &inputDesc,
                                                         inputView.GetAddressOf());
    if (FAILED(result)) return result;

    // The whole input onto the whole output (a region's conversion may have
    // set rectangles before).
    const platform::TextureDesc out = nv12Output.Desc();
    const RECT whole{0, 0, static_cast<LONG>(out.width), static_cast<LONG>(out.height)};
    videoContext_->VideoProcessorSetStreamSourceRect(processor.Get(), 0, FALSE, nullptr);
    videoContext_->VideoProcessorSetStreamDestRect(processor.Get(), 0, TRUE, &whole);
    videoContext_->VideoProcessorSetOutputTargetRect(processor.Get(), FALSE, nullptr);
    D3D11_VIDEO_PROCESSOR_STREAM stream{};
    stream.Enable = TRUE;
    stream.pInputSurface = inputView.Get();
    return videoContext_->VideoProcessorBlt(processor.Get(), outputView.Get(), 0, 1, &stream);
  }

  // The region is scaled onto the top-left of a render target of the
  // output's size (the rest the background's black), which is then copied
  // into the output: a video processor writes only render targets, and the
  // frame textures are plain ones.
  Hresult ConvertRegion(ID3D11DeviceContext& context, WinTexture& bgraInput, const platform::TextureRegion& region,
                        WinTexture& nv12Output, uint32_t width, uint32_t height) override {
    ComPtr<ID3D11VideoProcessor> processor;
    {
      std::lock_guard lock(mutex_);
      processor = processor_;
    }
    if (!processor) return hr::kFail;
    if (bgraInput.InSystemMemory() || nv12Output.InSystemMemory()) return hr::kInvalidArg;
    const platform::TextureDesc out = nv12Output.Desc();
    HRESULT result = EnsureTarget(*nv12Output.Native(), out.width, out.height);
    if (FAILED(result)) return result;

    D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC outputDesc{};
    outputDesc.ViewDimension = D3D11_VPOV_DIMENSION_TEXTURE2D;
    ComPtr<ID3D11VideoProcessorOutputView> outputView;
    result = videoDevice_->CreateVideoProcessorOutputView(target_.Get(), enumerator_.Get(), &outputDesc,
                                                          outputView.GetAddressOf());
    if (FAILED(result)) return result;

    D3D11_VIDEO_PROCESSOR_STREAM stream{};
    stream.Enable = width != 0 && height != 0;
    RECT source{static_cast<LONG>(region.x), static_cast<LONG>(region.y), static_cast<LONG>(region.x + region.width),
                static_cast<LONG>(region.y + region.height)};
    ComPtr<ID3D11VideoProcessorInputView> inputView;
    if (stream.Enable) {
      result = InputView(context, bgraInput, &source, inputView.GetAddressOf());
      if (FAILED(result)) return result;
      stream.pInputSurface = inputView.Get();
    }
    const RECT destination{0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
    const RECT whole{0, 0, static_cast<LONG>(out.width), static_cast<LONG>(out.height)};
    videoContext_->VideoProcessorSetStreamSourceRect(processor.Get(), 0, TRUE, &source);
    videoContext_->VideoProcessorSetStreamDestRect(processor.Get(), 0, TRUE, &destination);
    videoContext_->VideoProcessorSetOutputTargetRect(processor.Get(), TRUE, &whole);
    D3D11_VIDEO_COLOR black{};
    black.RGBA = {0.0f, 0.0f, 0.0f, 1.0f};
    videoContext_->VideoProcessorSetOutputBackgroundColor(processor.Get(), FALSE, &black);
    result = videoContext_->VideoProcessorBlt(processor.Get(), outputView.Get(), 0, 1, &stream);
    if (FAILED(result)) return result;
    context.CopyResource(nv12Output.Native(), target_.Get());
    return hr::kOk;
  }

 private:
  // The render target ConvertRegion writes, of the output's size.
  HRESULT EnsureTarget(ID3D11Texture2D& output, uint32_t width, uint32_t height) {
    if (HasSize(target_, width, height)) return S_OK;
    ComPtr<ID3D11Device> device;
    output.GetDevice(device.GetAddressOf());
    return CreateOwnTexture(*device.Get(), width, height, DXGI_FORMAT_NV12, D3D11_USAGE_DEFAULT,
                            D3D11_BIND_RENDER_TARGET, 0, &target_);
  }

  // An input view of the captured surface itself; where the surface cannot
  // be one (a texture without the binding the processor reads), of a copy of
  // the region, and `source` then names the copy's pixels.
  HRESULT InputView(ID3D11DeviceContext& context, WinTexture& input, RECT* source,
                    ID3D11VideoProcessorInputView** view) {
    D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC inputDesc{};
    inputDesc.ViewDimension = D3D11_VPIV_DIMENSION_TEXTURE2D;
    HRESULT result = videoDevice_->CreateVideoProcessorInputView(input.Native(), enumerator_.Get(), &inputDesc, view);
    if (SUCCEEDED(result)) return result;
    const UINT width = static_cast<UINT>(source->right - source->left);
    const UINT height = static_cast<UINT>(source->bottom - source->top);
    if (!HasSize(regionCopy_, width, height)) {
      ComPtr<ID3D11Device> device;
      input.Native()->GetDevice(device.GetAddressOf());
      result = CreateOwnTexture(*device.Get(), width, height, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_USAGE_DEFAULT,
                                D3D11_BIND_SHADER_RESOURCE, 0, &regionCopy_);
      if (FAILED(result)) return result;
    }
    const D3D11_BOX box{static_cast<UINT>(source->left), static_cast<UINT>(source->top), 0,
                        static_cast<UINT>(source->right), static_cast<UINT>(source->bottom), 1};
    context.CopySubresourceRegion(regionCopy_.Get(), 0, 0, 0, 0, input.Native(), 0, &box);
    *source = RECT{0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
    return videoDevice_->CreateVideoProcessorInputView(regionCopy_.Get(), enumerator_.Get(), &inputDesc, view);
  }

  ComPtr<ID3D11VideoDevice> videoDevice_;
  ComPtr<ID3D11VideoContext> videoContext_;
  ComPtr<ID3D11VideoProcessorEnumerator> enumerator_;
  std::mutex mutex_;  // the processor is made on one thread and used on another
  ComPtr<ID3D11VideoProcessor> processor_;
  // Used under the context lock only, as the processor's state is.
  ComPtr<ID3D11Texture2D> target_;
  ComPtr<ID3D11Texture2D> regionCopy_;
};

// Converts into the system-memory NV12 output. A system-memory input (every
// texture of a device without a video processor) is read in place; of a
// Direct3D input the part converted is copied into a staging texture of its
// size first and mapped, waiting for the copy (made on the first such
// input, so a device whose textures are all in system memory holds none).
class CpuConverter final : public WinConverter {
 public:
  explicit CpuConverter(ComPtr<ID3D11Device> device) : device_(std::move(device)) {}

  Hresult CheckNv12Output(bool* supported) override {
    if (supported == nullptr) return hr::kInvalidArg;
    *supported = true;
    return hr::kOk;
  }

  Hresult CreateProcessor() override {
    std::lock_guard lock(mutex_);
    created_ = true;
    return hr::kOk;
  }

  Hresult Convert(ID3D11DeviceContext& context, WinTexture& bgraInput, WinTexture& nv12Output) override {
    const platform::TextureDesc in = bgraInput.Desc();
    const platform::TextureDesc out = nv12Output.Desc();
    return ConvertPart(context, bgraInput, {0, 0, in.width, in.height}, nv12Output, out.width, out.height);
  }

  Hresult ConvertRegion(ID3D11DeviceContext& context, WinTexture& bgraInput, const platform::TextureRegion& region,
                        WinTexture& nv12Output, uint32_t width, uint32_t height) override {
    return ConvertPart(context, bgraInput, region, nv12Output, width, height);
  }

 private:
  Hresult ConvertPart(ID3D11DeviceContext& context, WinTexture& bgraInput, const platform::TextureRegion& region,
                      WinTexture& nv12Output, uint32_t width, uint32_t height) {
    std::lock_guard lock(mutex_);
    if (!created_) return hr::kFail;
    const platform::TextureDesc in = bgraInput.Desc();
    const platform::TextureDesc out = nv12Output.Desc();
    if (in.format != PixelFormat::Bgra8 || !nv12Output.InSystemMemory() || out.format != PixelFormat::Nv12) {
      return hr::kInvalidArg;
    }
    const platform::Nv12Image output{nv12Output.Memory(), nv12Output.MemoryPitch(), out.width, out.height};
    if (width == 0 || height == 0) return converter_.ConvertOntoTopLeft({}, output, 0, 0);
    if (bgraInput.InSystemMemory()) {
      const uint8_t* origin =
          bgraInput.Memory() + size_t{region.y} * bgraInput.MemoryPitch() + size_t{region.x} * 4;
      return converter_.ConvertOntoTopLeft({origin, bgraInput.MemoryPitch(), region.width, region.height}, output,
                                           width, height);
    }
    HRESULT result = EnsureReadBack(region.width, region.height);
    if (FAILED(result)) return result;
    const D3D11_BOX box{region.x, region.y, 0, region.x + region.width, region.y + region.height, 1};
    context.CopySubresourceRegion(readBack_.Get(), 0, 0, 0, 0, bgraInput.Native(), 0, &box);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    result = context.Map(readBack_.Get(), 0, D3D11_MAP_READ, 0, &mapped);
    if (FAILED(result)) return result;
    const Hresult converted = converter_.ConvertOntoTopLeft(
        {static_cast<const uint8_t*>(mapped.pData), mapped.RowPitch, region.width, region.height}, output, width,
        height);
    context.Unmap(readBack_.Get(), 0);
    return converted;
  }

  HRESULT EnsureReadBack(uint32_t width, uint32_t height) {
    if (HasSize(readBack_, width, height)) return S_OK;
    return CreateOwnTexture(*device_.Get(), width, height, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_USAGE_STAGING, 0,
                            D3D11_CPU_ACCESS_READ, &readBack_);
  }

  ComPtr<ID3D11Device> device_;
  std::mutex mutex_;  // made on one thread, used on another
  bool created_ = false;
  ComPtr<ID3D11Texture2D> readBack_;
  platform::CpuBgraToNv12 converter_;
};

}  // namespace

Hresult CreateVideoProcessorConverter(ID3D11Device& device, ID3D11DeviceContext& immediate, uint32_t inputWidth,
                                      uint32_t inputHeight, uint32_t outputWidth, uint32_t outputHeight,
                                      std::shared_ptr<platform::IVideoConverter>* out) {
  if (out == nullptr) return hr::kInvalidArg;
  out->reset();
  if (AnyZero(inputWidth, inputHeight, outputWidth, outputHeight)) return hr::kInvalidArg;
  ComPtr<ID3D11VideoDevice> videoDevice;
  HRESULT result = device.QueryInterface(IID_PPV_ARGS(videoDevice.GetAddressOf()));
  if (FAILED(result)) return result;
  ComPtr<ID3D11VideoContext> videoContext;
  result = immediate.QueryInterface(IID_PPV_ARGS(videoContext.GetAddressOf()));
  if (FAILED(result)) return result;

  D3D11_VIDEO_PROCESSOR_CONTENT_DESC content{};
  content.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
  content.InputFrameRate = {0, 0};
  content.InputWidth = inputWidth;
  content.InputHeight = inputHeight;
  content.OutputFrameRate = {0, 0};
  content.OutputWidth = outputWidth;
  content.OutputHeight = outputHeight;
  content.Usage = D3D11_VIDEO_USAGE_PLAYBACK_NORMAL;
  ComPtr<ID3D11VideoProcessorEnumerator> enumerator;
  result = videoDevice->CreateVideoProcessorEnumerator(&content, enumerator.GetAddressOf());
  if (FAILED(result)) return result;
  *out = std::make_shared<VideoProcessorConverter>(std::move(videoDevice), std::move(videoContext),
                                                   std::move(enumerator));
  return hr::kOk;
}

Hresult CreateCpuConverter(ID3D11Device& device, uint32_t inputWidth, uint32_t inputHeight, uint32_t outputWidth,
                           uint32_t outputHeight, std::shared_ptr<platform::IVideoConverter>* out) {
  if (out == nullptr) return hr::kInvalidArg;
  out->reset();
  if (AnyZero(inputWidth, inputHeight, outputWidth, outputHeight)) return hr::kInvalidArg;
  *out = std::make_shared<CpuConverter>(ComPtr<ID3D11Device>(&device));
  return hr::kOk;
}

}  // namespace ostrel::win
