#include "platform/cpu/cpu_gpu.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "platform/texture_region.h"

namespace ostrel::platform::cpu {

namespace {

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint32_t AlignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

}  // namespace

// ---- textures ---------------------------------------------------------------

Hresult CpuTexture::Validate(const TextureDesc& desc, uint32_t maxExtent) {
  if (desc.width == 0 || desc.height == 0) return hr::kInvalidArg;
  if (desc.width > maxExtent || desc.height > maxExtent) return hr::kInvalidArg;
  // Planar 4:2:0 surfaces need even sizes, as on real GPUs.
  if (desc.format == PixelFormat::Nv12 && (desc.width % 2 != 0 || desc.height % 2 != 0)) {
    return hr::kInvalidArg;
  }
  if (desc.usage == TextureUsage::Staging && desc.renderTarget) return hr::kInvalidArg;
  if (desc.usage == TextureUsage::Default && desc.cpuRead) return hr::kInvalidArg;
  return hr::kOk;
}

uint32_t CpuTexture::PitchFor(const TextureDesc& desc) {
  uint32_t bytesPerRow = desc.format == PixelFormat::Bgra8 ? desc.width * 4 : desc.width;
  return AlignUp(bytesPerRow, kPitchAlignment);
}

namespace {
std::atomic<size_t> g_liveTextureBytes{0};

// Zeroed heap memory aligned as texture rows are. calloc rather than a
// cleared allocation: a large block comes straight from the system's zero
// pages, which become resident only when written, so a texture that is
// never used (a staging slot a CPU map never waits for, the conversion
// target of frames converted at the capture copy) costs no memory.
class HeapStorage final : public TextureStorage {
 public:
  explicit HeapStorage(size_t size) : block_(std::calloc(size + kPitchAlignment, 1)) {
    if (block_ == nullptr) throw std::bad_alloc();
    const auto address = reinterpret_cast<uintptr_t>(block_);
    Assign(reinterpret_cast<uint8_t*>((address + kPitchAlignment - 1) / kPitchAlignment * kPitchAlignment), size);
  }
  ~HeapStorage() override { std::free(block_); }
  HeapStorage(const HeapStorage&) = delete;
  HeapStorage& operator=(const HeapStorage&) = delete;

