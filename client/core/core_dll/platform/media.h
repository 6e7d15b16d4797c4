// The media platform (COM + Media Foundation on Windows): process start-up
// and the hardware H.264 encoder list. Any thread; enumeration never caches.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ffmpeg/ffmpeg_ptr.h"
#include "platform/hresult.h"

namespace ostrel::platform {

struct HardwareEncoderInfo {
  // Result of reading MF_SA_D3D11_AWARE and the value read (0 when it failed).
  Hresult d3d11AwareReadResult = hr::kOk;
  uint32_t d3d11Aware = 0;
};

class IMediaPlatform {
 public:
  virtual ~IMediaPlatform() = default;
  // CoInitializeEx(COINIT_MULTITHREADED) on the calling thread.
  virtual Hresult JoinMultithreadedApartment() = 0;
  // MFStartup(MF_VERSION, full) / MFShutdown.
  virtual Hresult Startup() = 0;
  virtual void Shutdown() = 0;
  // MFTEnumEx(video encoder, hardware | sort-and-filter, out H.264).
  virtual Hresult EnumHardwareH264Encoders(std::vector<HardwareEncoderInfo>* out) = 0;
  // The FFmpeg H.264 encoder names this platform can use, best first; the
  // session opens the first that works.
  virtual std::vector<std::string> H264EncoderChain() = 0;
  // The hardware device (an FFmpeg AVHWDeviceContext) for an encoder of the
  // chain that takes only hardware frames, or null when this platform has
  // none for it; the encoder's frames context is built on it.
  virtual ffmpeg::BufferRefPtr HardwareEncoderDevice(const std::string& /*encoderName*/) { return nullptr; }
  // Whether capture may start without a hardware H.264 encoder (the
  // software encoder of the chain does the work). A backend answers true
  // only when the user asked for it.
  virtual bool SoftwareEncoderAllowed() { return false; }
};

}  // namespace ostrel::platform
