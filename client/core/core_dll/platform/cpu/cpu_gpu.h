// A GPU whose textures are CPU buffers: the texture, the immediate context
// (copies with memcpy, conversion with libswscale, maps that never wait) and
// the video converter. Backends without a usable GPU path build on it: the
// fake world adds its scripted faults around these calls, Linux uses them as
// they are (a VA-API device with surfaces and VPP would be a sibling of
// CpuDevice behind the same interfaces).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/cpu/bgra_to_nv12.h"
#include "platform/gpu.h"

namespace ostrel::platform::cpu {

// Row pitch alignment of every texture, as GPUs lay rows out.
constexpr uint32_t kPitchAlignment = 64;

// The pixel memory of a texture: aligned heap memory here; a capture service
// may give its surfaces memory it reads into directly (MIT-SHM segments on
// X11), which then travels with the storage when a copy swaps it.
class TextureStorage {
 public:
  virtual ~TextureStorage() = default;
  TextureStorage(const TextureStorage&) = delete;
  TextureStorage& operator=(const TextureStorage&) = delete;
  uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }

 protected:
  TextureStorage() = default;
  // Set once by a derived constructor that got its memory.
  void Assign(uint8_t* data, size_t size) {
    data_ = data;
    size_ = size;
  }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// A texture: one CPU buffer. BGRA: `height` rows of RowPitch() bytes. NV12:
// `height` luma rows, then `height / 2` rows of interleaved U/V, same pitch.
class CpuTexture final : public ITexture {
 public:
  // Checks a description the way a device would; kOk when it can exist.
  static Hresult Validate(const TextureDesc& desc, uint32_t maxExtent);
  static uint32_t PitchFor(const TextureDesc& desc);

  explicit CpuTexture(const TextureDesc& desc);
  ~CpuTexture() override;
  CpuTexture(const CpuTexture&) = delete;
  CpuTexture& operator=(const CpuTexture&) = delete;

  TextureDesc Desc() const override { return desc_; }
  uint8_t* Data() { return storage_->Data(); }
  const uint8_t* Data() const { return storage_->Data(); }
  uint32_t RowPitch() const { return pitch_; }
  size_t ByteSize() const { return size_; }

  // A capture-service surface: rewritten whole before it is handed out
  // again, so a copy out of it may take its storage instead of its bytes.
  void MarkCaptureSurface() { captureSurface_ = true; }
  bool IsCaptureSurface() const { return captureSurface_; }
  // Exchanges pixel storage with a texture of the same description.
  void SwapStorage(CpuTexture& other) { std::swap(storage_, other.storage_); }
  TextureStorage& Storage() { return *storage_; }
  // Takes `storage` (at least ByteSize() bytes) in place of the current
  // one; its contents become the texture's. False, and nothing changes, when
  // it is too small.
  bool ReplaceStorage(std::unique_ptr<TextureStorage> storage);

  // Bytes of every texture alive in the process (the memory a real GPU
  // would hold), for memory figures that leave them out.
  static size_t LiveBytes();

  // Steady-clock nanoseconds of the last copy into this texture.
  void MarkCopied();
  int64_t CopiedAtNs() const { return copiedAtNs_.load(); }

 private:
  TextureDesc desc_;
  uint32_t pitch_ = 0;
  size_t size_ = 0;
  std::unique_ptr<TextureStorage> storage_;
  bool captureSurface_ = false;
  std::atomic<int64_t> copiedAtNs_;
};

// A BGRA capture-service surface (see MarkCaptureSurface); null for a size
// no texture can have.
std::shared_ptr<CpuTexture> CreateSurfaceTexture(int width, int height, uint32_t maxExtent);

// The video processor: the whole input scaled onto the whole output.
class CpuVideoConverter : public IVideoConverter {
 public:
  Hresult CheckNv12Output(bool* supported) override;
  Hresult CreateProcessor() override;
  Hresult Convert(const CpuTexture& input, CpuTexture& output);
  // The whole input onto `output`, memory outside any texture.
  Hresult ConvertInto(const CpuTexture& input, const Nv12Image& output);
  // `region` of the input (within it) onto the top-left width x height
  // (even, within the output) of the output; the rest of the output black.
  Hresult ConvertRegion(const CpuTexture& input, const TextureRegion& region, CpuTexture& output, uint32_t width,
                        uint32_t height);

 private:
  std::mutex mutex_;
  bool processorCreated_ = false;
  CpuBgraToNv12 converter_;
};

// The immediate context. Copies between different sizes or formats do
// nothing, as the GPU refuses them. A copy out of a capture surface or a
// conversion's output swaps storage with the destination (see CopyResource).
class CpuContext : public IGpuContext {
 public:
  void CopyResource(ITexture& destination, ITexture& source) override;
  void CopyRegion(ITexture& destination, ITexture& source, const TextureRegion& region) override;
  void ClearToBlack(ITexture& destination) override;
  Hresult ConvertAndScale(IVideoConverter& converter, ITexture& bgraInput, ITexture& nv12Output) override;
  Hresult ConvertRegion(IVideoConverter& converter, ITexture& bgraInput, const TextureRegion& region,
                        ITexture& nv12Output, uint32_t width, uint32_t height) override;
  bool ConvertsRegions() const override { return true; }
  Hresult Map(ITexture& staging, bool doNotWait, MappedTexture* out) override;
  void Unmap(ITexture&) override {}
  bool CopiesCompleteAtOnce() const override { return true; }
  bool ReadsIntoMemory() const override { return true; }
  Hresult ReadInto(IVideoConverter& converter, ITexture& frame, const Nv12Memory& output) override;

 protected:
  // Map's argument checks, for a context that waits before mapping.
  static Hresult CheckMappable(ITexture& staging, CpuTexture** texture);
};

// A device of CPU textures that is never lost.
class CpuDevice : public IGpuDevice {
 public:
  explicit CpuDevice(uint32_t maxExtent) : maxExtent_(maxExtent) {}
  Hresult CreateTexture(const TextureDesc& desc, std::shared_ptr<ITexture>* out) override;
  IGpuContext& ImmediateContext() override { return context_; }
  Hresult CreateVideoConverter(uint32_t inputWidth, uint32_t inputHeight, uint32_t outputWidth,
                               uint32_t outputHeight, std::shared_ptr<IVideoConverter>* out) override;
  // Conversion runs on the CPU already.
  Hresult CreateCpuVideoConverter(uint32_t inputWidth, uint32_t inputHeight, uint32_t outputWidth,
                                  uint32_t outputHeight, std::shared_ptr<IVideoConverter>* out) override {
    return CreateVideoConverter(inputWidth, inputHeight, outputWidth, outputHeight, out);
  }
  // There is no GPU scheduler to prioritise.
  bool HasDxgiDevice() override { return false; }
  Hresult SetGpuThreadPriority(int32_t) override { return hr::kNoInterface; }
  Hresult GetGpuThreadPriority(int32_t*) override { return hr::kNoInterface; }
  Hresult GetDeviceRemovedReason() override { return hr::kOk; }

 private:
  const uint32_t maxExtent_;
  CpuContext context_;
};

}  // namespace ostrel::platform::cpu
