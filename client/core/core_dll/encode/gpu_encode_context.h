// The per-capture GPU front end shared by every segment encoder of one
// capture: the device, its immediate context, the BGRA -> NV12 converter set
// up for capture size in and output size out, and the FFmpeg encoder name
// (with the hardware device of an encoder of hardware frames) chosen once per
// capture.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "encode/texture_pool.h"
#include "ffmpeg/ffmpeg_ptr.h"
#include "log/log.h"
#include "platform/gpu.h"
#include "sync/mutex.h"

namespace ostrel {

class GpuEncodeContext {
 public:
  // The staging textures a segment encoder reads its frames back through,
  // and the textures kept for the next encoder: one encoder's conversion
  // target and staging textures.
  static constexpr size_t kStagingTexturesPerEncoder = 4;
  static constexpr size_t kPooledTextures = kStagingTexturesPerEncoder + 1;

  // Chooses the FFmpeg encoder name for the output size, logging through the
  // sink it is given.
  using EncoderSelector =
      std::function<std::string(uint32_t outputWidth, uint32_t outputHeight, const LogSink& logSink)>;

  // Throws HresultError when a graphics call fails.
  GpuEncodeContext(std::shared_ptr<platform::IGpuDevice> device, uint32_t captureWidth,
                   uint32_t captureHeight, uint32_t outputWidth, uint32_t outputHeight, LogSink logSink);
  // The same with the encoder choice supplied by the caller (tests, tools).
  GpuEncodeContext(std::shared_ptr<platform::IGpuDevice> device, uint32_t captureWidth,
                   uint32_t captureHeight, uint32_t outputWidth, uint32_t outputHeight, LogSink logSink,
                   const EncoderSelector& selectEncoder);
  GpuEncodeContext(const GpuEncodeContext&) = delete;
  GpuEncodeContext& operator=(const GpuEncodeContext&) = delete;

  platform::IGpuDevice& Device() const { return *device_; }
  platform::IGpuContext& ImmediateContext() const { return *immediateContext_; }
  platform::IVideoConverter& Converter() const { return *converter_; }
  bool ZeroCopySupported() const { return zeroCopySupported_; }
  // True when the device has no video processor and the converter works on
  // the CPU after a staging read-back.
  bool CpuConversion() const { return cpuConversion_; }
  const std::string& EncoderName() const { return encoderName_; }
  // The platform's device for an encoder that takes only hardware frames,
  // asked for once per capture; null for every other encoder, or when the
  // platform had none (its segment encoders then fail to open).
  AVBufferRef* HardwareDevice() const { return hardwareDevice_.get(); }
  const LogSink& Sink() const { return logSink_; }
  // The conversion targets and staging textures the capture's segment
  // encoders take and give back.
  TexturePool& Textures() const { return textures_; }

  // The immediate context is not safe for two threads at once: the capture
  // callback's copy and the encoder's convert/copy/map/unmap each hold this
  // lock for exactly their context calls.
  Mutex& ContextMutex() const RETURN_CAPABILITY(contextMutex_) { return contextMutex_; }

 private:
  std::shared_ptr<platform::IGpuDevice> device_;
  platform::IGpuContext* immediateContext_ = nullptr;
  std::shared_ptr<platform::IVideoConverter> converter_;
  bool zeroCopySupported_ = false;
  bool cpuConversion_ = false;
  std::string encoderName_;
  ffmpeg::BufferRefPtr hardwareDevice_;
  LogSink logSink_;
  mutable Mutex contextMutex_;
  // After device_: its textures are released before the device.
  mutable TexturePool textures_{kPooledTextures};
};

}  // namespace ostrel
