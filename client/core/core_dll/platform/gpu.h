// GPU: adapters and their outputs, the capture device, textures, the
// immediate context and the one BGRA -> NV12 convert-and-scale call.
// Windows: DXGI + Direct3D 11 (+ its video processor). Sim: CPU buffers and
// libswscale.
//
// Threads: factory, adapter and device creation run on the thread that starts
// capture. Texture and converter creation may run on any thread (the device
// is free-threaded). The immediate context is NOT thread-safe: its callers
// serialise every use themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/hresult.h"

namespace ostrel::platform {

using MonitorHandle = void*;
using WindowHandle = void*;

constexpr uint32_t kAdapterFlagSoftware = 2;  // DXGI_ADAPTER_FLAG_SOFTWARE

struct AdapterDesc {
  std::wstring description;
  uint32_t flags = 0;
};

struct OutputDesc {
  MonitorHandle monitor = nullptr;
};

class IGpuOutput {
 public:
  virtual ~IGpuOutput() = default;
  virtual Hresult GetDesc(OutputDesc* out) = 0;
};

class IGpuAdapter {
 public:
  virtual ~IGpuAdapter() = default;
  virtual Hresult GetDesc1(AdapterDesc* out) = 0;
  // kDxgiNotFound past the last output.
  virtual Hresult EnumOutputs(uint32_t index, std::shared_ptr<IGpuOutput>* out) = 0;
};

class IGpuFactory {
 public:
  virtual ~IGpuFactory() = default;
  // kDxgiNotFound past the last adapter.
  virtual Hresult EnumAdapters1(uint32_t index, std::shared_ptr<IGpuAdapter>* out) = 0;
};

enum class PixelFormat { Bgra8, Nv12 };
enum class TextureUsage { Default, Staging };

struct TextureDesc {
  uint32_t width = 0;
  uint32_t height = 0;
  PixelFormat format = PixelFormat::Bgra8;
  TextureUsage usage = TextureUsage::Default;
  bool renderTarget = false;  // bound as render target (video processor output)
  bool cpuRead = false;       // staging textures read by the CPU
};

// A rectangle of a texture, in pixels.
struct TextureRegion {
  uint32_t x = 0;
  uint32_t y = 0;
  uint32_t width = 0;
  uint32_t height = 0;
};

class ITexture {
 public:
  virtual ~ITexture() = default;
  virtual TextureDesc Desc() const = 0;
};

// A mapped staging texture. NV12: luma rows at data + r * rowPitch, the
// interleaved chroma plane right after height rows.
struct MappedTexture {
  const uint8_t* data = nullptr;
  uint32_t rowPitch = 0;
};

// A 4:2:0 picture in memory its owner keeps (an encoder's input frame):
// `height` luma rows `lumaPitch` apart, then (height + 1) / 2 rows of
// interleaved U/V `chromaPitch` apart at `chroma` (NV12), or with `v` set,
// planar: U rows at `chroma`, V rows at `v`, both `chromaPitch` apart (what
// libx264 and libopenh264 take without a pass of their own).
struct Nv12Memory {
  uint8_t* luma = nullptr;
  uint32_t lumaPitch = 0;
  uint8_t* chroma = nullptr;
  uint32_t chromaPitch = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t* v = nullptr;
};

// The video processor set up for one capture size and one output size,
// converting BGRA (full range) to NV12 (BT.709, limited range).
class IVideoConverter {
 public:
  virtual ~IVideoConverter() = default;
  // Whether NV12 output is supported (CheckVideoProcessorFormat).
  virtual Hresult CheckNv12Output(bool* supported) = 0;
  // Creates the processor and sets the input and output colour spaces.
  virtual Hresult CreateProcessor() = 0;
};

// The immediate context. One thread at a time.
class IGpuContext {
 public:
  virtual ~IGpuContext() = default;
  virtual void CopyResource(ITexture& destination, ITexture& source) = 0;
  // Copies `region` of a BGRA source into the top-left corner of a BGRA
  // destination, both clipped to their textures (CopySubresourceRegion); the
  // rest of the destination keeps what it held.
  virtual void CopyRegion(ITexture& destination, ITexture& source, const TextureRegion& region) = 0;
  // Fills a BGRA texture with opaque black.
  virtual void ClearToBlack(ITexture& destination) = 0;
  // Views on both textures and one VideoProcessorBlt: BGRA in, NV12 out at
  // the converter's output size.
  virtual Hresult ConvertAndScale(IVideoConverter& converter, ITexture& bgraInput,
                                  ITexture& nv12Output) = 0;
  // The same conversion from `region` of the input (clipped to it) onto the
  // top-left `width` x `height` of an NV12 output that is not a render target
  // (sizes rounded down to even, clipped to the output), the rest of the
  // output black. The capture copy of a target larger than the encoded size
  // uses it, so that no full-size copy of the target is kept and the encoder
  // only copies. kNotImplemented where ConvertsRegions is false (Direct3D 11:
  // its video processor scales from a full-size copy in video memory).
  virtual Hresult ConvertRegion(IVideoConverter& converter, ITexture& bgraInput, const TextureRegion& region,
                                ITexture& nv12Output, uint32_t width, uint32_t height) {
    (void)converter, (void)bgraInput, (void)region, (void)nv12Output, (void)width, (void)height;
    return hr::kNotImplemented;
  }
  virtual bool ConvertsRegions() const { return false; }
  // Map for reading; with doNotWait a copy still in flight answers
  // kDxgiWasStillDrawing.
  virtual Hresult Map(ITexture& staging, bool doNotWait, MappedTexture* out) = 0;
  virtual void Unmap(ITexture& staging) = 0;
  // Whether a copy is complete when CopyResource returns, so that Map never
  // answers kDxgiWasStillDrawing (a device in system memory): one staging
  // texture is then all an encoder needs.
  virtual bool CopiesCompleteAtOnce() const { return false; }
  // Whether ReadInto works: textures in system memory, where a staging copy
  // and its map would only add a copy of every frame.
  virtual bool ReadsIntoMemory() const { return false; }
  // Writes the 4:2:0 picture of a frame texture into `output`: a BGRA frame
  // converted and scaled onto output's size as ConvertAndScale does, an NV12
  // frame (converted at the capture copy) of output's size copied.
  // kNotImplemented where ReadsIntoMemory is false.
  virtual Hresult ReadInto(IVideoConverter& converter, ITexture& frame, const Nv12Memory& output) {
    (void)converter, (void)frame, (void)output;
    return hr::kNotImplemented;
  }
};

class IGpuDevice {
 public:
  virtual ~IGpuDevice() = default;
  virtual Hresult CreateTexture(const TextureDesc& desc, std::shared_ptr<ITexture>* out) = 0;
  virtual IGpuContext& ImmediateContext() = 0;
  // The video device + video context + processor enumerator for these sizes.
  // kNoInterface when the device has no video processor at all.
  virtual Hresult CreateVideoConverter(uint32_t inputWidth, uint32_t inputHeight,
                                       uint32_t outputWidth, uint32_t outputHeight,
                                       std::shared_ptr<IVideoConverter>* out) = 0;
  // The same conversion without a video processor: ConvertAndScale reads the
  // BGRA input back through a staging texture and converts and scales it with
  // libswscale into the NV12 output. A device without a video processor keeps
  // its NV12 textures in system memory (nothing on its GPU would write them),
  // so copies and maps of them are plain memory operations.
  virtual Hresult CreateCpuVideoConverter(uint32_t inputWidth, uint32_t inputHeight,
                                          uint32_t outputWidth, uint32_t outputHeight,
                                          std::shared_ptr<IVideoConverter>* out) = 0;
  // False when the device offers no IDXGIDevice (priority calls are skipped).
  virtual bool HasDxgiDevice() = 0;
  virtual Hresult SetGpuThreadPriority(int32_t priority) = 0;
  virtual Hresult GetGpuThreadPriority(int32_t* priority) = 0;
  // S_OK while the device is healthy. Any thread.
  virtual Hresult GetDeviceRemovedReason() = 0;
};

// The device as the window-capture service takes it (the WinRT
// IDirect3DDevice on Windows).
class ICaptureDevice {
 public:
  virtual ~ICaptureDevice() = default;
};

class IGpuSystem {
 public:
  virtual ~IGpuSystem() = default;
  virtual Hresult CreateFactory(std::shared_ptr<IGpuFactory>* out) = 0;
  // D3D11CreateDevice with BGRA support: on `adapter`, or on the default
  // hardware adapter when it is null.
  virtual Hresult CreateDevice(IGpuAdapter* adapter, std::shared_ptr<IGpuDevice>* out) = 0;
  // CreateDirect3D11DeviceFromDXGIDevice.
  virtual Hresult WrapForCapture(IGpuDevice& device, std::shared_ptr<ICaptureDevice>* out) = 0;
};

}  // namespace ostrel::platform
