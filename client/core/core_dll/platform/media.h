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
  // The transform's MFT_FRIENDLY_NAME_Attribute (empty when it has none).
  std::wstring friendlyName;
};

class IMediaPlatform {
 public:
  virtual ~IMediaPlatform() = default;
  // CoInitializeEx(COINIT_MULTITHREADED) on the calling thread.
  virtual Hresult JoinMultithreadedApartment() = 0;
  // CoUninitialize: gives back one successful join of the calling thread.
  virtual void LeaveApartment() = 0;
  // CoIncrementMTAUsage / CoDecrementMTAUsage: the multithreaded apartment
  // exists while the library is initialised, so its threads that joined
  // none are in it, and no host thread has to join it.
  virtual Hresult HoldMultithreadedApartment() = 0;
  virtual void ReleaseMultithreadedApartment() = 0;
  // MFStartup(MF_VERSION, full) / MFShutdown. kModuleNotFound when this
  // machine has no Media Foundation (Windows N without the Media Feature
  // Pack): everything else works, the encoders of the chain that need it do
  // not open.
  virtual Hresult Startup() = 0;
  virtual void Shutdown() = 0;
  // MFTEnumEx(video encoder, hardware | sort-and-filter, out H.264).
  virtual Hresult EnumHardwareH264Encoders(std::vector<HardwareEncoderInfo>* out) = 0;
  // The friendly name of the first listed hardware H.264 encoder transform
  // that activates: the one FFmpeg's h264_mf opens with hw_encoding set (it
  // walks the same list in the same order). Fails when none activates.
  virtual Hresult FirstActivatableHardwareH264Encoder(std::wstring* friendlyName) = 0;
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

// The linked media platform's device for an encoder of that name, or null
// (no such hardware, or a platform that has none to give). Never throws.
ffmpeg::BufferRefPtr HardwareEncoderDeviceOrNull(const std::string& encoderName);

}  // namespace ostrel::platform
