#include "encode/gpu_encode_context.h"

#include <utility>

#include "encode/encoder_selection.h"
#include "ffmpeg/hardware_frames.h"
#include "platform/media.h"

namespace ostrel {

GpuEncodeContext::GpuEncodeContext(std::shared_ptr<platform::IGpuDevice> device, uint32_t captureWidth,
                                   uint32_t captureHeight, uint32_t outputWidth, uint32_t outputHeight,
                                   LogSink logSink)
    : GpuEncodeContext(std::move(device), captureWidth, captureHeight, outputWidth, outputHeight,
                       std::move(logSink), [](uint32_t width, uint32_t height, const LogSink& sink) {
                         // The probe runs with fixed settings, not the session's.
                         return SelectFfmpegEncoder(width, height, 30, 6000000, sink);
                       }) {}

GpuEncodeContext::GpuEncodeContext(std::shared_ptr<platform::IGpuDevice> device, uint32_t captureWidth,
                                   uint32_t captureHeight, uint32_t outputWidth, uint32_t outputHeight,
                                   LogSink logSink, const EncoderSelector& selectEncoder)
    : device_(std::move(device)),
      logSink_(std::move(logSink)) {
  if (!device_) throw HresultError(hr::kInvalidArg);
  zeroCopySupported_ = ProbeD3D11AwareEncoder();
  immediateContext_ = &device_->ImmediateContext();
  const Hresult processor =
      device_->CreateVideoConverter(captureWidth, captureHeight, outputWidth, outputHeight, &converter_);
  if (processor == hr::kNoInterface) {
    // Only a device without any video processor (older drivers, Wine)
    // converts on the CPU; every other failure is a failure.
    LogF(logSink_, L"[CAPABILITY] GPU video processor unavailable (0x%08X) - converting BGRA to NV12 on the CPU.",
         static_cast<uint32_t>(processor));
    Check(device_->CreateCpuVideoConverter(captureWidth, captureHeight, outputWidth, outputHeight, &converter_));
    cpuConversion_ = true;
    // The frames leave the GPU before encoding, whatever the encoder takes.
    zeroCopySupported_ = false;
  } else {
    Check(processor);
  }
  if (!converter_) throw HresultError(hr::kFail);

  if (zeroCopySupported_) {
    bool nv12 = false;
    const Hresult check = converter_->CheckNv12Output(&nv12);
    if (Failed(check) || !nv12) {
      LogTo(logSink_,
            L"[CAPABILITY] Encoder reports MF_SA_D3D11_AWARE but this GPU's video processor doesn't support "
            L"NV12 output - falling back to the CPU path.");
      zeroCopySupported_ = false;
    }
  }

  // Creates the processor and sets both colour spaces: full-range RGB in,
  // BT.709 studio-range YCbCr out.
  Check(converter_->CreateProcessor());

  LogTo(logSink_, zeroCopySupported_
                      ? L"[CAPABILITY] Zero-copy GPU submission supported - using NV12 GPU-resident encoder path."
                      : L"[CAPABILITY] Zero-copy GPU submission not supported on this encoder - using CPU "
                        L"Map()/memcpy path.");

  if (selectEncoder) encoderName_ = selectEncoder(outputWidth, outputHeight, logSink_);
  if (!encoderName_.empty() && ffmpeg::EncoderHardwareFrames(avcodec_find_encoder_by_name(encoderName_.c_str()))) {
    hardwareDevice_ = platform::HardwareEncoderDeviceOrNull(encoderName_);
  }
}

}  // namespace ostrel
