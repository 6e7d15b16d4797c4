#include "encode/encoder_selection.h"

#include <climits>
#include <new>
#include <vector>

#include "encode/ffmpeg_segment_encoder.h"
#include "ffmpeg/ffmpeg_log.h"
#include "ffmpeg/ffmpeg_ptr.h"
#include "ffmpeg/hardware_frames.h"
#include "platform/library_apartment.h"
#include "platform/platform.h"

namespace ostrel {
namespace {

constexpr const char* kMediaFoundationEncoder = "h264_mf";

// The media platform's hardware H.264 encoders; false when the enumeration
// failed. On a library thread: the caller's thread may be in no apartment or
// in a single-threaded one. Out of memory is the caller's to handle
// (std::bad_alloc).
bool EnumerateHardwareEncoders(std::vector<platform::HardwareEncoderInfo>* encoders) {
  try {
    return RunOnLibraryThread(
        [encoders] { return Succeeded(platform::GetPlatform().media.EnumHardwareH264Encoders(encoders)); });
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

bool HardwareEncoderListed() {
  std::vector<platform::HardwareEncoderInfo> encoders;
  return EnumerateHardwareEncoders(&encoders) && !encoders.empty();
}

bool ProbeHardwareEncoder() {
  try {
    return HardwareEncoderListed();
  } catch (const std::exception&) {
    return false;  // the probes answer "no"; they never throw
  }
}

bool SoftwareEncoderAllowed() {
  try {
    return platform::GetPlatform().media.SoftwareEncoderAllowed();
  } catch (const std::exception&) {
    return false;
  }
}

bool ProbeD3D11AwareEncoder() {
  std::vector<platform::HardwareEncoderInfo> encoders;
  try {
    if (!EnumerateHardwareEncoders(&encoders)) return false;
  } catch (const std::exception&) {
    return false;
  }
  bool anyAware = false;
  for (const auto& encoder : encoders) {
    // A failed attribute read counts as 0.
    const uint32_t aware = Succeeded(encoder.d3d11AwareReadResult) ? encoder.d3d11Aware : 0;
    if (aware != 0) anyAware = true;
  }
  return anyAware;
}

bool ProbeFfmpegEncoder(const std::string& name, uint32_t width, uint32_t height, uint32_t fps,
                        uint32_t bitrate) {
  if (fps == 0 || fps > INT_MAX / 2 || width > INT_MAX || height > INT_MAX) return false;
  const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
  if (codec == nullptr) return false;
  ffmpeg::CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) return false;
  context->width = static_cast<int>(width);
  context->height = static_cast<int>(height);
  context->time_base = AVRational{1, static_cast<int>(fps)};
  context->framerate = AVRational{static_cast<int>(fps), 1};
  context->pix_fmt = SegmentEncoderPixelFormat(codec);
  context->bit_rate = bitrate;
  context->gop_size = static_cast<int>(2 * fps);
  // h264_mf opens only on a transform that activates: FFmpeg's own failure
  // path for "none" gives back one Media Foundation start-up and apartment
  // join more than it took.
  if (name == kMediaFoundationEncoder) {
    std::wstring transform;
    if (Failed(platform::GetPlatform().media.FirstActivatableHardwareH264Encoder(&transform))) return false;
  }
  ffmpeg::DictionaryPtr options;
  for (const auto& [key, value] : SingleStageEncoderOptions(name)) ffmpeg::DictSet(options, key.c_str(), value.c_str());
  QuietFfmpegLogScope quiet;
  // An encoder of hardware frames opens only on the platform's device; with
  // none, the chain goes on to the next encoder.
  if (const ffmpeg::HardwareFramesNeed hardware = ffmpeg::EncoderHardwareFrames(codec)) {
    const ffmpeg::BufferRefPtr device = platform::HardwareEncoderDeviceOrNull(name);
    if (!ffmpeg::AttachHardwareFrames(*context, device.get(), hardware.format)) return false;
  }
  AVDictionary* raw = options.release();
  const int opened = avcodec_open2(context.get(), codec, &raw);
  options.reset(raw);
  return opened >= 0;
}

std::string SelectFfmpegEncoderWith(const FfmpegEncoderProbe& probe, uint32_t width, uint32_t height,
                                    uint32_t fps, uint32_t bitrate, const LogSink& logSink) {
  for (const std::string& name : platform::GetPlatform().media.H264EncoderChain()) {
    if (!probe(name, width, height, fps, bitrate)) continue;
    LogTo(logSink, L"[CAPABILITY] FFmpeg encoder selected: " + Widen(name));
    std::wstring transform;
    if (name == kMediaFoundationEncoder &&
        Succeeded(platform::GetPlatform().media.FirstActivatableHardwareH264Encoder(&transform))) {
      LogTo(logSink, L"[CAPABILITY] Media Foundation hardware transform: " + (transform.empty() ? L"(unnamed)" : transform));
    }
    return name;
  }
  LogTo(logSink, L"[CAPABILITY] No FFmpeg encoder in the fallback chain opened successfully.");
  return {};
}

std::string SelectFfmpegEncoder(uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate,
                                const LogSink& logSink) {
  // The probes open and free encoders: on a library thread, whatever the
  // caller's apartment.
  return RunOnLibraryThread(
      [&] { return SelectFfmpegEncoderWith(&ProbeFfmpegEncoder, width, height, fps, bitrate, logSink); });
}

std::unique_ptr<IVideoSegmentEncoder> MakeSegmentEncoder(const GpuEncodeContext& context, uint32_t width,
                                                         uint32_t height, uint32_t fps, uint32_t bitrate) {
  return MakeFfmpegSegmentEncoder(context, width, height, fps, bitrate);
}

}  // namespace ostrel
