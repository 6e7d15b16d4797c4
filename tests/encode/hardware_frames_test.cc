// Encoders that take only hardware frames: how they are recognised, what
// happens without a device for them, and the upload's failure (a real upload
// needs a VA-API device and is not exercised here).
#include "ffmpeg/hardware_frames.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "encode/encoder_selection.h"
#include "encode/ffmpeg_segment_encoder.h"
#include "ffmpeg/ffmpeg_log.h"
#include "ostrel/ostrel_sim.h"
#include "platform/platform.h"
#include "replay/tick_clock.h"
#include "support/clip_probe.h"

namespace ostrel {
namespace {

using Lines = std::vector<std::wstring>;

TEST(HardwareFramesTest, OnlyAnEncoderWithoutSystemMemoryFramesNeedsThem) {
  const AVCodec* vaapi = avcodec_find_encoder_by_name("h264_vaapi");
  if (vaapi == nullptr) GTEST_SKIP() << "this FFmpeg has no h264_vaapi";
  const ffmpeg::HardwareFramesNeed need = ffmpeg::EncoderHardwareFrames(vaapi);
  EXPECT_EQ(need.format, AV_PIX_FMT_VAAPI);
  EXPECT_EQ(need.deviceType, AV_HWDEVICE_TYPE_VAAPI);
  // NVENC also takes CUDA frames, but NV12 from memory first; libx264 none.
  for (const char* name : {"h264_nvenc", "libx264"}) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec != nullptr) {
      EXPECT_FALSE(ffmpeg::EncoderHardwareFrames(codec)) << name;
    }
  }
}

TEST(HardwareFramesTest, AFailedUploadLeavesAnEmptyTargetAndNoDeviceAttachesNothing) {
  ffmpeg::FramePtr source(av_frame_alloc());
  ffmpeg::FramePtr target(av_frame_alloc());
  source->format = AV_PIX_FMT_NV12;
  source->width = target->width = 64;
  source->height = target->height = 32;
  target->format = AV_PIX_FMT_NV12;
  ASSERT_GE(av_frame_get_buffer(source.get(), 0), 0);
  ASSERT_GE(av_frame_get_buffer(target.get(), 0), 0);  // a previous frame's buffers
  EXPECT_EQ(ffmpeg::UploadToHardwareFrame(*source, nullptr, *target), AVERROR(EINVAL));
  EXPECT_EQ(target->buf[0], nullptr);

  // A frames context that never got its surfaces (no device behind it):
  // getting a surface fails and the target stays empty.
  ffmpeg::BufferRefPtr device(av_hwdevice_ctx_alloc(AV_HWDEVICE_TYPE_VAAPI));
  if (!device) GTEST_SKIP() << "this FFmpeg has no VA-API";
  ffmpeg::BufferRefPtr frames(av_hwframe_ctx_alloc(device.get()));
  ASSERT_TRUE(frames);
  EXPECT_LT(ffmpeg::UploadToHardwareFrame(*source, frames.get(), *target), 0);
  EXPECT_EQ(target->buf[0], nullptr);
  EXPECT_EQ(target->hw_frames_ctx, nullptr);

  ffmpeg::CodecContextPtr context(avcodec_alloc_context3(nullptr));
  context->pix_fmt = AV_PIX_FMT_NV12;
  EXPECT_FALSE(ffmpeg::AttachHardwareFrames(*context, nullptr, AV_PIX_FMT_VAAPI));
  EXPECT_EQ(context->hw_frames_ctx, nullptr);
  EXPECT_EQ(context->pix_fmt, AV_PIX_FMT_NV12);
}

std::shared_ptr<platform::IGpuDevice> Device() {
  std::shared_ptr<platform::IGpuDevice> device;
  return Succeeded(platform::GetPlatform().gpu.CreateDevice(nullptr, &device)) ? device : nullptr;
}

// The fake world puts h264_vaapi first and has no device for it: the chain
// goes on with its usual line and the next encoder that opens records.
TEST(HardwareFramesTest, WithoutADeviceTheChainSkipsTheEncoderAndTheNextOneRecords) {
  if (avcodec_find_encoder_by_name("h264_vaapi") == nullptr) GTEST_SKIP() << "this FFmpeg has no h264_vaapi";
  OstrelSim_Reset();
  RouteFfmpegLogTo({});
  OstrelSim_SetHardwareFramesEncoderFirst(true);
  std::vector<std::string> asked;
  Lines lines;
  const auto sink = [&](const std::wstring& line) { lines.push_back(line); };
  const std::string chosen = SelectFfmpegEncoderWith(
      [&](const std::string& name, uint32_t w, uint32_t h, uint32_t fps, uint32_t bitrate) {
        asked.push_back(name);
        return ProbeFfmpegEncoder(name, w, h, fps, bitrate);
      },
      320, 180, 30, 2000000, sink);
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked.front(), "h264_vaapi");
  ASSERT_FALSE(chosen.empty());  // libx264 at least
  EXPECT_NE(chosen, "h264_vaapi");
  EXPECT_EQ(OstrelSim_GetHardwareDeviceRequestCount(), 1);  // for h264_vaapi alone
  EXPECT_EQ(lines, Lines{L"[CAPABILITY] FFmpeg encoder selected: " + Widen(chosen)});

  const GpuEncodeContext context(Device(), 320, 180, 320, 180, [](const std::wstring&) {});
  EXPECT_EQ(context.EncoderName(), chosen);
  EXPECT_EQ(context.HardwareDevice(), nullptr);
  EXPECT_EQ(OstrelSim_GetHardwareDeviceRequestCount(), 2);  // the same chain again, not for the chosen one
  std::shared_ptr<platform::ITexture> frame;
  ASSERT_EQ(context.Device().CreateTexture(platform::TextureDesc{320, 180}, &frame), hr::kOk);
  auto encoder = MakeSegmentEncoder(context, 320, 180, 30, 2000000);
  const int64_t base = 100 * TickClock::kTicksPerSecond;
  for (int i = 0; i < 3; ++i) encoder->WriteFrame(*frame, base + i * TickClock::kTicksPerSecond / 30);
  encoder->DrainPending();
  const EncodedSegment segment = encoder->Finalize();
  EXPECT_EQ(segment.frameCount, 3u);
  const testing::ClipInfo decoded = testing::ProbeClipBytes(*segment.bytes, true);
  EXPECT_EQ(decoded.video.framePtsSeconds.size(), 3u);
  EXPECT_EQ(decoded.video.decodeErrors, 0);

  // Chosen anyway (the device went away after the probe): the segment fails
  // to open with the line every refused open gives.
  const GpuEncodeContext forced(Device(), 320, 180, 320, 180, sink,
                                [](uint32_t, uint32_t, const LogSink&) { return std::string("h264_vaapi"); });
  lines.clear();
  EXPECT_THROW(MakeSegmentEncoder(forced, 320, 180, 30, 2000000), std::runtime_error);
  EXPECT_EQ(lines, Lines{L"[DIAG-ENCODER-OPTS] single-stage arm: PAK veryfast async_depth=6 @ target bitrate: FAILED"});
  EXPECT_EQ(OstrelSim_GetHardwareDeviceRequestCount(), 3);  // by the capture, not again by its segment
  OstrelSim_Reset();
}

}  // namespace
}  // namespace ostrel
