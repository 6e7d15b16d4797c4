// The media platform of a Linux desktop: there is no COM or Media
// Foundation; the hardware H.264 encoders are the FFmpeg ones that really
// open here (NVENC on an NVIDIA driver, VA-API on a render node).
#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
}

#include "ffmpeg/ffmpeg_log.h"
#include "ffmpeg/ffmpeg_ptr.h"
#include "ffmpeg/hardware_frames.h"
#include "platform/linux/linux_backend.h"

namespace ostrel::linuxp {
namespace {

// Probe settings: a small 30 fps picture is enough to learn whether the
// encoder opens at all.
constexpr int kProbeWidth = 640;
constexpr int kProbeHeight = 360;
constexpr int kProbeFps = 30;

void SetProbeSettings(AVCodecContext& context) {
  context.width = kProbeWidth;
  context.height = kProbeHeight;
  context.time_base = AVRational{1, kProbeFps};
  context.framerate = AVRational{kProbeFps, 1};
  context.bit_rate = 6000000;
  context.gop_size = 2 * kProbeFps;
}

bool NvencOpens() {
  const AVCodec* codec = avcodec_find_encoder_by_name("h264_nvenc");
  if (codec == nullptr) return false;
  ffmpeg::CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) return false;
  SetProbeSettings(*context);
  context->pix_fmt = AV_PIX_FMT_NV12;
  return avcodec_open2(context.get(), codec, nullptr) >= 0;
}

// The DRM render nodes (/dev/dri/renderD*), in name order.
std::vector<std::string> RenderNodes() {
  std::vector<std::string> nodes;
  std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir("/dev/dri"), closedir);
  if (!directory) return nodes;
  while (const dirent* entry = readdir(directory.get())) {
    if (std::strncmp(entry->d_name, "renderD", 7) == 0) nodes.push_back(std::string("/dev/dri/") + entry->d_name);
  }
  std::sort(nodes.begin(), nodes.end());
  return nodes;
}

// Whether h264_vaapi opens on this device with a frames context of NV12
// surfaces, as the segment encoder feeds it.
bool VaapiOpensOn(const AVCodec* codec, AVBufferRef* device) {
  ffmpeg::CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) return false;
  SetProbeSettings(*context);
  if (!ffmpeg::AttachHardwareFrames(*context, device, AV_PIX_FMT_VAAPI)) return false;
  return avcodec_open2(context.get(), codec, nullptr) >= 0;
}

// The VA-API device of the first render node on which h264_vaapi opens, or
// null.
ffmpeg::BufferRefPtr VaapiDevice() {
  const AVCodec* codec = avcodec_find_encoder_by_name("h264_vaapi");
  if (codec == nullptr) return nullptr;
  for (const std::string& node : RenderNodes()) {
    AVBufferRef* rawDevice = nullptr;
    if (av_hwdevice_ctx_create(&rawDevice, AV_HWDEVICE_TYPE_VAAPI, node.c_str(), nullptr, 0) < 0) continue;
    ffmpeg::BufferRefPtr device(rawDevice);
    if (VaapiOpensOn(codec, device.get())) return device;
  }
  return nullptr;
}

class LinuxMedia final : public platform::IMediaPlatform {
 public:
  // No apartments here: every thread may call everything.
  Hresult JoinMultithreadedApartment() override { return hr::kOk; }
  void LeaveApartment() override {}
  Hresult HoldMultithreadedApartment() override { return hr::kOk; }
  void ReleaseMultithreadedApartment() override {}
  Hresult Startup() override { return hr::kOk; }
  void Shutdown() override {}

  Hresult EnumHardwareH264Encoders(std::vector<platform::HardwareEncoderInfo>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->clear();
    // A machine without the hardware is the expected case here.
    QuietFfmpegLogScope quiet;
    // None of them takes Direct3D 11 surfaces.
    if (NvencOpens()) out->push_back(platform::HardwareEncoderInfo{});
    if (VaapiDevice()) out->push_back(platform::HardwareEncoderInfo{});
    return hr::kOk;
  }

  // No transforms here: the chain has no Media Foundation encoder.
  Hresult FirstActivatableHardwareH264Encoder(std::wstring*) override { return hr::kNotFound; }

  // The core probes each in turn; h264_vaapi opens only on a device from
  // HardwareEncoderDevice.
  std::vector<std::string> H264EncoderChain() override { return {"h264_nvenc", "h264_vaapi", "libx264"}; }

  // A fresh device per call: every capture gets its own.
  ffmpeg::BufferRefPtr HardwareEncoderDevice(const std::string& encoderName) override {
    if (encoderName != "h264_vaapi") return nullptr;
    QuietFfmpegLogScope quiet;
    return VaapiDevice();
  }

  // OSTREL_ALLOW_SOFTWARE_ENCODER=1 records with libx264 on a machine
  // without a hardware encoder.
  bool SoftwareEncoderAllowed() override {
    const char* value = std::getenv("OSTREL_ALLOW_SOFTWARE_ENCODER");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }
};

}  // namespace

platform::IMediaPlatform& MediaPlatform() {
  static LinuxMedia media;
  return media;
}

}  // namespace ostrel::linuxp
