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

    D3D11_VIDEO_PROCESSOR_STREAM stream{};
    stream.Enable = TRUE;
    stream.pInputSurface = inputView.Get();
    return videoContext_->VideoProcessorBlt(processor.Get(), outputView.Get(), 0, 1, &stream);
  }

 private:
  ComPtr<ID3D11VideoDevice> videoDevice_;
  ComPtr<ID3D11VideoContext> videoContext_;
  ComPtr<ID3D11VideoProcessorEnumerator> enumerator_;
  std::mutex mutex_;  // the processor is made on one thread and used on another
  ComPtr<ID3D11VideoProcessor> processor_;
};

// Converts into the system-memory NV12 output. A system-memory input (every
// texture of a device without a video processor) is read in place; a
// Direct3D input is copied into a staging texture of capture size first and
// mapped, waiting for the copy.
class CpuConverter final : public WinConverter {
 public:
  CpuConverter(ComPtr<ID3D11Device> device, uint32_t inputWidth, uint32_t inputHeight)
      : device_(std::move(device)), inputWidth_(inputWidth), inputHeight_(inputHeight) {}

  Hresult CheckNv12Output(bool* supported) override {
    if (supported == nullptr) return hr::kInvalidArg;
    *supported = true;
    return hr::kOk;
  }

  Hresult CreateProcessor() override {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = inputWidth_;
    desc.Height = inputHeight_;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_STAGING;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    ComPtr<ID3D11Texture2D> readBack;
    const HRESULT result = device_->CreateTexture2D(&desc, nullptr, readBack.GetAddressOf());
    if (FAILED(result)) return result;
    std::lock_guard lock(mutex_);
    readBack_ = std::move(readBack);
    return hr::kOk;
  }

  Hresult Convert(ID3D11DeviceContext& context, WinTexture& bgraInput, WinTexture& nv12Output) override {
    std::lock_guard lock(mutex_);
    if (!readBack_) return hr::kFail;
    const platform::TextureDesc in = bgraInput.Desc();
    const platform::TextureDesc out = nv12Output.Desc();
    if (in.format != PixelFormat::Bgra8 || in.width != inputWidth_ || in.height != inputHeight_ ||
        !nv12Output.InSystemMemory() || out.format != PixelFormat::Nv12) {
      return hr::kInvalidArg;
    }
    const platform::Nv12Image output{nv12Output.Memory(), nv12Output.MemoryPitch(), out.width, out.height};
    if (bgraInput.InSystemMemory()) {
      return converter_.Convert({bgraInput.Memory(), bgraInput.MemoryPitch(), in.width, in.height}, output);
    }
    context.CopyResource(readBack_.Get(), bgraInput.Native());
    D3D11_MAPPED_SUBRESOURCE mapped{};
    const HRESULT result = context.Map(readBack_.Get(), 0, D3D11_MAP_READ, 0, &mapped);
    if (FAILED(result)) return result;
    const Hresult converted =
        converter_.Convert({static_cast<const uint8_t*>(mapped.pData), mapped.RowPitch, in.width, in.height}, output);
    context.Unmap(readBack_.Get(), 0);
    return converted;
  }

 private:
  ComPtr<ID3D11Device> device_;
  const uint32_t inputWidth_;
  const uint32_t inputHeight_;
  std::mutex mutex_;  // made on one thread, used on another
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
  *out = std::make_shared<CpuConverter>(ComPtr<ID3D11Device>(&device), inputWidth, inputHeight);
  return hr::kOk;
}

}  // namespace ostrel::win