 private:
  void* block_;
};

}  // namespace

CpuTexture::CpuTexture(const TextureDesc& desc)
    : desc_(desc), pitch_(PitchFor(desc)), copiedAtNs_(std::numeric_limits<int64_t>::min()) {
  size_t rows = desc.height;
  if (desc.format == PixelFormat::Nv12) rows += (desc.height + 1) / 2;
  size_ = static_cast<size_t>(pitch_) * rows;
  storage_ = std::make_unique<HeapStorage>(size_);
  g_liveTextureBytes.fetch_add(size_);
}

CpuTexture::~CpuTexture() { g_liveTextureBytes.fetch_sub(size_); }

bool CpuTexture::ReplaceStorage(std::unique_ptr<TextureStorage> storage) {
  if (!storage || storage->Data() == nullptr || storage->Size() < size_) return false;
  storage_ = std::move(storage);
  return true;
}

size_t CpuTexture::LiveBytes() { return g_liveTextureBytes.load(); }

void CpuTexture::MarkCopied() { copiedAtNs_.store(SteadyNs()); }

std::shared_ptr<CpuTexture> CreateSurfaceTexture(int width, int height, uint32_t maxExtent) {
  if (width <= 0 || height <= 0) return nullptr;
  TextureDesc desc;
  desc.width = static_cast<uint32_t>(width);
  desc.height = static_cast<uint32_t>(height);
  desc.format = PixelFormat::Bgra8;
  if (Failed(CpuTexture::Validate(desc, maxExtent))) return nullptr;
  auto texture = std::make_shared<CpuTexture>(desc);
  texture->MarkCaptureSurface();
  return texture;
}

// ---- video converter --------------------------------------------------------

Hresult CpuVideoConverter::CheckNv12Output(bool* supported) {
  if (supported == nullptr) return hr::kInvalidArg;
  *supported = true;
  return hr::kOk;
}

Hresult CpuVideoConverter::CreateProcessor() {
  std::lock_guard lock(mutex_);
  processorCreated_ = true;
  return hr::kOk;
}

Hresult CpuVideoConverter::Convert(const CpuTexture& input, CpuTexture& output) {
  std::lock_guard lock(mutex_);
  if (!processorCreated_) return hr::kFail;
  const TextureDesc in = input.Desc();
  const TextureDesc out = output.Desc();
  return converter_.Convert({input.Data(), input.RowPitch(), in.width, in.height},
                            {output.Data(), output.RowPitch(), out.width, out.height});
}

Hresult CpuVideoConverter::ConvertInto(const CpuTexture& input, const Nv12Image& output) {
  std::lock_guard lock(mutex_);
  if (!processorCreated_) return hr::kFail;
  const TextureDesc in = input.Desc();
  return converter_.Convert({input.Data(), input.RowPitch(), in.width, in.height}, output);
}

Hresult CpuVideoConverter::ConvertRegion(const CpuTexture& input, const TextureRegion& region, CpuTexture& output,
                                         uint32_t width, uint32_t height) {
  std::lock_guard lock(mutex_);
  if (!processorCreated_) return hr::kFail;
  const TextureDesc out = output.Desc();
  const uint8_t* origin = input.Data() + static_cast<size_t>(region.y) * input.RowPitch() + size_t{region.x} * 4;
  return converter_.ConvertOntoTopLeft({origin, input.RowPitch(), region.width, region.height},
                                       {output.Data(), output.RowPitch(), out.width, out.height}, width, height);
}

// ---- context ----------------------------------------------------------------

void CpuContext::CopyResource(ITexture& destination, ITexture& source) {
  auto* dst = dynamic_cast<CpuTexture*>(&destination);
  auto* src = dynamic_cast<CpuTexture*>(&source);
  if (dst == nullptr || src == nullptr || dst == src) return;
  const TextureDesc d = dst->Desc();
  const TextureDesc s = src->Desc();
  if (d.width != s.width || d.height != s.height || d.format != s.format) return;
  // Out of a capture surface (which the capture service renders anew before
  // reuse) or a conversion's NV12 output (which the next conversion rewrites
  // whole; nothing can read it but a copy) the storage moves instead of the
  // bytes, as a GPU copy costs the CPU nothing.
  const bool fromCaptureSurface = src->IsCaptureSurface() && d.usage == TextureUsage::Default;
  const bool fromConversionOutput = s.renderTarget && s.format == PixelFormat::Nv12;
  if ((fromCaptureSurface || fromConversionOutput) && dst->ByteSize() == src->ByteSize()) {
    dst->SwapStorage(*src);
  } else {
    std::memcpy(dst->Data(), src->Data(), std::min(dst->ByteSize(), src->ByteSize()));
  }
  if (d.usage == TextureUsage::Staging) dst->MarkCopied();
}

void CpuContext::CopyRegion(ITexture& destination, ITexture& source, const TextureRegion& region) {
  auto* dst = dynamic_cast<CpuTexture*>(&destination);
  auto* src = dynamic_cast<CpuTexture*>(&source);
  if (dst == nullptr || src == nullptr || dst == src) return;
  const TextureRegion copied = CopiedRegion(region, src->Desc(), dst->Desc());
  for (uint32_t row = 0; row < copied.height; ++row) {
    std::memcpy(dst->Data() + static_cast<size_t>(row) * dst->RowPitch(),
                src->Data() + static_cast<size_t>(copied.y + row) * src->RowPitch() + size_t{copied.x} * 4,
                size_t{copied.width} * 4);
  }
  if (copied.height != 0 && dst->Desc().usage == TextureUsage::Staging) dst->MarkCopied();
}

void CpuContext::ClearToBlack(ITexture& destination) {
  auto* dst = dynamic_cast<CpuTexture*>(&destination);
  if (dst == nullptr || dst->Desc().format != PixelFormat::Bgra8) return;
  const TextureDesc d = dst->Desc();
  for (uint32_t row = 0; row < d.height; ++row) {
    uint8_t* line = dst->Data() + static_cast<size_t>(row) * dst->RowPitch();
    for (uint32_t x = 0; x < d.width; ++x) {
      const uint32_t black = 0xFF000000u;
      std::memcpy(line + size_t{x} * 4, &black, 4);
    }
  }
}

namespace {

struct Conversion {
  CpuVideoConverter* converter = nullptr;
  CpuTexture* input = nullptr;
  CpuTexture* output = nullptr;
};

// The conversion's parts when they are this device's and of the right kind:
// a GPU-side BGRA input, a GPU-side NV12 output with the render-target
// binding or without it as asked; all null otherwise.
Conversion ConversionOf(IVideoConverter& converter, ITexture& bgraInput, ITexture& nv12Output, bool renderTarget) {
  Conversion parts{dynamic_cast<CpuVideoConverter*>(&converter), dynamic_cast<CpuTexture*>(&bgraInput),
                   dynamic_cast<CpuTexture*>(&nv12Output)};
  if (parts.converter == nullptr || parts.input == nullptr || parts.output == nullptr) return {};
  const TextureDesc in = parts.input->Desc();
  const TextureDesc out = parts.output->Desc();
  if (in.format != PixelFormat::Bgra8 || in.usage != TextureUsage::Default) return {};
  if (out.format != PixelFormat::Nv12 || out.usage != TextureUsage::Default || out.renderTarget != renderTarget) {
    return {};
  }
  return parts;
}

}  // namespace

Hresult CpuContext::ConvertAndScale(IVideoConverter& converter, ITexture& bgraInput, ITexture& nv12Output) {
  // The output view needs the render-target binding.
  const Conversion parts = ConversionOf(converter, bgraInput, nv12Output, /*renderTarget=*/true);
  if (parts.converter == nullptr) return hr::kInvalidArg;
  return parts.converter->Convert(*parts.input, *parts.output);
}

Hresult CpuContext::ConvertRegion(IVideoConverter& converter, ITexture& bgraInput, const TextureRegion& region,
                                  ITexture& nv12Output, uint32_t width, uint32_t height) {
  // A frame texture, which copies read and never take the storage of.
  const Conversion parts = ConversionOf(converter, bgraInput, nv12Output, /*renderTarget=*/false);
  if (parts.converter == nullptr) return hr::kInvalidArg;
  TextureRegion clipped = region;
  ClipConversion(parts.input->Desc(), parts.output->Desc(), &clipped, &width, &height);
  return parts.converter->ConvertRegion(*parts.input, clipped, *parts.output, width, height);
}

Hresult CpuContext::ReadInto(IVideoConverter& converter, ITexture& frame, const Nv12Memory& output) {
  auto* input = dynamic_cast<CpuTexture*>(&frame);
  const uint32_t chromaWidth = (output.width + 1) / 2;
  const bool planar = output.v != nullptr;
  if (input == nullptr || output.luma == nullptr || output.chroma == nullptr || output.width == 0 ||
      output.height == 0 || output.lumaPitch < output.width ||
      output.chromaPitch < (planar ? chromaWidth : chromaWidth * 2)) {
    return hr::kInvalidArg;
  }
  const TextureDesc in = input->Desc();
  if (in.usage != TextureUsage::Default) return hr::kInvalidArg;
  if (in.format == PixelFormat::Nv12) {
    if (in.width != output.width || in.height != output.height) return hr::kInvalidArg;
    const uint8_t* chroma = input->Data() + static_cast<size_t>(input->RowPitch()) * in.height;
    for (uint32_t row = 0; row < in.height; ++row) {
      std::memcpy(output.luma + static_cast<size_t>(row) * output.lumaPitch,
                  input->Data() + static_cast<size_t>(row) * input->RowPitch(), in.width);
    }
    if (planar) {
      DeinterleaveChroma(chroma, input->RowPitch(), chromaWidth, (in.height + 1) / 2, output.chroma, output.v,
                         output.chromaPitch);
      return hr::kOk;
    }
    for (uint32_t row = 0; row < (in.height + 1) / 2; ++row) {
      std::memcpy(output.chroma + static_cast<size_t>(row) * output.chromaPitch,
                  chroma + static_cast<size_t>(row) * input->RowPitch(), size_t{chromaWidth} * 2);
    }
    return hr::kOk;
  }
  auto* cpuConverter = dynamic_cast<CpuVideoConverter*>(&converter);
  if (cpuConverter == nullptr) return hr::kInvalidArg;
  return cpuConverter->ConvertInto(*input, {output.luma, output.lumaPitch, output.width, output.height, output.chroma,
                                            output.chromaPitch, output.v});
}

Hresult CpuContext::CheckMappable(ITexture& staging, CpuTexture** texture) {
  *texture = dynamic_cast<CpuTexture*>(&staging);
  if (*texture == nullptr) return hr::kInvalidArg;
  const TextureDesc desc = (*texture)->Desc();
  if (desc.usage != TextureUsage::Staging || !desc.cpuRead) return hr::kInvalidArg;
  return hr::kOk;
}

Hresult CpuContext::Map(ITexture& staging, bool, MappedTexture* out) {
  if (out == nullptr) return hr::kInvalidArg;
  CpuTexture* texture = nullptr;
  Hresult checked = CheckMappable(staging, &texture);
  if (Failed(checked)) return checked;
  out->data = texture->Data();
  out->rowPitch = texture->RowPitch();
  return hr::kOk;
}

// ---- device -----------------------------------------------------------------

Hresult CpuDevice::CreateTexture(const TextureDesc& desc, std::shared_ptr<ITexture>* out) {
  if (out == nullptr) return hr::kInvalidArg;
  out->reset();
  Hresult valid = CpuTexture::Validate(desc, maxExtent_);
  if (Failed(valid)) return valid;
  try {
    *out = std::make_shared<CpuTexture>(desc);
  } catch (const std::bad_alloc&) {
    return hr::kOutOfMemory;
  }
  return hr::kOk;
}

Hresult CpuDevice::CreateVideoConverter(uint32_t inputWidth, uint32_t inputHeight, uint32_t outputWidth,
                                        uint32_t outputHeight, std::shared_ptr<IVideoConverter>* out) {
  if (out == nullptr) return hr::kInvalidArg;
  out->reset();
  if (inputWidth == 0 || inputHeight == 0 || outputWidth == 0 || outputHeight == 0 || inputWidth > maxExtent_ ||
      inputHeight > maxExtent_ || outputWidth > maxExtent_ || outputHeight > maxExtent_) {
    return hr::kInvalidArg;
  }
  *out = std::make_shared<CpuVideoConverter>();
  return hr::kOk;
}

}  // namespace ostrel::platform::cpu
