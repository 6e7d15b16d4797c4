// The fake world's GPU: adapters and outputs from the world's lists, a
// device whose textures are CPU buffers, a context that copies with memcpy
// and converts with libswscale, and staging maps that honour the world's
// staging delay.
#pragma once

#include <utility>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/gpu.h"

namespace ostrel::sim {

// Row pitch alignment of every texture, as GPUs lay rows out.
constexpr uint32_t kPitchAlignment = 64;

// A texture: one CPU buffer. BGRA: `height` rows of RowPitch() bytes. NV12:
// `height` luma rows, then `height / 2` rows of interleaved U/V, same pitch.
class SimTexture final : public platform::ITexture {
 public:
  // Checks a description the way the device would; kOk when it can exist.
  static Hresult Validate(const platform::TextureDesc& desc);
  static uint32_t PitchFor(const platform::TextureDesc& desc);

  explicit SimTexture(const platform::TextureDesc& desc);
  ~SimTexture() override;
  SimTexture(const SimTexture&) = delete;
  SimTexture& operator=(const SimTexture&) = delete;

  platform::TextureDesc Desc() const override { return desc_; }
  uint8_t* Data() { return data_; }
  const uint8_t* Data() const { return data_; }
  uint32_t RowPitch() const { return pitch_; }
  size_t ByteSize() const { return size_; }

  // A capture-service surface: rewritten whole before it is handed out
  // again, so a copy out of it may take its storage instead of its bytes.
  void MarkCaptureSurface() { captureSurface_ = true; }
  bool IsCaptureSurface() const { return captureSurface_; }
  // Exchanges pixel storage with a texture of the same description.
  void SwapStorage(SimTexture& other) { std::swap(data_, other.data_); }

  // Steady-clock nanoseconds of the last copy into this texture.
  void MarkCopied();
  int64_t CopiedAtNs() const { return copiedAtNs_.load(); }

 private:
  platform::TextureDesc desc_;
  uint32_t pitch_ = 0;
  size_t size_ = 0;
  uint8_t* data_ = nullptr;
  bool captureSurface_ = false;
  std::atomic<int64_t> copiedAtNs_;
};

// Bytes held by every simulated texture alive now: on a real GPU this memory
// is video memory, so memory figures of the process leave it out.
size_t LiveTextureBytes();

class SimDevice;

// The platform's GPU system.
platform::IGpuSystem& SimGpuSystem();

// The device behind a capture device made by WrapForCapture; null for
// anything else.
std::shared_ptr<SimDevice> DeviceOfCaptureDevice(platform::ICaptureDevice& device);

// A BGRA texture for the capture service's own buffers (made even while
// the device is lost, as the capture service keeps its surfaces).
std::shared_ptr<SimTexture> CreateSurfaceTexture(int width, int height);

}  // namespace ostrel::sim
