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
#include "platform/linux/linux_backend.h"

namespace ostrel::linuxp {
namespace {

// Probe settings: a small 30 fps picture is enough to learn whether the
// encoder opens at all.
constexpr int kProbeWidth = 640;
constexpr int kProbeHeight = 360;
constexpr int kProbeFps = 30;

struct BufferRefDeleter {
  void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};
using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefDeleter>;

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

// h264_vaapi on the first render node whose VA-API device opens, with a
// frames context of NV12 surfaces as the encoder needs.
bool VaapiOpens() {
  const AVCodec* codec = avcodec_find_encoder_by_name("h264_vaapi");
  if (codec == nullptr) return false;
  for (const std::string& node : RenderNodes()) {
    AVBufferRef* rawDevice = nullptr;
    if (av_hwdevice_ctx_create(&rawDevice, AV_HWDEVICE_TYPE_VAAPI, node.c_str(), nullptr, 0) < 0) continue;
    BufferRefPtr device(rawDevice);
    BufferRefPtr frames(av_hwframe_ctx_alloc(device.get()));
    if (!frames) continue;
    auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames->data);
    framesContext->format = AV_PIX_FMT_VAAPI;
    framesContext->sw_format = AV_PIX_FMT_NV12;
    framesContext->width = kProbeWidth;
    framesContext->height = kProbeHeight;
    framesContext->initial_pool_size = 4;
    if (av_hwframe_ctx_init(frames.get()) < 0) continue;
    ffmpeg::CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) continue;
    SetProbeSettings(*context);
    context->pix_fmt = AV_PIX_FMT_VAAPI;
    context->hw_frames_ctx = av_buffer_ref(frames.get());
    if (avcodec_open2(context.get(), codec, nullptr) >= 0) return true;
  }
  return false;
}

class LinuxMedia final : public platform::IMediaPlatform {
 public:
  // No apartments here: every thread may call everything.
  Hresult JoinMultithreadedApartment() override { return hr::kOk; }
  Hresult Startup() override { return hr::kOk; }
  void Shutdown() override {}

  Hresult EnumHardwareH264Encoders(std::vector<platform::HardwareEncoderInfo>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->clear();
    // A machine without the hardware is the expected case here.
    QuietFfmpegLogScope quiet;
    // None of them takes Direct3D 11 surfaces.
    if (NvencOpens()) out->push_back(platform::HardwareEncoderInfo{});
    if (VaapiOpens()) out->push_back(platform::HardwareEncoderInfo{});
    return hr::kOk;
  }

  // VA-API stays out of the chain unless it opens: the segment encoder feeds
  // system-memory NV12 frames, which h264_vaapi takes only through a frames
  // context that the probe above builds and the segment encoder does not yet.
  std::vector<std::string> H264EncoderChain() override {
    std::vector<std::string> chain{"h264_nvenc"};
    {
      QuietFfmpegLogScope quiet;
      if (VaapiOpens()) chain.push_back("h264_vaapi");
    }
    chain.push_back("libx264");
    return chain;
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
