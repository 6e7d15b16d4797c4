#include "encode/gpu_encode_context.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "encode/encoder_selection.h"
#include "encode_test_util.h"
#include "ffmpeg/ffmpeg_log.h"

namespace ostrel {
namespace {

using testing::CreateSimDevice;
using testing::SimWorldTest;
using testing::SinkLines;

const std::wstring kZeroCopyLine =
    L"[CAPABILITY] Zero-copy GPU submission supported - using NV12 GPU-resident encoder path.";
const std::wstring kCpuPathLine =
    L"[CAPABILITY] Zero-copy GPU submission not supported on this encoder - using CPU Map()/memcpy path.";
const std::wstring kNv12FallbackLine =
    L"[CAPABILITY] Encoder reports MF_SA_D3D11_AWARE but this GPU's video processor doesn't support NV12 output - "
    L"falling back to the CPU path.";

// Selection stand-in that records what it was asked for.
struct RecordingSelector {
  std::vector<std::pair<uint32_t, uint32_t>> asked;
  std::string answer = "libx264";
  GpuEncodeContext::EncoderSelector Fn() {
    return [this](uint32_t w, uint32_t h, const LogSink&) {
      asked.emplace_back(w, h);
      return answer;
    };
  }
};

class GpuEncodeContextTest : public SimWorldTest {};

TEST_F(GpuEncodeContextTest, AwareEncoderWithNv12OutputUsesTheZeroCopyPath) {
  SinkLines lines;
  RecordingSelector selector;
  GpuEncodeContext context(CreateSimDevice(), 1920, 1080, 1280, 720, lines.Sink(), selector.Fn());
  EXPECT_TRUE(context.ZeroCopySupported());
  EXPECT_EQ(lines.Lines(), (std::vector<std::wstring>{kZeroCopyLine}));
  EXPECT_EQ(selector.asked, (std::vector<std::pair<uint32_t, uint32_t>>{{1280, 720}}));
  EXPECT_EQ(context.EncoderName(), "libx264");
  EXPECT_EQ(context.CaptureWidth(), 1920u);
  EXPECT_EQ(context.OutputHeight(), 720u);
}

TEST_F(GpuEncodeContextTest, AwareEncoderWithoutNv12OutputFallsBackToTheCpuPath) {
  OstrelSim_SetVideoProcessorNv12(false);
  SinkLines lines;
  RecordingSelector selector;
  GpuEncodeContext context(CreateSimDevice(), 1280, 720, 1280, 720, lines.Sink(), selector.Fn());
  EXPECT_FALSE(context.ZeroCopySupported());
  EXPECT_EQ(lines.Lines(), (std::vector<std::wstring>{kNv12FallbackLine, kCpuPathLine}));
}

TEST_F(GpuEncodeContextTest, UnawareOrMissingEncoderUsesTheCpuPathWithoutTheFallbackLine) {
  for (bool present : {true, false}) {
    OstrelSim_Reset();
    OstrelSim_SetHardwareEncoderPresent(present);
    OstrelSim_SetHardwareEncoderD3D11Aware(false);
    // The NV12 question is only asked of an aware encoder.
    OstrelSim_SetVideoProcessorNv12(false);
    SinkLines lines;
    RecordingSelector selector;
    GpuEncodeContext context(CreateSimDevice(), 1280, 720, 640, 360, lines.Sink(), selector.Fn());
    EXPECT_FALSE(context.ZeroCopySupported());
    EXPECT_EQ(lines.Lines(), (std::vector<std::wstring>{kCpuPathLine})) << "present=" << present;
  }
}

TEST_F(GpuEncodeContextTest, WithoutASinkNothingIsLoggedAndTheOutcomeIsTheSame) {
  OstrelSim_SetVideoProcessorNv12(false);
  RecordingSelector selector;
  GpuEncodeContext context(CreateSimDevice(), 1280, 720, 1280, 720, LogSink{}, selector.Fn());
  EXPECT_FALSE(context.ZeroCopySupported());
  EXPECT_EQ(context.EncoderName(), "libx264");
}

TEST_F(GpuEncodeContextTest, TheDefaultSelectionProbesTheOutputSizeAndLogsAfterTheCapabilityLine) {
  RouteFfmpegLogTo({});
  SinkLines lines;
  GpuEncodeContext context(CreateSimDevice(), 1280, 720, 640, 360, lines.Sink());
  EXPECT_EQ(context.EncoderName(), SelectFfmpegEncoder(640, 360, 30, 6000000, LogSink{}));
  const auto all = lines.Lines();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], kZeroCopyLine);
  EXPECT_EQ(all[1], L"[CAPABILITY] FFmpeg encoder selected: " + Widen(context.EncoderName()));
}

TEST_F(GpuEncodeContextTest, AFailingGraphicsCallFailsConstruction) {
  auto device = CreateSimDevice();
  constexpr uint32_t kRemoved = 0x887A0005;
  OstrelSim_LoseDevice(kRemoved);
  SinkLines lines;
  RecordingSelector selector;
  try {
    GpuEncodeContext context(device, 1280, 720, 1280, 720, lines.Sink(), selector.Fn());
    FAIL() << "expected HresultError";
  } catch (const HresultError& error) {
    EXPECT_EQ(static_cast<uint32_t>(error.code()), kRemoved);
  }
  EXPECT_TRUE(selector.asked.empty());
  EXPECT_THROW(GpuEncodeContext(nullptr, 1280, 720, 1280, 720, LogSink{}, selector.Fn()), HresultError);
}

}  // namespace
}  // namespace ostrel
